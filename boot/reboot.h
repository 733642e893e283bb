// Rebooting the board, which every subsystem may do (the rescue menu, the
// physical-presence test, the installer's callers, a failed last slot).
// Only the platform seam lies below it, so any folder may include it
// without pulling in start-up.
#pragma once

// Waits a second, runs "reboot" and ends the process with status 0; when the
// shell cannot be started it first says so on the error output.
[[noreturn]] void reboot_board();
