// A component as it arrives from a download or a stick, handed to the
// signature policy before anything is installed: the format-3 header, the
// signature-entry walk, the signed-region bounds and the verification with
// the keys loaded from /user.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "auth/lowsec.h"
#include "auth/signature.h"
#include "board/i2c.h"
#include "board/mtd.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The policy asks the operator only on a developer switch in low
    // security mode; the switch is kept out of that mode, and any question
    // would meet the end of input rather than wait.
    if (std::freopen("/dev/null", "rb", stdin) == nullptr) {
        return 1;
    }
    lowsec_setMarker(0);
    // The board as start-up leaves it: I2C buses (the serial number that
    // unlocks the key files), flash partitions (the root filesystem that
    // tells a developer switch) and the crypto toolkit.
    i2c_open_buses();
    mtd_open_partitions();
    TOOLKIT_init();
    // Writes the key files under /user once; every execution reads them.
    imgsign_loadSystemKeys();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    imgsign_verifyImage(std::span<const std::uint8_t>(data, size));
    return 0;
}
