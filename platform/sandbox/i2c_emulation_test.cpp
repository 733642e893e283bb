// The I2C emulation behaves as i2c-dev and the board's chips do.
#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sandbox/board_files.h"

namespace {

class I2cEmulation : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_eeprom_ = *sandbox::read_board_file("eeprom.bin");
        sandbox::write_board_file("i2c-absent", "");
        sandbox::write_board_file("i2c.log", "");
        sandbox::write_board_file("led.log", "");
        bus_ = plat_open("/dev/i2c-0", O_RDWR);
        ASSERT_GE(bus_, 0);
    }
    void TearDown() override {
        select(0x70);
        write_bytes({0x00});
        plat_close(bus_);
        sandbox::write_board_file("eeprom.bin", saved_eeprom_);
        sandbox::write_board_file("rtc", "host\n");
        sandbox::write_board_file("i2c-absent", "");
        sandbox::write_board_file("i2c-buses", "0 1\n");
    }
    void select(int address) {
        ASSERT_EQ(plat_ioctl(bus_, I2C_SLAVE, static_cast<unsigned long>(address)), 0);
    }
    ssize_t write_bytes(std::initializer_list<uint8_t> bytes) {
        std::string data(bytes.begin(), bytes.end());
        return plat_write(bus_, data.data(), data.size());
    }
    std::string read_bytes(size_t count, ssize_t expected_result) {
        std::string data(count, '\0');
        EXPECT_EQ(plat_read(bus_, data.data(), count), expected_result);
        return data;
    }
    void enable_mux(uint8_t mask) {
        select(0x70);
        ASSERT_EQ(write_bytes({mask}), 1);
    }

    int bus_ = -1;
    std::string saved_eeprom_;
};

TEST_F(I2cEmulation, EepromAnswersOnlyBehindMultiplexerChannel2) {
    select(0x56);
    errno = 0;
    EXPECT_EQ(write_bytes({0x01, 0x00}), -1);
    EXPECT_EQ(errno, ENXIO);

    enable_mux(0x02);  // channel 1: still unreachable
    select(0x56);
    EXPECT_EQ(write_bytes({0x01, 0x00}), -1);

    enable_mux(0x04);
    select(0x56);
    EXPECT_EQ(write_bytes({0x01, 0x00}), 2);
    EXPECT_EQ(read_bytes(1, 1), std::string(1, '\x01'));  // default boot slot

    enable_mux(0x00);
    select(0x56);
    EXPECT_EQ(plat_read(bus_, nullptr, 0), -1);
    EXPECT_EQ(errno, ENXIO);
}

TEST_F(I2cEmulation, BadAddressesAbsentDevicesAndBusesFailAsOnLinux) {
    errno = 0;
    EXPECT_EQ(plat_ioctl(bus_, I2C_SLAVE, 0xACUL), -1);  // more than seven bits
    EXPECT_EQ(errno, EINVAL);
    sandbox::write_board_file("i2c-absent", "rtc\n");
    select(0x68);  // selecting succeeds: no bus traffic yet
    EXPECT_EQ(write_bytes({0x00}), -1);
    EXPECT_EQ(errno, ENXIO);

    select(0x33);  // nobody lives there
    EXPECT_EQ(write_bytes({0x00}), -1);
    EXPECT_EQ(errno, ENXIO);

    int bus1 = plat_open("/dev/i2c-1", O_RDWR);
    ASSERT_GE(bus1, 0);
    ASSERT_EQ(plat_ioctl(bus1, I2C_SLAVE, 0x68UL), 0);
    uint8_t byte = 0;
    EXPECT_EQ(plat_write(bus1, &byte, 1), -1);
    plat_close(bus1);

    sandbox::write_board_file("i2c-buses", "0\n");
    errno = 0;
    EXPECT_EQ(plat_open("/dev/i2c-1", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

// Sequential EEPROM reads, persisted writes and the transfer log are
// asserted by board/i2c_test.cpp; the clock and the LED log by the
// install-time stamp, low security and console physical-presence tests.

}  // namespace
