// The two image-signing public keys compiled into the launcher: the trust
// anchors the key files on the eMMC are compared with and repaired from.
//
// Each is an RSA-2048 public key as PEM text of exactly 451 bytes (the
// BEGIN line, six base64 lines of 64 characters, one of 8, the END line,
// each ending in a line feed), stored with a terminating zero: 452 bytes are
// copied wherever a built-in key is copied or written. The texts come from
// the PEM files named at configure time (BL_PRODUCTION_KEY and
// BL_DEVELOPMENT_KEY; by default the test keys of keys/test/), read by
// cmake/builtin_keys.cmake.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kBuiltinKeyLength = 451;
inline constexpr std::uint32_t kBuiltinKeyStorage = kBuiltinKeyLength + 1;

extern const char builtin_production_key[kBuiltinKeyStorage];
extern const char builtin_development_key[kBuiltinKeyStorage];

// 1 when either built-in key is one of the repository's test keys, whose
// private halves anyone can read: such a launcher must never ship.
int builtin_keys_are_test_keys();

// What the build-information line adds for these keys: ", TEST KEYS" for
// the test keys, else nothing.
extern const char builtin_keys_build_note[];
