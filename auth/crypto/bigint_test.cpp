#include "auth/crypto/bigint.h"

#include <gtest/gtest.h>

#include <vector>

#include "auth/crypto/testdata/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every test runs with 32-bit limbs (the switch's arithmetic) and, where
// the compiler has a 128-bit product, with 64-bit limbs.
template <typename Limb>
class BigInt : public ::testing::Test {
   protected:
    static bool mod_exp(const Bytes& base, const Bytes& exponent, const Bytes& modulus,
                        Bytes& out) {
        return bigint_modExpLimbs<Limb>(base, exponent, modulus, out);
    }
    static bool mod(const Bytes& value, const Bytes& modulus, Bytes& out) {
        return bigint_modLimbs<Limb>(value, modulus, out);
    }
};

#if defined(__SIZEOF_INT128__)
using LimbTypes = ::testing::Types<uint32_t, uint64_t>;
#else
using LimbTypes = ::testing::Types<uint32_t>;
#endif
TYPED_TEST_SUITE(BigInt, LimbTypes);

// Deterministic filler bytes (a 64-bit linear congruential generator, top
// byte of each step). Random numbers against OpenSSL are in
// crypto_peer_test.cpp (host only); these run on the switch's CPU too.
Bytes filler(uint64_t salt, size_t n) {
    Bytes out(n);
    uint64_t x = salt;
    for (size_t i = 0; i < n; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        out[i] = static_cast<uint8_t>(x >> 56);
    }
    return out;
}

Bytes mersenne(unsigned bits) {
    Bytes n((bits + 7) / 8, 0xFF);
    n[0] = static_cast<uint8_t>(0xFF >> (8 * n.size() - bits));
    return n;
}

TYPED_TEST(BigInt, SmallKnownAnswers) {
    Bytes out(2);
    ASSERT_TRUE(this->mod_exp({4}, {13}, {0x01, 0xF1}, out));  // 4^13 mod 497
    EXPECT_EQ(out, (Bytes{0x01, 0xBD}));                       // 445
    Bytes one(1);
    ASSERT_TRUE(this->mod_exp({2}, {}, {7}, one));  // x^0 = 1
    EXPECT_EQ(one, Bytes{1});
    ASSERT_TRUE(this->mod_exp({}, {5}, {9}, one));  // 0^5 = 0
    EXPECT_EQ(one, Bytes{0});
    ASSERT_TRUE(this->mod_exp({0}, {0, 0, 3}, {1}, one));  // anything mod 1 = 0
    EXPECT_EQ(one, Bytes{0});
    // Results that are zero although the base is not: the last reduction
    // must give 0, not the modulus. The third: (2^61 - 1)^3 mod (2^61 - 1)^2,
    // over two 64-bit or four 32-bit limbs.
    ASSERT_TRUE(this->mod_exp({3}, {2}, {9}, one));
    EXPECT_EQ(one, Bytes{0});
    ASSERT_TRUE(this->mod_exp({6}, {3}, {27}, one));
    EXPECT_EQ(one, Bytes{0});
    Bytes p = mersenne(61);
    Bytes pSquared = crypto_hex("03ffffffffffffffc000000000000001");
    Bytes zero(pSquared.size());
    ASSERT_TRUE(this->mod_exp(p, {3}, pSquared, zero));
    EXPECT_EQ(zero, Bytes(pSquared.size(), 0));
    Bytes wide(6, 0xEE);
    ASSERT_TRUE(this->mod_exp({0, 0, 4}, {13}, {0, 0x01, 0xF1}, wide));  // zeros in front
    EXPECT_EQ(wide, (Bytes{0, 0, 0, 0, 0x01, 0xBD}));
}

