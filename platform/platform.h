// The one seam between the launcher and the machine.
//
// Everything that touches board hardware (I2C buses, MTD flash, the serial
// port), runs an outside program or waits goes through these calls. Two
// backends define them and one is chosen at link time:
//   platform/linux/    the switch: plain libc calls on the real devices;
//   platform/sandbox/  the virtual switch: emulated board devices backed by
//                      files in the board directory, a command log, and
//                      sleeps that are counted and may be shortened.
// The launcher's code is identical on both; only the backend differs.
//
// The device calls keep the POSIX signatures and results (-1 and errno on
// failure), so board code issues the same requests a Linux driver sees.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Device and file I/O.
int plat_open(const char* path, int flags, mode_t mode = 0);
int plat_close(int fd);
ssize_t plat_read(int fd, void* buf, size_t count);
ssize_t plat_write(int fd, const void* buf, size_t count);
ssize_t plat_pread(int fd, void* buf, size_t count, off_t offset);
ssize_t plat_pwrite(int fd, const void* buf, size_t count, off_t offset);
// The third argument of ioctl is either a number (I2C_SLAVE takes the 7-bit
// address) or a pointer to a request structure (MEMGETINFO, MEMERASE).
int plat_ioctl(int fd, unsigned long request, unsigned long arg);
inline int plat_ioctl(int fd, unsigned long request, void* arg) {
    return plat_ioctl(fd, request, reinterpret_cast<unsigned long>(arg));
}

// Outside programs. plat_system has the result of system(3). The exec calls
// replace the process as execl/execlp do and return only on failure (-1).
// Every argument list ends with a null pointer, as for execl.
int plat_system(const char* command);
int plat_execl(const char* path, const char* arg0, ...);
int plat_execlp(const char* file, const char* arg0, ...);

// Waiting. Same results as sleep(3) and usleep(3).
unsigned int plat_sleep(unsigned int seconds);
int plat_usleep(useconds_t usec);
