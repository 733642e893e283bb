// Named operations on the board EEPROM and the clock.
//
// The EEPROM holds the few bytes that survive between boots: which image slot
// to boot, whether the installed OS is the ORVEX application, which image is
// being booted now (read by the application OS), the install time of each
// slot, the serial number and the byte that enables booting from USB. Every
// reader fills its buffer with 0 first, so a missing or failing EEPROM reads
// as boot slot 0, OS kind not ORVEX and USB boot off.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/i2c.h"

// Board EEPROM layout; every other byte is left alone.
inline constexpr std::uint16_t kEepromSerial = 0x000D;       // 12 raw bytes
inline constexpr std::uint16_t kEepromBootSlot = 0x0100;     // slot while OS kind is not 'C'
inline constexpr std::uint16_t kEepromStampSlot1 = 0x0108;   // 7 bytes, a ClockStamp
inline constexpr std::uint16_t kEepromStampSlot2 = 0x0110;   // 7 bytes, a ClockStamp
inline constexpr std::uint16_t kEepromOsKind = 0x0138;       // 'C' ORVEX, 'E' otherwise
inline constexpr std::uint16_t kEepromOrvexSlot = 0x0139;    // slot while OS kind is 'C'
inline constexpr std::uint16_t kEepromBootedImage = 0x013A;  // 1, 2, 3 (USB), 4 (rescue)
inline constexpr std::uint16_t kEepromUsbByte = 0x013B;      // 0xD5 enables USB boot
inline constexpr std::size_t kBoardSerialLen = 12;

// 1 when the OS-kind byte holds 'C' (the ORVEX application is installed).
int board_is_orvex();

// Records the installed OS kind: 'C' when orvex is non-zero, else 'E'. The
// result of eeprom_write_byte.
int board_set_os_kind(int orvex);

// The configured boot slot (1 or 2; 0 when the EEPROM cannot be read). It is
// kept at a different offset for ORVEX and for other images.
std::uint8_t board_get_boot_slot();

// Stores the boot slot at the offset that the OS kind selects now. The
// result of eeprom_write_byte.
int board_set_boot_slot(std::uint8_t slot);

// Records the image being started (1, 2, 3 for USB, 4 for rescue) for the
// application OS. The result of eeprom_write_byte.
int board_set_booted_image(std::uint8_t image);

// Reads the 12-byte serial number into serial. The buffer is not cleared
// first: when the read fails it keeps what the caller put there. 1 when read.
int board_read_serial(std::uint8_t serial[kBoardSerialLen]);

// The board byte that enables booting from USB (0xD5), 0 when unreadable.
std::uint8_t board_read_usb_byte();

// Stores a slot's install time (slot 1 or 2). 1 on success; 0 for any other
// slot (nothing written) or at the first byte that fails, the bytes before it
// staying written.
int image_timestamp_write(int slot, const ClockStamp* stamp);

// Reads the clock, waits one second and stores it as the slot's install time.
int image_stamp_install_time(int slot);
