// Base64 decoding of the standard alphabet with "=" padding, as used inside
// PEM key text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "auth/crypto/status.h"

// Largest output BASE64_decode can produce for textLen characters.
inline constexpr size_t base64_maxDecodedLength(size_t textLen) {
    return textLen / 4 * 3;
}

// Decodes textLen characters into out, which has room for outCap bytes,
// and sets *outLen to the number of bytes written. The text must be whole
// groups of four alphabet characters, at least one group, with "=" only in
// the last one or two places of the last group and no stray bits under the
// padding; otherwise the result is -6501 and nothing is promised about out.
// Before TOOLKIT_init the result is -6502. out may be the same buffer as
// text: each group is read whole before its bytes are written behind it.
CryptoStatus BASE64_decode(const char* text, size_t textLen, uint8_t* out, size_t outCap,
                           size_t* outLen);
