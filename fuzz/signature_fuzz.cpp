// A component as it arrives from a download or a stick, handed to the
// signature policy before anything is installed: the format-3 header, the
// signature-entry walk, the signed-region bounds and the verification with
// the keys loaded from /user.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "auth/signature.h"
#include "fuzz/board_setup.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The policy asks the operator only on a developer switch in low
    // security mode, which the set-up keeps off.
    return fuzz_board_setup();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    imgsign_verifyImage(std::span<const std::uint8_t>(data, size));
    return 0;
}
