// The board as start-up leaves it, for the fuzz targets that reach the
// signature policy: nothing waits for the operator, low security mode is
// off, and the I2C buses (the serial number that unlocks the key files),
// flash partitions (the root filesystem that tells a developer switch), the
// crypto toolkit and the key files under /user are in place.
#pragma once

#include <cstdio>

#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "auth/lowsec.h"
#include "board/i2c.h"
#include "board/mtd.h"

// 0 when the board is ready; libFuzzer's initialisation result.
inline int fuzz_board_setup() {
    // A question meets the end of input rather than wait.
    if (std::freopen("/dev/null", "rb", stdin) == nullptr) {
        return 1;
    }
    lowsec_setMarker(0);
    i2c_open_buses();
    mtd_open_partitions();
    TOOLKIT_init();
    imgsign_loadSystemKeys();
    return 0;
}
