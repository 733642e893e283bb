// The console port during an XMODEM download: whatever a terminal program,
// a noisy line or a hostile sender puts on it, through `xmodem_receive`.
//
// The port is emulated in memory. The link (-Wl,--wrap, see
// fuzz/CMakeLists.txt) sends the serial code's port and sleep calls here:
// reading the port hands out the operator's Enter, then the input bytes,
// then silence; every wait returns at once, so the receiver's time-outs
// (a minute of start requests, seconds per block) cost no real time. Once
// the input is used up, the operator's Enter for the speed switch back
// arrives at the first whole-second wait, which only the waits for a key
// make. Any other descriptor goes to the sandbox backend unchanged.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "serial/xmodem.h"

namespace {

constexpr char kReceived[] = "/tmp/fuzz-xmodem";

struct Port {
    int fd = -1;  // a descriptor on /dev/null, so its number is never reused
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t next = 0;
    bool enter_sent = false;
    bool operator_waits = false;  // a whole-second wait came after the input
};
Port port;

bool is_port(int fd) {
    return fd >= 0 && fd == port.fd;
}

// What the line carries next: -1 when it is silent.
int next_byte() {
    if (!port.enter_sent) {
        port.enter_sent = true;
        return '\r';
    }
    if (port.next < port.size) {
        return port.data[port.next++];
    }
    if (port.operator_waits) {
        port.operator_waits = false;
        return '\n';
    }
    return -1;
}

}  // namespace

// The sandbox backend's functions, under the names the link gives them.
extern "C" {
int __real__Z9plat_openPKcij(const char* path, int flags, mode_t mode);
int __real__Z10plat_closei(int fd);
ssize_t __real__Z9plat_readiPvm(int fd, void* buf, size_t count);
ssize_t __real__Z10plat_writeiPKvm(int fd, const void* buf, size_t count);

int __wrap__Z9plat_openPKcij(const char* path, int flags, mode_t mode) {
    if (std::strcmp(path, "/dev/ttyS0") != 0) {
        return __real__Z9plat_openPKcij(path, flags, mode);
    }
    port.fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    return port.fd;
}

int __wrap__Z10plat_closei(int fd) {
    if (!is_port(fd)) {
        return __real__Z10plat_closei(fd);
    }
    port.fd = -1;
    return ::close(fd);
}

ssize_t __wrap__Z9plat_readiPvm(int fd, void* buf, size_t count) {
    if (!is_port(fd)) {
        return __real__Z9plat_readiPvm(fd, buf, count);
    }
    auto* out = static_cast<std::uint8_t*>(buf);
    size_t got = 0;
    for (int byte = 0; got < count && (byte = next_byte()) >= 0;) {
        out[got++] = static_cast<std::uint8_t>(byte);
    }
    if (got == 0 && count > 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(got);
}

ssize_t __wrap__Z10plat_writeiPKvm(int fd, const void* buf, size_t count) {
    if (!is_port(fd)) {
        return __real__Z10plat_writeiPKvm(fd, buf, count);
    }
    return static_cast<ssize_t>(count);  // the sender's answers are not checked
}

unsigned int __wrap__Z10plat_sleepj(unsigned int) {
    if (port.next >= port.size) {
        port.operator_waits = true;
    }
    return 0;
}

int __wrap__Z11plat_usleepj(useconds_t) {
    return 0;
}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    port = Port{};
    port.data = data;
    port.size = size;
    long received = xmodem_receive(kReceived);

    // A block carries at most 1024 data bytes and costs at least 5 more on
    // the line, so the receiver can never report more than it was sent;
    // after a completed transfer the file holds exactly what it reported.
    struct stat file {};
    if (received < 0 || static_cast<std::size_t>(received) > size || port.fd != -1 ||
        ::stat(kReceived, &file) != 0 || (received > 0 && file.st_size != received)) {
        __builtin_trap();
    }
    return 0;
}
