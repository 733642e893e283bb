// Conversion of the image-signing public keys from their PEM text (or raw
// DER) to an RSA public key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "auth/crypto/bigint.h"
#include "auth/crypto/status.h"

// An RSA public key: modulus n and public exponent e as big-endian bytes
// without leading zeros. A modulus longer than kBigIntMaxBytes is recorded
// by its length alone (its bytes and the exponent's are not kept), so that
// a verification against it can say why it is refused.
struct RsaPublicKey {
    uint32_t modulusLen;
    uint32_t exponentLen;
    uint8_t modulus[kBigIntMaxBytes];
    uint8_t exponent[kBigIntMaxBytes];
};

// Converts key text to a key. The text is PEM (encapsulation lines starting
// with "-", Base64 body, any line ends and blanks); when it does not decode
// as such, the text itself is taken as DER. The DER must be exactly one
// SubjectPublicKeyInfo naming rsaEncryption with NULL parameters and holding
// an RSAPublicKey whose modulus is odd and whose exponent is odd, at least 3
// and below the modulus. keyOut may be null: then the text is only checked.
// Results: 0; -6001 for null text; -6101 when memory is exhausted; -7601 for
// bytes that are not strict DER; -7602 for DER that is not such a key.
CryptoStatus PUBKEY_convertPublicKey(const char* keyText, uint32_t keyTextLen,
                                     RsaPublicKey* keyOut);
