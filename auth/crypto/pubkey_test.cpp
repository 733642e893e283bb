#include "auth/crypto/pubkey.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth/crypto/base64.h"
#include "auth/crypto/testdata/fixtures.h"
#include "auth/crypto/toolkit.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes tlv(uint8_t tag, const Bytes& value) {
    Bytes out = {tag};
    size_t n = value.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

const Bytes kRsaOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const Bytes kNull = {0x05, 0x00};

// A SubjectPublicKeyInfo from its parts, each replaceable to make a
// malformed one.
struct SpkiParts {
    Bytes algorithm = tlv(0x30, cat({tlv(0x06, kRsaOid), kNull}));
    Bytes modulus;  // INTEGER content bytes
    Bytes exponent = {0x01, 0x00, 0x01};
    Bytes unusedBits = {0x00};
    Bytes afterExponent;
    Bytes afterKey;
};

Bytes odd_modulus(size_t bytes) {
    Bytes n(bytes, 0xA7);
    n[0] = 0xC3;
    return cat({{0x00}, n});
}

Bytes spki(const SpkiParts& p) {
    Bytes rsaKey = tlv(0x30, cat({tlv(0x02, p.modulus), tlv(0x02, p.exponent), p.afterExponent}));
    return cat({tlv(0x30, cat({p.algorithm, tlv(0x03, cat({p.unusedBits, rsaKey}))})), p.afterKey});
}

CryptoStatus convert(const Bytes& der, RsaPublicKey* key = nullptr) {
    static const uint8_t kNothing = 0;
    const uint8_t* bytes = der.empty() ? &kNothing : der.data();
    return PUBKEY_convertPublicKey(reinterpret_cast<const char*>(bytes),
                                   static_cast<uint32_t>(der.size()), key);
}

CryptoStatus convert(const std::string& text, RsaPublicKey* key = nullptr) {
    return PUBKEY_convertPublicKey(text.data(), static_cast<uint32_t>(text.size()), key);
}

Bytes modulus_of(const RsaPublicKey& key) {
    return Bytes(key.modulus, key.modulus + std::min<size_t>(key.modulusLen, kBigIntMaxBytes));
}

Bytes exponent_of(const RsaPublicKey& key) {
    return Bytes(key.exponent, key.exponent + std::min<size_t>(key.exponentLen, kBigIntMaxBytes));
}

class PublicKey : public ::testing::Test {
   protected:
    void SetUp() override {
        crypto_test_ready();
        parts_.modulus = odd_modulus(256);
    }
    SpkiParts parts_;
    RsaPublicKey key_{};
};

// OpenSSL-made keys of every size, as PEM and as DER, are converted and
// used by the signature tests (imgsign_test.cpp, crypto_peer_test.cpp).
TEST_F(PublicKey, PemLayoutDoesNotMatter) {
    std::string pem = crypto_fixture_text("rsa2048.pub.pem");
    ASSERT_EQ(convert(pem, &key_), CRYPTO_OK);
    Bytes expected = modulus_of(key_);
    std::string crlf;
    std::string oneLine;
    std::string spaced;
    for (char c : pem) {
        crlf += (c == '\n') ? std::string("\r\n") : std::string(1, c);
        spaced += (c == '\n') ? std::string(" \t \n") : std::string(1, c);
    }
    size_t bodyStart = pem.find('\n') + 1;
    size_t bodyEnd = pem.find("-----END");
    for (size_t i = bodyStart; i < bodyEnd; ++i) {
        if (pem[i] != '\n') {
            oneLine += pem[i];
        }
    }
    for (const std::string& text : {crlf, spaced, oneLine, pem.substr(0, bodyEnd)}) {
        RsaPublicKey other{};
        ASSERT_EQ(convert(text, &other), CRYPTO_OK) << text;
        EXPECT_EQ(modulus_of(other), expected);
    }
}

TEST_F(PublicKey, BrokenPemIsNotTakenForAKey) {
    std::string pem = crypto_fixture_text("rsa2048.pub.pem");
    std::string damaged = pem;
    damaged[40] = '*';
    for (const std::string& text :
         {damaged, std::string(""), pem.substr(0, pem.size() / 2),
          std::string("-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n")}) {
        EXPECT_EQ(convert(text, &key_), CRYPTO_ERR_DER) << text;
    }
    EXPECT_EQ(PUBKEY_convertPublicKey(nullptr, 10, &key_), CRYPTO_ERR_NULL_ARG);
}

