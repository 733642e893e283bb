// The sandbox backend's own services: the command log, counted sleeps,
// the serial port, and plain files passing through untouched.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sandbox/board_files.h"

namespace {

TEST(SandboxCommands, SystemLogsTheExactTextAndReturnsTheStatus) {
    sandbox::write_board_file("commands.log", "");
    int status = plat_system("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    plat_system("cd /tmp \ntrue \n");
    EXPECT_EQ(*sandbox::read_board_file("commands.log"), "exit 3\ncd /tmp \\ntrue \\n\n");
}

TEST(SandboxCommands, ExecIsLoggedBeforeTheProcessIsReplaced) {
    sandbox::write_board_file("commands.log", "");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        plat_execl("/bin/sh", "sh", "-c", "exit 7", static_cast<char*>(nullptr));
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(*sandbox::read_board_file("commands.log"), "/bin/sh -c exit 7\n");
}

TEST(SandboxTime, SleepsAreCountedInFullWhateverTheSpeed) {
    setenv("SANDBOX_SPEED", "1000000", 1);
    sandbox::reset_slept_us();
    EXPECT_EQ(plat_sleep(26), 0u);
    EXPECT_EQ(plat_usleep(100000), 0);
    EXPECT_EQ(sandbox::slept_us(), 26100000u);
    unsetenv("SANDBOX_SPEED");
}

TEST(SandboxSerial, TtyS0IsThePseudoTerminalTheBoardNames) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    sandbox::write_board_file("tty", std::string(ptsname(master)) + "\n");

    int port = plat_open("/dev/ttyS0", O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    ASSERT_EQ(write(master, "x\n", 2), 2);
    char got[2] = {};
    EXPECT_EQ(plat_read(port, got, 2), 2);
    EXPECT_EQ(got[0], 'x');
    plat_close(port);
    close(master);
    unlink(sandbox::board_path("tty").c_str());
}

TEST(SandboxFiles, OrdinaryPathsAreOrdinaryFiles) {
    int fd = plat_open("/tmp/plain-file", O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat_pwrite(fd, "abc", 3, 5), 3);
    char back[3] = {};
    EXPECT_EQ(plat_pread(fd, back, 3, 5), 3);
    EXPECT_EQ(std::string(back, 3), "abc");
    EXPECT_EQ(plat_close(fd), 0);
    unlink("/tmp/plain-file");
}

}  // namespace
