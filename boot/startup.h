// The launcher's life from start to hand-over: board preparation, boot
// settings, system date, eMMC check, keys, start-up requests, USB, and the
// boot of the configured slot with fall-back to the other.
#pragma once

#include <cstddef>

#include "board/i2c.h"

// The whole start-up sequence; never returns.
[[noreturn]] void boot_main();

// The shell command that sets the system date from the clock registers:
// "date MMDDhhmm20YY.ss" and a line end.
void rtc_date_command(const ClockStamp& clock, char* out, std::size_t size);
