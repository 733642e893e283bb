// The console port's speed switch for serial downloads.
#pragma once

#include <termios.h>

// The line settings of a transfer, made from the console's: 115200 bps
// both ways, 8 data bits, no parity, one stop bit, no line editing, echo,
// signals or output processing.
termios fast_settings(const termios& normal);

// Switches the console port to 115200 bps after the operator's Enter. The
// port handle, or -1 when the port cannot be opened.
int serial_fast_mode();

// Puts the saved line settings back after the operator's Enter. The result
// of the last read.
int serial_restore_mode(int port);

int serial_put_byte(unsigned char byte, int port);

// 1 with the byte, or -1 after `timeout_s` seconds without one.
int serial_get_byte(int timeout_s, unsigned char* byte, int port);

// Reads and discards everything waiting on the port.
void serial_drain(int port);
