#include "auth/keyfile.h"

#include <cstdio>
#include <cstring>

#include "auth/crypto/aes.h"
#include "auth/crypto/toolkit.h"

namespace {

// The fixed parts of the cipher. Any values serve as long as encryption and
// decryption agree; changing them orphans every key file in the field (the
// switches then rewrite them from the built-in keys, with a message).
constexpr std::uint8_t kKeyFiller[4] = {0x3C, 0xA5, 0x5E, 0x91};
constexpr std::uint8_t kKeyFileIv[kAesBlockLength] = {
    0x6B, 0x21, 0xD4, 0x08, 0x9F, 0x73, 0xE2, 0x15, 0x4A, 0xC6, 0x37, 0xB0, 0x58, 0x0D, 0xF9, 0x82};

// The AES key and the IV live on the stack for one operation and are wiped
// when it ends, whichever way it ends.
struct KeyFileCipher {
    std::uint8_t key[kAesBlockLength];
    std::uint8_t iv[kAesBlockLength];
    AESCtx* ctx = nullptr;

    KeyFileCipher(const std::uint8_t* material, std::uint32_t materialLen) {
        std::memset(key, 0, sizeof key);
        std::uint32_t take = materialLen < kKeyMaterialLength ? materialLen : kKeyMaterialLength;
        if (material != nullptr) {
            std::memcpy(key, material, take);
        }
        std::memcpy(key + kKeyMaterialLength, kKeyFiller, sizeof kKeyFiller);
        std::memcpy(iv, kKeyFileIv, sizeof iv);
    }
    ~KeyFileCipher() {
        AES_deleteCtx(&ctx);
        toolkit_wipe(key, sizeof key);
        toolkit_wipe(iv, sizeof iv);
    }
    KeyFileCipher(const KeyFileCipher&) = delete;
    KeyFileCipher& operator=(const KeyFileCipher&) = delete;
};

}  // namespace

std::uint8_t* imgsign_encrypt(const std::uint8_t* material, std::uint32_t materialLen,
                              const std::uint8_t* plain, std::uint32_t plainLen,
                              std::uint32_t* cipherLen) {
    if (plainLen > 0xFFFFFFFFu - (kAesBlockLength - 1)) {
        std::puts("Encrypt malloc failed!");
        return nullptr;
    }
    std::uint32_t rounded = (plainLen + kAesBlockLength - 1) / kAesBlockLength * kAesBlockLength;
    KeyFileCipher cipher(material, materialLen);
    // Zero-filled: the padding after the text is zero bytes.
    auto* buffer = static_cast<std::uint8_t*>(toolkit_alloc(rounded == 0 ? 1 : rounded));
    if (buffer == nullptr) {
        std::puts("Encrypt malloc failed!");
        return nullptr;
    }
    if (plainLen > 0) {
        std::memcpy(buffer, plain, plainLen);
    }
    cipher.ctx = AES_createCtx(cipher.key, sizeof cipher.key, AES_DIR_ENCRYPT);
    if (cipher.ctx == nullptr) {
        std::puts("AES_createCtx(encrypt) failed!");
        imgsign_release(buffer, rounded);
        return nullptr;
    }
    CryptoStatus status = AES_cipher(cipher.ctx, buffer, rounded, AES_DIR_ENCRYPT, cipher.iv);
    if (status < 0) {
        std::printf("Do aes encryption failed. rc=%d", static_cast<int>(status));
        std::fflush(stdout);
        imgsign_release(buffer, rounded);
        return nullptr;
    }
    *cipherLen = rounded;
    return buffer;
}

std::uint8_t* keyfile_decrypt(const std::uint8_t* material, std::uint32_t materialLen,
                              const std::uint8_t* cipher, std::uint32_t cipherLen,
                              std::uint32_t* textLen) {
    if (cipherLen % kAesBlockLength != 0 || cipherLen == 0xFFFFFFFFu) {
        std::puts("Input data is not AES size correct");
        return nullptr;
    }
    KeyFileCipher keys(material, materialLen);
    keys.ctx = AES_createCtx(keys.key, sizeof keys.key, AES_DIR_DECRYPT);
    if (keys.ctx == nullptr) {
        std::printf("%s: AES_createCtx(decrypt) failed!\n", "imgsign_decrypt");
        return nullptr;
    }
    // One byte more than the ciphertext: the plaintext is always
    // zero-terminated, even when it holds no zero of its own.
    auto* plain = static_cast<std::uint8_t*>(toolkit_alloc(cipherLen + 1u));
    if (plain == nullptr) {
        std::puts("Decrypt malloc failed!");
        return nullptr;
    }
    if (cipherLen > 0) {
        std::memcpy(plain, cipher, cipherLen);
    }
    CryptoStatus status = AES_cipher(keys.ctx, plain, cipherLen, AES_DIR_DECRYPT, keys.iv);
    if (status < 0) {
        std::printf("Do aes failed. rc=%d", static_cast<int>(status));
        std::fflush(stdout);
        imgsign_release(plain, cipherLen + 1);
        return nullptr;
    }
    *textLen = static_cast<std::uint32_t>(std::strlen(reinterpret_cast<const char*>(plain)));
    return plain;
}

void imgsign_release(std::uint8_t* buffer, std::uint32_t length) {
    if (buffer == nullptr) {
        return;
    }
    toolkit_wipe(buffer, length);
    toolkit_free(buffer);
}
