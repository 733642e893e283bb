#include "auth/crypto/imgsign.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth/crypto/pubkey.h"
#include "auth/crypto/testdata/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fixture_bytes(const char* name) {
    std::span<const uint8_t> bytes = crypto_fixture(name);
    return Bytes(bytes.begin(), bytes.end());
}

// Signatures made by openssl over testdata/message.txt, checked against
// the digest our SHA-256 computes for the same message.
class Signature : public ::testing::Test {
   protected:
    void SetUp() override {
        crypto_test_ready();
        Bytes message = fixture_bytes("message.txt");
        uint32_t len = 0;
        digest_.resize(32);
        ASSERT_EQ(IMGSIGN_computeSHA256(message.data(), static_cast<uint32_t>(message.size()),
                                        digest_.data(), &len),
                  CRYPTO_OK);
    }
    CryptoStatus verify(const Bytes& digest, const Bytes& signature, const std::string& key) {
        return IMGSIGN_verifySignature(digest.data(), static_cast<uint32_t>(digest.size()),
                                       signature.data(), static_cast<uint32_t>(signature.size()),
                                       key.data(), static_cast<uint32_t>(key.size()));
    }
    Bytes digest_;
};

TEST_F(Signature, OpensslSignaturesVerifyForEveryKeySize) {
    for (const char* name : {"rsa2048", "rsa3072", "rsa4096", "rsa2048e3"}) {
        std::string base = name;
        EXPECT_EQ(verify(digest_, fixture_bytes((base + ".sig").c_str()),
                         crypto_fixture_text((base + ".pub.pem").c_str())),
                  CRYPTO_OK)
            << name;
    }
    std::span<const uint8_t> der = crypto_fixture("rsa2048.pub.der");
    EXPECT_EQ(verify(digest_, fixture_bytes("rsa2048.sig"), std::string(der.begin(), der.end())),
              CRYPTO_OK);
}

// Every flipped signature, digest and key byte against OpenSSL-made keys
// is in crypto_peer_test.cpp; digests and signatures of the wrong length,
// and signatures not below the modulus, are not.
TEST_F(Signature, LengthsAndRangeAreChecked) {
    Bytes signature = fixture_bytes("rsa2048.sig");
    std::string key = crypto_fixture_text("rsa2048.pub.pem");
    EXPECT_EQ(verify(Bytes(digest_.begin(), digest_.begin() + 20), signature, key),
              CRYPTO_ERR_DIGEST_MISMATCH);
    // Every byte of the digest counts, the first and the last too (the
    // peer test, which flips them all, runs on the host only).
    for (std::size_t at : {std::size_t{0}, digest_.size() - 1}) {
        Bytes other = digest_;
        other[at] ^= 0x80;
        EXPECT_EQ(verify(other, signature, key), CRYPTO_ERR_DIGEST_MISMATCH) << at;
    }
    EXPECT_EQ(verify(digest_, Bytes(signature.begin() + 1, signature.end()), key),
              CRYPTO_ERR_SIGNATURE_LENGTH);
    EXPECT_EQ(verify(digest_, fixture_bytes("rsa3072.sig"), key), CRYPTO_ERR_SIGNATURE_LENGTH);
    RsaPublicKey parsed{};
    ASSERT_EQ(PUBKEY_convertPublicKey(key.data(), static_cast<uint32_t>(key.size()), &parsed),
              CRYPTO_OK);
    Bytes modulus(parsed.modulus, parsed.modulus + parsed.modulusLen);
    EXPECT_EQ(verify(digest_, modulus, key), CRYPTO_ERR_SIGNATURE_FRAME);
}

// Blocks built by hand and raised to the private exponent by openssl, each
// breaking one rule of the frame or of the DigestInfo; and signatures for
// the exponent-3 key made without its private key (a cube root of a block
// that starts like a valid frame and ends in garbage, after the DigestInfo
// or inside an over-long digest, or a frame whose padding starts a byte
// late).
TEST_F(Signature, MalformedFramesAndDigestInfosAreRefused) {
    struct Case {
        const char* signature;
        const char* key;
        CryptoStatus status;
    } cases[] = {
        {"frame_padding7.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_FRAME},
        {"frame_padding_fe.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_FRAME},
        {"frame_type2.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_FRAME},
        {"frame_no_separator.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_trailing.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_long_length.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_octet_long_length.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_unknown_oid.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_params_int.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_no_params.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_sha1_32.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_LENGTH},
        {"di_extra_field.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_LENGTH},
        {"rsa2048_sha1.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_MISMATCH},
        {"e3_forged_trailing.sig", "rsa2048e3.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"e3_forged_long_digest.sig", "rsa2048e3.pub.pem", CRYPTO_ERR_SIGNATURE_LENGTH},
        {"e3_forged_padding_late.sig", "rsa2048e3.pub.pem", CRYPTO_ERR_SIGNATURE_FRAME},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(verify(digest_, fixture_bytes(c.signature), crypto_fixture_text(c.key)), c.status)
            << c.signature;
    }
    // The algorithm named is otherwise not compared with anything.
    EXPECT_EQ(verify(fixture_bytes("message.sha1"), fixture_bytes("rsa2048_sha1.sig"),
                     crypto_fixture_text("rsa2048.pub.pem")),
              CRYPTO_OK);
}

// A modulus of 513 bytes: the signature length is checked first, then the
// size limit, and no arithmetic is attempted.
TEST_F(Signature, ModulusPast4096BitsIsRefused) {
    Bytes modulus(513, 0xB5);
    Bytes rsaKey = {0x30, 0x82, 0x02, 0x0B, 0x02, 0x82, 0x02, 0x02, 0x00};
    rsaKey.insert(rsaKey.end(), modulus.begin(), modulus.end());
    rsaKey.insert(rsaKey.end(), {0x02, 0x03, 0x01, 0x00, 0x01});
    Bytes spki = {0x30, 0x82, 0x02, 0x23, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                  0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x82, 0x02, 0x10, 0x00};
    spki.insert(spki.end(), rsaKey.begin(), rsaKey.end());
    std::string key(spki.begin(), spki.end());
    EXPECT_EQ(verify(digest_, Bytes(512, 0x01), key), CRYPTO_ERR_SIGNATURE_LENGTH);
    EXPECT_EQ(verify(digest_, Bytes(513, 0x01), key), CRYPTO_ERR_MODULUS_TOO_LONG);
}

}  // namespace
