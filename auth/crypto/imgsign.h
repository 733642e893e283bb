// The two image-signing services: the SHA-256 digest of a payload and the
// check of an RSA PKCS#1 v1.5 signature over such a digest against a
// public key held as PEM text.
#pragma once

#include <cstdint>

#include "auth/crypto/status.h"

// Computes the SHA-256 digest of len bytes into digest (at least 32 bytes)
// and sets *digestLen to 32. Results: 0, or -6001 when a pointer is null
// (then nothing is written, or *digestLen only is set to 0).
CryptoStatus IMGSIGN_computeSHA256(const uint8_t* data, uint32_t len, uint8_t* digest,
                                   uint32_t* digestLen);

// Checks that signature is a valid RSASSA-PKCS1-v1_5 signature of digest
// under the public key in keyText (see PUBKEY_convertPublicKey). Results:
//   0      the signature is valid for this digest and key;
//   -6001  a pointer is null;
//   -6101  memory exhausted;
//   -7601, -7602  the key text is not an RSA public key;
//   -7609  the signature length is not the modulus length, or the signed
//          digest has the wrong length for its algorithm or is not last;
//   -7707  the modulus is longer than 512 bytes;
//   -7702  the signature does not decode to a PKCS#1 v1.5 signature frame;
//   -7603  the frame does not end in exactly one known DigestInfo;
//   -7711  the signed digest is not the digest given.
CryptoStatus IMGSIGN_verifySignature(const uint8_t* digest, uint32_t digestLen,
                                     const uint8_t* signature, uint32_t signatureLen,
                                     const char* keyText, uint32_t keyTextLen);
