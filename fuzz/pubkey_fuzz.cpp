// Key text as it comes from a key file on /user: PEM armour, Base64 and the
// strict DER of an RSA public key (text that is not PEM is taken as DER).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "auth/crypto/base64.h"
#include "auth/crypto/pubkey.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    RsaPublicKey key;
    PUBKEY_convertPublicKey(text, static_cast<std::uint32_t>(size), &key);
    std::vector<std::uint8_t> decoded(base64_maxDecodedLength(size) + 1);
    std::size_t decodedLen = 0;
    BASE64_decode(text, size, decoded.data(), decoded.size(), &decodedLen);
    return 0;
}
