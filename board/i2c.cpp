#include "board/i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

int i2c_bus_fds[kI2cBusCount] = {0, 0};

// Each EEPROM or LED write is followed by this wait: the parts need it to
// finish their internal write cycle before the next request.
static constexpr useconds_t kI2cWriteSettleUs = 100000;

// The descriptor to use for `bus`, or -1 when the bus is unknown or not open.
// An entry of 0 means "never opened": it must not reach the driver calls,
// where descriptor 0 would be the console.
static int i2c_fd(int bus) {
    if (bus < 0 || bus >= kI2cBusCount || i2c_bus_fds[bus] <= 0) {
        return -1;
    }
    return i2c_bus_fds[bus];
}

// Addresses the device with the given 8-bit address for the following plain
// reads and writes on the bus. 0, or -1 with errno set.
static int i2c_select(int bus, std::uint8_t addr8) {
    int fd = i2c_fd(bus);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return plat_ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(addr8 >> 1));
}

// Sends `count` bytes to the selected device; the write's result, with a
// short write turned into a failure (i2c-dev sends a message whole or not).
static ssize_t i2c_send(int bus, const std::uint8_t* bytes, std::size_t count) {
    ssize_t sent = plat_write(i2c_fd(bus), bytes, count);
    if (sent >= 0 && static_cast<std::size_t>(sent) != count) {
        errno = EIO;
        return -1;
    }
    return sent;
}

int i2c_open_buses() {
    for (int bus = 0; bus < kI2cBusCount; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        // Kept from the programs the launcher starts, the application too.
        i2c_bus_fds[bus] = plat_open(path, O_RDWR | O_CLOEXEC);
        if (i2c_bus_fds[bus] < 0) {
            std::printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int i2c_close_buses() {
    for (int& fd : i2c_bus_fds) {
        if (fd > 0) {
            plat_close(fd);
            fd = 0;
        }
    }
    return 0;
}

int i2c_mux_select(std::uint8_t mux_addr, int bus, int channel) {
    if (channel < 0 || channel > 7 || i2c_select(bus, mux_addr) < 0) {
        return -1;
    }
    std::uint8_t mask = static_cast<std::uint8_t>(1u << channel);
    return static_cast<int>(i2c_send(bus, &mask, 1));
}

int i2c_mux_release(std::uint8_t mux_addr, int bus) {
    if (i2c_select(bus, mux_addr) < 0) {
        return -1;
    }
    std::uint8_t off = 0;
    return static_cast<int>(i2c_send(bus, &off, 1));
}

int i2c_read_reg(int bus, std::uint8_t dev_addr, std::uint16_t reg, std::size_t count, int width,
                 std::uint8_t* buf) {
    if ((width != 1 && width != 2) || (buf == nullptr && count > 0)) {
        return 0;
    }
    // The register address always goes out high byte first, whatever the
    // byte order of the CPU: that is what the EEPROM expects on the wire.
    std::uint8_t addr[2];
    if (width == 2) {
        addr[0] = static_cast<std::uint8_t>(reg >> 8);
        addr[1] = static_cast<std::uint8_t>(reg & 0xFF);
    } else {
        addr[0] = static_cast<std::uint8_t>(reg & 0xFF);
    }
    if (i2c_select(bus, dev_addr) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, dev_addr, errno);
        return 0;
    }
    if (i2c_send(bus, addr, static_cast<std::size_t>(width)) < 0) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", dev_addr, bus, reg,
                    errno);
        return 0;
    }
    ssize_t got = plat_read(i2c_fd(bus), buf, count);
    if (got < 0 || static_cast<std::size_t>(got) != count) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", dev_addr, reg,
                    static_cast<int>(count), errno);
        return 0;
    }
    return 1;
}

std::uint8_t eeprom_read(std::uint16_t offset, std::size_t count, std::uint8_t* buf) {
    if (buf == nullptr || count == 0) {
        return 0;
    }
    i2c_mux_select(kI2cMuxAddr, 0, kI2cEepromChannel);
    i2c_read_reg(0, kI2cEepromAddr, offset, count, 2, buf);
    // Never leave a channel enabled between two operations.
    i2c_mux_release(kI2cMuxAddr, 0);
    return buf[0];
}

int eeprom_write_byte(std::uint16_t offset, std::uint8_t value) {
    int result = -1;
    i2c_mux_select(kI2cMuxAddr, 0, kI2cEepromChannel);
    if (i2c_select(0, kI2cEepromAddr) < 0) {
        std::printf("I2C error when setting bus %d: %d\n", 0, errno);
    } else {
        const std::uint8_t message[3] = {static_cast<std::uint8_t>(offset >> 8),
                                         static_cast<std::uint8_t>(offset & 0xFF), value};
        ssize_t sent = i2c_send(0, message, sizeof message);
        int error = errno;
        plat_usleep(kI2cWriteSettleUs);
        if (sent < 0) {
            std::printf("I2C error when writing bus %d offset %d: %d\n", 0, offset, error);
        }
        result = static_cast<int>(sent);
    }
    i2c_mux_release(kI2cMuxAddr, 0);
    return result;
}

int rtc_read(ClockStamp* stamp) {
    if (stamp == nullptr) {
        return 0;
    }
    return i2c_read_reg(0, kI2cRtcAddr, 0, sizeof stamp->reg, 1, stamp->reg);
}

std::uint8_t led_read(std::uint8_t reg, std::uint8_t* value) {
    if (value == nullptr) {
        return 0;
    }
    i2c_read_reg(0, kI2cLedAddr, reg, 1, 1, value);
    return *value;
}

int led_write(std::uint8_t reg, std::uint8_t value) {
    if (i2c_select(0, kI2cLedAddr) < 0) {
        std::printf("I2C error when setting LED on bus %d: %d\n", 0, errno);
        return -1;
    }
    const std::uint8_t message[2] = {reg, value};
    ssize_t sent = i2c_send(0, message, sizeof message);
    int error = errno;
    plat_usleep(kI2cWriteSettleUs);
    if (sent < 0) {
        std::printf("I2C error when writing LED on bus %d offset %d: %d\n", 0, reg, error);
    }
    return static_cast<int>(sent);
}
