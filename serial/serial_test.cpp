// The console port's speed switch, against a pseudo-terminal standing in
// for the operator's terminal. Waits are counted by the sandbox, never
// waited for.
#include "serial/serial.h"

#include <termios.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "serial/test_support.h"
#include "serial/xmodem.h"

namespace {

using sandbox_test::capture;
using serial_test::SerialLine;
using serial_test::Terminal;

const std::string kFastPrompt =
    "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
    "       before initiating the download.\n";
const std::string kFastReminder =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
const std::string kRestorePrompt =
    "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
const std::string kRestoreReminder = "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";

std::string repeat(const std::string& text, std::uint64_t times) {
    std::string all;
    for (std::uint64_t i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

// Only a carriage return ends the wait in fast mode and only a line feed
// the wait after the switch back; the operator is reminded after every 11
// seconds of waiting.
TEST(SerialSpeed, EnterEndsEachWaitAndTheOperatorIsRemindedEvery11Seconds) {
    SerialLine line("1000");
    // The console's own settings: 9600 bps, no line editing, CR kept as CR.
    termios normal{};
    ASSERT_EQ(tcgetattr(line.master(), &normal), 0);
    cfmakeraw(&normal);
    cfsetispeed(&normal, B9600);
    cfsetospeed(&normal, B9600);
    ASSERT_EQ(tcsetattr(line.master(), TCSANOW, &normal), 0);

    const std::uint64_t start = Terminal::counted_s();
    line.start(
        [start](Terminal& t) {
            t.send("\n x");  // not Enter at 115200 bps
            t.wait_until([start] { return Terminal::counted_s() >= start + 23; });
            t.send("\r");
            t.wait_until([&t] { return !t.fast(); });
            const std::uint64_t back = Terminal::counted_s();
            t.send("\r");  // not Enter once back
            t.wait_until([back] { return Terminal::counted_s() >= back + 12; });
            return 0;
        },
        false);

    termios fast{};
    termios restored{};
    std::uint64_t fast_s = 0;
    std::uint64_t restore_s = 0;
    std::string out = capture(1, [&] {
        int port = serial_fast_mode();
        fast_s = Terminal::counted_s() - start;
        tcgetattr(port, &fast);
        EXPECT_EQ(serial_restore_mode(port), 1);
        restore_s = Terminal::counted_s() - start - fast_s;
        tcgetattr(port, &restored);
        plat_close(port);
    });
    std::string log;
    EXPECT_EQ(line.join(&log), 0);

    EXPECT_GE(fast_s, 23u);
    EXPECT_GE(restore_s, 12u);
    EXPECT_EQ(out, kFastPrompt + repeat(kFastReminder, fast_s / 11) + kRestorePrompt +
                       repeat(kRestoreReminder, restore_s / 11));
    EXPECT_EQ(log, "");  // the switch itself sends nothing on the line

    // 115200 bps raw 8N1 without output processing, then the old settings.
    EXPECT_EQ(cfgetispeed(&fast), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&fast), static_cast<speed_t>(B115200));
    EXPECT_EQ(fast.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(fast.c_oflag, 0u);
    EXPECT_EQ(fast.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(fast.c_lflag & (ICANON | ISIG | ECHO | ECHOE | ECHOKE), 0u);
    EXPECT_EQ(cfgetospeed(&restored), static_cast<speed_t>(B9600));
    EXPECT_EQ(restored.c_iflag, normal.c_iflag);
    EXPECT_EQ(restored.c_lflag, normal.c_lflag);
}

// A port that cannot be opened is reported at once; nothing waits on the
// invalid handle and nothing uses it, and no download file is created.
TEST(SerialSpeed, MissingPortFailsAtOnceWithoutWaiting) {
    sandbox_test::BoardFiles board;
    board.set("tty", "/dev/no-such-tty\n");
    unlink("/tmp/xmodem-never");
    const std::uint64_t before = sandbox::slept_us();
    int port = 0;
    long received = 0;
    std::string err = capture(2, [&] {
        std::string out = capture(1, [&] {
            port = serial_fast_mode();
            EXPECT_EQ(serial_restore_mode(port), -1);
            unsigned char byte = 0xAA;
            EXPECT_EQ(serial_get_byte(5, &byte, port), -1);
            EXPECT_EQ(byte, 0xAA);
            EXPECT_EQ(serial_put_byte('C', port), -1);
            serial_drain(port);
            received = xmodem_receive("/tmp/xmodem-never");
        });
        EXPECT_EQ(out, "");
    });
    EXPECT_EQ(port, -1);
    EXPECT_EQ(received, -1);
    EXPECT_EQ(err,
              "Can't open serial port!: No such file or directory\n"
              "Can't open serial port!: No such file or directory\n");
    EXPECT_EQ(sandbox::slept_us(), before);
    EXPECT_EQ(access("/tmp/xmodem-never", F_OK), -1);
}

}  // namespace
