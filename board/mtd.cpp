#include "board/mtd.h"

#include <fcntl.h>
#include <sys/ioctl.h>

// The MTD header needs the request macros of sys/ioctl.h above.
#include <mtd/mtd-user.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "platform/platform.h"

MtdPartitions mtd_partitions;

// Flash writes go to the driver in pieces of this size.
static constexpr std::uint32_t kFlashPiece = 1024;

int mtd_open_partitions() {
    // The partitions holding what the switch boots are written synchronously;
    // the rescue and ONIE partitions are not. None of them is handed on to
    // the application or the commands the launcher runs.
    mtd_partitions.uboot = plat_open("/dev/mtd-uboot", O_RDWR | O_SYNC | O_CLOEXEC);
    mtd_partitions.uboot_env = plat_open("/dev/mtd-ubootenv", O_RDWR | O_SYNC | O_CLOEXEC);
    mtd_partitions.device_tree = plat_open("/dev/mtd-devicetree", O_RDWR | O_SYNC | O_CLOEXEC);
    mtd_partitions.kernel = plat_open("/dev/mtd-kernel", O_RDWR | O_SYNC | O_CLOEXEC);
    mtd_partitions.rfs = plat_open("/dev/mtd-rfs", O_RDWR | O_SYNC | O_CLOEXEC);
    mtd_partitions.rescue = plat_open("/dev/mtd-rescue", O_RDWR | O_CLOEXEC);
    mtd_partitions.onie = plat_open("/dev/mtd-onie", O_RDWR | O_CLOEXEC);
    return 1;
}

// The index of the lowest set bit, 32 when there is none.
static std::uint32_t lowest_set_bit(std::uint32_t value) {
    std::uint32_t bit = 0;
    while (bit < 32 && (value & (1u << bit)) == 0) {
        ++bit;
    }
    return bit;
}

// An erase size the block arithmetic can rely on: a power of two whose
// shift matches (which also rules out 0, and a shift too wide to take).
static bool geometry_usable(const FlashGeometry& geometry) {
    return geometry.erase_shift < 32 && (1u << geometry.erase_shift) == geometry.erase_size;
}

int mtd_get_geometry(int fd, FlashGeometry* geometry) {
    mtd_info_user info{};
    FlashGeometry found{};
    if (geometry != nullptr && plat_ioctl(fd, MEMGETINFO, &info) == 0) {
        found.erase_size = info.erasesize;
        found.erase_shift = lowest_set_bit(info.erasesize);
    }
    // A driver answer without a power-of-two erase size (0 included) is
    // refused rather than used for block arithmetic.
    if (geometry == nullptr || !geometry_usable(found)) {
        std::printf("Could not get MTD device info ");
        return 0;
    }
    found.size = info.size;
    found.block_count = info.size >> found.erase_shift;
    *geometry = found;
    return 1;
}

