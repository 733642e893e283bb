// Linked into every program of a coverage build (BL_COVERAGE). gcov
// writes its counts when a program exits, but on the virtual switch many
// never do: a reboot ends the whole namespace, and a test stops a switch
// that waits at a prompt. So the counts are written out (and the counters
// cleared, the next write adds to the file) each time the program is about
// to wait: a read or poll that would block, a shell command, a sleep (at
// most every 20 ms: the serial port is polled in 1 ms sleeps), the
// permanent stop's pause; and before it replaces itself with the
// application (an exec never returns to write them). The program finds
// the folder in GCOV_PREFIX; without it nothing is written early.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

void __gcov_dump(void);
void __gcov_reset(void);

ssize_t __real_read(int fd, void* buf, size_t count);
int __real_poll(struct pollfd* fds, nfds_t nfds, int timeout);
char* __real_fgets(char* s, int size, FILE* stream);
int __real_system(const char* command);
int __real_nanosleep(const struct timespec* req, struct timespec* rem);
int __real_execv(const char* path, char* const argv[]);
int __real_execvp(const char* file, char* const argv[]);
int __real_pause(void);

static long long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static long long last_flush_ms;

static void flush_counts(void) {
    static int enabled = -1;
    if (enabled < 0) {
        enabled = getenv("GCOV_PREFIX") != NULL;
    }
    if (enabled) {
        __gcov_dump();
        __gcov_reset();
        last_flush_ms = now_ms();
    }
}

// Whether a read of fd would wait: nothing is there yet on a descriptor
// that blocks (files never wait; the serial port is non-blocking).
static int would_wait(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0 && __real_poll(&p, 1, 0) == 0;
}

// Writes the counts with signals held back; 1 when a Ctrl-C (or quit) came
// meanwhile. Its handler runs as the signals are let through, and the
// caller answers as the program's own read or poll would have: interrupted.
static int flush_interrupted(void) {
    sigset_t all, old, pending;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    flush_counts();
    sigpending(&pending);
    int interrupted = (sigismember(&pending, SIGINT) && !sigismember(&old, SIGINT)) ||
                      (sigismember(&pending, SIGQUIT) && !sigismember(&old, SIGQUIT));
    sigprocmask(SIG_SETMASK, &old, NULL);
    return interrupted;
}

ssize_t __wrap_read(int fd, void* buf, size_t count) {
    if (would_wait(fd) && flush_interrupted()) {
        struct sigaction action;
        sigaction(SIGINT, NULL, &action);
        if ((action.sa_flags & SA_RESTART) == 0) {
            errno = EINTR;
            return -1;
        }
    }
    return __real_read(fd, buf, count);
}

int __wrap_poll(struct pollfd* fds, nfds_t nfds, int timeout) {
    int ready = __real_poll(fds, nfds, 0);
    if (ready != 0 || timeout == 0) {
        return ready;
    }
    if (flush_interrupted()) {
        errno = EINTR;
        return -1;
    }
    return __real_poll(fds, nfds, timeout);
}

char* __wrap_fgets(char* s, int size, FILE* stream) {
    if (would_wait(fileno(stream))) {
        flush_counts();
    }
    return __real_fgets(s, size, stream);
}

int __wrap_system(const char* command) {
    flush_counts();
    return __real_system(command);
}

int __wrap_nanosleep(const struct timespec* req, struct timespec* rem) {
    if (now_ms() - last_flush_ms >= 20) {
        flush_counts();
    }
    return __real_nanosleep(req, rem);
}

int __wrap_execv(const char* path, char* const argv[]) {
    flush_counts();
    return __real_execv(path, argv);
}

int __wrap_execvp(const char* file, char* const argv[]) {
    flush_counts();
    return __real_execvp(file, argv);
}

int __wrap_pause(void) {
    flush_counts();
    return __real_pause();
}
