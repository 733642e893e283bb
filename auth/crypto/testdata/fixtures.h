// Test fixtures made with the openssl command-line tool (make_fixtures.py)
// and compiled into the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct CryptoFixture {
    const char* name;
    const uint8_t* bytes;
    size_t size;
};

extern const CryptoFixture kCryptoFixtures[];
extern const size_t kCryptoFixtureCount;

// The bytes of the fixture file of that name; empty (and a test failure)
// when there is none.
std::span<const uint8_t> crypto_fixture(const char* name);

// The same bytes as text, for PEM keys.
std::string crypto_fixture_text(const char* name);

// Makes sure TOOLKIT_init has built the Base64 table and that the memory
// hooks are malloc and free, whatever earlier tests did.
void crypto_test_ready();

// Bytes from hexadecimal text (pairs of digits, nothing else).
std::vector<uint8_t> crypto_hex(const char* hex);
