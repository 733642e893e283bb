// Booting an image slot: find the bootable component of a slot file (or of
// the OS image on a USB stick), check its CRC while its payload is written
// to /tmp, and hand over to the application launch.
#pragma once

#include <cstdint>

// Slot numbers: 1 and 2 are /user/images/image1 and image2, 3 the OS image
// on the USB stick.
inline constexpr int kUsbSource = 3;

// The slot now being booted is the last chance: boot failures no longer
// return but end in the rescue menu, the shell escape and a reboot.
// Start-up sets it before the second slot is tried.
extern std::uint8_t second_attempt;

// The slot the board is configured to boot: 1 or 2.
int configured_slot();

// Boots source `slot`. Returns 0 when it could not be booted and another
// source may be tried; on success it does not return. On the second
// attempt a failure ends in the rescue menu, the shell escape and a reboot.
int boot_slot(int slot);

// The interactive shell that the boot settings may ask for before a reboot.
void shell_escape();
