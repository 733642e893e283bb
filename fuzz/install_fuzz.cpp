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

#include "fuzz/board_setup.h"
#include "image/install.h"

namespace {

constexpr char kContainer[] = "/tmp/fuzz-image";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The installer's settle times (EEPROM writes, flash) are counted by
    // the sandbox, not waited for.
    setenv("SANDBOX_SPEED", "1000000", 1);
    return fuzz_board_setup();
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
