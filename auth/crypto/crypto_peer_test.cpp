// Our crypto against OpenSSL's libcrypto as an oracle, on random inputs.
// Host only: the switch has no OpenSSL, and the launcher never links it.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "auth/crypto/aes.h"
#include "auth/crypto/bigint.h"
#include "auth/crypto/imgsign.h"
#include "auth/crypto/sha256.h"
#include "auth/crypto/toolkit.h"

namespace {

using Bytes = std::vector<uint8_t>;

size_t below(std::mt19937_64& rng, size_t bound) {
    return rng() % bound;
}

Bytes random_bytes(std::mt19937_64& rng, size_t n) {
    Bytes out(n);
    for (uint8_t& b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

Bytes openssl_sha256(const Bytes& data) {
    Bytes digest(32);
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_sha256(), nullptr), 1);
    return digest;
}

Bytes our_sha256(const Bytes& data) {
    static const uint8_t kNothing = 0;
    Bytes digest(32);
    uint32_t len = 0;
    EXPECT_EQ(IMGSIGN_computeSHA256(data.empty() ? &kNothing : data.data(),
                                    static_cast<uint32_t>(data.size()), digest.data(), &len),
              CRYPTO_OK);
    return digest;
}

// Every length to 200, random ones to 100000, whole and in random pieces.
TEST(CryptoPeerSha256, RandomLengthsAndPiecesAgreeWithOpenssl) {
    std::mt19937_64 rng(0x5A256);
    std::vector<size_t> lengths = {100000};
    for (size_t i = 0; i < 500; ++i) {
        lengths.push_back(i <= 200 ? i : below(rng, 100001));
    }
    for (size_t len : lengths) {
        Bytes data = random_bytes(rng, len);
        Bytes expected = openssl_sha256(data);
        ASSERT_EQ(our_sha256(data), expected) << len << " bytes";
        if (len > 5000) {
            continue;
        }
        Sha256Ctx ctx;
        sha256_init(ctx);
        for (size_t pos = 0; pos < data.size();) {
            size_t take = std::min(data.size() - pos, below(rng, 200));
            sha256_update(ctx, data.data() + pos, take);
            pos += take;
        }
        Bytes digest(32);
        sha256_final(ctx, digest.data());
        ASSERT_EQ(digest, expected) << len << " bytes in pieces";
    }
}

const EVP_CIPHER* openssl_cbc(size_t keyLen) {
    if (keyLen == 16) {
        return EVP_aes_128_cbc();
    }
    return keyLen == 24 ? EVP_aes_192_cbc() : EVP_aes_256_cbc();
}

Bytes openssl_cbc_run(const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_CipherInit_ex(ctx, openssl_cbc(key.size()), nullptr, key.data(), iv.data(),
                                encrypt ? 1 : 0),
              1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(in.size() + 16);
    int len = 0;
    int tail = 0;
    EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + len, &tail), 1);
    out.resize(static_cast<size_t>(len + tail));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// Runs our CBC over data in random pieces of whole blocks (or one call).
Bytes our_cbc_run(const Bytes& key, Bytes iv, Bytes data, int direction, std::mt19937_64& rng,
                  bool onePiece, Bytes& ivOut) {
    AESCtx* ctx = AES_createCtx(key.data(), static_cast<uint32_t>(key.size()), direction);
    EXPECT_NE(ctx, nullptr);
    size_t pos = 0;
    while (pos < data.size()) {
        size_t blocks = (data.size() - pos) / 16;
        size_t take = onePiece ? blocks : 1 + below(rng, blocks);
        EXPECT_EQ(AES_cipher(ctx, data.data() + pos, static_cast<uint32_t>(16 * take), direction,
                             iv.data()),
                  CRYPTO_OK);
        pos += 16 * take;
    }
    AES_deleteCtx(&ctx);
    ivOut = iv;
    return data;
}

TEST(CryptoPeerAes, RandomCbcAgreesWithOpensslBothWays) {
    std::mt19937_64 rng(0xAE5);
    for (int i = 0; i < 300; ++i) {
        size_t keyLen = 16 + 8 * below(rng, 3);
        Bytes key = random_bytes(rng, keyLen);
        Bytes iv = random_bytes(rng, 16);
        Bytes plain = random_bytes(rng, 16 * (1 + below(rng, 256)));
        bool onePiece = (i % 2) == 0;
        Bytes expected = openssl_cbc_run(key, iv, plain, true);
        Bytes ivAfter;
        Bytes cipher = our_cbc_run(key, iv, plain, AES_DIR_ENCRYPT, rng, onePiece, ivAfter);
        ASSERT_EQ(cipher, expected) << keyLen << "-byte key, " << plain.size() << " bytes";
        EXPECT_EQ(ivAfter, Bytes(cipher.end() - 16, cipher.end()));
        Bytes decrypted = our_cbc_run(key, iv, expected, AES_DIR_DECRYPT, rng, !onePiece, ivAfter);
        ASSERT_EQ(decrypted, plain) << keyLen << "-byte key, " << plain.size() << " bytes";
        EXPECT_EQ(ivAfter, Bytes(cipher.end() - 16, cipher.end()));
        EXPECT_EQ(openssl_cbc_run(key, iv, cipher, false), plain);
    }
}

