// The switch's I2C buses and the devices on them.
//
// Bus 0 carries a multiplexer (0xE0), the board EEPROM behind multiplexer
// channel 2 (0xAC), the real-time clock (0xD0) and the LED controller (0x8E);
// bus 1 is opened and closed but nothing on it is used. Addresses are given
// in their 8-bit form (7-bit address shifted left by one), the form the board
// documentation uses; the I2C_SLAVE request gets the 7-bit address.
//
// Every transfer is synchronous, never retried and never fatal: a failure
// prints one line on standard output and the caller goes on with whatever its
// buffer held before.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kI2cBusCount = 2;

// The bus table: the descriptor of "/dev/i2c-0" and "/dev/i2c-1". 0 stands
// for a bus that is not open; a bus whose open failed keeps the -1 it got.
extern int i2c_bus_fds[kI2cBusCount];

// 8-bit device addresses on bus 0.
inline constexpr std::uint8_t kI2cMuxAddr = 0xE0;
inline constexpr std::uint8_t kI2cEepromAddr = 0xAC;
inline constexpr std::uint8_t kI2cRtcAddr = 0xD0;
inline constexpr std::uint8_t kI2cLedAddr = 0x8E;
// The multiplexer channel that leads to the board EEPROM.
inline constexpr int kI2cEepromChannel = 2;

// The seven clock registers (BCD) exactly as read in one block from
// register 0. The date command, the install log, the physical-presence test
// and the slot install-time stamps all use this block.
struct ClockStamp {
    std::uint8_t reg[7];
};
inline constexpr int kRtcSeconds = 0;  // 7 bits
inline constexpr int kRtcMinutes = 1;  // 7 bits
inline constexpr int kRtcHours = 2;    // 6 bits, 24-hour form
inline constexpr int kRtcWeekday = 3;  // not used
inline constexpr int kRtcDay = 4;      // 6 bits
inline constexpr int kRtcMonth = 5;    // 5 bits
inline constexpr int kRtcYear = 6;     // year within the century 20xx

// Opens bus 0 and then bus 1 read-write. 0 when both opened; -1 after
// "ERROR: driver %s couldn't be opened\n" at the first failure (bus 1 is
// then not tried).
int i2c_open_buses();

// Closes every open bus and marks it not open. Always 0.
int i2c_close_buses();

// Enables only multiplexer channel `channel` (0-7): the result of writing
// the control byte, or -1 when the multiplexer could not be selected.
int i2c_mux_select(std::uint8_t mux_addr, int bus, int channel);

// Disables every multiplexer channel: the result of writing the byte 0.
int i2c_mux_release(std::uint8_t mux_addr, int bus);

// Reads `count` bytes from register `reg` of a device: the register address
// goes out in `width` bytes (1, or 2 with the high byte first). Prints the
// failing step's line. 1 when all bytes came, else 0; callers rely on their
// buffer, which they fill with a default first.
int i2c_read_reg(int bus, std::uint8_t dev_addr, std::uint16_t reg, std::size_t count, int width,
                 std::uint8_t* buf);

// Reads `count` bytes of the board EEPROM at `offset`, multiplexer channel 2
// enabled around the read. The buffer's first byte.
std::uint8_t eeprom_read(std::uint16_t offset, std::size_t count, std::uint8_t* buf);

// Writes one EEPROM byte and gives the part 100 ms to store it. The number of
// bytes sent (3), or a negative value on failure.
int eeprom_write_byte(std::uint16_t offset, std::uint8_t value);

// Reads the seven clock registers. 1 when all came, else 0 (the stamp is
// then as the caller left it, or partly read).
int rtc_read(ClockStamp* stamp);

// Reads one LED controller register into *value; the byte read (or the
// caller's default on failure).
std::uint8_t led_read(std::uint8_t reg, std::uint8_t* value);

// Writes one LED controller register and waits 100 ms. The number of bytes
// sent (2), or a negative value on failure.
int led_write(std::uint8_t reg, std::uint8_t value);
