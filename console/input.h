// Console input: every question the launcher asks on the serial console.
//
// The console is a plain serial terminal. It is put in raw mode (no line
// buffering, no echo) for exactly one key read and set back at once, so that
// between reads, and whenever the launcher is not asking anything, the
// terminal behaves as the operator expects. The launcher echoes keys itself.
//
// A key is one byte; 0 means no key came: the time limit passed, the read
// failed, or Ctrl-C (SIGINT, see boot/interrupt.h) interrupted it.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads one key from standard input with a time limit in tenths of a second
// (0 waits without limit). Only the low 8 bits of the limit reach the
// terminal, so callers keep it within 0-255. The key, or 0 for none.
std::uint8_t get_key_timed(unsigned limit);

// Reads one key without a time limit; 0 when a signal interrupted the wait.
std::uint8_t get_key();

// The line editor: reads a line of at most size-1 characters into buf, which
// it clears first and keeps NUL-terminated. Supports cursor movement
// (Ctrl-A, Ctrl-B, Ctrl-F and the arrow keys), insertion in the middle,
// Backspace/Delete and Ctrl-D. Enter ends the line; Ctrl-C arriving as data
// ends it too after " <break>". Returns buf.
char* read_line(char* buf, std::size_t size);

// Asks "<question> y/N? " and reads one key with the given limit. 1 for y or
// Y; 0 for any other key and for no key.
int ask_yes_no(const char* question, unsigned limit);
