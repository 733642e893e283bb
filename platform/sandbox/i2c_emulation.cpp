#include "platform/sandbox/i2c_emulation.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/sandbox/board_files.h"

namespace sandbox {
namespace {

constexpr int kMuxAddress = 0x70;
constexpr int kEepromAddress = 0x56;
constexpr int kRtcAddress = 0x68;
constexpr int kLedAddress = 0x47;
constexpr uint8_t kEepromChannelMask = 0x04;
constexpr unsigned kEepromPageSize = 32;
constexpr unsigned kLedRegisters = 16;
constexpr unsigned kRtcRegisters = 16;

// Device state that lives in the chips themselves, not in any file: the
// multiplexer's control byte and each device's address pointer. It belongs
// to this process's view of the board.
struct ChipState {
    uint8_t mux_control = 0;
    unsigned eeprom_pointer = 0;
    unsigned rtc_pointer = 0;
    unsigned led_pointer = 0;
};
ChipState chips;

bool device_absent(const char* name) {
    return board_list_contains("i2c-absent", name);
}

// Whether a device acknowledges its address on this bus right now.
bool device_answers(int bus, int address) {
    if (bus != 0) {
        return false;
    }
    switch (address) {
        case kMuxAddress:
            return !device_absent("mux");
        case kEepromAddress:
            return !device_absent("eeprom") && !device_absent("mux") &&
                   (chips.mux_control & kEepromChannelMask) != 0;
        case kRtcAddress:
            return !device_absent("rtc");
        case kLedAddress:
            return !device_absent("led");
        default:
            return false;
    }
}

// --- EEPROM: bytes in eeprom.bin, the file's size is the device's size.

off_t eeprom_size(int fd) {
    off_t size = ::lseek(fd, 0, SEEK_END);
    return size > 0 ? size : 0;
}

ssize_t eeprom_write(const uint8_t* data, size_t count) {
    if (count < 2) {
        // Only part of the address arrived; the chip keeps its pointer.
        return static_cast<ssize_t>(count);
    }
    int fd = ::open(board_path("eeprom.bin").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        errno = EIO;
        return -1;
    }
    off_t size = eeprom_size(fd);
    unsigned pointer = (static_cast<unsigned>(data[0]) << 8) | data[1];
    if (size > 0) {
        pointer %= static_cast<unsigned>(size);
    }
    chips.eeprom_pointer = pointer;
    // Board file eeprom-write-protected: the chip's write-protect pin is
    // held, so it acknowledges the data bytes and keeps none of them; an
    // address alone (a read's) still moves its pointer.
    if (count > 2 && read_board_file("eeprom-write-protected")) {
        ::close(fd);
        return static_cast<ssize_t>(count);
    }
    // A write stays inside its page: past the page end the address wraps to
    // the start of the same page, as in the chip.
    unsigned page = pointer - pointer % kEepromPageSize;
    for (size_t i = 2; i < count && size > 0; ++i) {
        unsigned at = page + (chips.eeprom_pointer - page) % kEepromPageSize;
        if (at < static_cast<unsigned>(size)) {
            ::pwrite(fd, &data[i], 1, at);
        }
        chips.eeprom_pointer = at + 1;
    }
    ::close(fd);
    return static_cast<ssize_t>(count);
}

ssize_t eeprom_read(uint8_t* out, size_t count) {
    int fd = ::open(board_path("eeprom.bin").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = EIO;
        return -1;
    }
    off_t size = eeprom_size(fd);
    for (size_t i = 0; i < count; ++i) {
        out[i] = 0xFF;
        if (size > 0) {
            chips.eeprom_pointer %= static_cast<unsigned>(size);
            ::pread(fd, &out[i], 1, chips.eeprom_pointer);
        }
        chips.eeprom_pointer++;
    }
    ::close(fd);
    return static_cast<ssize_t>(count);
}

// --- Real-time clock: registers computed from the board's time.

uint8_t to_bcd(int value) {
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

// The board's time: the host clock, or the fixed time of the board file
// advanced by the time the launcher has slept, so that tests see a clock
// that moves but never depends on how fast the machine is.
time_t board_time() {
    auto setting = read_board_file("rtc");
    std::string text = setting ? *setting : "host";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text == "host" || text.empty()) {
        return ::time(nullptr);
    }
    struct tm fixed {};
    if (sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &fixed.tm_year, &fixed.tm_mon, &fixed.tm_mday,
               &fixed.tm_hour, &fixed.tm_min, &fixed.tm_sec) != 6) {
        return ::time(nullptr);
    }
    fixed.tm_year -= 1900;
    fixed.tm_mon -= 1;
    return ::timegm(&fixed) + static_cast<time_t>(slept_us() / 1000000);
}

uint8_t rtc_register(unsigned reg, const struct tm& now) {
    switch (reg) {
        case 0:
            return to_bcd(now.tm_sec);
        case 1:
            return to_bcd(now.tm_min);
        case 2:
            return to_bcd(now.tm_hour);
        case 3:
            return to_bcd(now.tm_wday + 1);
        case 4:
            return to_bcd(now.tm_mday);
        case 5:
            return to_bcd(now.tm_mon + 1);
        case 6:
            return to_bcd(now.tm_year % 100);
        default:
            return 0;
    }
}

ssize_t rtc_write(const uint8_t* data, size_t count) {
    // The first byte sets the register pointer. Setting the time is not
    // emulated: the bytes are acknowledged and the board's time is kept.
    if (count >= 1) {
        chips.rtc_pointer = data[0] % kRtcRegisters;
    }
    return static_cast<ssize_t>(count);
}

ssize_t rtc_read(uint8_t* out, size_t count) {
    time_t now = board_time();
    struct tm fields {};
    gmtime_r(&now, &fields);
    for (size_t i = 0; i < count; ++i) {
        out[i] = rtc_register(chips.rtc_pointer, fields);
        chips.rtc_pointer = (chips.rtc_pointer + 1) % kRtcRegisters;
    }
    return static_cast<ssize_t>(count);
}

// --- LED controller: registers in led.bin, register 2 writes logged.

void log_led(uint8_t value) {
    uint64_t us = slept_us();
    char line[64];
    snprintf(line, sizeof line, "%llu.%06llu 0x%02x\n",
             static_cast<unsigned long long>(us / 1000000),
             static_cast<unsigned long long>(us % 1000000), value);
    append_board_file("led.log", line);
}

ssize_t led_write(const uint8_t* data, size_t count) {
    if (count < 1) {
        return 0;
    }
    chips.led_pointer = data[0] % kLedRegisters;
    int fd = ::open(board_path("led.bin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        errno = EIO;
        return -1;
    }
    for (size_t i = 1; i < count; ++i) {
        ::pwrite(fd, &data[i], 1, chips.led_pointer);
        if (chips.led_pointer == 2) {
            log_led(data[i]);
        }
        chips.led_pointer = (chips.led_pointer + 1) % kLedRegisters;
    }
    ::close(fd);
    return static_cast<ssize_t>(count);
}

ssize_t led_read(uint8_t* out, size_t count) {
    int fd = ::open(board_path("led.bin").c_str(), O_RDONLY | O_CLOEXEC);
    for (size_t i = 0; i < count; ++i) {
        out[i] = 0;
        if (fd >= 0) {
            ::pread(fd, &out[i], 1, chips.led_pointer);
        }
        chips.led_pointer = (chips.led_pointer + 1) % kLedRegisters;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return static_cast<ssize_t>(count);
}

// One line per message in i2c.log, so that a test can check the order of
// the transfers (multiplexer on, EEPROM access, multiplexer off):
//   "<bus> 0x<7-bit address> w|r <bytes in hex>", or "nak" for no answer.
void log_message(const I2cHandle& handle, char direction, const uint8_t* data, ssize_t count) {
    std::string line = std::to_string(handle.bus);
    char field[8];
    snprintf(field, sizeof field, " 0x%02x ", handle.address & 0xFF);
    line += field;
    line += direction;
    if (count < 0) {
        line += " nak";
    }
    for (ssize_t i = 0; i < count; ++i) {
        snprintf(field, sizeof field, " %02x", data[i]);
        line += field;
    }
    line += '\n';
    append_board_file("i2c.log", line);
}

// Whether the board file `list` names the device at `address`.
bool device_listed(const char* list, int address) {
    switch (address) {
        case kMuxAddress:
            return board_list_contains(list, "mux");
        case kEepromAddress:
            return board_list_contains(list, "eeprom");
        case kRtcAddress:
            return board_list_contains(list, "rtc");
        default:
            return board_list_contains(list, "led");
    }
}

// Board file i2c-read-fails: devices whose read messages fail after the
// address was acknowledged, as a bus fault in the data phase does.
bool read_fails(int address) {
    return device_listed("i2c-read-fails", address);
}

// Board file i2c-short-writes: devices that take none of a write message
// and report one byte fewer than sent, a driver fault the launcher must
// count as a failed write.
ssize_t write_message(I2cHandle& handle, const uint8_t* data, size_t count) {
    if (!device_answers(handle.bus, handle.address)) {
        errno = ENXIO;
        return -1;
    }
    if (count > 0 && device_listed("i2c-short-writes", handle.address)) {
        return static_cast<ssize_t>(count - 1);
    }
    switch (handle.address) {
        case kMuxAddress:
            if (count >= 1) {
                chips.mux_control = data[count - 1];
            }
            return static_cast<ssize_t>(count);
        case kEepromAddress:
            return eeprom_write(data, count);
        case kRtcAddress:
            return rtc_write(data, count);
        default:
            return led_write(data, count);
    }
}

ssize_t read_message(I2cHandle& handle, uint8_t* out, size_t count) {
    if (!device_answers(handle.bus, handle.address)) {
        errno = ENXIO;
        return -1;
    }
    if (read_fails(handle.address)) {
        errno = EIO;
        return -1;
    }
    switch (handle.address) {
        case kMuxAddress:
            for (size_t i = 0; i < count; ++i) {
                out[i] = chips.mux_control;
            }
            return static_cast<ssize_t>(count);
        case kEepromAddress:
            return eeprom_read(out, count);
        case kRtcAddress:
            return rtc_read(out, count);
        default:
            return led_read(out, count);
    }
}

}  // namespace

bool i2c_bus_present(int bus) {
    auto buses = read_board_file("i2c-buses");
    if (!buses) {
        return bus == 0 || bus == 1;
    }
    return board_list_contains("i2c-buses", std::to_string(bus));
}

int i2c_emul_ioctl(I2cHandle& handle, unsigned long request, unsigned long arg) {
    switch (request) {
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            // i2c-dev only checks the range: no bus traffic happens here, so
            // an absent device is noticed at the first transfer.
            if (arg > 0x7F) {
                errno = EINVAL;
                return -1;
            }
            handle.address = static_cast<int>(arg);
            return 0;
        default:
            errno = ENOTTY;
            return -1;
    }
}

ssize_t i2c_emul_write(I2cHandle& handle, const void* buf, size_t count) {
    const auto* data = static_cast<const uint8_t*>(buf);
    ssize_t result = write_message(handle, data, count);
    int saved = errno;
    log_message(handle, 'w', data, result < 0 ? -1 : static_cast<ssize_t>(count));
    errno = saved;
    return result;
}

ssize_t i2c_emul_read(I2cHandle& handle, void* buf, size_t count) {
    auto* out = static_cast<uint8_t*>(buf);
    ssize_t result = read_message(handle, out, count);
    int saved = errno;
    log_message(handle, 'r', out, result);
    errno = saved;
    return result;
}

}  // namespace sandbox
