#include "serial/serial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

// The console port's settings before the switch to fast mode, put back by
// serial_restore_mode. One copy: every switch to fast mode is followed by
// one switch back before the next.
termios saved_settings{};

// The operator is reminded of the Enter key after every 11 seconds of
// waiting.
constexpr unsigned kReminderEvery = 11;

}  // namespace

termios fast_settings(const termios& normal) {
    termios fast = normal;
    cfsetispeed(&fast, B115200);
    cfsetospeed(&fast, B115200);
    fast.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    fast.c_cflag |= CS8;
    fast.c_iflag = IGNBRK;
    fast.c_oflag = 0;
    fast.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE | ECHOKE);
    return fast;
}

namespace {

// Lets what is still being sent go out, drops what has arrived, and
// applies `settings` once the line is idle. After tcdrain nothing is left
// to send, so only input is flushed: flushing output too would, on a
// pseudo-terminal, throw away bytes the far end has not read yet (such as
// the last ACK of a transfer).
void switch_line(int port, const termios& settings, bool save) {
    tcdrain(port);
    tcflush(port, TCIFLUSH);
    if (save) {
        tcgetattr(port, &saved_settings);
    }
    tcsetattr(port, TCSADRAIN, &settings);
    tcflow(port, TCOON);
}

// Polls the port once a second until `key` arrives; other bytes are
// dropped. The operator types it at the new speed, so it only arrives once
// both ends agree. The result of the last read.
int wait_for_key(int port, unsigned char key, const char* reminder) {
    unsigned waits = 0;
    for (;;) {
        unsigned char byte = 0;
        ssize_t got = plat_read(port, &byte, 1);
        if (got == 1 && byte == key) {
            return static_cast<int>(got);
        }
        plat_sleep(1);
        waits += 1;
        if (waits % kReminderEvery == 0) {
            std::puts(reminder);
            std::fflush(stdout);
        }
    }
}

}  // namespace

int serial_fast_mode() {
    int port = plat_open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) {
        // Nothing waits on a port that is not there: the caller gets -1 at
        // once and every serial_ operation refuses that handle without
        // touching it or waiting.
        std::perror("Can't open serial port!");
        return -1;
    }
    std::puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    std::puts("       before initiating the download.");
    std::fflush(stdout);
    termios normal{};
    tcgetattr(port, &normal);
    switch_line(port, fast_settings(normal), true);
    wait_for_key(port, '\r',
                 "\r\n    ... Waiting for the <Enter> key to be hit before the download can "
                 "start...\r");
    return port;
}

int serial_restore_mode(int port) {
    if (port < 0) {
        return -1;
    }
    std::puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    std::fflush(stdout);
    switch_line(port, saved_settings, false);
    return wait_for_key(port, '\n', "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
}

int serial_put_byte(unsigned char byte, int port) {
    if (port < 0) {
        return -1;
    }
    return static_cast<int>(plat_write(port, &byte, 1));
}

// The port is non-blocking: a time-out is a count of 1-millisecond polls,
// not a clock measurement.
int serial_get_byte(int timeout_s, unsigned char* byte, int port) {
    if (port < 0 || byte == nullptr) {
        return -1;
    }
    long attempts = static_cast<long>(timeout_s) * 1000;
    for (long i = 0; i < attempts; ++i) {
        unsigned char got = 0;
        if (plat_read(port, &got, 1) == 1) {
            *byte = got;
            return 1;
        }
        plat_usleep(1000);
    }
    return -1;
}

void serial_drain(int port) {
    if (port < 0) {
        return;
    }
    unsigned char byte = 0;
    while (plat_read(port, &byte, 1) == 1) {
    }
}
