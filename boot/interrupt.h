// Ctrl-C on the console.
//
// The launcher never dies of SIGINT: the handler only raises a process-wide
// flag. Because it is installed without automatic restart, a console read
// that the signal hits returns without a key, and the dialogues that care
// (low security mode, rescue menu, network set-up) test the flag after their
// line and give up. Only the rescue menu clears the flag.
#pragma once

#include <atomic>
#include <cstdint>

// 1 once a SIGINT has arrived since the rescue menu last cleared it, else 0.
// A lock-free atomic byte, so the handler may write it safely.
extern std::atomic<std::uint8_t> interrupt_flag;

// The SIGINT handler: sets interrupt_flag to 1 and does nothing else.
void on_interrupt(int signum);

// Installs on_interrupt for SIGINT with an empty mask and no flags (in
// particular no SA_RESTART). The result of sigaction: 0, or -1 on failure.
int install_interrupt_handler();
