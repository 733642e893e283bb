#include "auth/crypto/aes.h"

#include <gtest/gtest.h>

#include <vector>

#include "auth/crypto/testdata/fixtures.h"
#include "auth/crypto/toolkit.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cbc(const Bytes& key, int direction, Bytes iv, Bytes data, Bytes* ivOut) {
    AESCtx* ctx = AES_createCtx(key.data(), static_cast<uint32_t>(key.size()), direction);
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr) {
        return {};
    }
    EXPECT_EQ(
        AES_cipher(ctx, data.data(), static_cast<uint32_t>(data.size()), direction, iv.data()),
        CRYPTO_OK);
    // Deleting clears the handle; the wiping of the context is checked with
    // the key store's (auth/keystore_test.cpp).
    AES_deleteCtx(&ctx);
    EXPECT_EQ(ctx, nullptr);
    *ivOut = iv;
    return data;
}

// The CBC examples of the block cipher modes recommendation: four blocks,
// vector 00..0f, for each key size, both ways, and the final vector.
TEST(AesKnownAnswers, CbcModeExamples) {
    struct Case {
        const char* key;
        const char* cipher;
    } cases[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c",
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
        {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    Bytes plain = crypto_hex(
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    Bytes iv = crypto_hex("000102030405060708090a0b0c0d0e0f");
    for (const Case& c : cases) {
        Bytes key = crypto_hex(c.key);
        Bytes cipher = crypto_hex(c.cipher);
        Bytes lastBlock(cipher.end() - 16, cipher.end());
        Bytes ivAfter;
        EXPECT_EQ(cbc(key, AES_DIR_ENCRYPT, iv, plain, &ivAfter), cipher) << c.key;
        EXPECT_EQ(ivAfter, lastBlock);
        EXPECT_EQ(cbc(key, AES_DIR_DECRYPT, iv, cipher, &ivAfter), plain) << c.key;
        EXPECT_EQ(ivAfter, lastBlock);
    }
}

// Refused keys and calls change nothing: not the data, not the vector.
TEST(AesRefusal, BadKeysAndLengthsAreRefused) {
    Bytes key(64, 0x22);
    // 0x20000010 bytes is a bit count that wraps to 128 in 32 bits.
    for (uint32_t len : {0u, 15u, 17u, 64u, 0x20000010u}) {
        CryptoStatus status = 0;
        EXPECT_EQ(AES_createCtx(key.data(), len, AES_DIR_ENCRYPT, &status), nullptr) << len;
        EXPECT_EQ(status, CRYPTO_ERR_AES_KEY_LENGTH) << len;
    }
    // No key at all, or a direction that is neither.
    CryptoStatus status = 0;
    EXPECT_EQ(AES_createCtx(nullptr, 16, AES_DIR_ENCRYPT, &status), nullptr);
    EXPECT_EQ(status, CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(AES_createCtx(key.data(), 16, 7, &status), nullptr);
    EXPECT_EQ(status, CRYPTO_ERR_AES_DIRECTION);
    AESCtx* ctx = AES_createCtx(key.data(), 16, AES_DIR_ENCRYPT);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->keyBits, 128u);
    EXPECT_EQ(ctx->rounds, 10u);
    Bytes data(48, 0x5A);
    Bytes iv(16, 0xA5);
    // A context in a mode other than CBC is refused (only CBC is made).
    ctx->mode = AES_MODE_CBC + 1;
    EXPECT_EQ(AES_cipher(ctx, data.data(), 16, AES_DIR_ENCRYPT, iv.data()), CRYPTO_ERR_AES_MODE);
    ctx->mode = AES_MODE_CBC;
    for (uint32_t len : {1u, 15u, 47u}) {
        EXPECT_EQ(AES_cipher(ctx, data.data(), len, AES_DIR_ENCRYPT, iv.data()),
                  CRYPTO_ERR_AES_LENGTH)
            << len;
    }
    // A missing context, data or vector is named as such.
    EXPECT_EQ(AES_cipher(nullptr, data.data(), 16, AES_DIR_ENCRYPT, iv.data()),
              CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(AES_cipher(ctx, nullptr, 16, AES_DIR_ENCRYPT, iv.data()), CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(AES_cipher(ctx, data.data(), 16, AES_DIR_ENCRYPT, nullptr), CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(data, Bytes(48, 0x5A));
    EXPECT_EQ(iv, Bytes(16, 0xA5));
    EXPECT_EQ(AES_deleteCtx(&ctx), 0);
    EXPECT_EQ(ctx, nullptr);
    // Deleting it again, or no context at all, is harmless.
    EXPECT_EQ(AES_deleteCtx(&ctx), 0);
    EXPECT_EQ(AES_deleteCtx(nullptr), 0);
    // No memory for the context: no context, and a status that says why.
    ToolkitMemoryHooks none{[](size_t) -> void* { return nullptr; }, [](void*) {}};
    toolkit_setMemoryHooks(&none);
    status = CRYPTO_OK;
    ctx = AES_createCtx(key.data(), 16, AES_DIR_ENCRYPT, &status);
    toolkit_setMemoryHooks(nullptr);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(status, CRYPTO_ERR_NO_MEMORY);
}

}  // namespace
