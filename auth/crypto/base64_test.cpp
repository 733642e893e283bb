#include "auth/crypto/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "auth/crypto/testdata/fixtures.h"
#include "auth/crypto/toolkit.h"

namespace {

struct Decoded {
    CryptoStatus status;
    std::string bytes;
};

Decoded decode(const std::string& text) {
    std::vector<uint8_t> out(base64_maxDecodedLength(text.size()) + 1);
    size_t len = 12345;
    CryptoStatus status = BASE64_decode(text.data(), text.size(), out.data(), out.size(), &len);
    if (status != CRYPTO_OK) {
        EXPECT_EQ(len, 0u);
        return {status, ""};
    }
    return {status, std::string(out.begin(), out.begin() + static_cast<long>(len))};
}

class Base64 : public ::testing::Test {
   protected:
    void SetUp() override { crypto_test_ready(); }
};

TEST_F(Base64, StandardTestVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"Zg==", "f"},        {"Zm8=", "fo"},        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
    };
    for (const auto& [text, plain] : vectors) {
        Decoded d = decode(text);
        EXPECT_EQ(d.status, CRYPTO_OK) << text;
        EXPECT_EQ(d.bytes, plain) << text;
    }
}

TEST_F(Base64, MalformedTextIsRefused) {
    for (const char* text :
         {"", "Zm9", "Zm9*", "Zm 9", "Z===", "=m9v", "Zg==Zm9v", "Zh==", "Zm-_"}) {
        EXPECT_EQ(decode(text).status, CRYPTO_ERR_BASE64) << '"' << text << '"';
    }
    // A zero byte is no digit either (a key file's text ends in one).
    EXPECT_EQ(decode(std::string("Zm9\0", 4)).status, CRYPTO_ERR_BASE64);
}

// Every byte outside the alphabet is refused, 0xFF the last of them: the
// table has an entry for each byte value, none left to whatever the
// allocator's memory held beyond it.
TEST_F(Base64, EveryByteOutsideTheAlphabetIsRefused) {
    ToolkitMemoryHooks dirty = {[](size_t size) {
                                    void* block = std::malloc(size + 16);
                                    if (block != nullptr) {
                                        std::memset(block, 1, size + 16);
                                    }
                                    return block;
                                },
                                std::free};
    // Without memory for the table the toolkit says so, and nothing decodes.
    ToolkitMemoryHooks none = {[](size_t) -> void* { return nullptr; }, std::free};
    toolkit_resetForTest();
    toolkit_setMemoryHooks(&none);
    EXPECT_EQ(TOOLKIT_init(), CRYPTO_ERR_NO_MEMORY);
    EXPECT_EQ(decode("Zm9v").status, CRYPTO_ERR_BASE64_NO_TABLE);
    toolkit_resetForTest();
    toolkit_setMemoryHooks(&dirty);
    ASSERT_EQ(TOOLKIT_init(), 1);
    const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    for (int c = 0; c < 256; ++c) {
        if (digits.find(static_cast<char>(c)) == std::string::npos) {
            EXPECT_EQ(decode("Zm9" + std::string(1, static_cast<char>(c))).status,
                      CRYPTO_ERR_BASE64)
                << c;
        }
    }
    toolkit_resetForTest();
    crypto_test_ready();
}

TEST_F(Base64, OutputIsBoundedAndMayOverlapTheInput) {
    std::string text = "Zm9vYmFy";
    uint8_t small[5];
    size_t len = 0;
    EXPECT_EQ(BASE64_decode(text.data(), text.size(), small, sizeof small, &len),
              CRYPTO_ERR_BASE64);
    // Without a text, an output or a place for its length, nothing is read.
    EXPECT_EQ(BASE64_decode(nullptr, 8, small, sizeof small, &len), CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(BASE64_decode(text.data(), text.size(), nullptr, 8, &len), CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(BASE64_decode(text.data(), text.size(), small, sizeof small, nullptr),
              CRYPTO_ERR_NULL_ARG);
    // A buffer of just the decoded size: not a byte is written past it.
    uint8_t exact[7];
    std::memset(exact, 0xEE, sizeof exact);
    ASSERT_EQ(BASE64_decode(text.data(), text.size(), exact, 6, &len), CRYPTO_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(exact), len), "foobar");
    EXPECT_EQ(exact[6], 0xEE);
    auto* buffer = reinterpret_cast<uint8_t*>(text.data());
    ASSERT_EQ(BASE64_decode(text.data(), text.size(), buffer, text.size(), &len), CRYPTO_OK);
    EXPECT_EQ(std::string(text.data(), len), "foobar");
}

}  // namespace
