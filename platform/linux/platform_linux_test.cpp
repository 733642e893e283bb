// The switch's backend, run inside the virtual switch's unit tests.
//
// The unit tests link the sandbox backend, which defines the same plat_*
// functions, so the switch's backend is compiled here a second time inside
// a namespace of its own: linux_backend::plat_read is the very code the
// switch runs, beside the sandbox's. Its calls reach real libc and the
// kernel of the test's sandbox: pipes, a scratch file, a shell, a child
// process. Every result must come back unchanged, since the launcher reads
// -1 and errno, byte counts and exit statuses through this seam.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/exec_args.h"
#include "platform/platform.h"

namespace linux_backend {
#include "platform/linux/platform_linux.cpp"
}

namespace {

// Named in full: the sandbox backend's functions of the same names are
// linked into this program too.
namespace sw = linux_backend;

TEST(LinuxBackend, FileCallsPassBytesCountsAndErrorsThrough) {
    char path[] = "/tmp/linux-backend-XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    close(made);
    int fd = sw::plat_open(path, O_RDWR, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sw::plat_write(fd, "switch", 6), 6);
    EXPECT_EQ(sw::plat_pwrite(fd, "ST", 2, 2), 2);
    char buf[8] = {};
    EXPECT_EQ(sw::plat_pread(fd, buf, sizeof buf, 1), 5);
    EXPECT_EQ(std::string(buf, 5), "wSTch");
    EXPECT_EQ(lseek(fd, 4, SEEK_SET), 4);
    EXPECT_EQ(sw::plat_read(fd, buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "ch");
    EXPECT_EQ(sw::plat_read(fd, buf, sizeof buf), 0);  // the end of the file
    EXPECT_EQ(sw::plat_close(fd), 0);
    EXPECT_EQ(sw::plat_close(fd), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(sw::plat_open("/tmp/linux-backend-none/x", O_RDONLY, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    unlink(path);
}

TEST(LinuxBackend, IoctlAndWaitsReachTheKernel) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(sw::plat_write(ends[1], "abc", 3), 3);
    int queued = -1;
    EXPECT_EQ(sw::plat_ioctl(ends[0], FIONREAD, reinterpret_cast<unsigned long>(&queued)), 0);
    EXPECT_EQ(queued, 3);
    EXPECT_EQ(sw::plat_ioctl(ends[0], 0x7fff, 0UL), -1);  // no such request
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(sw::plat_usleep(1000), 0);
    // A wait cut short by a signal says so: the seconds left, or -1 and
    // EINTR, as the launcher's time-outs expect.
    struct sigaction quiet = {};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGALRM, &quiet, nullptr), 0);
    itimerval soon = {};
    soon.it_value.tv_usec = 20000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &soon, nullptr), 0);
    EXPECT_GE(sw::plat_sleep(5), 4u);
    ASSERT_EQ(setitimer(ITIMER_REAL, &soon, nullptr), 0);
    EXPECT_EQ(sw::plat_usleep(900000), -1);
    EXPECT_EQ(errno, EINTR);
    signal(SIGALRM, SIG_DFL);
}

// The child's exit status tells which program the exec call started.
int status_of_child(bool by_path) {
    pid_t child = fork();
    if (child == 0) {
        // Every argument counts: the status is the sum of the last two.
        const char* script = "exit $(($1 + $2))";
        if (by_path) {
            sw::plat_execl("/bin/sh", "sh", "-c", script, "sh", "3", "4",
                           static_cast<char*>(nullptr));
        } else {
            sw::plat_execlp("sh", "sh", "-c", script, "sh", "4", "5", static_cast<char*>(nullptr));
        }
        _exit(100);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LinuxBackend, OutsideProgramsRunWithTheirArgumentsAndStatus) {
    int status = sw::plat_system("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(status_of_child(true), 7);
    EXPECT_EQ(status_of_child(false), 9);
    EXPECT_EQ(sw::plat_execl("/nonexistent/program", "program", static_cast<char*>(nullptr)), -1);
    EXPECT_EQ(sw::plat_execlp("no-such-program-here", "x", static_cast<char*>(nullptr)), -1);
}

}  // namespace
