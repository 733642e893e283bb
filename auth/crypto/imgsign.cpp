#include "auth/crypto/imgsign.h"

#include <span>

#include "auth/crypto/bigint.h"
#include "auth/crypto/der.h"
#include "auth/crypto/pubkey.h"
#include "auth/crypto/sha256.h"
#include "auth/crypto/toolkit.h"

namespace {

// A digest algorithm a signature may name: its object identifier (the
// value bytes) and its digest length.
struct DigestAlgorithm {
    uint8_t oid[9];
    uint8_t oidLen;
    uint8_t digestLen;
};

constexpr DigestAlgorithm kDigestAlgorithms[] = {
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02}, 8, 16},        // MD2
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x04}, 8, 16},        // MD4
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}, 8, 16},        // MD5
    {{0x2B, 0x0E, 0x03, 0x02, 0x1A}, 5, 20},                          // SHA-1
    {{0x2B, 0x0E, 0x03, 0x02, 0x1D}, 5, 20},                          // SHA-1 (old OIW form)
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04}, 9, 28},  // SHA-224
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, 9, 32},  // SHA-256
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, 9, 48},  // SHA-384
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, 9, 64},  // SHA-512
};

// Fewest 0xFF bytes a signature frame pads with.
constexpr size_t kMinPadding = 8;

const DigestAlgorithm* find_algorithm(std::span<const uint8_t> oid) {
    for (const DigestAlgorithm& algorithm : kDigestAlgorithms) {
        if (der::equal(oid, std::span<const uint8_t>(algorithm.oid, algorithm.oidLen))) {
            return &algorithm;
        }
    }
    return nullptr;
}

// The encoded block of a signature over k bytes:
//   00 01 FF..FF 00 T     (at least eight FF)
// Sets t to the bytes after the separator (empty when there is none).
CryptoStatus check_frame(std::span<const uint8_t> block, std::span<const uint8_t>& t) {
    if (block.size() < 2 || block[0] != 0x00 || block[1] != 0x01) {
        return CRYPTO_ERR_SIGNATURE_FRAME;
    }
    size_t pos = 2;
    while (pos < block.size() && block[pos] == 0xFF) {
        ++pos;
    }
    if (pos - 2 < kMinPadding) {
        return CRYPTO_ERR_SIGNATURE_FRAME;
    }
    if (pos == block.size()) {
        t = block.subspan(pos);
        return CRYPTO_OK;
    }
    if (block[pos] != 0x00) {
        return CRYPTO_ERR_SIGNATURE_FRAME;
    }
    t = block.subspan(pos + 1);
    return CRYPTO_OK;
}

// AlgorithmIdentifier ::= SEQUENCE { OID, NULL }, for one of the digest
// algorithms above. Signers put NULL parameters in every DigestInfo; a
// block without them, or with anything else there, is refused, so that the
// encoding of a valid block is unique.
const DigestAlgorithm* read_algorithm(der::Reader& reader) {
    std::span<const uint8_t> body;
    if (!der::read(reader, der::kTagSequence, body)) {
        return nullptr;
    }
    der::Reader fields{body};
    std::span<const uint8_t> oid;
    std::span<const uint8_t> params;
    if (!der::read(fields, der::kTagOid, oid) || !der::read(fields, der::kTagNull, params) ||
        !params.empty() || !der::at_end(fields)) {
        return nullptr;
    }
    return find_algorithm(oid);
}

// T must be exactly one DigestInfo:
//   30 L  30 L 06 L OID 05 00  04 L DIGEST
// The digest must have its algorithm's length and be the last thing in T.
CryptoStatus read_digest_info(std::span<const uint8_t> t, std::span<const uint8_t>& signedDigest) {
    der::Reader outer{t};
    std::span<const uint8_t> body;
    if (!der::read(outer, der::kTagSequence, body) || !der::at_end(outer)) {
        return CRYPTO_ERR_DIGEST_INFO;
    }
    der::Reader fields{body};
    const DigestAlgorithm* algorithm = read_algorithm(fields);
    std::span<const uint8_t> digest;
    if (algorithm == nullptr || !der::read(fields, der::kTagOctetString, digest)) {
        return CRYPTO_ERR_DIGEST_INFO;
    }
    if (digest.size() != algorithm->digestLen || !der::at_end(fields)) {
        return CRYPTO_ERR_SIGNATURE_LENGTH;
    }
    signedDigest = digest;
    return CRYPTO_OK;
}

// Steps after the key is known: size checks, the RSA public operation, the
// frame, the DigestInfo and the comparison with the caller's digest.
CryptoStatus verify_with_key(std::span<const uint8_t> digest, std::span<const uint8_t> signature,
                             const RsaPublicKey& key) {
    size_t k = key.modulusLen;
    if (signature.size() != k) {
        return CRYPTO_ERR_SIGNATURE_LENGTH;
    }
    if (k > kBigIntMaxBytes) {
        return CRYPTO_ERR_MODULUS_TOO_LONG;
    }
    uint8_t block[kBigIntMaxBytes];
    std::span<uint8_t> encoded(block, k);
    if (!bigint_modExp(signature, std::span<const uint8_t>(key.exponent, key.exponentLen),
                       std::span<const uint8_t>(key.modulus, k), encoded)) {
        // The signature is not below the modulus.
        return CRYPTO_ERR_SIGNATURE_FRAME;
    }
    std::span<const uint8_t> t;
    CryptoStatus status = check_frame(encoded, t);
    if (status != CRYPTO_OK) {
        return status;
    }
    std::span<const uint8_t> signedDigest;
    status = read_digest_info(t, signedDigest);
    if (status != CRYPTO_OK) {
        return status;
    }
    if (!der::equal(signedDigest, digest)) {
        return CRYPTO_ERR_DIGEST_MISMATCH;
    }
    return CRYPTO_OK;
}

}  // namespace

CryptoStatus IMGSIGN_computeSHA256(const uint8_t* data, uint32_t len, uint8_t* digest,
                                   uint32_t* digestLen) {
    if (data == nullptr || digest == nullptr || digestLen == nullptr) {
        return CRYPTO_ERR_NULL_ARG;
    }
    *digestLen = 0;
    Sha256Ctx ctx;
    sha256_init(ctx);
    sha256_update(ctx, data, len);
    // Writes the digest and wipes the hash state.
    sha256_final(ctx, digest);
    *digestLen = kSha256DigestLength;
    return CRYPTO_OK;
}

CryptoStatus IMGSIGN_verifySignature(const uint8_t* digest, uint32_t digestLen,
                                     const uint8_t* signature, uint32_t signatureLen,
                                     const char* keyText, uint32_t keyTextLen) {
    if (digest == nullptr || signature == nullptr || keyText == nullptr) {
        return CRYPTO_ERR_NULL_ARG;
    }
    auto* key = static_cast<RsaPublicKey*>(toolkit_alloc(sizeof(RsaPublicKey)));
    if (key == nullptr) {
        return CRYPTO_ERR_NO_MEMORY;
    }
    CryptoStatus status = PUBKEY_convertPublicKey(keyText, keyTextLen, key);
    if (status == CRYPTO_OK) {
        status = verify_with_key(std::span<const uint8_t>(digest, digestLen),
                                 std::span<const uint8_t>(signature, signatureLen), *key);
    }
    toolkit_free(key);
    return status;
}
