// The console port's speed switch with a terminal program on the far end
// (serial/test_support.h). Its waits are counted by the board (slept-us),
// so the terminal types Enter after a chosen number of one-second waits.
#include "serial/serial.h"

#include <signal.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "serial/test_support.h"

namespace {

using sandbox_test::capture;
using serial_test::SerialLine;
using serial_test::Terminal;

constexpr std::uint64_t kSecond = 1000000;

// In fast mode only a carriage return ends the wait (a line feed and other
// bytes typed first are dropped); back at the former settings a line feed
// does. The reminder comes with the 11th, 22nd, ... wait of each, never
// before: the terminal types Enter in the 21st wait of the first and the
// 22nd of the second, so one and two reminders show, unless the line was
// slow to answer (the count is checked against the waits made).
TEST(SpeedSwitch, EnterAtEachSpeedEndsItsWaitAndTheReminderComesEveryEleventhWait) {
    sandbox::reset_slept_us();
    SerialLine line;
    line.start(
        [](Terminal& term) {
            // A launcher that waits on past the last Enter stops the test
            // instead of hanging it.
            auto give_up = [] {
                if (sandbox::slept_us() > 80 * kSecond) {
                    std::fputs("FAILED: the launcher waited on after the Enter key\n", stderr);
                    kill(getppid(), SIGABRT);
                    _exit(3);
                }
            };
            // Types `keys` once the launcher has made `waits` waits in all;
            // false when it closed the port before (its wait ended early).
            auto type_after = [&](std::uint64_t waits, const char* keys) {
                while (sandbox::slept_us() < waits * kSecond) {
                    if (term.closed(1)) {
                        return false;
                    }
                }
                term.send(keys);
                return true;
            };
            term.wait_until([&] { return term.fast(); });
            term.send("\n\x8dx");
            // A line end typed with the Enter, still at the fast speed, is
            // dropped at the switch back: only an Enter at 9600 ends that wait.
            if (!type_after(21, "\r\n")) {
                return 1;
            }
            term.wait_until([&] { return give_up(), !term.fast(); });
            if (!type_after(43, "\n")) {
                return 2;
            }
            while (!term.closed(1)) {
                give_up();
            }
            return 0;
        },
        false);
    int port = -1;
    std::string fast = capture(1, [&] { port = serial_fast_mode(); });
    std::uint64_t fast_waits = sandbox::slept_us() / kSecond;
    std::string back = capture(1, [&] { serial_restore_mode(port); });
    std::uint64_t back_waits = sandbox::slept_us() / kSecond - fast_waits;
    close(port);
    std::string log;
    EXPECT_EQ(0, line.join(&log));

    std::string shown_fast =
        "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
        "       before initiating the download.\n";
    std::string shown_back = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
    for (std::uint64_t wait = 11; wait <= fast_waits; wait += 11) {
        shown_fast +=
            "\r\n    ... Waiting for the <Enter> key to be hit before the download can "
            "start...\r\n";
    }
    for (std::uint64_t wait = 11; wait <= back_waits; wait += 11) {
        shown_back += "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";
    }
    EXPECT_GE(fast_waits, 21u);
    EXPECT_GE(fast_waits + back_waits, 43u);
    EXPECT_EQ(shown_fast, fast);
    EXPECT_EQ(shown_back, back);
}

}  // namespace

namespace {

// A byte is read only for a port that is there and a place to put it: a
// refused call leaves the waiting byte for the next.
// A pseudo-terminal keeps 8 data bits whatever it is told, so the settings
// a real UART would get are checked as made: from a console line at 9600
// bps, 7 data bits, even parity, two stop bits, line editing and echo.
TEST(SpeedSwitch, TransferSettingsAre115200EightNoneOneAndRaw) {
    termios normal{};
    cfsetispeed(&normal, B9600);
    cfsetospeed(&normal, B9600);
    normal.c_cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL;
    normal.c_iflag = ICRNL | IXON;
    normal.c_oflag = OPOST | ONLCR;
    normal.c_lflag = ICANON | ISIG | ECHO | ECHOE | ECHOKE | IEXTEN;
    termios fast = fast_settings(normal);
    EXPECT_EQ(cfgetispeed(&fast), B115200);
    EXPECT_EQ(cfgetospeed(&fast), B115200);
    EXPECT_EQ(fast.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(fast.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(fast.c_oflag, 0u);
    EXPECT_EQ(fast.c_lflag, static_cast<tcflag_t>(IEXTEN));
}

TEST(SerialByte, ReadOnlyWithAPortAndAPlaceForTheByte) {
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    ASSERT_EQ(1, write(ends[1], "x", 1));
    unsigned char byte = 0;
    EXPECT_EQ(-1, serial_get_byte(1, &byte, -1));
    EXPECT_EQ(-1, serial_get_byte(1, nullptr, ends[0]));
    EXPECT_EQ(1, serial_get_byte(1, &byte, ends[0]));
    EXPECT_EQ('x', byte);
    EXPECT_EQ(-1, serial_put_byte('y', -1));
    // Without a port there is no speed to restore and nothing to ask.
    int restored = 0;
    EXPECT_EQ("", capture(1, [&] { restored = serial_restore_mode(-1); }));
    EXPECT_EQ(-1, restored);
    close(ends[0]);
    close(ends[1]);
}

}  // namespace
