#include "auth/crypto/aes.h"

#include <array>
#include <bit>

#include "auth/crypto/toolkit.h"

namespace {

// The S-box and the round tables are computed by the compiler from the
// field arithmetic, so no table of magic numbers has to be trusted.

constexpr uint8_t xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

// Product in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0) {
            product ^= a;
        }
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

// Multiplicative inverse as x^254 by square and multiply (few enough steps
// for every compiler's constant evaluation); 0 maps to 0.
constexpr uint8_t gf_inverse(uint8_t x) {
    uint8_t result = 1;
    uint8_t power = x;
    for (unsigned exponent = 254; exponent != 0; exponent >>= 1) {
        if ((exponent & 1) != 0) {
            result = gf_mul(result, power);
        }
        power = gf_mul(power, power);
    }
    return result;
}

constexpr uint8_t rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr std::array<uint8_t, 256> make_sbox() {
    std::array<uint8_t, 256> box{};
    for (int x = 0; x < 256; ++x) {
        uint8_t b = gf_inverse(static_cast<uint8_t>(x));
        box[x] = b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63;
    }
    return box;
}

constexpr std::array<uint8_t, 256> kSbox = make_sbox();

constexpr std::array<uint8_t, 256> make_inverse_sbox() {
    std::array<uint8_t, 256> box{};
    for (int x = 0; x < 256; ++x) {
        box[kSbox[x]] = static_cast<uint8_t>(x);
    }
    return box;
}

constexpr std::array<uint8_t, 256> kInverseSbox = make_inverse_sbox();

constexpr uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | b3;
}

// Table t of a round: SubBytes and MixColumns of one byte in row t, as the
// column it contributes (each table is the first rotated right by 8 t).
constexpr std::array<uint32_t, 256> make_encrypt_table(int t) {
    std::array<uint32_t, 256> table{};
    for (int x = 0; x < 256; ++x) {
        uint8_t s = kSbox[x];
        uint32_t column = word(gf_mul(s, 2), s, s, gf_mul(s, 3));
        table[x] = std::rotr(column, 8 * t);
    }
    return table;
}

