// The check of an RSA signature after the public operation: the PKCS#1
// v1.5 frame, the DigestInfo and the digest comparison. The fuzzer's bytes
// are the decoded block itself: the target signs them with the private half
// of a small key made for this target alone, so that the public operation
// of IMGSIGN_verifySignature gives back exactly those bytes and every input
// reaches the frame check. The rest of the input is the expected digest.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "auth/crypto/bigint.h"
#include "auth/crypto/imgsign.h"

namespace {

// A 512-bit key made with `openssl genrsa 512` for this target; the frame
// rules do not depend on the modulus size, and a small key keeps each
// execution short.
constexpr char kPublicKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFwwDQYJKoZIhvcNAQEBBQADSwAwSAJBANOchgCmHJ1/a8ks9vmaMSBTJVcj9yLQ\n"
    "lXXTy3qczuoOclK34xVKGJeU24ANXsoNs9/ZOgbzXB18JJnXipmiXecCAwEAAQ==\n"
    "-----END PUBLIC KEY-----\n";

constexpr std::uint8_t kModulus[] = {
    0xd3, 0x9c, 0x86, 0x00, 0xa6, 0x1c, 0x9d, 0x7f, 0x6b, 0xc9, 0x2c, 0xf6, 0xf9, 0x9a, 0x31, 0x20,
    0x53, 0x25, 0x57, 0x23, 0xf7, 0x22, 0xd0, 0x95, 0x75, 0xd3, 0xcb, 0x7a, 0x9c, 0xce, 0xea, 0x0e,
    0x72, 0x52, 0xb7, 0xe3, 0x15, 0x4a, 0x18, 0x97, 0x94, 0xdb, 0x80, 0x0d, 0x5e, 0xca, 0x0d, 0xb3,
    0xdf, 0xd9, 0x3a, 0x06, 0xf3, 0x5c, 0x1d, 0x7c, 0x24, 0x99, 0xd7, 0x8a, 0x99, 0xa2, 0x5d, 0xe7};

constexpr std::uint8_t kPrivateExponent[] = {
    0x57, 0xd0, 0x10, 0x5b, 0x9c, 0x93, 0x2b, 0x58, 0x81, 0x26, 0x0e, 0x9e, 0xbe, 0x9d, 0x99, 0xdd,
    0x4c, 0x23, 0xa6, 0xb1, 0xaa, 0x10, 0xac, 0x76, 0x19, 0x5b, 0x36, 0x89, 0x3f, 0x21, 0x2e, 0x46,
    0xe7, 0x31, 0x4e, 0x35, 0xaf, 0x48, 0xb6, 0x91, 0x1e, 0x86, 0xef, 0xc4, 0x4f, 0x93, 0x14, 0x76,
    0xe1, 0x30, 0x0a, 0xa6, 0x42, 0xef, 0x85, 0xa4, 0x62, 0x34, 0xd9, 0xcd, 0x99, 0x9f, 0xa2, 0xc1};

constexpr std::size_t kBlockLen = sizeof kModulus;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t block[kBlockLen] = {};
    std::size_t take = size < kBlockLen ? size : kBlockLen;
    std::memcpy(block, data, take);
    // Only blocks below the modulus come out of a public operation.
    if (std::memcmp(block, kModulus, kBlockLen) >= 0) {
        block[0] = 0;
    }
    std::uint8_t signature[kBlockLen];
    if (!bigint_modExp(block, kPrivateExponent, kModulus, signature)) {
        return 0;
    }
    std::uint8_t digest[64] = {};
    std::size_t digestLen = size - take < sizeof digest ? size - take : sizeof digest;
    std::memcpy(digest, data + take, digestLen);
    IMGSIGN_verifySignature(digest, static_cast<std::uint32_t>(digestLen), signature, kBlockLen,
                            kPublicKey, sizeof kPublicKey - 1);
    return 0;
}
