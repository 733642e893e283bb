// The virtual switch's backend of the platform seam.
//
// Device paths of the board (/dev/i2c-N, /dev/mtd-*, /dev/ttyS0) are served
// by emulations backed by the board directory; every other path is a plain
// file. Commands are logged to commands.log before they run, and sleeps are
// counted and shortened by SANDBOX_SPEED.
//
// Programs linked with this backend run only inside the sandbox: a guard at
// start-up refuses to run them anywhere else, because the launcher's
// commands (reboot, date, rm /user/*.pem, mkfs.ext3 ...) would act on the
// machine itself.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <variant>

#include "platform/exec_args.h"
#include "platform/platform.h"
#include "platform/sandbox/board_files.h"
#include "platform/sandbox/i2c_emulation.h"
#include "platform/sandbox/mtd_emulation.h"

namespace {

using sandbox::I2cHandle;
using sandbox::MtdHandle;

// ---------------------------------------------------------------- isolation

// In the initial user namespace uid_map maps the whole id range; inside the
// sandbox's user namespace it maps a single id.
bool in_user_namespace() {
    FILE* map = std::fopen("/proc/self/uid_map", "re");
    if (map == nullptr) {
        return false;
    }
    unsigned long inside = 0, outside = 0, count = 0;
    int fields = std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count);
    std::fclose(map);
    return fields == 3 && count != 4294967295UL;
}

bool inside_sandbox() {
    return in_user_namespace() && ::access("/sandbox/isolated", F_OK) == 0 &&
           ::access(sandbox::kBoardDir, F_OK) == 0;
}

// Runs before main: refuse to start outside the virtual switch.
struct IsolationGuard {
    IsolationGuard() {
        if (!inside_sandbox()) {
            static const char text[] =
                "refusing to run: this program uses the emulated board and runs only inside the "
                "sandbox (sandbox/enter, sandbox/run-tests)\n";
            ssize_t ignored = ::write(2, text, sizeof text - 1);
            (void)ignored;
            ::_exit(125);
        }
    }
};
const IsolationGuard isolation_guard;

// ---------------------------------------------------------------- descriptors

using Emulated = std::variant<I2cHandle, MtdHandle>;

// Descriptors opened on emulated devices. Each holds a real descriptor (the
// partition's file, or /dev/null for a bus) so numbers never collide with
// ordinary files.
std::map<int, Emulated>& emulated() {
    static std::map<int, Emulated> table;
    return table;
}

Emulated* find(int fd) {
    auto it = emulated().find(fd);
    return it == emulated().end() ? nullptr : &it->second;
}

int parse_bus(const char* path) {
    const char* prefix = "/dev/i2c-";
    if (std::strncmp(path, prefix, std::strlen(prefix)) != 0) {
        return -1;
    }
    const char* digits = path + std::strlen(prefix);
    if (*digits < '0' || *digits > '9' || digits[1] != '\0') {
        return -1;
    }
    return *digits - '0';
}

int open_bus(int bus) {
    if (!sandbox::i2c_bus_present(bus)) {
        errno = ENOENT;
        return -1;
    }
    int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        emulated()[fd] = I2cHandle{bus, -1};
    }
    return fd;
}

int open_partition(const std::string& name) {
    MtdHandle handle;
    int fd = sandbox::mtd_emul_open(handle, name);
    if (fd >= 0) {
        emulated()[fd] = handle;
    }
    return fd;
}

// The serial port is a real pseudo-terminal: the one the board names in
// its file tty, or else the launcher's own terminal.
std::string serial_port_path() {
    auto named = sandbox::read_board_file("tty");
    if (named) {
        std::string path = *named;
        while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) {
            path.pop_back();
        }
        if (!path.empty()) {
            return path;
        }
    }
    const char* own = ::ttyname(0);
    return own != nullptr ? own : "/dev/tty";
}

// ---------------------------------------------------------------- commands

// One line per command, exactly as given; a line end inside the command is
// shown as \n so that each command stays on one line.
void log_command(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else {
            line += c;
        }
    }
    line += '\n';
    sandbox::append_board_file("commands.log", line);
}

std::string exec_text(const char* path, char* const* argv) {
    std::string text = path;
    for (size_t i = 1; argv[0] != nullptr && argv[i] != nullptr; ++i) {
        text += ' ';
        text += argv[i];
    }
    return text;
}

// ---------------------------------------------------------------- time

double sandbox_speed() {
    const char* text = std::getenv("SANDBOX_SPEED");
    if (text == nullptr) {
        return 1.0;
    }
    char* end = nullptr;
    double speed = std::strtod(text, &end);
    if (end == text || !(speed >= 1.0) || !std::isfinite(speed)) {
        return 1.0;
    }
    return speed;
}

// The system's USB handling creates /tmp/usb once the stick is mounted. A
// board may delay that (run/usb-mount-at, in counted microseconds, set at
// the switch's start): the marker appears when the launcher's counted sleep
// reaches that time, so a wait for the stick is tested without waiting.
void announce_usb_stick() {
    auto at = sandbox::read_board_number("run/usb-mount-at");
    if (!at || sandbox::slept_us() < *at || ::access("/tmp/usb", F_OK) == 0) {
        return;
    }
    int fd = ::open("/tmp/usb", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
    }
}

