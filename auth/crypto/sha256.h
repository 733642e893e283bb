// SHA-256, the digest of image payloads that the signatures cover.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kSha256DigestLength = 32;
inline constexpr size_t kSha256BlockLength = 64;

// Running hash state: the eight chaining words, the byte count so far and a
// partly filled block.
struct Sha256Ctx {
    uint32_t state[8];
    uint64_t totalBytes;
    uint8_t block[kSha256BlockLength];
    uint32_t blockUsed;
};

void sha256_init(Sha256Ctx& ctx);
// Adds len bytes; data may be null only when len is 0.
void sha256_update(Sha256Ctx& ctx, const uint8_t* data, size_t len);
// Writes the digest and overwrites the whole state with zero bytes.
void sha256_final(Sha256Ctx& ctx, uint8_t digest[kSha256DigestLength]);
