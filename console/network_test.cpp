// The MAC address dialogue: its line goes into a shell command, so only six
// hex groups may pass. (The rest of the network dialogue is tested on the
// console, tests/console/test_network.py.)
#include "console/network.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "boot/interrupt.h"
#include "platform/sandbox/test_support.h"

namespace {

// Runs fn with `keys` typed ahead on a pseudo-terminal serving as standard
// input; what it wrote on standard output.
template <typename Fn>
std::string with_keys(const std::string& keys, Fn fn) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    EXPECT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    int saved = dup(STDIN_FILENO);
    dup2(slave, STDIN_FILENO);
    std::string out = sandbox_test::capture_stdout(fn);
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(slave);
    close(master);
    return out;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(MgmtMac, OnlySixHexGroupsReachTheShell) {
    sandbox::write_board_file("commands.log", "");
    interrupt_flag = 0;
    // Refused: q (not a way out here), shell syntax, a valid address with
    // something after it (cut at 17 characters or not), a line of 500
    // characters, control characters; then one the command takes.
    const std::string refused[] = {"q",
                                   "$(reboot)",
                                   "0:1:2:3:4:5;reboot",
                                   "0:1:2:3:4:5$(x)",
                                   "0:1:2:3:4:5 ",
                                   std::string(500, 'a'),
                                   "0:1:2:3:4:\x01"
                                   "5"};
    std::string keys;
    for (const auto& line : refused) {
        keys += line + "\r";
    }
    keys += "00:1A:2b:3:4:5\r";
    int result = 0;
    std::string out = with_keys(keys, [&] { result = set_mgmt_mac(); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(count(out, "MAC address (format nn:nn:nn:nn:nn:nn): "), 8u);
    EXPECT_EQ(count(out, "Invalid MAC address. Try again please\n"), 7u);
    EXPECT_EQ(*sandbox::read_board_file("commands.log"),
              "ifconfig eth0 hw ether 00:1A:2b:3:4:5\\n\n");
}

TEST(MgmtMac, InterruptLeavesWithoutACommand) {
    sandbox::write_board_file("commands.log", "");
    interrupt_flag = 1;
    int result = 1;
    with_keys("00:11:22:33:44:55\r", [&] { result = set_mgmt_mac(); });
    interrupt_flag = 0;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(*sandbox::read_board_file("commands.log"), "");
}

}  // namespace
