#include "auth/crypto/imgsign.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "auth/crypto/pubkey.h"
#include "auth/crypto/testdata/fixtures.h"
#include "auth/crypto/toolkit.h"

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
        static const uint8_t kNothing = 0;
        return IMGSIGN_verifySignature(digest.empty() ? &kNothing : digest.data(),
                                       static_cast<uint32_t>(digest.size()), signature.data(),
                                       static_cast<uint32_t>(signature.size()), key.data(),
                                       static_cast<uint32_t>(key.size()));
    }
    CryptoStatus verify_2048(const char* signatureFile) {
        return verify(digest_, fixture_bytes(signatureFile),
                      crypto_fixture_text("rsa2048.pub.pem"));
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
// is in crypto_peer_test.cpp; a digest of the wrong length is not.
TEST_F(Signature, DigestOfAnotherLengthFails) {
    Bytes signature = fixture_bytes("rsa2048.sig");
    std::string key = crypto_fixture_text("rsa2048.pub.pem");
    EXPECT_EQ(verify(Bytes(digest_.begin(), digest_.begin() + 20), signature, key),
              CRYPTO_ERR_DIGEST_MISMATCH);
    EXPECT_EQ(verify(Bytes(), signature, key), CRYPTO_ERR_DIGEST_MISMATCH);
}

TEST_F(Signature, SignatureLengthMustBeTheModulusLength) {
    Bytes signature = fixture_bytes("rsa2048.sig");
    std::string key = crypto_fixture_text("rsa2048.pub.pem");
    Bytes shorter(signature.begin() + 1, signature.end());
    EXPECT_EQ(verify(digest_, shorter, key), CRYPTO_ERR_SIGNATURE_LENGTH);
    Bytes longer = signature;
    longer.insert(longer.begin(), 0x00);
    EXPECT_EQ(verify(digest_, longer, key), CRYPTO_ERR_SIGNATURE_LENGTH);
    EXPECT_EQ(verify(digest_, fixture_bytes("rsa3072.sig"), key), CRYPTO_ERR_SIGNATURE_LENGTH);
}

TEST_F(Signature, SignatureNotBelowTheModulusIsRefused) {
    std::string key = crypto_fixture_text("rsa2048.pub.pem");
    RsaPublicKey parsed{};
    ASSERT_EQ(PUBKEY_convertPublicKey(key.data(), static_cast<uint32_t>(key.size()), &parsed),
              CRYPTO_OK);
    Bytes modulus(parsed.modulus, parsed.modulus + parsed.modulusLen);
    EXPECT_EQ(verify(digest_, modulus, key), CRYPTO_ERR_SIGNATURE_FRAME);
    EXPECT_EQ(verify(digest_, Bytes(256, 0xFF), key), CRYPTO_ERR_SIGNATURE_FRAME);
    // 0 and 1 are their own powers: frames 00 00 .. and 00 .. 01.
    EXPECT_EQ(verify(digest_, Bytes(256, 0x00), key), CRYPTO_ERR_SIGNATURE_FRAME);
    Bytes one(256, 0x00);
    one.back() = 1;
    EXPECT_EQ(verify(digest_, one, key), CRYPTO_ERR_SIGNATURE_FRAME);
}

// Blocks built by hand and raised to the private exponent by openssl, each
// breaking one rule of the frame or of the DigestInfo; and signatures for
// the exponent-3 key made without its private key (a cube root of a block
// that starts like a valid frame and ends in garbage, after the DigestInfo
// or inside an over-long digest).
TEST_F(Signature, MalformedFramesAndDigestInfosAreRefused) {
    struct Case {
        const char* signature;
        const char* key;
        CryptoStatus status;
    } cases[] = {
        {"frame_padding7.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_FRAME},
        {"frame_padding_fe.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_FRAME},
        {"frame_type2.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_FRAME},
        // All padding and no separator leaves nothing to hold a DigestInfo.
        {"frame_no_separator.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_trailing.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_long_length.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_octet_long_length.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_unknown_oid.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_params_int.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"di_no_params.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        // SHA-1 named over 32 bytes, and a field after the digest.
        {"di_sha1_32.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_LENGTH},
        {"di_extra_field.sig", "rsa2048.pub.pem", CRYPTO_ERR_SIGNATURE_LENGTH},
        // A SHA-1 signature can only match a 20-byte digest.
        {"rsa2048_sha1.sig", "rsa2048.pub.pem", CRYPTO_ERR_DIGEST_MISMATCH},
        {"e3_forged_trailing.sig", "rsa2048e3.pub.pem", CRYPTO_ERR_DIGEST_INFO},
        {"e3_forged_long_digest.sig", "rsa2048e3.pub.pem", CRYPTO_ERR_SIGNATURE_LENGTH},
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

TEST_F(Signature, AbsentArgumentsAndBadKeys) {
    Bytes signature = fixture_bytes("rsa2048.sig");
    std::string key = crypto_fixture_text("rsa2048.pub.pem");
    EXPECT_EQ(IMGSIGN_verifySignature(nullptr, 32, signature.data(), 256, key.data(), 10),
              CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(IMGSIGN_verifySignature(digest_.data(), 32, nullptr, 256, key.data(), 10),
              CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(IMGSIGN_verifySignature(digest_.data(), 32, signature.data(), 256, nullptr, 10),
              CRYPTO_ERR_NULL_ARG);
    EXPECT_EQ(verify(digest_, signature, "not a key"), CRYPTO_ERR_DER);
    EXPECT_EQ(verify(digest_, signature, key.substr(0, 200)), CRYPTO_ERR_DER);
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

void* failing_alloc(size_t) {
    return nullptr;
}

TEST_F(Signature, ExhaustedMemoryIsReported) {
    static const ToolkitMemoryHooks hooks = {failing_alloc, std::free};
    toolkit_setMemoryHooks(&hooks);
    EXPECT_EQ(verify_2048("rsa2048.sig"), CRYPTO_ERR_NO_MEMORY);
    toolkit_setMemoryHooks(nullptr);
}

}  // namespace
