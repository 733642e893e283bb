// The switch's backend: every call goes straight to libc and the real
// Linux drivers (i2c-dev, the MTD character devices, the serial port).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>

#include "platform/exec_args.h"
#include "platform/platform.h"

int plat_open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int plat_close(int fd) {
    return ::close(fd);
}

ssize_t plat_read(int fd, void* buf, size_t count) {
    return ::read(fd, buf, count);
}

ssize_t plat_write(int fd, const void* buf, size_t count) {
    return ::write(fd, buf, count);
}

ssize_t plat_pread(int fd, void* buf, size_t count, off_t offset) {
    return ::pread(fd, buf, count, offset);
}

ssize_t plat_pwrite(int fd, const void* buf, size_t count, off_t offset) {
    return ::pwrite(fd, buf, count, offset);
}

int plat_ioctl(int fd, unsigned long request, unsigned long arg) {
    return ::ioctl(fd, request, arg);
}

int plat_system(const char* command) {
    return ::system(command);
}

int plat_execl(const char* path, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    auto argv = plat_detail::collect_exec_args(arg0, ap);
    va_end(ap);
    return ::execv(path, argv.data());
}

int plat_execlp(const char* file, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    auto argv = plat_detail::collect_exec_args(arg0, ap);
    va_end(ap);
    return ::execvp(file, argv.data());
}

unsigned int plat_sleep(unsigned int seconds) {
    return ::sleep(seconds);
}

int plat_usleep(useconds_t usec) {
    return ::usleep(usec);
}
