#include "auth/crypto/bigint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "auth/crypto/testdata/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every test runs with 32-bit limbs (the switch's arithmetic) and, where
// the compiler has a 128-bit product, with 64-bit limbs. Random numbers
// against OpenSSL are in crypto_peer_test.cpp (host only); these run on
// the switch's CPU too, as do the 2048- to 4096-bit signatures of
// imgsign_test.cpp.
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

TYPED_TEST(BigInt, SmallKnownAnswers) {
    Bytes wide(6, 0xEE);
    ASSERT_TRUE(this->mod_exp({0, 0, 4}, {13}, {0, 0x01, 0xF1}, wide));  // 4^13 mod 497 = 445
    EXPECT_EQ(wide, (Bytes{0, 0, 0, 0, 0x01, 0xBD}));
    // Leading zero bytes count for nothing, even more than the longest
    // exponent there may be.
    Bytes padded(kBigIntMaxBytes + 1, 0);
    padded.back() = 13;
    std::fill(wide.begin(), wide.end(), 0xEE);
    ASSERT_TRUE(this->mod_exp({0, 0, 4}, padded, {0, 0x01, 0xF1}, wide));
    EXPECT_EQ(wide, (Bytes{0, 0, 0, 0, 0x01, 0xBD}));
    Bytes one(1);
    ASSERT_TRUE(this->mod_exp({2}, {}, {7}, one));  // x^0 = 1
    EXPECT_EQ(one, Bytes{1});
    // Results that are zero although the base is not: the last reduction
    // must give 0, not the modulus. The second: (2^61 - 1)^3 mod (2^61 - 1)^2,
    // over two 64-bit or four 32-bit limbs.
    ASSERT_TRUE(this->mod_exp({6}, {3}, {27}, one));
    EXPECT_EQ(one, Bytes{0});
    Bytes pSquared = crypto_hex("03ffffffffffffffc000000000000001");
    Bytes zero(pSquared.size());
    ASSERT_TRUE(this->mod_exp(crypto_hex("1fffffffffffffff"), {3}, pSquared, zero));
    EXPECT_EQ(zero, Bytes(pSquared.size(), 0));
    // A base not below the modulus is refused, the modulus itself too
    // (whose power would come out as 0), and the output is left as it was.
    Bytes kept(1, 0xEE);
    EXPECT_FALSE(this->mod_exp({27}, {3}, {27}, kept));
    EXPECT_FALSE(this->mod_exp({0, 28}, {3}, {27}, kept));
    EXPECT_EQ(kept, Bytes{0xEE});
}

// The reduction's last subtraction, where a borrow must run through a limb
// whose difference is 0. The modulus is a prime whose low 128 bits are all
// ones, and the base was chosen (by a search with Python integers) so that
// the square's reduction gives the Montgomery form of the result plus the
// modulus, whose low 128 bits are all ones too: the subtraction borrows out
// of its lowest limb into a limb equal to the modulus's, for 32- and 64-bit
// limbs alike.
TYPED_TEST(BigInt, BorrowRunsThroughAZeroLimbOfTheLastSubtraction) {
    const Bytes modulus =
        crypto_hex("b774eb5248db40af72158370d269a9a5ffffffffffffffffffffffffffffffff");
    const Bytes base =
        crypto_hex("4079fa46906ca5d1070baf9930d9a8eebf3dfff8cf26e81b7daae8e0d5cf6fcd");
    Bytes out(32);
    ASSERT_TRUE(this->mod_exp(base, {2}, modulus, out));
    EXPECT_EQ(out, crypto_hex("6145adb45163ce01ac2e857995ed089902c69b995afc87481f51eab0d0702725"));
}

// Long division: cases where the estimated quotient digit is still one too
// large after its correction, so the divisor must be added back, and one
// where the correction must stop.
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
        // The first and third again with a divisor whose top bit is clear: the
        // remainder is shifted back out of its normalized form, so the limb
        // above it, cleared after the add-back, is read too.
        {"08000000100000000fffffffefffffffe0000000",
         "080000001000000018000000",
         "080000001000000010000000"},
        {"1fffffffffffffffefffffffffffffffe8000000000000001fffffffffffffff",
         "0ffffffffffffffffffffffffffffffff800000000000000",
         "0ffffffffffffffff8000000000000000fffffffffffffff"},
        // With 32-bit limbs, the estimate's remainder reaches the limb base
        // exactly after its one correction: the estimate is then right, and
        // testing it again (the remainder shifted out of the double limb)
        // would take one too many (found by a search with Python integers).
        {"f953a6f106ac590f0000009a", "ffffffffd2e6b438", "3298b060f5cc07e2"},
    };
    for (const Case& c : cases) {
        Bytes modulus = crypto_hex(c.modulus);
        Bytes out(modulus.size());
        ASSERT_TRUE(this->mod(crypto_hex(c.value), modulus, out));
        EXPECT_EQ(out, crypto_hex(c.remainder)) << c.value;
    }
    // A value of up to twice the longest modulus is reduced (2^8192 - 1 is
    // 0 modulo 2^64 - 1); a longer one is refused rather than overrunning
    // the division's room.
    Bytes modulus(8, 0xFF);
    Bytes out(8, 0xEE);
    Bytes value(2 * kBigIntMaxBytes, 0xFF);
    ASSERT_TRUE(this->mod(value, modulus, out));
    EXPECT_EQ(out, Bytes(8, 0));
    // Zero bytes in front of a number are no part of it, the modulus's too.
    Bytes padded(16, 0x00);
    std::fill(padded.begin() + 8, padded.end(), 0xFF);
    value[0] = 0xFE;  // 2^8192 - 1 - 2^8184, which is 2^64 - 1 - 2^56 modulo 2^64 - 1
    std::fill(out.begin(), out.end(), 0xEE);
    ASSERT_TRUE(this->mod(value, padded, out));
    EXPECT_EQ(out, crypto_hex("feffffffffffffff"));
    // The value's zeros too: the longest value, behind them, is no longer.
    Bytes behind_zeros(8 + value.size(), 0x00);
    std::copy(value.begin(), value.end(), behind_zeros.begin() + 8);
    std::fill(out.begin(), out.end(), 0xEE);
    ASSERT_TRUE(this->mod(behind_zeros, modulus, out));
    EXPECT_EQ(out, crypto_hex("feffffffffffffff"));
    Bytes longer(2 * kBigIntMaxBytes + 1, 0xFF);
    longer[0] = 0x01;
    EXPECT_FALSE(this->mod(longer, modulus, out));
}

}  // namespace
