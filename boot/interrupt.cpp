#include "boot/interrupt.h"

#include <csignal>

// A signal handler may only touch lock-free atomics; a byte is lock-free on
// every CPU the launcher is built for, PowerPC included.
static_assert(std::atomic<std::uint8_t>::is_always_lock_free);

std::atomic<std::uint8_t> interrupt_flag{0};

void on_interrupt(int /*signum*/) {
    interrupt_flag.store(1);
}

int install_interrupt_handler() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking console read must come back when Ctrl-C is
    // pressed, so that the dialogue waiting on it can notice the flag.
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr);
}
