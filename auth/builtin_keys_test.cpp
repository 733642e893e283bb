#include "auth/builtin_keys.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "auth/crypto/pubkey.h"
#include "auth/crypto/toolkit.h"
#include "boot/build_info.h"

namespace {

// The form the key store copies: 451 bytes of PEM text and a zero.
TEST(BuiltinKeys, AreRsa2048PemTextsOf451BytesEndingInZero) {
    toolkit_setMemoryHooks(nullptr);
    if (toolkit_base64Table() == nullptr) {
        toolkit_resetForTest();
        ASSERT_EQ(1, TOOLKIT_init());
    }
    for (const char* key : {builtin_production_key, builtin_development_key}) {
        EXPECT_EQ(kBuiltinKeyLength, std::strlen(key));
        EXPECT_EQ('\0', key[kBuiltinKeyLength]);
        EXPECT_EQ(0, std::strncmp(key, "-----BEGIN PUBLIC KEY-----\n", 27));
        RsaPublicKey rsa{};
        ASSERT_EQ(CRYPTO_OK, PUBKEY_convertPublicKey(key, kBuiltinKeyLength, &rsa));
        EXPECT_EQ(256u, rsa.modulusLen);
    }
    EXPECT_NE(0, std::strcmp(builtin_production_key, builtin_development_key));
}

TEST(BuiltinKeys, BuildLineSaysWhenTheTestKeysAreBuiltIn) {
    std::string line = build_info_line();
    EXPECT_EQ(builtin_keys_are_test_keys() != 0, line.find(", TEST KEYS)") != std::string::npos)
        << line;
}

}  // namespace
