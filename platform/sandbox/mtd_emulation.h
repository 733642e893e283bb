// The MTD flash partitions of the virtual switch, as the Linux mtdchar
// driver presents a NOR partition: MEMGETINFO, MEMERASE, read and write at
// an offset. Each partition is one file mtd/NAME.bin in the board (its size
// is the partition's size); the erase size is in mtd/erase-size.
//
// The emulation is as strict as the hardware: an erase must cover whole
// erase blocks inside the partition, and a write can only clear bits
// (new = old AND data), so data written without an erase comes out
// corrupted, as on the switch.
//
// Power-fail tests: every erase and write request is counted in
// mtd/requests; when mtd/power-cut-after holds N, the request after the
// N-th kills the process before it touches the flash. A partition named in
// mtd/write-fails refuses its writes (EIO), as worn-out flash whose cells
// no longer program does; its erases still succeed. One named in
// mtd/read-fails refuses its reads (EIO), as a flash chip that no longer
// answers does.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace sandbox {

struct MtdHandle {
    std::string name;  // uboot, ubootenv, devicetree, kernel, rfs, rescue, onie, user
    int file = -1;     // the partition's backing file in the board
    off_t position = 0;
};

// Maps a device path such as "/dev/mtd-kernel" to its partition name; an
// empty result for a path that is no emulated partition.
std::string mtd_partition_name(const char* path);

// Opens the partition's backing file; -1 with errno ENOENT when the board
// has no such partition.
int mtd_emul_open(MtdHandle& handle, const std::string& name);
void mtd_emul_close(MtdHandle& handle);

int mtd_emul_ioctl(MtdHandle& handle, unsigned long request, unsigned long arg);
ssize_t mtd_emul_pread(MtdHandle& handle, void* buf, size_t count, off_t offset);
ssize_t mtd_emul_pwrite(MtdHandle& handle, const void* buf, size_t count, off_t offset);

}  // namespace sandbox
