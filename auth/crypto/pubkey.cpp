#include "auth/crypto/pubkey.h"

#include <cstring>
#include <span>

#include "auth/crypto/base64.h"
#include "auth/crypto/der.h"
#include "auth/crypto/toolkit.h"

namespace {

// 1.2.840.113549.1.1.1, rsaEncryption.
constexpr uint8_t kRsaEncryptionOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

// The two numbers of a key, pointing into the DER bytes.
struct RsaKeyView {
    std::span<const uint8_t> modulus;
    std::span<const uint8_t> exponent;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Copies the Base64 body of PEM text into body: lines that start with "-"
// are dropped with their line end, and so are blanks and line ends.
// Returns the number of characters kept.
size_t pem_body(const char* text, size_t len, char* body) {
    size_t kept = 0;
    bool line_start = true;
    size_t i = 0;
    while (i < len) {
        if (line_start && text[i] == '-') {
            // Dropped up to its line end, which is a blank and starts the
            // next line; a last line without one ends the text.
            const void* end = std::memchr(text + i, '\n', len - i);
            i = end == nullptr ? len : static_cast<size_t>(static_cast<const char*>(end) - text);
        } else {
            char c = text[i++];
            line_start = (c == '\n');
            if (!is_blank(c)) {
                body[kept++] = c;
            }
        }
    }
    return kept;
}

// Decodes PEM text of len bytes: its Base64 body is gathered into buffer
// (len bytes) and decoded there, the bytes written behind those read.
CryptoStatus pem_decode(const char* text, size_t len, uint8_t* buffer, size_t& derLen) {
    char* body = reinterpret_cast<char*>(buffer);
    size_t bodyLen = pem_body(text, len, body);
    return BASE64_decode(body, bodyLen, buffer, len, &derLen);
}

// An AlgorithmIdentifier that names rsaEncryption with NULL parameters.
CryptoStatus check_algorithm(std::span<const uint8_t> algorithm) {
    der::Reader reader{algorithm};
    std::span<const uint8_t> oid;
    std::span<const uint8_t> params;
    if (!der::read(reader, der::kTagOid, oid)) {
        return CRYPTO_ERR_DER;
    }
    if (!der::equal(oid, kRsaEncryptionOid)) {
        return CRYPTO_ERR_NOT_RSA_KEY;
    }
    if (!der::read(reader, der::kTagNull, params) || !params.empty() || !der::at_end(reader)) {
        return CRYPTO_ERR_NOT_RSA_KEY;
    }
    return CRYPTO_OK;
}

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
CryptoStatus parse_rsa_public_key(std::span<const uint8_t> bytes, RsaKeyView& key) {
    der::Reader outer{bytes};
    std::span<const uint8_t> body;
    if (!der::read(outer, der::kTagSequence, body) || !der::at_end(outer)) {
        return CRYPTO_ERR_DER;
    }
    der::Reader reader{body};
    if (!der::read_unsigned_integer(reader, key.modulus) ||
        !der::read_unsigned_integer(reader, key.exponent) || !der::at_end(reader)) {
        return CRYPTO_ERR_DER;
    }
    return CRYPTO_OK;
}

// a < b for big-endian magnitudes without leading zeros.
bool less_than(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

// The numbers must make an RSA key: n odd and above e, e odd and at least 3.
CryptoStatus check_numbers(const RsaKeyView& key) {
    bool modulus_odd = (key.modulus.back() & 1u) != 0;
    bool exponent_odd = (key.exponent.back() & 1u) != 0;
    bool exponent_small = key.exponent.size() == 1 && key.exponent[0] < 3;
    if (!modulus_odd || !exponent_odd || exponent_small || !less_than(key.exponent, key.modulus)) {
        return CRYPTO_ERR_NOT_RSA_KEY;
    }
    return CRYPTO_OK;
}

// SubjectPublicKeyInfo ::= SEQUENCE {
//     algorithm         SEQUENCE { OID 1.2.840.113549.1.1.1, NULL },
//     subjectPublicKey  BIT STRING { 00 unused bits, RSAPublicKey } }
// with nothing after it.
CryptoStatus parse_spki(std::span<const uint8_t> der_bytes, RsaKeyView& key) {
    der::Reader outer{der_bytes};
    std::span<const uint8_t> spki;
    if (!der::read(outer, der::kTagSequence, spki) || !der::at_end(outer)) {
        return CRYPTO_ERR_DER;
    }
    der::Reader reader{spki};
    std::span<const uint8_t> algorithm;
    std::span<const uint8_t> bits;
    if (!der::read(reader, der::kTagSequence, algorithm) ||
        !der::read(reader, der::kTagBitString, bits) || !der::at_end(reader)) {
        return CRYPTO_ERR_DER;
    }
    CryptoStatus status = check_algorithm(algorithm);
    if (status != CRYPTO_OK) {
        return status;
    }
    if (bits.empty() || bits[0] != 0) {
        return CRYPTO_ERR_DER;
    }
    status = parse_rsa_public_key(bits.subspan(1), key);
    if (status != CRYPTO_OK) {
        return status;
    }
    return check_numbers(key);
}

void fill_key(const RsaKeyView& view, RsaPublicKey& key) {
    key.modulusLen = static_cast<uint32_t>(view.modulus.size());
    key.exponentLen = static_cast<uint32_t>(view.exponent.size());
    if (view.modulus.size() > kBigIntMaxBytes) {
        return;
    }
    // The exponent is below the modulus, so it fits as well.
    for (size_t i = 0; i < view.modulus.size(); ++i) {
        key.modulus[i] = view.modulus[i];
    }
    for (size_t i = 0; i < view.exponent.size(); ++i) {
        key.exponent[i] = view.exponent[i];
    }
}

}  // namespace

CryptoStatus PUBKEY_convertPublicKey(const char* keyText, uint32_t keyTextLen,
                                     RsaPublicKey* keyOut) {
    if (keyText == nullptr) {
        return CRYPTO_ERR_NULL_ARG;
    }
    size_t len = keyTextLen;
    auto* buffer = static_cast<uint8_t*>(toolkit_alloc(len == 0 ? 1 : len));
    if (buffer == nullptr) {
        return CRYPTO_ERR_NO_MEMORY;
    }
    size_t derLen = 0;
    // Not PEM: the key may be stored as DER already.
    std::span<const uint8_t> der_bytes =
        pem_decode(keyText, len, buffer, derLen) == CRYPTO_OK
            ? std::span<const uint8_t>(buffer, derLen)
            : std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(keyText), len);
    RsaKeyView view;
    CryptoStatus status = parse_spki(der_bytes, view);
    if (status == CRYPTO_OK && keyOut != nullptr) {
        fill_key(view, *keyOut);
    }
    toolkit_free(buffer);
    return status;
}
