#include "auth/crypto/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
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
    const char* malformed[] = {
        "",          // no group at all
        "Zm9",       // not whole groups
        "Zm9vY",     //
        "Zm9*",      // outside the alphabet
        "Zm 9",      // blanks are not skipped here
        "Zm9v\n",    //
        "Z===",      // too much padding
        "====",      //
        "=m9v",      // padding not at the end
        "Zm=v",      //
        "Zg==Zm9v",  // padding in a group that is not the last
        "Zh==",      // stray bits under the padding
        "Zm9=",      //
        "Zm-_",      // the URL-safe alphabet is another alphabet
    };
    for (const char* text : malformed) {
        EXPECT_EQ(decode(text).status, CRYPTO_ERR_BASE64) << '"' << text << '"';
    }
    std::string withNul("Zm\0v", 4);
    EXPECT_EQ(decode(withNul).status, CRYPTO_ERR_BASE64);
}

TEST_F(Base64, OutputIsBoundedAndMayOverlapTheInput) {
    std::string text = "Zm9vYmFy";
    uint8_t small[5];
    size_t len = 0;
    EXPECT_EQ(BASE64_decode(text.data(), text.size(), small, sizeof small, &len),
              CRYPTO_ERR_BASE64);
    auto* buffer = reinterpret_cast<uint8_t*>(text.data());
    ASSERT_EQ(BASE64_decode(text.data(), text.size(), buffer, text.size(), &len), CRYPTO_OK);
    EXPECT_EQ(std::string(text.data(), len), "foobar");
    EXPECT_EQ(BASE64_decode(nullptr, 4, small, sizeof small, &len), CRYPTO_ERR_NULL_ARG);
}

// Start-up of the services: the count, the table, and what happens when
// the table cannot be had.
class Toolkit : public ::testing::Test {
   protected:
    void SetUp() override { toolkit_resetForTest(); }
    void TearDown() override {
        toolkit_setMemoryHooks(nullptr);
        toolkit_resetForTest();
        crypto_test_ready();
    }
};

TEST_F(Toolkit, OnlyTheFirstCallWorks) {
    EXPECT_EQ(toolkit_base64Table(), nullptr);
    EXPECT_EQ(TOOLKIT_init(), 1);
    const uint8_t* table = toolkit_base64Table();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(TOOLKIT_init(), 0);
    EXPECT_EQ(TOOLKIT_init(), 0);
    EXPECT_EQ(toolkit_base64Table(), table);
}

TEST_F(Toolkit, DecodingBeforeStartUpIsRefused) {
    Decoded d = decode("Zm9v");
    EXPECT_EQ(d.status, CRYPTO_ERR_BASE64_NO_TABLE);
}

void* failing_alloc(size_t) {
    return nullptr;
}

TEST_F(Toolkit, NoMemoryForTheTableFailsOnceAndForAll) {
    static const ToolkitMemoryHooks hooks = {failing_alloc, std::free};
    toolkit_setMemoryHooks(&hooks);
    EXPECT_EQ(TOOLKIT_init(), CRYPTO_ERR_NO_MEMORY);
    toolkit_setMemoryHooks(nullptr);
    // Later calls do nothing, so the services stay without the table.
    EXPECT_EQ(TOOLKIT_init(), 0);
    EXPECT_EQ(toolkit_base64Table(), nullptr);
    EXPECT_EQ(decode("Zm9v").status, CRYPTO_ERR_BASE64_NO_TABLE);
}

}  // namespace