// The offset as the driver calls take it, false when it does not fit (a
// 32-bit off_t on the switch).
static bool to_off_t(std::uint32_t offset, off_t* out) {
    if (static_cast<std::uintmax_t>(offset) >
        static_cast<std::uintmax_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    *out = static_cast<off_t>(offset);
    return true;
}

int mtd_read(int fd, std::uint32_t offset, std::uint32_t length, void* buf) {
    off_t at = 0;
    if (!to_off_t(offset, &at) || (buf == nullptr && length > 0)) {
        return 0;
    }
    return plat_pread(fd, buf, length, at) >= 0 ? 1 : 0;
}

int mtd_write(int fd, std::uint32_t offset, std::uint32_t length, const void* buf) {
    off_t at = 0;
    if (!to_off_t(offset, &at) || (buf == nullptr && length > 0)) {
        return 0;
    }
    return plat_pwrite(fd, buf, length, at) >= 0 ? 1 : 0;
}

int mtd_erase(int fd, std::uint32_t offset, std::uint32_t length) {
    erase_info_user request{};
    request.start = offset;
    request.length = length;
    return plat_ioctl(fd, MEMERASE, &request) == 0 ? 1 : 0;
}

// Where the data lands in block i of n: the offset inside the block and the
// byte count. Only the first block may start inside, only the last may end
// inside.
struct FlashPlacement {
    std::uint32_t at;
    std::uint32_t count;
};

static FlashPlacement flash_place(std::uint32_t i, std::uint32_t n, std::uint32_t offset,
                                  std::uint32_t length, std::uint32_t first,
                                  std::uint32_t erase_size, std::uint32_t placed) {
    if (n == 1) {
        return {offset - first, length};
    }
    if (i == 0) {
        return {offset - first, erase_size - (offset - first)};
    }
    if (i == n - 1) {
        return {0, length - placed};
    }
    return {0, erase_size};
}

// One read-modify-erase-write cycle on the block at `block`. The whole block
// is read first, so the bytes around the data keep their old content.
static int flash_rewrite_block(int fd, std::uint32_t block, std::uint32_t erase_size,
                               std::uint8_t* work, const std::uint8_t* data, FlashPlacement place) {
    std::memset(work, 0, erase_size);
    if (!mtd_read(fd, block, erase_size, work)) {
        std::printf("Flash Write mtd read failed.\n\n");
        return 0;
    }
    std::memcpy(work + place.at, data, place.count);
    if (!mtd_erase(fd, block, erase_size)) {
        std::printf("Flash Write mtd erase failed.\n\n");
        return 0;
    }
    for (std::uint32_t piece = 0; piece < erase_size; piece += kFlashPiece) {
        std::uint32_t count = erase_size - piece < kFlashPiece ? erase_size - piece : kFlashPiece;
        if (!mtd_write(fd, block + piece, count, work + piece)) {
            std::printf("Flash Write mtd write failed.\n\n");
            return 0;
        }
    }
    return 1;
}

// The share of blocks finished before block i, rewritten in place over the
// previous figure.
static void flash_show_progress(std::uint32_t i, std::uint32_t n) {
    int percent = static_cast<int>(static_cast<std::uint64_t>(i) * 100 / n);
    std::printf("\b\b\b\b%3.3d%c", percent, '%');
    std::fflush(stdout);
}

int flash_write(const void* data, int fd, std::uint32_t length, std::uint32_t offset, int progress,
                const FlashGeometry* geometry) {
    if (geometry == nullptr || !geometry_usable(*geometry) || (data == nullptr && length > 0)) {
        return 0;
    }
    // Refuse a range that runs past the partition (or past 4 GiB) before
    // anything is erased: the driver would cut the write short and the tail
    // of the data would be lost after its blocks were already erased.
    if (static_cast<std::uint64_t>(offset) + length > geometry->size) {
        return 0;
    }
    const std::uint32_t e = geometry->erase_size;
    const std::uint32_t first = offset & ~(e - 1);
    // Blocks touched; the sum cannot wrap, it is within the partition.
    const std::uint32_t n = length == 0 ? 0
                                        : ((offset + length - 1) >> geometry->erase_shift) -
                                              (offset >> geometry->erase_shift) + 1;

    std::uint8_t* work = new (std::nothrow) std::uint8_t[static_cast<std::size_t>(e) + kFlashPiece];
    if (work == nullptr) {
        std::printf("Flash Write malloc failed");
        return 0;
    }
    if (progress) {
        std::printf("     ");
    }
    const std::uint8_t* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t block = first;
    std::uint32_t placed = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        FlashPlacement place = flash_place(i, n, offset, length, first, e, placed);
        if (!flash_rewrite_block(fd, block, e, work, bytes + placed, place)) {
            delete[] work;
            return 0;
        }
        if (progress) {
            flash_show_progress(i, n);
        }
        block += e;
        placed += place.count;
    }
    if (progress) {
        std::printf("\b\b\b\b100%c\n", '%');
    }
    delete[] work;
    return 1;
}

int partition_read(void* buf, int fd, std::uint32_t offset, std::uint32_t length) {
    FlashGeometry geometry{};
    if (!mtd_get_geometry(fd, &geometry)) {
        return -1;
    }
    return mtd_read(fd, offset, length, buf) ? 0 : -1;
}

int partition_write(const void* data, int fd, std::uint32_t offset, std::uint32_t length,
                    int progress) {
    FlashGeometry geometry{};
    if (!mtd_get_geometry(fd, &geometry)) {
        return -1;
    }
    return flash_write(data, fd, length, offset, progress, &geometry) ? 0 : -1;
}
