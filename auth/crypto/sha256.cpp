#include "auth/crypto/sha256.h"

#include <bit>
#include <cstring>
#include <utility>

#include "auth/crypto/toolkit.h"

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t big_sigma0(uint32_t a) {
    return std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
}
inline uint32_t big_sigma1(uint32_t e) {
    return std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
}
inline uint32_t small_sigma0(uint32_t x) {
    return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}
inline uint32_t small_sigma1(uint32_t x) {
    return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}

// The working variables a..h live in v[8] without being moved: in round i,
// a is v[(0 - i) & 7], b is v[(1 - i) & 7] and so on, so that each round
// writes only d and h. The message schedule is kept as the last sixteen
// words, w[i & 15], each computed in the round that first needs it. With
// every round unrolled all these indices are constants, and the compiler
// keeps the state in registers.
template <unsigned i>
inline uint32_t& var(uint32_t (&v)[8], unsigned n) {
    return v[(n - i) & 7u];
}

// Maj(a, b, c) is computed as b ^ ((a ^ b) & (b ^ c)), where b ^ c is the
// a ^ b of the round before, carried in bc.
template <unsigned i>
inline void round(uint32_t (&v)[8], uint32_t (&w)[16], uint32_t& bc) {
    if constexpr (i >= 16) {
        w[i & 15] +=
            small_sigma1(w[(i - 2) & 15]) + w[(i - 7) & 15] + small_sigma0(w[(i - 15) & 15]);
    }
    uint32_t a = var<i>(v, 0), b = var<i>(v, 1);
    uint32_t e = var<i>(v, 4), f = var<i>(v, 5), g = var<i>(v, 6);
    uint32_t t1 = var<i>(v, 7) + kRoundConstants[i] + w[i & 15];
    t1 += big_sigma1(e) + (g ^ (e & (f ^ g)));
    uint32_t ab = a ^ b;
    uint32_t t2 = big_sigma0(a) + (b ^ (ab & bc));
    bc = ab;
    var<i>(v, 3) += t1;
    var<i>(v, 7) = t1 + t2;
}

template <unsigned... i>
inline void rounds(uint32_t (&v)[8], uint32_t (&w)[16], std::integer_sequence<unsigned, i...>) {
    uint32_t bc = v[1] ^ v[2];
    (round<i>(v, w, bc), ...);
}

void compress(uint32_t state[8], const uint8_t* block) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
        w[i] = load_be32(block + 4 * i);
    }
    uint32_t v[8];
    for (int i = 0; i < 8; ++i) {
        v[i] = state[i];
    }
    rounds(v, w, std::make_integer_sequence<unsigned, 64>{});
    for (int i = 0; i < 8; ++i) {
        state[i] += v[i];
    }
}

}  // namespace

void sha256_init(Sha256Ctx& ctx) {
    std::memcpy(ctx.state, kInitialState, sizeof ctx.state);
    ctx.totalBytes = 0;
    std::memset(ctx.block, 0, sizeof ctx.block);
    ctx.blockUsed = 0;
}

void sha256_update(Sha256Ctx& ctx, const uint8_t* data, size_t len) {
    if (len == 0) {
        return;
    }
    ctx.totalBytes += len;
    if (ctx.blockUsed != 0) {
        size_t take = kSha256BlockLength - ctx.blockUsed;
        take = len < take ? len : take;
        std::memcpy(ctx.block + ctx.blockUsed, data, take);
        ctx.blockUsed += static_cast<uint32_t>(take);
        data += take;
        len -= take;
        if (ctx.blockUsed < kSha256BlockLength) {
            return;
        }
        compress(ctx.state, ctx.block);
        ctx.blockUsed = 0;
    }
    for (; len >= kSha256BlockLength; len -= kSha256BlockLength) {
        compress(ctx.state, data);
        data += kSha256BlockLength;
    }
    if (len != 0) {
        std::memcpy(ctx.block, data, len);
        ctx.blockUsed = static_cast<uint32_t>(len);
    }
}

// Pads with 0x80, zero bytes and the message length in bits as a 64-bit
// big-endian number, so that the length ends a block.
void sha256_final(Sha256Ctx& ctx, uint8_t digest[kSha256DigestLength]) {
    uint64_t bits = ctx.totalBytes * 8;
    ctx.block[ctx.blockUsed++] = 0x80;
    if (ctx.blockUsed > kSha256BlockLength - 8) {
        std::memset(ctx.block + ctx.blockUsed, 0, kSha256BlockLength - ctx.blockUsed);
        compress(ctx.state, ctx.block);
        ctx.blockUsed = 0;
    }
    std::memset(ctx.block + ctx.blockUsed, 0, kSha256BlockLength - 8 - ctx.blockUsed);
    store_be32(ctx.block + 56, static_cast<uint32_t>(bits >> 32));
    store_be32(ctx.block + 60, static_cast<uint32_t>(bits));
    compress(ctx.state, ctx.block);
    for (int i = 0; i < 8; ++i) {
        store_be32(digest + 4 * i, ctx.state[i]);
    }
    toolkit_wipe(&ctx, sizeof ctx);
}