TEST_F(PublicKey, WithoutStartUpOnlyDerKeysConvert) {
    toolkit_resetForTest();
    EXPECT_EQ(convert(crypto_fixture_text("rsa2048.pub.pem"), &key_), CRYPTO_ERR_DER);
    std::span<const uint8_t> der = crypto_fixture("rsa2048.pub.der");
    EXPECT_EQ(convert(Bytes(der.begin(), der.end()), &key_), CRYPTO_OK);
    crypto_test_ready();
}

TEST_F(PublicKey, StructureFaultsAreDerErrors) {
    parts_.exponent = {0x03};
    ASSERT_EQ(convert(spki(parts_), &key_), CRYPTO_OK);
    EXPECT_EQ(modulus_of(key_), Bytes(parts_.modulus.begin() + 1, parts_.modulus.end()));
    EXPECT_EQ(exponent_of(key_), Bytes{0x03});
    std::vector<SpkiParts> faults(6, parts_);
    faults[0].afterKey = {0x00};                                // a byte after the key
    faults[1].afterExponent = tlv(0x02, {0x01});                // a third number
    faults[2].unusedBits = {0x01};                              // a BIT STRING with unused bits
    faults[3].modulus[0] = 0xC3;                                // a negative modulus
    faults[4].modulus.insert(faults[4].modulus.begin(), 0x00);  // a needless zero byte
    faults[5].exponent = {0x00, 0x03};                          //
    for (size_t i = 0; i < faults.size(); ++i) {
        EXPECT_EQ(convert(spki(faults[i]), &key_), CRYPTO_ERR_DER) << i;
    }
    Bytes good = spki(parts_);
    Bytes longLength = good;
    // 30 82 01 22 -> 30 83 00 01 22: a length in more bytes than needed.
    longLength.erase(longLength.begin() + 1, longLength.begin() + 2);
    longLength.insert(longLength.begin() + 1, {0x83, 0x00});
    EXPECT_EQ(convert(longLength, &key_), CRYPTO_ERR_DER);
    Bytes indefinite = good;
    indefinite[1] = 0x80;
    EXPECT_EQ(convert(indefinite, &key_), CRYPTO_ERR_DER);
    // Every truncation of a good key fails without reading past its end.
    for (size_t len = 0; len < good.size(); ++len) {
        EXPECT_EQ(convert(Bytes(good.begin(), good.begin() + static_cast<long>(len)), &key_),
                  CRYPTO_ERR_DER)
            << len;
    }
}

TEST_F(PublicKey, KeysThatAreNotUsableRsaKeysAreRefused) {
    std::vector<SpkiParts> faults(7, parts_);
    const Bytes ecOid = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
    faults[0].algorithm = tlv(0x30, cat({tlv(0x06, ecOid), kNull}));  // another algorithm
    faults[1].algorithm = tlv(0x30, tlv(0x06, kRsaOid));              // parameters missing
    faults[2].modulus.back() = 0xA6;                                  // even modulus
    faults[3].exponent = {0x01};                                      // exponent 1
    faults[4].exponent = {0x01, 0x00, 0x00};                          // even exponent
    faults[5].exponent = faults[5].modulus;                           // exponent = modulus
    faults[6].algorithm = tlv(0x30, cat({tlv(0x06, kRsaOid), kNull, kNull}));
    for (size_t i = 0; i < faults.size(); ++i) {
        EXPECT_EQ(convert(spki(faults[i]), &key_), CRYPTO_ERR_NOT_RSA_KEY) << i;
    }
}

TEST_F(PublicKey, ModulusPast4096BitsIsRecordedByLengthOnly) {
    parts_.modulus = odd_modulus(513);
    key_.modulus[0] = 0x5A;
    ASSERT_EQ(convert(spki(parts_), &key_), CRYPTO_OK);
    EXPECT_EQ(key_.modulusLen, 513u);
    EXPECT_EQ(key_.modulus[0], 0x5A);
}

void* failing_alloc(size_t) {
    return nullptr;
}

TEST_F(PublicKey, ExhaustedMemoryIsReported) {
    static const ToolkitMemoryHooks hooks = {failing_alloc, std::free};
    toolkit_setMemoryHooks(&hooks);
    EXPECT_EQ(convert(crypto_fixture_text("rsa2048.pub.pem"), &key_), CRYPTO_ERR_NO_MEMORY);
    toolkit_setMemoryHooks(nullptr);
}

}  // namespace
