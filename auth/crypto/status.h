// Results of the crypto services.
//
// Every service returns a signed 32-bit status: 0 for success, a negative
// number naming the failure. Callers in the key store and the signature
// policy print these numbers in their console messages, so the values are
// fixed and must not change.
#pragma once

#include <cstdint>

using CryptoStatus = int32_t;

inline constexpr CryptoStatus CRYPTO_OK = 0;
// A required argument is a null pointer.
inline constexpr CryptoStatus CRYPTO_ERR_NULL_ARG = -6001;
// An allocation failed.
inline constexpr CryptoStatus CRYPTO_ERR_NO_MEMORY = -6101;
// Base64 text that is not well formed.
inline constexpr CryptoStatus CRYPTO_ERR_BASE64 = -6501;
// Base64 decoding asked for before TOOLKIT_init built the decoding table.
inline constexpr CryptoStatus CRYPTO_ERR_BASE64_NO_TABLE = -6502;
// Bytes that are not the expected strict DER structure (indefinite or
// non-minimal lengths, lengths past the end, multi-byte tags, trailing
// bytes, negative or non-minimal integers, a misplaced element).
inline constexpr CryptoStatus CRYPTO_ERR_DER = -7601;
// Well-formed DER that is not an RSA public key we can use (another
// algorithm, a negative, even or out-of-range modulus or exponent).
inline constexpr CryptoStatus CRYPTO_ERR_NOT_RSA_KEY = -7602;
// The decoded signature block does not hold exactly one known DigestInfo.
inline constexpr CryptoStatus CRYPTO_ERR_DIGEST_INFO = -7603;
// Signature length differs from the modulus length, or the DigestInfo's
// digest has the wrong length or position.
inline constexpr CryptoStatus CRYPTO_ERR_SIGNATURE_LENGTH = -7609;
// The decoded signature block is not a PKCS#1 v1.5 signature frame (this
// includes a signature whose value is not below the modulus).
inline constexpr CryptoStatus CRYPTO_ERR_SIGNATURE_FRAME = -7702;
// The modulus is longer than 512 bytes (4096 bits).
inline constexpr CryptoStatus CRYPTO_ERR_MODULUS_TOO_LONG = -7707;
// The signed digest differs from the digest given.
inline constexpr CryptoStatus CRYPTO_ERR_DIGEST_MISMATCH = -7711;
// AES data length not a multiple of the 16-byte block.
inline constexpr CryptoStatus CRYPTO_ERR_AES_LENGTH = -7902;
// AES context used against its direction, or an unknown direction.
inline constexpr CryptoStatus CRYPTO_ERR_AES_DIRECTION = -7903;
// AES key length not 128, 192 or 256 bits.
inline constexpr CryptoStatus CRYPTO_ERR_AES_KEY_LENGTH = -7904;
// AES chaining mode other than CBC.
inline constexpr CryptoStatus CRYPTO_ERR_AES_MODE = -7907;
