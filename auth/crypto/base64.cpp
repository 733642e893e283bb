#include "auth/crypto/base64.h"

#include "auth/crypto/toolkit.h"

namespace {

// Decodes one group of four characters into 1, 2 or 3 bytes. last tells
// whether padding is allowed here. Returns the byte count, or 0 when the
// group is malformed.
size_t decode_group(const uint8_t* table, const char* group, bool last, uint8_t bytes[3]) {
    size_t pads = 0;
    if (last && group[3] == '=') {
        pads = (group[2] == '=') ? 2 : 1;
    }
    uint32_t bits = 0;
    for (size_t i = 0; i < 4 - pads; ++i) {
        uint8_t entry = table[static_cast<uint8_t>(group[i])];
        if (entry == 0) {
            return 0;
        }
        bits = (bits << 6) | static_cast<uint32_t>(entry - 1);
    }
    bits <<= 6 * pads;
    // The bits under the padding must be zero: a text has one encoding.
    if ((pads == 1 && (bits & 0xFFu) != 0) || (pads == 2 && (bits & 0xFFFFu) != 0)) {
        return 0;
    }
    bytes[0] = static_cast<uint8_t>(bits >> 16);
    bytes[1] = static_cast<uint8_t>(bits >> 8);
    bytes[2] = static_cast<uint8_t>(bits);
    return 3 - pads;
}

}  // namespace

CryptoStatus BASE64_decode(const char* text, size_t textLen, uint8_t* out, size_t outCap,
                           size_t* outLen) {
    if (text == nullptr || out == nullptr || outLen == nullptr) {
        return CRYPTO_ERR_NULL_ARG;
    }
    *outLen = 0;
    const uint8_t* table = toolkit_base64Table();
    if (table == nullptr) {
        return CRYPTO_ERR_BASE64_NO_TABLE;
    }
    if (textLen < 4 || textLen % 4 != 0) {
        return CRYPTO_ERR_BASE64;
    }
    size_t written = 0;
    for (size_t pos = 0; pos < textLen; pos += 4) {
        uint8_t bytes[3];
        size_t count = decode_group(table, text + pos, pos + 4 == textLen, bytes);
        if (count == 0 || count > outCap - written) {
            return CRYPTO_ERR_BASE64;
        }
        for (size_t i = 0; i < count; ++i) {
            out[written + i] = bytes[i];
        }
        written += count;
    }
    *outLen = written;
    return CRYPTO_OK;
}
