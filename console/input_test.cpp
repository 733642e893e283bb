#include "console/input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "boot/interrupt.h"
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
    // With `signals`, a typed Ctrl-C raises SIGINT instead.
    void make_raw(bool signals) {
        termios t = attributes();
        cfmakeraw(&t);
        t.c_lflag |= signals ? ISIG : 0;
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
// few seconds, so that the test fails on the result instead of hanging.
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
    // The key comes while the read waits in raw mode, as an operator types.
    std::thread typist([&] {
        for (int i = 0; i < 500 && (pty.attributes().c_lflag & ICANON) != 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
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

TEST(ConsoleInput, TimeLimits) {
    Pty pty;
    pty.make_raw(false);
    std::uint8_t key = 0xFF;
    // Only the low 8 bits reach the terminal: 256 means "do not wait".
    on_console(pty, "z", [&] { key = get_key_timed(256); });
    EXPECT_EQ(0, key);
    pty.type("q");
    on_console(pty, "z", [&] { key = get_key_timed(50); });
    EXPECT_EQ('q', key);
}

TEST(ConsoleInput, LineEditor) {
    const struct {
        std::string keys;
        std::size_t size;
        std::string text;
        std::string screen;
    } cases[] = {
        {"abd\x02"
         "c\r",
         32, "abcd", "abd\bcd\b\n"},  // insert in the middle
        {"ab\x01x\r", 32, "xab", "ab\b\bxab\b\b\n"},
        {"abc\x7f\r", 32, "ab", "abc\b \b\n"},
        {"abc\x02\x08\r", 32, "ac", "abc\b\bc \b\b\n"},
        {"abc\x01\x04\r", 32, "bc", "abc\b\b\bbc \b\b\b\n"},  // Ctrl-D redraws
        {"\x08\x02"
         "a\x06\x04\r",
         32, "a", "a\n"},                           // nothing to do at the edges
        {"abc\x02\x02\r", 32, "abc", "abc\b\b\n"},  // Enter in the middle
        {"ab\x01\x1b[1;5Cx\x1b[D\x1b[A\x1b[3~\r", 32, "axb", "ab\b\baxb\b\b\n"},
        {"ab\x1b\x7f\x1bz\r", 32, "az", "ab\b \bz\n"},
        {"\t\xe9\r", 32, "\xe9", "\a\xe9\n"},
        {"ab\r", 1, "", "\a\a\n"},
        {"0123456789abcdefgh\r", 18, "0123456789abcdefg", "0123456789abcdefg\a\n"},
        {"ab\x03", 32, "ab", "ab <break>\n"},  // Ctrl-C as data
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screen);
        Pty pty;
        pty.make_raw(false);
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

TEST(ConsoleInput, YesNoQuestion) {
    const std::string no_key("Wipe keys y/N? \0\n", 17);
    const struct {
        std::string key;
        int answer;
        std::string screen;
    } cases[] = {{"y", 1, "Wipe keys y/N? y\n"},
                 {"Y", 1, "Wipe keys y/N? Y\n"},
                 {"n", 0, "Wipe keys y/N? n\n"},
                 {"\r", 0, "Wipe keys y/N? \r\n"},
                 {"", 0, no_key}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.screen);
        Pty pty;
        pty.make_raw(false);
        pty.type(c.key);
        int answer = -1;
        EXPECT_EQ(c.screen, on_console(pty, "z", [&] { answer = ask_yes_no("Wipe keys", 2); }));
        EXPECT_EQ(c.answer, answer);
    }
}

// Waits until the process sleeps, which here means it waits in its console
// read (a bare pause where /proc is not mounted).
void wait_until_reading(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) {
            std::this_thread::sleep_for(300ms);
            return;
        }
        std::size_t state = line.rfind(')') + 2;
        if (state < line.size() && line[state] == 'S') {
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// Reads a child's output from `fd` until `text` has come (or the child
// stays quiet for 5 seconds); everything read so far is in `all`.
bool read_until(int fd, std::string& all, const std::string& text) {
    pollfd p{fd, POLLIN, 0};
    char chunk[256];
    while (all.find(text) == std::string::npos) {
        ssize_t n = poll(&p, 1, 5000) > 0 ? read(fd, chunk, sizeof chunk) : 0;
        if (n <= 0) {
            return false;
        }
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

// The console as on the switch: the terminal is the controlling terminal
// and turns a typed Ctrl-C into SIGINT. A first SIGINT comes from outside
// while get_key waits; a second is typed while the line editor waits.
TEST(ConsoleInput, InterruptEndsTheWaitWithoutAKey) {
    Pty pty;
    pty.make_raw(true);
    int out[2];
    ASSERT_EQ(0, pipe(out));
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        ioctl(pty.slave, TIOCSCTTY, 0);
        dup2(pty.slave, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        install_interrupt_handler();
        std::uint8_t key = get_key();
        std::printf("[key %d flag %d]", key, interrupt_flag.load());
        interrupt_flag = 0;
        char line[16];
        read_line(line, sizeof line);
        std::printf("[line %s flag %d]", line, interrupt_flag.load());
        std::fflush(stdout);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    close(out[1]);
    std::string all;
    wait_until_reading(child);
    kill(child, SIGINT);
    if (read_until(out[0], all, "[key 0 flag 1]")) {
        pty.type("ab");
        read_until(out[0], all, "ab");
        wait_until_reading(child);
        pty.type("\x03");  // the terminal turns it into SIGINT
        read_until(out[0], all, "\a");
        pty.type("\r");
    }
    read_until(out[0], all, "[line");
    kill(child, SIGKILL);  // in case it still waits
    waitpid(child, nullptr, 0);
    read_until(out[0], all, "]");
    close(out[0]);
    EXPECT_EQ("[key 0 flag 1]ab\a\n[line ab flag 1]", all);
}

}  // namespace
