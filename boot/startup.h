// The launcher's life from start to hand-over: board preparation, boot
// settings, system date, eMMC check, keys, start-up requests, USB, and the
// boot of the configured slot with fall-back to the other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/i2c.h"

// USB handling is enabled for this start (board byte 213, stick mounted).
extern std::uint8_t usb_enabled;
// The slot now being booted is the last chance: boot failures no longer
// return but end in the rescue menu, the shell escape and a reboot.
extern std::uint8_t second_attempt;

// The whole start-up sequence; never returns.
[[noreturn]] void boot_main();

// Waits a second, runs "reboot" and ends the process.
[[noreturn]] void reboot_board();

// The shell command that sets the system date from the clock registers:
// "date MMDDhhmm20YY.ss" and a line end.
void rtc_date_command(const ClockStamp& clock, char* out, std::size_t size);
