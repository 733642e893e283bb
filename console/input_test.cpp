#include "console/input.h"
#include "console/rescue.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sandbox/test_support.h"

namespace {

using namespace std::chrono_literals;

// A pseudo-terminal standing in for the serial console; its settings start
// as a fresh terminal's (line editing and echo on).
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        close(slave);
        close(master);
    }
    // Like a raw serial line: keys typed ahead reach the launcher unchanged.
    void make_raw() {
        termios t = attributes();
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    termios attributes() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    void type(const std::string& keys) const {
        EXPECT_GE(write(master, keys.data(), keys.size()), 0);
    }
    int master;
    int slave;
};

bool same_attributes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Runs fn with the terminal as standard input; its standard output, byte
// for byte. Should a read wrongly keep waiting, `unblock` is typed after a
// few seconds, so that the test fails on the result instead of hanging;
// then line ends, for a read left in line mode.
template <typename Fn>
std::string on_console(const Pty& pty, const std::string& unblock, Fn&& fn) {
    std::atomic<bool> done{false};
    std::thread guard([&] {
        for (int i = 0; i < 100 && !done; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        if (!done) {
            pty.type(unblock);
        }
        for (int i = 0; i < 100 && !done; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        while (!done) {
            pty.type("\n");
            std::this_thread::sleep_for(50ms);
        }
    });
    int saved_in = dup(STDIN_FILENO);
    dup2(pty.slave, STDIN_FILENO);
    std::string out = sandbox_test::capture_stdout(fn);
    dup2(saved_in, STDIN_FILENO);
    close(saved_in);
    done = true;
    guard.join();
    return out;
}

TEST(ConsoleInput, RawModeLastsForTheOneReadOnly) {
    Pty pty;
    const termios before = pty.attributes();
    // The key comes while the read waits in raw mode, as an operator types,
    // a while after the wait began: a plain key read has no time limit.
    std::thread typist([&] {
        for (int i = 0; i < 500 && (pty.attributes().c_lflag & ICANON) != 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(400ms);
        pty.type("k");
    });
    std::uint8_t key = 0;
    EXPECT_EQ("", on_console(pty, "z", [&] { key = get_key(); }));
    typist.join();
    EXPECT_EQ('k', key);
    EXPECT_TRUE(same_attributes(before, pty.attributes()));
    pollfd echo{pty.master, POLLIN, 0};
    EXPECT_EQ(0, poll(&echo, 1, 200));  // the terminal did not echo the key

    on_console(pty, "z", [&] { key = get_key_timed(3); });
    EXPECT_EQ(0, key);  // time-out
    EXPECT_TRUE(same_attributes(before, pty.attributes()));
}

TEST(ConsoleInput, LineEditor) {
    const struct {
        std::string keys;
        std::size_t size;
        std::string text;
        std::string screen;
    } cases[] = {
        {"abd\002c\r", 32, "abcd", "abd\bcd\b\n"},  // insert in the middle
        {"ab\x01x\r", 32, "xab", "ab\b\bxab\b\b\n"},
        {"abc\x7f\r", 32, "ab", "abc\b \b\n"},
        {"abc\x02\x08\r", 32, "ac", "abc\b\bc \b\b\n"},
        {"abc\x01\x04\r", 32, "bc", "abc\b\b\bbc \b\b\b\n"},  // Ctrl-D redraws
        {"\x08\002a\x06\x04\r", 32, "a", "a\n"},              // nothing to do at the edges
        {"abc\x02\x02\r", 32, "abc", "abc\b\b\n"},            // Enter in the middle
        {"ab\x01\x1b[1;5Cx\x1b[D\x1b[A\x1b[3~\r", 32, "axb", "ab\b\baxb\b\b\n"},
        {"ab\x1b\x7f\x1bz\r", 32, "az", "ab\b \bz\n"},
        {"ab\x1b\x1b[Dx\r", 32, "axb", "ab\bxb\b\n"},  // the second ESC starts the arrow
        {"a\x1b[D[\r", 32, "[a", "a\b[a\b\n"},      // a sequence ends at its final byte
        {"\t\xe9\r", 32, "\xe9", "\a\xe9\n"},
        {"ab\r", 1, "", "\a\a\n"},
        {"ab\r", 0, "", ""},  // no room at all: nothing is read or written
        {"0123456789abcdefgh\r", 18, "0123456789abcdefg", "0123456789abcdefg\a\n"},
        {"ab\x03", 32, "ab", "ab <break>\n"},  // Ctrl-C as data
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screen);
        Pty pty;
        pty.make_raw();
        pty.type(c.keys);
        std::string buf(c.size + 4, 'Z');  // four guard bytes after the buffer
        char* result = nullptr;
        std::string screen =
            on_console(pty, "\x03", [&] { result = read_line(buf.data(), c.size); });
        EXPECT_EQ(buf.data(), result);
        EXPECT_EQ(c.text + std::string(c.size - c.text.size(), '\0') + "ZZZZ", buf);
        EXPECT_EQ(c.screen, screen);
    }
}

// The rescue menu shows no result, so the dialogue's own is asserted here:
// "q" at the port's first question goes on to the server's address, and
// "Q" there (either case) abandons the download before any file name is
// asked.
TEST(ConsoleInput, TftpDialogueQuitAtTheServerIsAbandoned) {
    Pty pty;
    pty.make_raw();
    pty.type("q\rQ\r");
    int result = -1;
    std::string screen = on_console(pty, "q\r", [&] { result = tftp_rescue(); });
    EXPECT_EQ(0, result);
    EXPECT_NE(std::string::npos, screen.find("IP addr    :q\nServer addr:Q\n")) << screen;
    EXPECT_EQ(std::string::npos, screen.find("Image Filename")) << screen;
    EXPECT_EQ(std::string::npos, screen.find("Invalid IP address")) << screen;
}

// The terminal's keys on standard input and the screen on a pipe, for one
// test: what reached the screen can be read while the launcher waits.
struct ScreenOnAPipe {
    explicit ScreenOnAPipe(const Pty& pty) {
        EXPECT_EQ(0, pipe(ends));
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        std::fflush(stdout);
        saved_out = dup(STDOUT_FILENO);
        saved_in = dup(STDIN_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        dup2(pty.slave, STDIN_FILENO);
    }
    ~ScreenOnAPipe() {
        std::fflush(stdout);
        dup2(saved_out, STDOUT_FILENO);
        dup2(saved_in, STDIN_FILENO);
        close(saved_out);
        close(saved_in);
        close(ends[0]);
        close(ends[1]);
    }
    // What has reached the screen so far.
    std::string shown() const {
        char seen[64] = {};
        ssize_t got = read(ends[0], seen, sizeof seen);
        return std::string(seen, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    int ends[2] = {-1, -1};
    int saved_out = -1;
    int saved_in = -1;
};

// The answer is on the screen when the question returns, before whatever
// long step it starts: read here before anything else flushes the output.
TEST(ConsoleInput, AnswerIsShownBeforeTheQuestionReturns) {
    Pty pty;
    pty.make_raw();
    pty.type("y");
    int answer = -1;
    std::string seen;
    {
        ScreenOnAPipe screen(pty);
        answer = ask_yes_no("Go on", 0);
        seen = screen.shown();
    }
    EXPECT_EQ(1, answer);
    EXPECT_EQ("Go on y/N? y\n", seen);
}

// A question is on the screen while its key is awaited: the operator
// typing it (here once the read waits in raw mode) has seen it.
TEST(ConsoleInput, QuestionIsOnTheScreenWhileTheKeyIsAwaited) {
    Pty pty;
    std::uint8_t key = 0;
    std::string seen;
    {
        ScreenOnAPipe screen(pty);
        std::thread typist([&] {
            for (int i = 0; i < 500 && (pty.attributes().c_lflag & ICANON) != 0; ++i) {
                std::this_thread::sleep_for(10ms);
            }
            seen = screen.shown();
            pty.type("k");
        });
        std::fputs("Key? ", stdout);
        key = get_key();
        typist.join();
    }
    EXPECT_EQ('k', key);
    EXPECT_EQ("Key? ", seen);
}

// The version listing's own result, which the menu does not show.
TEST(ConsoleInput, VersionListingGivesZero) {
    int result = -1;
    std::string listing = sandbox_test::capture_stdout([&] { result = show_versions(); });
    EXPECT_EQ(0, result);
    EXPECT_NE(std::string::npos, listing.find("Installed images versions")) << listing;
}

// The yes/no question's answers are asserted through the key wipe
// (auth/lowsec_test.cpp); Ctrl-C at a key read, a line and a question by
// the console tests (test_rescue.py, test_network.py).

}  // namespace