constexpr std::array<uint32_t, 256> make_decrypt_table(int t) {
    std::array<uint32_t, 256> table{};
    for (int x = 0; x < 256; ++x) {
        uint8_t s = kInverseSbox[x];
        uint32_t column = word(gf_mul(s, 14), gf_mul(s, 9), gf_mul(s, 13), gf_mul(s, 11));
        table[x] = std::rotr(column, 8 * t);
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTe0 = make_encrypt_table(0);
constexpr std::array<uint32_t, 256> kTe1 = make_encrypt_table(1);
constexpr std::array<uint32_t, 256> kTe2 = make_encrypt_table(2);
constexpr std::array<uint32_t, 256> kTe3 = make_encrypt_table(3);
constexpr std::array<uint32_t, 256> kTd0 = make_decrypt_table(0);
constexpr std::array<uint32_t, 256> kTd1 = make_decrypt_table(1);
constexpr std::array<uint32_t, 256> kTd2 = make_decrypt_table(2);
constexpr std::array<uint32_t, 256> kTd3 = make_decrypt_table(3);

inline uint8_t byte_of(uint32_t w, int n) {
    return static_cast<uint8_t>(w >> (24 - 8 * n));
}

inline uint32_t load_be32(const uint8_t* p) {
    return word(p[0], p[1], p[2], p[3]);
}

inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = byte_of(v, 0);
    p[1] = byte_of(v, 1);
    p[2] = byte_of(v, 2);
    p[3] = byte_of(v, 3);
}

uint32_t sub_word(uint32_t w) {
    return word(kSbox[byte_of(w, 0)], kSbox[byte_of(w, 1)], kSbox[byte_of(w, 2)],
                kSbox[byte_of(w, 3)]);
}

// The encryption key schedule: 4 (rounds + 1) words.
void expand_encrypt_key(const uint8_t* key, uint32_t nk, uint32_t rounds, uint32_t* w) {
    for (uint32_t i = 0; i < nk; ++i) {
        w[i] = load_be32(key + 4 * i);
    }
    uint8_t rcon = 0x01;
    for (uint32_t i = nk; i < 4 * (rounds + 1); ++i) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = sub_word(std::rotl(temp, 8)) ^ (uint32_t{rcon} << 24);
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            temp = sub_word(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
}

uint32_t inverse_mix_column(uint32_t w) {
    return kTd0[kSbox[byte_of(w, 0)]] ^ kTd1[kSbox[byte_of(w, 1)]] ^ kTd2[kSbox[byte_of(w, 2)]] ^
           kTd3[kSbox[byte_of(w, 3)]];
}

// The decryption schedule of the equivalent inverse cipher: the round keys
// in reverse order, the inner ones passed through InvMixColumns.
void expand_decrypt_key(const uint32_t* enc, uint32_t rounds, uint32_t* dec) {
    for (uint32_t r = 0; r <= rounds; ++r) {
        for (uint32_t c = 0; c < 4; ++c) {
            uint32_t w = enc[4 * (rounds - r) + c];
            dec[4 * r + c] = (r == 0 || r == rounds) ? w : inverse_mix_column(w);
        }
    }
}

// A word of the last round, which has no MixColumns: one S-box byte from
// each of four state words (ShiftRows picks which), and the round key.
inline uint32_t last_round_word(const std::array<uint8_t, 256>& box, uint32_t w0, uint32_t w1,
                                uint32_t w2, uint32_t w3, uint32_t key) {
    return word(box[byte_of(w0, 0)], box[byte_of(w1, 1)], box[byte_of(w2, 2)],
                box[byte_of(w3, 3)]) ^
           key;
}

void encrypt_block(const uint32_t* rk, uint32_t rounds, uint8_t* block) {
    uint32_t s0 = load_be32(block) ^ rk[0];
    uint32_t s1 = load_be32(block + 4) ^ rk[1];
    uint32_t s2 = load_be32(block + 8) ^ rk[2];
    uint32_t s3 = load_be32(block + 12) ^ rk[3];
    for (uint32_t r = 1; r < rounds; ++r) {
        rk += 4;
        uint32_t t0 = kTe0[byte_of(s0, 0)] ^ kTe1[byte_of(s1, 1)] ^ kTe2[byte_of(s2, 2)] ^
                      kTe3[byte_of(s3, 3)] ^ rk[0];
        uint32_t t1 = kTe0[byte_of(s1, 0)] ^ kTe1[byte_of(s2, 1)] ^ kTe2[byte_of(s3, 2)] ^
                      kTe3[byte_of(s0, 3)] ^ rk[1];
        uint32_t t2 = kTe0[byte_of(s2, 0)] ^ kTe1[byte_of(s3, 1)] ^ kTe2[byte_of(s0, 2)] ^
                      kTe3[byte_of(s1, 3)] ^ rk[2];
        uint32_t t3 = kTe0[byte_of(s3, 0)] ^ kTe1[byte_of(s0, 1)] ^ kTe2[byte_of(s1, 2)] ^
                      kTe3[byte_of(s2, 3)] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    store_be32(block, last_round_word(kSbox, s0, s1, s2, s3, rk[0]));
    store_be32(block + 4, last_round_word(kSbox, s1, s2, s3, s0, rk[1]));
    store_be32(block + 8, last_round_word(kSbox, s2, s3, s0, s1, rk[2]));
    store_be32(block + 12, last_round_word(kSbox, s3, s0, s1, s2, rk[3]));
}

void decrypt_block(const uint32_t* rk, uint32_t rounds, uint8_t* block) {
    uint32_t s0 = load_be32(block) ^ rk[0];
    uint32_t s1 = load_be32(block + 4) ^ rk[1];
    uint32_t s2 = load_be32(block + 8) ^ rk[2];
    uint32_t s3 = load_be32(block + 12) ^ rk[3];
    for (uint32_t r = 1; r < rounds; ++r) {
        rk += 4;
        uint32_t t0 = kTd0[byte_of(s0, 0)] ^ kTd1[byte_of(s3, 1)] ^ kTd2[byte_of(s2, 2)] ^
                      kTd3[byte_of(s1, 3)] ^ rk[0];
        uint32_t t1 = kTd0[byte_of(s1, 0)] ^ kTd1[byte_of(s0, 1)] ^ kTd2[byte_of(s3, 2)] ^
                      kTd3[byte_of(s2, 3)] ^ rk[1];
        uint32_t t2 = kTd0[byte_of(s2, 0)] ^ kTd1[byte_of(s1, 1)] ^ kTd2[byte_of(s0, 2)] ^
                      kTd3[byte_of(s3, 3)] ^ rk[2];
        uint32_t t3 = kTd0[byte_of(s3, 0)] ^ kTd1[byte_of(s2, 1)] ^ kTd2[byte_of(s1, 2)] ^
                      kTd3[byte_of(s0, 3)] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    store_be32(block, last_round_word(kInverseSbox, s0, s3, s2, s1, rk[0]));
    store_be32(block + 4, last_round_word(kInverseSbox, s1, s0, s3, s2, rk[1]));
    store_be32(block + 8, last_round_word(kInverseSbox, s2, s1, s0, s3, rk[2]));
    store_be32(block + 12, last_round_word(kInverseSbox, s3, s2, s1, s0, rk[3]));
}

void xor_block(uint8_t* dst, const uint8_t* src) {
    for (size_t i = 0; i < kAesBlockLength; ++i) {
        dst[i] ^= src[i];
    }
}

void copy_block(uint8_t* dst, const uint8_t* src) {
    for (size_t i = 0; i < kAesBlockLength; ++i) {
        dst[i] = src[i];
    }
}

// Each plaintext block is chained with the previous ciphertext (the vector
// for the first) before it is encrypted.
void cbc_encrypt(const AESCtx& ctx, uint8_t* data, uint32_t len, uint8_t* iv) {
    for (uint32_t pos = 0; pos < len; pos += kAesBlockLength) {
        uint8_t* block = data + pos;
        xor_block(block, iv);
        encrypt_block(ctx.roundKeys, ctx.rounds, block);
        copy_block(iv, block);
    }
}

// The ciphertext block is saved before it is overwritten, so decrypting in
// place chains correctly.
void cbc_decrypt(const AESCtx& ctx, uint8_t* data, uint32_t len, uint8_t* iv) {
    for (uint32_t pos = 0; pos < len; pos += kAesBlockLength) {
        uint8_t* block = data + pos;
        uint8_t cipher[kAesBlockLength];
        copy_block(cipher, block);
        decrypt_block(ctx.roundKeys, ctx.rounds, block);
        xor_block(block, iv);
        copy_block(iv, cipher);
    }
}

CryptoStatus check_create(const uint8_t* key, uint32_t keyLen, int direction) {
    if (key == nullptr) {
        return CRYPTO_ERR_NULL_ARG;
    }
    uint32_t bits = keyLen * 8;
    if (keyLen > 32 || (bits != 128 && bits != 192 && bits != 256)) {
        return CRYPTO_ERR_AES_KEY_LENGTH;
    }
    if (direction != AES_DIR_ENCRYPT && direction != AES_DIR_DECRYPT) {
        return CRYPTO_ERR_AES_DIRECTION;
    }
    return CRYPTO_OK;
}

}  // namespace

AESCtx* AES_createCtx(const uint8_t* key, uint32_t keyLen, int direction, CryptoStatus* status) {
    CryptoStatus result = check_create(key, keyLen, direction);
    AESCtx* ctx = nullptr;
    if (result == CRYPTO_OK) {
        ctx = static_cast<AESCtx*>(toolkit_alloc(sizeof(AESCtx)));
        result = (ctx == nullptr) ? CRYPTO_ERR_NO_MEMORY : CRYPTO_OK;
    }
    if (ctx != nullptr) {
        uint32_t nk = keyLen / 4;
        ctx->direction = direction;
        ctx->mode = AES_MODE_CBC;
        ctx->keyBits = keyLen * 8;
        ctx->rounds = nk + 6;
        expand_encrypt_key(key, nk, ctx->rounds, ctx->encryptKeys);
        if (direction == AES_DIR_ENCRYPT) {
            for (size_t i = 0; i < kAesMaxRoundKeyWords; ++i) {
                ctx->roundKeys[i] = ctx->encryptKeys[i];
            }
        } else {
            expand_decrypt_key(ctx->encryptKeys, ctx->rounds, ctx->roundKeys);
        }
    }
    if (status != nullptr) {
        *status = result;
    }
    return ctx;
}

CryptoStatus AES_cipher(AESCtx* ctx, uint8_t* data, uint32_t len, int direction, uint8_t* iv) {
    if (ctx == nullptr || data == nullptr || iv == nullptr) {
        return CRYPTO_ERR_NULL_ARG;
    }
    if (len % kAesBlockLength != 0) {
        return CRYPTO_ERR_AES_LENGTH;
    }
    if (direction != ctx->direction) {
        return CRYPTO_ERR_AES_DIRECTION;
    }
    if (ctx->mode != AES_MODE_CBC) {
        return CRYPTO_ERR_AES_MODE;
    }
    if (direction == AES_DIR_ENCRYPT) {
        cbc_encrypt(*ctx, data, len, iv);
    } else {
        cbc_decrypt(*ctx, data, len, iv);
    }
    return CRYPTO_OK;
}

int32_t AES_deleteCtx(AESCtx** ctx) {
    if (ctx == nullptr || *ctx == nullptr) {
        return 0;
    }
    toolkit_wipe(*ctx, sizeof(AESCtx));
    toolkit_free(*ctx);
    *ctx = nullptr;
    return 0;
}