// Big integers: our modular exponentiation and remainder, with both limb
// widths, against OpenSSL's on random numbers of every size.
struct BnHolder {
    BIGNUM* bn;
    explicit BnHolder(const Bytes& bytes)
        : bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr)) {}
    ~BnHolder() { BN_free(bn); }
};

// base^exponent mod modulus, or base mod modulus without an exponent.
Bytes openssl_mod(const Bytes& base, const Bytes* exponent, const Bytes& modulus) {
    BnHolder a(base), p(exponent ? *exponent : Bytes{}), m(modulus), r(Bytes{});
    BN_CTX* ctx = BN_CTX_new();
    EXPECT_EQ(exponent ? BN_mod_exp(r.bn, a.bn, p.bn, m.bn, ctx) : BN_mod(r.bn, a.bn, m.bn, ctx),
              1);
    BN_CTX_free(ctx);
    Bytes out(modulus.size());
    BN_bn2binpad(r.bn, out.data(), static_cast<int>(out.size()));
    return out;
}

// A random number of n bytes whose top byte is shaped to stress the
// division: full, a single bit, or all ones.
Bytes shaped(std::mt19937_64& rng, size_t n) {
    Bytes out = random_bytes(rng, n);
    switch (below(rng, 4)) {
        case 0:
            out[0] = 0x01;
            break;
        case 1:
            out[0] |= 0x80;
            break;
        case 2:
            std::fill(out.begin(), out.end(), 0xFF);
            break;
        default:
            out[0] = std::max<uint8_t>(out[0], 1);
            break;
    }
    return out;
}

template <typename Limb>
class CryptoPeerBigInt : public ::testing::Test {};
using LimbTypes = ::testing::Types<uint32_t, uint64_t>;
TYPED_TEST_SUITE(CryptoPeerBigInt, LimbTypes);

TYPED_TEST(CryptoPeerBigInt, ModExpAndRemainderAgreeWithOpenssl) {
    std::mt19937_64 rng(sizeof(TypeParam));
    for (int i = 0; i < 400; ++i) {
        size_t n = 1 + below(rng, 512);
        Bytes modulus = shaped(rng, n);
        modulus.back() |= 1;
        Bytes base = random_bytes(rng, below(rng, n + 1));
        if (base.size() == n) {
            base[0] = 0;
        }
        Bytes exponent = random_bytes(rng, (i % 50 == 0) ? below(rng, 513) : below(rng, 9));
        Bytes out(n);
        ASSERT_TRUE((bigint_modExpLimbs<TypeParam>(base, exponent, modulus, out))) << n;
        ASSERT_EQ(out, openssl_mod(base, &exponent, modulus)) << n << "-byte modulus";
    }
    for (int i = 0; i < 2000; ++i) {
        size_t n = 1 + below(rng, 512);
        Bytes modulus = shaped(rng, n);
        Bytes value = shaped(rng, 1 + below(rng, 1024));
        Bytes out(n);
        ASSERT_TRUE((bigint_modLimbs<TypeParam>(value, modulus, out)));
        ASSERT_EQ(out, openssl_mod(value, nullptr, modulus)) << value.size() << " mod " << n;
    }
}

// RSA: keys made by OpenSSL, signatures made by OpenSSL over random data,
// checked by IMGSIGN_verifySignature with the key as PEM text.
struct PeerKey {
    EVP_PKEY* pkey = nullptr;
    std::string pem;
    Bytes der;
};

PeerKey make_key(int bits, unsigned long exponent) {
    PeerKey key;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    EXPECT_EQ(EVP_PKEY_keygen_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e), 1);
    EXPECT_EQ(EVP_PKEY_keygen(ctx, &key.pkey), 1);
    BN_free(e);
    EVP_PKEY_CTX_free(ctx);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, key.pkey);
    char* text = nullptr;
    long len = BIO_get_mem_data(bio, &text);
    key.pem.assign(text, static_cast<size_t>(len));
    BIO_free(bio);
    unsigned char* der = nullptr;
    int derLen = i2d_PUBKEY(key.pkey, &der);
    key.der.assign(der, der + derLen);
    OPENSSL_free(der);
    return key;
}

