// Linked into every program of a coverage build (BL_COVERAGE). gcov
// writes its counts when a program exits, but on the virtual switch many
// never do: a reboot ends the whole namespace, and a test stops a switch
// that waits at a prompt. So the counts are written out (and the counters
// cleared, the next write adds to the file) each time the program is about
// to wait: a console read, a poll, a sleep, a shell command. The program
// finds the folder in GCOV_PREFIX; without it nothing is written early.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

void __gcov_dump(void);
void __gcov_reset(void);

ssize_t __real_read(int fd, void* buf, size_t count);
int __real_poll(struct pollfd* fds, nfds_t nfds, int timeout);
char* __real_fgets(char* s, int size, FILE* stream);
int __real_system(const char* command);
int __real_nanosleep(const struct timespec* req, struct timespec* rem);

static void flush_counts(void) {
    static int enabled = -1;
    if (enabled < 0) {
        enabled = getenv("GCOV_PREFIX") != NULL;
    }
    if (enabled) {
        __gcov_dump();
        __gcov_reset();
    }
}

// Reads of files are not waits; only terminals, pipes and sockets are.
static int may_wait(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && !S_ISREG(st.st_mode);
}

ssize_t __wrap_read(int fd, void* buf, size_t count) {
    if (may_wait(fd)) {
        flush_counts();
    }
    return __real_read(fd, buf, count);
}

int __wrap_poll(struct pollfd* fds, nfds_t nfds, int timeout) {
    if (timeout != 0) {
        flush_counts();
    }
    return __real_poll(fds, nfds, timeout);
}

char* __wrap_fgets(char* s, int size, FILE* stream) {
    flush_counts();
    return __real_fgets(s, size, stream);
}

int __wrap_system(const char* command) {
    flush_counts();
    return __real_system(command);
}

int __wrap_nanosleep(const struct timespec* req, struct timespec* rem) {
    flush_counts();
    return __real_nanosleep(req, rem);
}
