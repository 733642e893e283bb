// What the installer leaves for people and for the installed OS: the
// install log on /user and the version records on eMMC partition 4.
#pragma once

#include <cstdint>

// Appends one line naming the installed file and where it came from (a
// source text such as "USB", a server address or "xmodem"). Always 1.
int install_log_write(const char* file_name, const char* source);

// Writes the version, CRC and time records under `name` ("image1",
// "image2", "uboot", "onie"). Always 1.
int version_records_write(const char* name, std::uint32_t id, std::uint32_t crc);
