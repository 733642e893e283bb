// The I2C transfers and the board operations on the EEPROM and the clock.
// The OS kind, boot slot, Orvex slot and install time stamp read and written
// in the EEPROM are console tests (test_install.py reads the bytes).
#include "board/i2c.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "board/board.h"
#include "platform/sandbox/test_support.h"

namespace {

using sandbox_test::capture_stdout;

class I2cTest : public ::testing::Test {
   protected:
    void SetUp() override {
        board_.set("i2c-buses", "0 1\n");
        board_.set("i2c-absent", "");
        board_.set("i2c-read-fails", "");
        board_.set("i2c.log", "");
        board_.set("rtc", "2024-12-31 23:07:59\n");
        eeprom_ = std::string(8192, '\xEE');
        eeprom_[kEepromOsKind] = 'C';
        board_.set("eeprom.bin", eeprom_);
        sandbox::reset_slept_us();
        ASSERT_EQ(0, i2c_open_buses());
    }
    void TearDown() override { i2c_close_buses(); }
    char eeprom_at(std::size_t offset) { return board_.get("eeprom.bin").at(offset); }
    void eeprom_absent() { board_.set("i2c-absent", "eeprom\n"); }

    sandbox_test::BoardFiles board_;
    std::string eeprom_;
};

TEST_F(I2cTest, MultiplexerIsEnabledOnlyAroundEachEepromAccess) {
    eeprom_[0x0139] = 0x3C;
    board_.set("eeprom.bin", eeprom_);
    std::uint8_t byte = 0;
    EXPECT_EQ(0x3C, eeprom_read(0x0139, 1, &byte));
    EXPECT_EQ(3, eeprom_write_byte(0x0102, 0x5A));
    EXPECT_EQ('\x5A', eeprom_at(0x0102));
    eeprom_absent();  // also when the access fails
    capture_stdout([&] {
        eeprom_read(0x0100, 1, &byte);
        eeprom_write_byte(0x0100, 0x11);
    });
    // Channel 2 on, the EEPROM message (offset high byte first), all off.
    EXPECT_EQ(
        "0 0x70 w 04\n0 0x56 w 01 39\n0 0x56 r 3c\n0 0x70 w 00\n"
        "0 0x70 w 04\n0 0x56 w 01 02 5a\n0 0x70 w 00\n"
        "0 0x70 w 04\n0 0x56 w nak\n0 0x70 w 00\n"
        "0 0x70 w 04\n0 0x56 w nak\n0 0x70 w 00\n",
        board_.get("i2c.log"));
    // Only channels 0 to 7 exist: those two ends are sent, another is
    // refused before anything is sent.
    board_.set("i2c.log", "");
    EXPECT_EQ(1, i2c_mux_select(kI2cMuxAddr, 0, 0));
    EXPECT_EQ(1, i2c_mux_select(kI2cMuxAddr, 0, 7));
    EXPECT_EQ("0 0x70 w 01\n0 0x70 w 80\n", board_.get("i2c.log"));
    board_.set("i2c.log", "");
    EXPECT_EQ(-1, i2c_mux_select(0x70, 0, 8));
    EXPECT_EQ(-1, i2c_mux_select(0x70, 0, -1));
    // A register address is one byte or two, and a read needs somewhere to
    // put its bytes: anything else is refused before it reaches the bus.
    byte = 0x42;
    EXPECT_EQ(0, i2c_read_reg(0, 0x56, 0x0139, 1, 0, &byte));
    EXPECT_EQ(0, i2c_read_reg(0, 0x56, 0x0139, 1, 3, &byte));
    EXPECT_EQ(0, i2c_read_reg(0, 0x56, 0x0139, 1, 2, nullptr));
    EXPECT_EQ(0x42, byte);
    EXPECT_EQ("", board_.get("i2c.log"));
    // The board has buses 0 and 1 only: another number reaches no driver.
    for (int bus : {-1, 2}) {
        EXPECT_EQ("I2C error when setting bus " + std::to_string(bus) + ", device 0x56: 9\n",
                  capture_stdout([&] { EXPECT_EQ(0, i2c_read_reg(bus, 0x56, 0x0139, 1, 2, &byte)); }));
        EXPECT_EQ(-1, i2c_mux_release(kI2cMuxAddr, bus));
    }
    EXPECT_EQ(0x42, byte);
    EXPECT_EQ("", board_.get("i2c.log"));
    // A read of no bytes needs no buffer: the register address goes out,
    // nothing comes back, and nothing missing is no failure.
    EXPECT_EQ("",
              capture_stdout([] { EXPECT_EQ(1, i2c_read_reg(0, kI2cLedAddr, 2, 0, 1, nullptr)); }));
    EXPECT_EQ("0 0x47 w 02\n0 0x47 r\n", board_.get("i2c.log"));
}

TEST_F(I2cTest, FailuresPrintTheirLineWithTheEightBitAddress) {
    std::uint8_t led = 0;
    EXPECT_EQ(2, led_write(2, 0xF1));
    EXPECT_EQ(0xF1, led_read(2, &led));
    // The serial number in one read behind channel 2, the multiplexer
    // released after it.
    std::uint8_t serial[kBoardSerialLen] = {};
    board_.set("i2c.log", "");
    EXPECT_EQ(1, board_read_serial(serial));
    EXPECT_EQ(eeprom_.substr(kEepromSerial, kBoardSerialLen),
              std::string(serial, serial + kBoardSerialLen));
    std::string log = board_.get("i2c.log");
    EXPECT_TRUE(log.starts_with("0 0x70 w 04\n0 0x56 w 00 0d\n0 0x56 r ee ee") &&
                log.ends_with(" ee\n0 0x70 w 00\n"))
        << log;

    // An EEPROM read, an EEPROM write and an LED write that fail with
    // `err` each print their line; the read leaves the caller's default.
    std::uint8_t byte = 0x77;
    int result = 0;
    auto each_fails_with = [&](const std::string& err) {
        byte = 0x77;
        EXPECT_EQ("I2C error - device 0xac writing bus 0 offset 312: " + err + "\n",
                  capture_stdout([&] { eeprom_read(0x0138, 1, &byte); }));
        EXPECT_EQ(0x77, byte);
        EXPECT_EQ("I2C error when writing bus 0 offset 314: " + err + "\n",
                  capture_stdout([&] { result = eeprom_write_byte(0x013A, 4); }));
        EXPECT_LT(result, 0);
        EXPECT_EQ("I2C error when writing LED on bus 0 offset 2: " + err + "\n",
                  capture_stdout([&] { result = led_write(2, 1); }));
        EXPECT_LT(result, 0);
    };
    board_.set("i2c-absent", "eeprom led\n");
    each_fails_with("6");
    std::fill(std::begin(serial), std::end(serial), 0x33);
    capture_stdout([&] { EXPECT_EQ(0, board_read_serial(serial)); });
    EXPECT_EQ(std::string(kBoardSerialLen, '\x33'), std::string(serial, serial + kBoardSerialLen));
    capture_stdout([&] { EXPECT_EQ(0, i2c_read_reg(0, 0x56, 0x0138, 1, 2, &byte)); });
    // The board's own reads take 0 for a byte that cannot be read.
    EXPECT_EQ(0, capture_stdout([] { EXPECT_EQ(0, board_get_boot_slot()); }).find("I2C error"));

    // The address is acknowledged but the data phase fails.
    board_.set("i2c-absent", "");
    board_.set("i2c-read-fails", "rtc\n");
    ClockStamp clock{};
    EXPECT_EQ("I2C error - device 0xd0 @ 0, 7 bytes : 5\n",
              capture_stdout([&] { EXPECT_EQ(0, rtc_read(&clock)); }));
    EXPECT_EQ(0, clock.reg[0]);
    EXPECT_EQ(0, rtc_read(nullptr));  // nowhere to put the time: nothing read
    EXPECT_EQ(0, led_read(2, nullptr));  // nor an LED register
    // A write the driver reports one byte short is a failed write (EIO),
    // the register address of a read too.
    board_.set("i2c-read-fails", "");
    board_.set("i2c-short-writes", "eeprom led\n");
    each_fails_with("5");
    board_.remove("i2c-short-writes");
    EXPECT_EQ(0, board_read_serial(nullptr));  // nor the serial number
    // Nor an EEPROM byte, and a read of no bytes gives 0 and touches no bus.
    board_.set("i2c.log", "");
    EXPECT_EQ(0, eeprom_read(0x0100, 1, nullptr));
    byte = 0x77;
    EXPECT_EQ(0, eeprom_read(0x0100, 0, &byte));
    EXPECT_EQ("", board_.get("i2c.log"));
}

TEST_F(I2cTest, InstallTimeStampGoesOnlyToASlotAndStopsAtTheFirstFailedByte) {
    // Only the two slots have a stamp: another number writes nothing.
    ClockStamp stamp{};
    EXPECT_EQ(0, image_timestamp_write(3, &stamp));
    EXPECT_EQ(0, image_timestamp_write(0, &stamp));
    EXPECT_EQ(0, image_timestamp_write(1, nullptr));
    EXPECT_EQ("", board_.get("i2c.log"));
    // The clock as it was when the install ended, read before the second's
    // wait that follows: seconds, minutes, hours first (BCD).
    int written = 0;
    EXPECT_EQ("", capture_stdout([&] { written = image_stamp_install_time(2); }));
    EXPECT_EQ(1, written);
    EXPECT_EQ(std::string("\x59\x07\x23"), board_.get("eeprom.bin").substr(kEepromStampSlot2, 3));
    EXPECT_EQ(eeprom_.substr(kEepromStampSlot1, 7),
              board_.get("eeprom.bin").substr(kEepromStampSlot1, 7));
    sandbox::reset_slept_us();
    eeprom_absent();
    int result = 1;
    EXPECT_EQ(
        "I2C error when writing bus 0 offset 264: 6\n"
        "Error setting image timestamp at offset 0x108 byte 0\n",
        capture_stdout([&] { result = image_stamp_install_time(1); }));
    EXPECT_EQ(0, result);
    EXPECT_EQ(1100000u, sandbox::slept_us());  // no further byte tried
}

}  // namespace