Bytes openssl_sign(EVP_PKEY* pkey, const Bytes& digest) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EXPECT_EQ(EVP_PKEY_sign_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()), 1);
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_sign(ctx, nullptr, &len, digest.data(), digest.size()), 1);
    Bytes sig(len);
    EXPECT_EQ(EVP_PKEY_sign(ctx, sig.data(), &len, digest.data(), digest.size()), 1);
    sig.resize(len);
    EVP_PKEY_CTX_free(ctx);
    return sig;
}

CryptoStatus verify(const Bytes& digest, const Bytes& sig, const std::string& key) {
    return IMGSIGN_verifySignature(digest.data(), static_cast<uint32_t>(digest.size()), sig.data(),
                                   static_cast<uint32_t>(sig.size()), key.data(),
                                   static_cast<uint32_t>(key.size()));
}

// Bytes of a DER INTEGER's content for a positive number.
size_t integer_content_length(unsigned long value) {
    size_t bytes = 0;
    unsigned long top = 0;
    for (; value != 0; value >>= 8) {
        top = value;
        ++bytes;
    }
    return bytes + (top >= 0x80 ? 1 : 0);
}

class CryptoPeerRsa : public ::testing::TestWithParam<std::pair<int, unsigned long>> {
   protected:
    void SetUp() override {
        toolkit_setMemoryHooks(nullptr);
        TOOLKIT_init();
        ASSERT_NE(toolkit_base64Table(), nullptr);
        key_ = make_key(GetParam().first, GetParam().second);
        ASSERT_NE(key_.pkey, nullptr);
    }
    void TearDown() override { EVP_PKEY_free(key_.pkey); }
    PeerKey key_;
};

TEST_P(CryptoPeerRsa, OpensslSignaturesOfRandomDataVerify) {
    std::mt19937_64 rng(static_cast<uint64_t>(GetParam().first) * GetParam().second);
    for (int i = 0; i < 20; ++i) {
        Bytes digest = openssl_sha256(random_bytes(rng, below(rng, 4096)));
        Bytes sig = openssl_sign(key_.pkey, digest);
        ASSERT_EQ(verify(digest, sig, key_.pem), CRYPTO_OK);
        std::string der(key_.der.begin(), key_.der.end());
        ASSERT_EQ(verify(digest, sig, der), CRYPTO_OK);
    }
}

TEST_P(CryptoPeerRsa, EveryFlippedByteFailsWithItsStatus) {
    std::mt19937_64 rng(GetParam().second);
    Bytes digest = openssl_sha256(random_bytes(rng, 1000));
    Bytes sig = openssl_sign(key_.pkey, digest);
    for (size_t i = 0; i < sig.size(); ++i) {
        Bytes flipped = sig;
        flipped[i] ^= static_cast<uint8_t>(1 + below(rng, 255));
        ASSERT_EQ(verify(digest, flipped, key_.pem), CRYPTO_ERR_SIGNATURE_FRAME) << i;
    }
    for (size_t i = 0; i < digest.size(); ++i) {
        Bytes flipped = digest;
        flipped[i] ^= static_cast<uint8_t>(1 + below(rng, 255));
        ASSERT_EQ(verify(flipped, sig, key_.pem), CRYPTO_ERR_DIGEST_MISMATCH) << i;
    }
    // The modulus sits at the end of the key, before the exponent: its
    // bytes (but the last, which keeps it odd) change the frame.
    size_t modulusLen = sig.size();
    size_t exponentField = 2 + integer_content_length(GetParam().second);
    size_t modulusEnd = key_.der.size() - exponentField;
    for (size_t i = 0; i < key_.der.size(); ++i) {
        Bytes flipped = key_.der;
        flipped[i] ^= 0x01;
        CryptoStatus status = verify(digest, sig, std::string(flipped.begin(), flipped.end()));
        if (i + 1 < modulusEnd && i >= modulusEnd - modulusLen) {
            ASSERT_EQ(status, CRYPTO_ERR_SIGNATURE_FRAME) << "key byte " << i;
        } else {
            ASSERT_LT(status, 0) << "key byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(KeySizesAndExponents, CryptoPeerRsa,
                         ::testing::Values(std::make_pair(2048, 65537ul),
                                           std::make_pair(3072, 65537ul),
                                           std::make_pair(4096, 65537ul), std::make_pair(2048, 3ul),
                                           std::make_pair(2048, 0xFFFFFFFFFFFFFFC5ul)));

}  // namespace
