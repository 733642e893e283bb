// The XMODEM (CRC, 128- and 1024-byte blocks) receiver on the console port.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads `count` bytes into `dest`, with the CRC of those bytes in *crc.
// The number of bytes read.
int xmodem_read_block(unsigned char* dest, int count, std::uint16_t* crc, int port);

// Receives a file into `path`. The data bytes written after a completed
// transfer, 0 after a cancelled one, -1 when the file cannot be created.
long xmodem_receive(const char* path);
