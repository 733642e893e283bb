// Unsigned big integers for the RSA public operation: modular
// exponentiation with moduli up to 4096 bits, any exponent up to the same
// size. Numbers come and go as big-endian byte strings, the form they have
// in keys and signatures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr size_t kBigIntMaxBytes = 512;

// out = base ^ exponent mod modulus, written as exactly out.size() bytes,
// zero bytes in front. Leading zero bytes are allowed in every input.
// Refused (false, out untouched): a modulus that is zero, even or longer
// than 512 bytes once its leading zeros are dropped; an exponent longer than
// 512 bytes; a base not below the modulus; an out too short for the
// modulus. The arithmetic uses the machine's widest fast limb (64 bits where
// the compiler has a 128-bit product, 32 bits otherwise).
bool bigint_modExp(std::span<const uint8_t> base, std::span<const uint8_t> exponent,
                   std::span<const uint8_t> modulus, std::span<uint8_t> out);

// The same with the limb width chosen by the caller: uint32_t always,
// uint64_t where the compiler has unsigned __int128. Lets the 32-bit
// arithmetic of the switch be checked on any build machine.
template <typename Limb>
bool bigint_modExpLimbs(std::span<const uint8_t> base, std::span<const uint8_t> exponent,
                        std::span<const uint8_t> modulus, std::span<uint8_t> out);

// out = value mod modulus (remainder of long division), with the same
// conventions; value may be up to 1024 bytes. Refused for a zero modulus.
template <typename Limb>
bool bigint_modLimbs(std::span<const uint8_t> value, std::span<const uint8_t> modulus,
                     std::span<uint8_t> out);

#if defined(__SIZEOF_INT128__)
inline constexpr bool kBigIntHasWideLimbs = true;
#else
inline constexpr bool kBigIntHasWideLimbs = false;
#endif
