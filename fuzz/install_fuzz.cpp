// A whole update container as it arrives by TFTP, XMODEM or on a stick:
// the installer's component walk (headers, sizes, CRCs, the signature
// policy, the flash and slot writes) over a file in /tmp. The board's flash
// and eMMC are the sandbox's files. Slot 1 is given, so no component asks
// for a slot and an application is never booted without being stored (the
// only path out of the installer that would not return).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "auth/lowsec.h"
#include "board/i2c.h"
#include "board/mtd.h"
#include "image/install.h"

namespace {

constexpr char kContainer[] = "/tmp/fuzz-image";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Nothing must wait for the operator: a question meets the end of input.
    if (std::freopen("/dev/null", "rb", stdin) == nullptr) {
        return 1;
    }
    // The installer's settle times (EEPROM writes, flash) are counted by
    // the sandbox, not waited for.
    setenv("SANDBOX_SPEED", "1000000", 1);
    lowsec_setMarker(0);
    // The board as start-up leaves it: I2C buses (the serial number that
    // unlocks the key files), flash partitions (the root filesystem that
    // tells a developer switch) and the crypto toolkit.
    i2c_open_buses();
    mtd_open_partitions();
    TOOLKIT_init();
    imgsign_loadSystemKeys();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* out = std::fopen(kContainer, "wb");
    if (out == nullptr) {
        return 0;
    }
    bool written = std::fwrite(data, 1, size, out) == size;
    if (std::fclose(out) != 0 || !written) {
        return 0;
    }
    image_install(kContainer, 0, 1);
    return 0;
}