// Sleeps the shortened time; the result is the part of the requested time
// that was not slept when a signal cut the wait short, in microseconds.
uint64_t shortened_sleep(uint64_t requested_us) {
    sandbox::add_slept_us(requested_us);
    announce_usb_stick();
    double speed = sandbox_speed();
    auto real_us = static_cast<uint64_t>(static_cast<double>(requested_us) / speed);
    struct timespec wait {
        static_cast<time_t>(real_us / 1000000), static_cast<long>((real_us % 1000000) * 1000)
    };
    struct timespec left {};
    if (::nanosleep(&wait, &left) == 0) {
        return 0;
    }
    auto left_us =
        static_cast<uint64_t>(left.tv_sec) * 1000000 + static_cast<uint64_t>(left.tv_nsec) / 1000;
    return static_cast<uint64_t>(static_cast<double>(left_us) * speed);
}

}  // namespace

// ---------------------------------------------------------------- the seam

int plat_open(const char* path, int flags, mode_t mode) {
    int bus = parse_bus(path);
    if (bus >= 0) {
        return open_bus(bus);
    }
    std::string partition = sandbox::mtd_partition_name(path);
    if (!partition.empty()) {
        return open_partition(partition);
    }
    if (std::strcmp(path, "/dev/ttyS0") == 0) {
        return ::open(serial_port_path().c_str(), flags, mode);
    }
    return ::open(path, flags, mode);
}

int plat_close(int fd) {
    emulated().erase(fd);
    return ::close(fd);
}

ssize_t plat_read(int fd, void* buf, size_t count) {
    Emulated* device = find(fd);
    if (device == nullptr) {
        return ::read(fd, buf, count);
    }
    if (auto* bus = std::get_if<I2cHandle>(device)) {
        return sandbox::i2c_emul_read(*bus, buf, count);
    }
    auto& partition = std::get<MtdHandle>(*device);
    ssize_t n = sandbox::mtd_emul_pread(partition, buf, count, partition.position);
    if (n > 0) {
        partition.position += n;
    }
    return n;
}

ssize_t plat_write(int fd, const void* buf, size_t count) {
    Emulated* device = find(fd);
    if (device == nullptr) {
        return ::write(fd, buf, count);
    }
    if (auto* bus = std::get_if<I2cHandle>(device)) {
        return sandbox::i2c_emul_write(*bus, buf, count);
    }
    auto& partition = std::get<MtdHandle>(*device);
    ssize_t n = sandbox::mtd_emul_pwrite(partition, buf, count, partition.position);
    if (n > 0) {
        partition.position += n;
    }
    return n;
}

ssize_t plat_pread(int fd, void* buf, size_t count, off_t offset) {
    Emulated* device = find(fd);
    if (device == nullptr) {
        return ::pread(fd, buf, count, offset);
    }
    if (auto* partition = std::get_if<MtdHandle>(device)) {
        return sandbox::mtd_emul_pread(*partition, buf, count, offset);
    }
    errno = ESPIPE;  // an I2C bus cannot seek
    return -1;
}

ssize_t plat_pwrite(int fd, const void* buf, size_t count, off_t offset) {
    Emulated* device = find(fd);
    if (device == nullptr) {
        return ::pwrite(fd, buf, count, offset);
    }
    if (auto* partition = std::get_if<MtdHandle>(device)) {
        return sandbox::mtd_emul_pwrite(*partition, buf, count, offset);
    }
    errno = ESPIPE;
    return -1;
}

int plat_ioctl(int fd, unsigned long request, unsigned long arg) {
    Emulated* device = find(fd);
    if (device == nullptr) {
        return ::ioctl(fd, request, arg);
    }
    if (auto* bus = std::get_if<I2cHandle>(device)) {
        return sandbox::i2c_emul_ioctl(*bus, request, arg);
    }
    return sandbox::mtd_emul_ioctl(std::get<MtdHandle>(*device), request, arg);
}

int plat_system(const char* command) {
    if (command != nullptr) {
        log_command(command);
    }
    return ::system(command);
}

int plat_execl(const char* path, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    auto argv = plat_detail::collect_exec_args(arg0, ap);
    va_end(ap);
    log_command(exec_text(path, argv.data()));
    return ::execv(path, argv.data());
}

int plat_execlp(const char* file, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    auto argv = plat_detail::collect_exec_args(arg0, ap);
    va_end(ap);
    log_command(exec_text(file, argv.data()));
    return ::execvp(file, argv.data());
}

unsigned int plat_sleep(unsigned int seconds) {
    uint64_t left_us = shortened_sleep(static_cast<uint64_t>(seconds) * 1000000);
    return static_cast<unsigned int>((left_us + 999999) / 1000000);
}

int plat_usleep(useconds_t usec) {
    if (shortened_sleep(usec) != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}