// Fermat: a^p = a and a^(p-1) = 1 modulo a prime p. Mersenne primes are
// all one bits, the modulus where Montgomery's last subtraction matters most.
TYPED_TEST(BigInt, FermatWithMersennePrimes) {
    for (unsigned bits : {61u, 127u, 521u, 1279u, 2203u}) {
        Bytes p = mersenne(bits);
        Bytes pMinus1 = p;
        pMinus1.back() = 0xFE;
        Bytes a = filler(bits, p.size() - 1);
        Bytes padded(p.size() - a.size(), 0);
        padded.insert(padded.end(), a.begin(), a.end());
        Bytes out(p.size());
        ASSERT_TRUE(this->mod_exp(a, p, p, out)) << bits;
        EXPECT_EQ(out, padded) << bits;
        ASSERT_TRUE(this->mod_exp(a, pMinus1, p, out)) << bits;
        Bytes one(p.size(), 0);
        one.back() = 1;
        EXPECT_EQ(out, one) << bits;
    }
}

TYPED_TEST(BigInt, UnusableInputsAreRefused) {
    Bytes out(600, 0x77);
    Bytes untouched = out;
    EXPECT_FALSE(this->mod_exp({2}, {3}, {}, out));         // no modulus
    EXPECT_FALSE(this->mod_exp({2}, {3}, {0, 0}, out));     // zero
    EXPECT_FALSE(this->mod_exp({2}, {3}, {0x10}, out));     // even
    EXPECT_FALSE(this->mod_exp({0x11}, {3}, {0x11}, out));  // base = modulus
    EXPECT_FALSE(this->mod_exp({1, 0}, {3}, {0xFF}, out));  // base above
    Bytes big(513, 0x01);
    EXPECT_FALSE(this->mod_exp({2}, {3}, big, out));  // modulus past 4096 bits
    EXPECT_FALSE(this->mod_exp({2}, big, {0x0F}, out));
    EXPECT_EQ(out, untouched);
    Bytes tooShort(1);
    EXPECT_FALSE(this->mod_exp({2}, {3}, {0x01, 0x01}, tooShort));
    // Leading zeros do not count towards the length limits.
    Bytes padded(600, 0);
    padded.back() = 0x0D;
    Bytes small(1);
    EXPECT_TRUE(this->mod_exp({2}, {3}, padded, small));
    EXPECT_EQ(small, Bytes{8});
}

// Long division: cases where the estimated quotient digit is still one too
// large after its correction, so the divisor must be added back.
TYPED_TEST(BigInt, RemainderAddBackCases) {
    struct Case {
        const char* value;
        const char* modulus;
        const char* remainder;
    } cases[] = {
        {"8000000100000000fffffffefffffffe00000000", "800000010000000180000000",
         "800000010000000100000000"},
        {"7fffffff800000000000000080000001", "ffffffff00000000fffffffe",
         "fffffffe800000027fffffff"},
        {"01fffffffffffffffefffffffffffffffe8000000000000001ffffffffffffffff",
         "ffffffffffffffffffffffffffffffff8000000000000000",
         "ffffffffffffffff8000000000000000ffffffffffffffff"},
        {"fffffffffffffffffffffffffffffffe7fffffffffffffff8000000000000001fffffffffffffffe",
         "800000000000000000000000000000028000000000000000",
         "7fffffffffffffff8000000000000024fffffffffffffffe"},
    };
    for (const Case& c : cases) {
        Bytes modulus = crypto_hex(c.modulus);
        Bytes out(modulus.size());
        ASSERT_TRUE(this->mod(crypto_hex(c.value), modulus, out));
        EXPECT_EQ(out, crypto_hex(c.remainder)) << c.value;
    }
}

TYPED_TEST(BigInt, RemainderSmallCases) {
    Bytes out(2);
    ASSERT_TRUE(this->mod({0x12, 0x34}, {0x01, 0x00}, out));  // even divisor
    EXPECT_EQ(out, (Bytes{0x00, 0x34}));
    ASSERT_TRUE(this->mod({0x05}, {0x01, 0x00}, out));  // value below divisor
    EXPECT_EQ(out, (Bytes{0x00, 0x05}));
    Bytes one(1);
    ASSERT_TRUE(this->mod(Bytes(40, 0xFF), {0x07}, one));  // 2^320 - 1 = 3 mod 7
    EXPECT_EQ(one, Bytes{3});
    EXPECT_FALSE(this->mod({0x05}, {0x00}, one));
    EXPECT_FALSE(this->mod(Bytes(1025, 0x01), {0x07}, one));
}

}  // namespace
