// Helpers for unit tests that open the flash partitions as start-up does.
#pragma once

#include <initializer_list>

#include "board/mtd.h"
#include "platform/platform.h"

namespace board_test {

// Closes every partition mtd_open_partitions opened, so that the next test
// opens them afresh on the board files it set.
inline void close_mtd_partitions() {
    for (int* fd : {&mtd_partitions.uboot, &mtd_partitions.uboot_env, &mtd_partitions.device_tree,
                    &mtd_partitions.kernel, &mtd_partitions.rfs, &mtd_partitions.rescue,
                    &mtd_partitions.onie}) {
        if (*fd >= 0) {
            plat_close(*fd);
        }
        *fd = -1;
    }
}

}  // namespace board_test
