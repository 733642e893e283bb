// AES (128-, 192- and 256-bit keys) in CBC mode, for the key files that
// mirror the image-signing keys on the eMMC.
#pragma once

#include <cstddef>
#include <cstdint>

#include "auth/crypto/status.h"

inline constexpr int AES_DIR_DECRYPT = 0;
inline constexpr int AES_DIR_ENCRYPT = 1;

// Chaining modes the context can record; only CBC is implemented.
inline constexpr int32_t AES_MODE_ECB = 1;
inline constexpr int32_t AES_MODE_CBC = 2;

inline constexpr size_t kAesBlockLength = 16;
// Round-key words for the longest key: 4 * (14 rounds + 1).
inline constexpr size_t kAesMaxRoundKeyWords = 60;

// One key in expanded form. roundKeys serve the context's direction (for
// decryption they are the encryption keys reversed and passed through
// InvMixColumns); encryptKeys are always the encryption schedule.
struct AESCtx {
    int32_t direction;
    int32_t mode;
    uint32_t keyBits;
    uint32_t rounds;
    uint32_t roundKeys[kAesMaxRoundKeyWords];
    uint32_t encryptKeys[kAesMaxRoundKeyWords];
};

// Makes a CBC context for a 16-, 24- or 32-byte key and a direction
// (AES_DIR_ENCRYPT or AES_DIR_DECRYPT). Returns null when the key length is
// not allowed (-7904), the direction is unknown (-7903), the key is null
// (-6001) or memory is exhausted (-6101); status, when given, receives that
// number or 0.
AESCtx* AES_createCtx(const uint8_t* key, uint32_t keyLen, int direction,
                      CryptoStatus* status = nullptr);

// Encrypts or decrypts len bytes in place, continuing the CBC chain from iv
// (16 bytes), which is left holding the last ciphertext block. Results: 0;
// -6001 for a null pointer; -7902 when len is not a multiple of 16; -7903
// when direction is not the context's; -7907 when the context's mode is not
// CBC. On any failure neither the data nor iv is changed.
CryptoStatus AES_cipher(AESCtx* ctx, uint8_t* data, uint32_t len, int direction, uint8_t* iv);

// Wipes the whole context, releases it and clears the handle. An empty
// handle is left alone. Returns 0.
int32_t AES_deleteCtx(AESCtx** ctx);
