// The switch's NOR flash partitions, through the Linux MTD character devices.
//
// All seven partitions are opened once at start-up and kept open for the
// whole run. Reads are plain; writes go block by block through a
// read-modify-erase-write cycle, so that a write of any length at any offset
// leaves the rest of every erase block it touches as it was.
#pragma once

#include <cstdint>

// The partition descriptors, filled by mtd_open_partitions and never closed.
// An entry not opened yet, or whose open failed, holds -1; every operation
// on it then fails at the geometry query.
struct MtdPartitions {
    int uboot = -1;        // /dev/mtd-uboot: boot loader
    int uboot_env = -1;    // /dev/mtd-ubootenv: boot loader environment
    int device_tree = -1;  // /dev/mtd-devicetree
    int kernel = -1;       // /dev/mtd-kernel
    int rfs = -1;          // /dev/mtd-rfs: root filesystem
    int rescue = -1;       // /dev/mtd-rescue: diagnostics (rescue) image
    int onie = -1;         // /dev/mtd-onie
};
extern MtdPartitions mtd_partitions;

// One partition as the MTD driver describes it.
struct FlashGeometry {
    std::uint32_t block_count;  // size / erase_size
    std::uint32_t erase_size;   // bytes per erase block, a power of two
    std::uint32_t erase_shift;  // log2 of erase_size
    std::uint32_t size;         // partition size in bytes
};

// Opens the seven partitions in table order. Always 1: a failed open shows
// later, at the first use of that partition.
int mtd_open_partitions();

// Asks the driver for the partition's size and erase size. 1, or 0 after
// "Could not get MTD device info " (no line end).
int mtd_get_geometry(int fd, FlashGeometry* geometry);

// Single driver requests: 1 when the request succeeded, else 0. A short read
// counts as success.
int mtd_read(int fd, std::uint32_t offset, std::uint32_t length, void* buf);
int mtd_write(int fd, std::uint32_t offset, std::uint32_t length, const void* buf);
int mtd_erase(int fd, std::uint32_t offset, std::uint32_t length);

// Writes `length` bytes at `offset`, erase block by erase block, keeping the
// old content of every touched block outside the range. With `progress` on,
// shows a percentage rewritten in place on standard output. A range that
// does not fit in the partition is refused before anything is touched.
// 1 on success, 0 on failure (blocks before a failing one are written).
int flash_write(const void* data, int fd, std::uint32_t length, std::uint32_t offset, int progress,
                const FlashGeometry* geometry);

// What the rest of the launcher uses: 0 on success, -1 when the partition is
// not a usable MTD device or the read or write failed.
int partition_read(void* buf, int fd, std::uint32_t offset, std::uint32_t length);
int partition_write(const void* data, int fd, std::uint32_t offset, std::uint32_t length,
                    int progress);
