// The far end of the console port for the serial unit tests: the master of
// a pseudo-terminal whose slave the board names as /dev/ttyS0, driven by a
// child process that plays the operator's terminal program.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/sandbox/board_files.h"
#include "platform/sandbox/test_support.h"

namespace serial_test {

// The terminal program's side, inside the child process. It only answers
// the port's state: it types Enter once the launcher has switched the line
// to 115200 bps (so the launcher's flush cannot eat it) and again once the
// line is back at its former speed. Every byte it reads from the launcher
// is logged for the test.
// Whether the pseudo-terminal whose master is `master` is at the transfer's
// settings: 115200 bps, 8 data bits, no parity, one stop bit. On Linux the
// master reports the slave's settings.
inline bool line_is_fast(int master) {
    termios t{};
    return tcgetattr(master, &t) == 0 && cfgetospeed(&t) == B115200 &&
           (t.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8;
}

class Terminal {
   public:
    Terminal(int master, int log) : master_(master), log_(log) {}

    bool fast() const { return line_is_fast(master_); }

    void send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                _exit(3);
            }
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads what the launcher sent within `ms` milliseconds of real time.
    void pump(int ms) const {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) {
            return;
        }
        if ((p.revents & POLLIN) == 0) {
            usleep(1000);  // closed, or not opened yet
            return;
        }
        take();
    }

    // Reads once what the launcher sent and logs it; with `copy`, hands it
    // on to that descriptor too.
    void take(int copy = -1) const {
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) {
            return;
        }
        auto size = static_cast<std::size_t>(n);
        if (write(log_, buf, size) != n || (copy >= 0 && write(copy, buf, size) != n)) {
            _exit(4);
        }
        logged_ += size;
    }

    // Waits (reading and logging) until the launcher has sent `count`
    // bytes in all. The limit only keeps a broken test from hanging.
    void await(std::size_t count) const {
        for (int i = 0; i < 30000 && logged_ < count; ++i) {
            pump(1);
        }
    }

    // Whether the launcher has sent bytes that are not read yet.
    bool pending() const {
        pollfd p{master_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    }

    template <typename Pred>
    void wait_until(Pred pred) const {
        while (!pred()) {
            pump(1);
        }
    }

    // Runs a sending program (lrzsz sx) with its standard input and output
    // on pipes relayed to the line, as a terminal program's send command
    // does; its exit status. The program never sees the terminal itself,
    // so it cannot change the line's settings under the launcher.
    int run_program(const char* const argv[]) const {
        int to_program[2], from_program[2];
        if (pipe(to_program) != 0 || pipe(from_program) != 0) {
            return 90;
        }
        pid_t pid = fork();
        if (pid == 0) {
            dup2(to_program[0], 0);
            dup2(from_program[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execv(argv[0], const_cast<char* const*>(argv));
            _exit(91);
        }
        close(to_program[0]);
        close(from_program[1]);
        char buf[4096];
        for (;;) {
            pollfd p[2] = {{master_, POLLIN, 0}, {from_program[0], POLLIN, 0}};
            if (poll(p, 2, 1000) < 0) {
                break;
            }
            if ((p[0].revents & POLLIN) != 0) {
                take(to_program[1]);
            }
            if ((p[1].revents & (POLLIN | POLLHUP)) != 0) {
                ssize_t n = read(from_program[0], buf, sizeof buf);
                if (n <= 0) {
                    break;  // the program ended
                }
                send(std::string(buf, static_cast<std::size_t>(n)));
            }
        }
        close(to_program[1]);
        close(from_program[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 92;
    }

    // Enter at the restored speed, then waits until the port closes. The
    // terminal's echo of that Enter is not the launcher's and is not logged.
    void finish() const {
        wait_until([this] { return !fast(); });
        send("\n");
        while (!closed(1000)) {
        }
    }

    // Whether the launcher has closed the port, waiting up to `ms`
    // milliseconds; what it sent meanwhile is read and dropped.
    bool closed(int ms) const {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) < 0 || ((p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0)) {
            return true;
        }
        char buf[256];
        return (p.revents & POLLIN) != 0 && read(master_, buf, sizeof buf) <= 0;
    }

   private:
    int master_;
    int log_;
    mutable std::size_t logged_ = 0;
};

// A pseudo-terminal pair; the board names its slave as /dev/ttyS0 for the
// length of the test. SANDBOX_SPEED shortens the launcher's waits (they are
// still counted in full).
class SerialLine {
   public:
    SerialLine() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            board_.set("tty", std::string(ptsname(master_)) + "\n");
        }
        setenv("SANDBOX_SPEED", "100", 1);
    }
    ~SerialLine() {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        close(master_);
    }

    // Starts the terminal program: `script` runs in a child process once the
    // launcher waits for Enter in fast mode and Enter has been typed; its
    // result is the child's exit status. Afterwards the child types Enter
    // for the switch back. With `enter` false the script alone is the
    // operator, from the start and to the end.
    void start(std::function<int(Terminal&)> script, bool enter = true) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        child_ = fork();
        if (child_ == 0) {
            close(fds[0]);
            Terminal terminal(master_, fds[1]);
            if (!enter) {
                _exit(script(terminal));
            }
            terminal.wait_until([&] { return terminal.fast(); });
            terminal.send("\r");
            int status = script(terminal);
            terminal.finish();
            _exit(status);
        }
        close(fds[1]);
        log_ = fds[0];
    }

    // Waits for the terminal program; its exit status, and in `log` every
    // byte the launcher sent it.
    int join(std::string* log) {
        int status = -1;
        if (child_ > 0 && waitpid(child_, &status, 0) == child_) {
            child_ = 0;
        }
        char buf[4096];
        ssize_t n;
        while ((n = read(log_, buf, sizeof buf)) > 0) {
            log->append(buf, static_cast<std::size_t>(n));
        }
        close(log_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Whether the line is still at the transfer's settings, as the launcher
    // left it.
    bool fast() const { return line_is_fast(master_); }

   private:
    int master_ = -1;
    int log_ = -1;
    pid_t child_ = 0;
    sandbox_test::BoardFiles board_;
};

}  // namespace serial_test