namespace {

// The first bus that cannot be opened ends the opening: a later one is not
// tried.
TEST_F(I2cTest, OpeningStopsAtTheFirstMissingBus) {
    // Closing again closes nothing: an entry of 0 means "never opened",
    // and descriptor 0 is the console's, which stays open.
    if (fcntl(STDIN_FILENO, F_GETFD) == -1) {
        ASSERT_EQ(STDIN_FILENO, open("/dev/null", O_RDONLY));
    }
    i2c_close_buses();
    i2c_close_buses();
    EXPECT_NE(-1, fcntl(STDIN_FILENO, F_GETFD));
    // Nor does a request: a closed bus is refused before any driver call,
    // which on descriptor 0 would go to the console.
    EXPECT_EQ("I2C error when setting LED on bus 0: 9\n",
              capture_stdout([] { EXPECT_EQ(-1, led_write(2, 1)); }));
    board_.set("i2c-buses", "1\n");
    EXPECT_EQ("ERROR: driver /dev/i2c-0 couldn't be opened\n",
              capture_stdout([] { EXPECT_EQ(-1, i2c_open_buses()); }));
    EXPECT_EQ(0, i2c_bus_fds[1]);
    // Nothing reaches a bus that is not open.
    int result = 0;
    EXPECT_EQ("I2C error when setting LED on bus 0: 9\n",
              capture_stdout([&] { result = led_write(2, 1); }));
    EXPECT_EQ(-1, result);
    EXPECT_EQ("I2C error when setting bus 0: 9\n",
              capture_stdout([&] { result = eeprom_write_byte(0x013A, 4); }));
    EXPECT_EQ(-1, result);
}

}  // namespace
