#include "auth/crypto/pubkey.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "auth/crypto/der.h"
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
    Bytes afterRsaKey;  // inside the BIT STRING, after the RSAPublicKey
    Bytes afterKey;
};

Bytes odd_modulus(size_t bytes) {
    Bytes n(bytes, 0xA7);
    n[0] = 0xC3;
    return cat({{0x00}, n});
}

Bytes spki(const SpkiParts& p) {
    Bytes rsaKey = tlv(0x30, cat({tlv(0x02, p.modulus), tlv(0x02, p.exponent), p.afterExponent}));
    return cat({tlv(0x30, cat({p.algorithm, tlv(0x03, cat({p.unusedBits, rsaKey, p.afterRsaKey}))})), p.afterKey});
}

CryptoStatus convert(const Bytes& der, RsaPublicKey* key) {
    return PUBKEY_convertPublicKey(reinterpret_cast<const char*>(der.data()),
                                   static_cast<uint32_t>(der.size()), key);
}

CryptoStatus convert(const std::string& text, RsaPublicKey* key) {
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
// used by the signature tests (imgsign_test.cpp, crypto_peer_test.cpp);
// malformed bytes are fed by fuzz/pubkey_fuzz. Here: PEM with CRLF line
// ends or none after its last line, and the DER faults one by one.
TEST_F(PublicKey, CrlfOrUnterminatedPemIsTakenAndStructureFaultsAreDerErrors) {
    std::string pem = crypto_fixture_text("rsa2048.pub.pem"), crlf;
    ASSERT_EQ(convert(pem, &key_), CRYPTO_OK);
    Bytes expected = modulus_of(key_);
    for (char c : pem) {
        crlf += (c == '\n') ? std::string("\r\n") : std::string(1, c);
    }
    ASSERT_EQ(convert(crlf, &key_), CRYPTO_OK);
    EXPECT_EQ(modulus_of(key_), expected);
    // The END line without its line end, as an editor may leave the file.
    ASSERT_EQ(pem.back(), '\n');
    ASSERT_EQ(convert(pem.substr(0, pem.size() - 1), &key_), CRYPTO_OK);
    EXPECT_EQ(modulus_of(key_), expected);
    // Only a line that starts with a dash is an encapsulation line: the
    // END line joined to the body's last line leaves dashes in the body.
    std::string joined = pem;
    joined.erase(joined.rfind("\n-----END"), 1);
    EXPECT_EQ(convert(joined, &key_), CRYPTO_ERR_DER);
    parts_.exponent = {0x03};
    ASSERT_EQ(convert(spki(parts_), &key_), CRYPTO_OK);
    EXPECT_EQ(modulus_of(key_), Bytes(parts_.modulus.begin() + 1, parts_.modulus.end()));
    EXPECT_EQ(exponent_of(key_), Bytes{0x03});
    // An exponent as long as the modulus and below it in the first byte
    // only is a key.
    SpkiParts wide = parts_;
    wide.exponent = wide.modulus;
    wide.exponent[1] = 0xC2;
    ASSERT_EQ(convert(spki(wide), &key_), CRYPTO_OK);
    EXPECT_EQ(exponent_of(key_), Bytes(wide.exponent.begin() + 1, wide.exponent.end()));
    // A modulus INTEGER of exactly 128 bytes: the first length that needs
    // the long form (81 80).
    SpkiParts longForm = parts_;
    longForm.modulus = odd_modulus(127);
    ASSERT_EQ(convert(spki(longForm), &key_), CRYPTO_OK);
    EXPECT_EQ(modulus_of(key_), Bytes(longForm.modulus.begin() + 1, longForm.modulus.end()));
    // A length byte of 0x1F (31 bytes) is a length, not the tag byte of a
    // high tag number, which only a tag can be.
    SpkiParts short31 = parts_;
    short31.modulus = odd_modulus(30);
    ASSERT_EQ(convert(spki(short31), &key_), CRYPTO_OK);
    EXPECT_EQ(modulus_of(key_), Bytes(short31.modulus.begin() + 1, short31.modulus.end()));
    std::vector<SpkiParts> faults(9, parts_);
    faults[0].afterKey = {0x00};                                // a byte after the key
    faults[1].afterExponent = tlv(0x02, {0x01});                // a third number
    faults[2].unusedBits = {0x01};                              // a BIT STRING with unused bits
    faults[3].modulus[0] = 0xC3;                                // a negative modulus
    faults[4].modulus.insert(faults[4].modulus.begin(), 0x00);  // a needless zero byte
    faults[5].modulus.clear();                                  // INTEGERs without a byte
    faults[6].exponent.clear();
    faults[7].afterRsaKey = {0x00};  // a byte after the numbers' SEQUENCE
    faults[8].exponent = {0x00, 0x03};  // a needless zero byte in a number of two
    for (size_t i = 0; i < faults.size(); ++i) {
        EXPECT_EQ(convert(spki(faults[i]), &key_), CRYPTO_ERR_DER) << i;
    }
    // An algorithm and no key after it.
    EXPECT_EQ(convert(tlv(0x30, parts_.algorithm), &key_), CRYPTO_ERR_DER);
    // A key of one number: the exponent is missing.
    Bytes modulusOnly = tlv(0x30, tlv(0x02, parts_.modulus));
    EXPECT_EQ(convert(tlv(0x30, cat({parts_.algorithm, tlv(0x03, cat({{0x00}, modulusOnly}))})),
                      &key_),
              CRYPTO_ERR_DER);
    // Only the strict DER encoding of a length is taken: 30 82 01 22 ->
    // 30 83 00 01 22 (more bytes than needed), 30 80 (indefinite).
    Bytes longLength = spki(parts_);
    Bytes indefinite = longLength;
    longLength.erase(longLength.begin() + 1, longLength.begin() + 2);
    longLength.insert(longLength.begin() + 1, {0x83, 0x00});
    EXPECT_EQ(convert(longLength, &key_), CRYPTO_ERR_DER);
    indefinite[1] = 0x80;
    EXPECT_EQ(convert(indefinite, &key_), CRYPTO_ERR_DER);
    pem[40] = '*';
    EXPECT_EQ(convert(pem, &key_), CRYPTO_ERR_DER);
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
    faults[6].modulus = {0x00};                                       // the number 0, one byte
    for (size_t i = 0; i < faults.size(); ++i) {
        EXPECT_EQ(convert(spki(faults[i]), &key_), CRYPTO_ERR_NOT_RSA_KEY) << i;
    }
}

// A modulus longer than the arithmetic takes is converted with its
// lengths only, for the signature check to refuse: neither number is
// copied into the key's arrays, which it would overrun. No text at all is
// a null argument.
TEST_F(PublicKey, OversizedModulusIsNotCopiedAndEmptyTextIsNoKey) {
    parts_.modulus = odd_modulus(kBigIntMaxBytes + 1);
    std::memset(&key_, 0xEE, sizeof key_);
    ASSERT_EQ(convert(spki(parts_), &key_), CRYPTO_OK);
    EXPECT_EQ(key_.modulusLen, kBigIntMaxBytes + 1);
    EXPECT_EQ(key_.exponentLen, 3u);
    EXPECT_EQ(Bytes(key_.exponent, key_.exponent + 8), Bytes(8, 0xEE));
    EXPECT_EQ(Bytes(key_.modulus, key_.modulus + 8), Bytes(8, 0xEE));
    // No text is no key, even where the allocator has nothing for a
    // request of 0 bytes (as C allows it).
    crypto_use_allocator_without_empty_blocks();
    EXPECT_EQ(PUBKEY_convertPublicKey("", 0, &key_), CRYPTO_ERR_DER);
    toolkit_setMemoryHooks(nullptr);
    EXPECT_EQ(PUBKEY_convertPublicKey(nullptr, 16, &key_), CRYPTO_ERR_NULL_ARG);
}

// The DER reader under the key parser: a length in any but its shortest
// definite form is no element, and nothing of it is read.
TEST(DerLength, OnlyTheShortestDefiniteFormIsAnElement) {
    const Bytes bad[] = {
        {0x04, 0x80, 0x00, 0x00},                    // indefinite
        // Five length bytes: past 4 GiB, although the last four read 128
        // and 128 bytes follow.
        cat({{0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x80}, Bytes(128, 0x5A)}),
        {0x04, 0x82, 0x00, 0x01, 0xAA},              // a leading zero byte
        {0x04, 0x81, 0x01, 0xAA},                    // 1 fits the short form
        {0x04, 0x82, 0x01},                          // length bytes cut short
    };
    for (const Bytes& bytes : bad) {
        der::Reader reader{bytes};
        std::span<const uint8_t> value;
        EXPECT_FALSE(der::read(reader, 0x04, value)) << bytes.size();
        EXPECT_EQ(reader.rest.size(), bytes.size());
    }
    Bytes good = cat({{0x04, 0x81, 0x80}, Bytes(128, 0x5A)});
    der::Reader reader{good};
    std::span<const uint8_t> value;
    ASSERT_TRUE(der::read(reader, 0x04, value));
    EXPECT_EQ(value.size(), 128u);
    EXPECT_TRUE(der::at_end(reader));
}

}  // namespace
