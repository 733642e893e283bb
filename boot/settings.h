// The boot settings: what the operator left in the boot loader's
// environment (debugger modes, shell escape, rescue menu at start-up...).
//
// The launcher gets no program arguments; it reads the U-Boot environment
// partition once at start-up and fills the process-wide `boot_settings`,
// which is read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

struct BootSettings {
    std::int32_t gdb = 0;        // start the application under the debugger
    std::int32_t gdbserver = 0;  // start it under the remote debugger server
    std::int32_t rescue = 0;     // open the rescue menu at start-up
    std::int32_t diags = 0;      // run the standalone diagnostics at start-up
    std::uint8_t shell = 0;  // interactive shell before the start and before a failed boot's reboot
    std::uint8_t memchk = 0;  // preload the memory-checking library
    std::int32_t lowsec = 0;  // the boot loader's low security override
    std::int32_t gdb_port = 1234;
    char eth_digit = '0';                     // active Ethernet controller, "eth" + digit
    char eth_addr[18] = "00:E0:0C:02:00:FD";  // the boot loader's MAC address
};

extern BootSettings boot_settings;

// Where the environment's variables start in the partition (after the
// CRC-32, which is not checked) and how much of it is searched.
inline constexpr std::uint32_t kBootEnvOffset = 4;
inline constexpr std::size_t kBootEnvSize = 0x20000;

// Reads the environment partition and fills `boot_settings`. An unreadable
// partition leaves every default in place, silently.
void read_boot_settings();

// The search over the environment text (NUL-terminated, variables already
// separated by blanks), applied to `settings`. Kept apart from the flash
// read so that the rules can be checked on their own.
void boot_settings_parse(const char* text, BootSettings* settings);
