#include "platform/sandbox/mtd_emulation.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/sandbox/board_files.h"

namespace sandbox {
namespace {

constexpr uint32_t kDefaultEraseSize = 65536;

uint32_t erase_size() {
    auto value = read_board_number("mtd/erase-size");
    if (!value || *value == 0 || *value > (1u << 24) || (*value & (*value - 1)) != 0) {
        return kDefaultEraseSize;
    }
    return static_cast<uint32_t>(*value);
}

uint64_t partition_size(const MtdHandle& handle) {
    off_t size = ::lseek(handle.file, 0, SEEK_END);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

// Counts one erase or write request and cuts the power when the board says
// so: the process dies here, before the request reaches the flash.
void count_request() {
    uint64_t done = read_board_number("mtd/requests").value_or(0);
    auto limit = read_board_number("mtd/power-cut-after");
    if (limit && done >= *limit) {
        append_board_file("mtd/power-cut.log", "power cut\n");
        ::kill(::getpid(), SIGKILL);
    }
    write_board_file("mtd/requests", std::to_string(done + 1) + "\n");
}

int get_info(MtdHandle& handle, void* arg) {
    mtd_info_user info;
    std::memset(&info, 0, sizeof info);
    info.type = MTD_NORFLASH;
    info.flags = MTD_CAP_NORFLASH;
    info.size = static_cast<uint32_t>(partition_size(handle));
    info.erasesize = erase_size();
    info.writesize = 1;
    std::memcpy(arg, &info, sizeof info);
    return 0;
}

int erase(MtdHandle& handle, const void* arg) {
    erase_info_user request;
    std::memcpy(&request, arg, sizeof request);
    uint64_t size = partition_size(handle);
    uint64_t start = request.start;
    uint64_t length = request.length;
    uint32_t block = erase_size();
    // mtdchar and the NOR driver refuse what does not cover whole blocks
    // inside the partition.
    if (start >= size || length > size - start || start % block != 0 || length % block != 0) {
        errno = EINVAL;
        return -1;
    }
    count_request();
    std::vector<uint8_t> erased(block, 0xFF);
    for (uint64_t at = start; at < start + length; at += block) {
        if (::pwrite(handle.file, erased.data(), block, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(block)) {
            errno = EIO;
            return -1;
        }
    }
    return 0;
}

}  // namespace

std::string mtd_partition_name(const char* path) {
    static const char* const kNames[] = {"uboot", "ubootenv", "devicetree", "kernel",
                                         "rfs",   "rescue",   "onie"};
    const char* prefix = "/dev/mtd-";
    if (std::strncmp(path, prefix, std::strlen(prefix)) != 0) {
        return {};
    }
    const char* rest = path + std::strlen(prefix);
    for (const char* name : kNames) {
        if (std::strcmp(rest, name) == 0) {
            return name;
        }
    }
    // The flash user filesystem is erased through its character device.
    if (std::strcmp(rest, "user-char") == 0) {
        return "user";
    }
    return {};
}

int mtd_emul_open(MtdHandle& handle, const std::string& name) {
    handle.name = name;
    handle.position = 0;
    handle.file = ::open(board_path("mtd/" + name + ".bin").c_str(), O_RDWR | O_CLOEXEC);
    return handle.file;
}

void mtd_emul_close(MtdHandle& handle) {
    if (handle.file >= 0) {
        ::close(handle.file);
    }
    handle.file = -1;
}

int mtd_emul_ioctl(MtdHandle& handle, unsigned long request, unsigned long arg) {
    void* pointer = reinterpret_cast<void*>(arg);
    if (pointer == nullptr && (request == MEMGETINFO || request == MEMERASE)) {
        errno = EFAULT;
        return -1;
    }
    switch (request) {
        case MEMGETINFO:
            return get_info(handle, pointer);
        case MEMERASE:
            return erase(handle, pointer);
        default:
            errno = ENOTTY;
            return -1;
    }
}

ssize_t mtd_emul_pread(MtdHandle& handle, void* buf, size_t count, off_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    uint64_t size = partition_size(handle);
    uint64_t at = static_cast<uint64_t>(offset);
    // Reading at or past the end gives end of file; a read that runs past
    // the end is cut short.
    if (at >= size) {
        return 0;
    }
    if (board_list_contains("mtd/read-fails", handle.name)) {
        errno = EIO;
        return -1;
    }
    size_t todo = static_cast<size_t>(std::min<uint64_t>(count, size - at));
    return ::pread(handle.file, buf, todo, offset);
}

ssize_t mtd_emul_pwrite(MtdHandle& handle, const void* buf, size_t count, off_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    uint64_t size = partition_size(handle);
    uint64_t at = static_cast<uint64_t>(offset);
    if (at >= size) {
        errno = ENOSPC;
        return -1;
    }
    size_t todo = static_cast<size_t>(std::min<uint64_t>(count, size - at));
    if (todo == 0) {
        return 0;
    }
    count_request();
    if (board_list_contains("mtd/write-fails", handle.name)) {
        errno = EIO;
        return -1;
    }
    std::vector<uint8_t> cells(todo);
    if (::pread(handle.file, cells.data(), todo, offset) != static_cast<ssize_t>(todo)) {
        errno = EIO;
        return -1;
    }
    const auto* data = static_cast<const uint8_t*>(buf);
    // NOR flash: programming can only turn 1 bits into 0 bits.
    for (size_t i = 0; i < todo; ++i) {
        cells[i] &= data[i];
    }
    if (::pwrite(handle.file, cells.data(), todo, offset) != static_cast<ssize_t>(todo)) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(todo);
}

}  // namespace sandbox
