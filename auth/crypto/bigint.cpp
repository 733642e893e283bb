#include "auth/crypto/bigint.h"

#include <bit>

namespace {

template <typename Limb>
struct LimbTraits;

template <>
struct LimbTraits<uint32_t> {
    using Wide = uint64_t;
};

#if defined(__SIZEOF_INT128__)
template <>
struct LimbTraits<uint64_t> {
    using Wide = unsigned __int128;
};
#endif

template <typename Limb>
using Wide = typename LimbTraits<Limb>::Wide;

template <typename Limb>
constexpr unsigned kLimbBits = sizeof(Limb) * 8;

template <typename Limb>
constexpr size_t kMaxLimbs = kBigIntMaxBytes / sizeof(Limb);

// Longest value bigint_modLimbs reduces, in bytes.
constexpr size_t kMaxValueBytes = 2 * kBigIntMaxBytes;

// An odd modulus with what Montgomery multiplication needs: its limbs,
// least significant first, their count k, and -n^-1 mod 2^w.
template <typename Limb>
struct Modulus {
    size_t k;
    Limb n[kMaxLimbs<Limb>];
    Limb ninv;
};

std::span<const uint8_t> strip_leading_zeros(std::span<const uint8_t> bytes) {
    size_t skip = 0;
    while (skip < bytes.size() && bytes[skip] == 0) {
        ++skip;
    }
    return bytes.subspan(skip);
}

template <typename Limb>
size_t limbs_for(size_t bytes) {
    return (bytes + sizeof(Limb) - 1) / sizeof(Limb);
}

// Big-endian bytes (no more than k limbs' worth) into k limbs.
template <typename Limb>
void from_bytes(std::span<const uint8_t> bytes, Limb* limbs, size_t k) {
    for (size_t i = 0; i < k; ++i) {
        limbs[i] = 0;
    }
    size_t count = bytes.size();
    for (size_t i = 0; i < count; ++i) {
        size_t bit = 8 * i;
        limbs[bit / kLimbBits<Limb>] |= Limb{bytes[count - 1 - i]} << (bit % kLimbBits<Limb>);
    }
}

// k limbs into out as big-endian bytes, zero bytes in front.
template <typename Limb>
void to_bytes(const Limb* limbs, size_t k, std::span<uint8_t> out) {
    size_t count = out.size();
    for (size_t i = 0; i < count; ++i) {
        size_t bit = 8 * i;
        size_t index = bit / kLimbBits<Limb>;
        uint8_t byte = 0;
        if (index < k) {
            byte = static_cast<uint8_t>(limbs[index] >> (bit % kLimbBits<Limb>));
        }
        out[count - 1 - i] = byte;
    }
}

// -1, 0 or 1 as a is below, equal to or above b (k limbs each).
template <typename Limb>
int compare(const Limb* a, const Limb* b, size_t k) {
    for (size_t i = k; i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

// a -= b over k limbs; returns the borrow out of the top limb.
template <typename Limb>
Limb subtract(Limb* a, const Limb* b, size_t k) {
    Limb borrow = 0;
    for (size_t i = 0; i < k; ++i) {
        Limb x = a[i];
        Limb y = x - b[i];
        Limb borrow1 = x < b[i] ? 1 : 0;
        a[i] = y - borrow;
        borrow = borrow1 | (y < borrow ? 1 : 0);
    }
    return borrow;
}

// a += b over k limbs; returns the carry out of the top limb.
template <typename Limb>
Limb add(Limb* a, const Limb* b, size_t k) {
    Limb carry = 0;
    for (size_t i = 0; i < k; ++i) {
        Wide<Limb> sum = Wide<Limb>{a[i]} + b[i] + carry;
        a[i] = static_cast<Limb>(sum);
        carry = static_cast<Limb>(sum >> kLimbBits<Limb>);
    }
    return carry;
}

// -n0^-1 mod 2^w for odd n0. Newton's iteration doubles the number of
// correct low bits each step, and n0 itself is right in its low 3 bits.
template <typename Limb>
Limb negated_inverse(Limb n0) {
    Limb x = n0;
    for (int i = 0; i < 5; ++i) {
        x = static_cast<Limb>(x * static_cast<Limb>(2 - n0 * x));
    }
    return static_cast<Limb>(0 - x);
}

// The remainder of a single-limb division, for one-limb divisors.
template <typename Limb>
Limb short_remainder(const Limb* u, size_t ulen, Limb divisor) {
    Wide<Limb> rest = 0;
    for (size_t i = ulen; i-- > 0;) {
        rest = ((rest << kLimbBits<Limb>) | u[i]) % divisor;
    }
    return static_cast<Limb>(rest);
}

// Subtracts q * v (k limbs) from the k + 1 limbs at u; true when the result
// went below zero, i.e. q was one too large.
template <typename Limb>
bool multiply_subtract(Limb* u, const Limb* v, size_t k, Limb q) {
    Limb borrow = 0;
    Limb carry = 0;
    for (size_t i = 0; i <= k; ++i) {
        Limb product = carry;
        if (i < k) {
            Wide<Limb> p = Wide<Limb>{q} * v[i] + carry;
            carry = static_cast<Limb>(p >> kLimbBits<Limb>);
            product = static_cast<Limb>(p);
        }
        Limb x = u[i];
        Limb y = x - product;
        Limb borrow1 = x < product ? 1 : 0;
        u[i] = y - borrow;
        borrow = borrow1 | (y < borrow ? 1 : 0);
    }
    return borrow != 0;
}

// Estimates the next quotient limb from the top limbs of the remainder
// (u[k], u[k-1], u[k-2]) and the top two of the normalised divisor; the
// estimate is exact or one too large.
template <typename Limb>
Limb estimate_quotient(const Limb* u, const Limb* v, size_t k) {
    constexpr Wide<Limb> kBase = Wide<Limb>{1} << kLimbBits<Limb>;
    Wide<Limb> top = (Wide<Limb>{u[k]} << kLimbBits<Limb>) | u[k - 1];
    Wide<Limb> q = top / v[k - 1];
    Wide<Limb> r = top % v[k - 1];
    while (q >= kBase || q * v[k - 2] > ((r << kLimbBits<Limb>) | u[k - 2])) {
        --q;
        r += v[k - 1];
        if (r >= kBase) {
            break;
        }
    }
    return static_cast<Limb>(q);
}

// rem (k limbs) = u (ulen limbs) mod v (k limbs, top limb not zero), by
// schoolbook long division with the divisor shifted so that its top bit is
// set (Knuth's algorithm D, keeping only the remainder).
template <typename Limb>
void remainder(const Limb* u, size_t ulen, const Limb* v, size_t k, Limb* rem) {
    if (k == 1) {
        rem[0] = short_remainder(u, ulen, v[0]);
        return;
    }
    Limb vn[kMaxLimbs<Limb>];
    Limb un[2 * kMaxLimbs<Limb> + 2];
    unsigned shift = static_cast<unsigned>(std::countl_zero(v[k - 1]));
    for (size_t i = k; i-- > 0;) {
        Limb low = (shift != 0 && i > 0) ? v[i - 1] >> (kLimbBits<Limb> - shift) : 0;
        vn[i] = static_cast<Limb>(v[i] << shift) | low;
    }
    un[ulen] = shift != 0 ? u[ulen - 1] >> (kLimbBits<Limb> - shift) : 0;
    for (size_t i = ulen; i-- > 0;) {
        Limb low = (shift != 0 && i > 0) ? u[i - 1] >> (kLimbBits<Limb> - shift) : 0;
        un[i] = static_cast<Limb>(u[i] << shift) | low;
    }
    for (size_t j = ulen - k + 1; j-- > 0;) {
        Limb q = estimate_quotient(un + j, vn, k);
        if (multiply_subtract(un + j, vn, k, q)) {
            add(un + j, vn, k);
            un[j + k] = 0;
        }
    }
    for (size_t i = 0; i < k; ++i) {
        Limb high = (shift != 0) ? static_cast<Limb>(un[i + 1] << (kLimbBits<Limb> - shift)) : 0;
        rem[i] = (un[i] >> shift) | high;
    }
}

// t += a * b + carry; returns the new carry. The double-width sum cannot
// overflow: (2^w - 1)^2 + 2 (2^w - 1) = 2^2w - 1.
template <typename Limb>
inline Limb mul_add_step(Limb& t, Limb a, Limb b, Limb carry) {
    Wide<Limb> p = Wide<Limb>{a} * b + t + carry;
    t = static_cast<Limb>(p);
    return static_cast<Limb>(p >> kLimbBits<Limb>);
}

// t[0..len) += a[0..len) * b; returns the carry out of the top limb. The
// inner loop of every multiplication, unrolled by four.
template <typename Limb>
inline Limb mul_add(Limb* t, const Limb* a, size_t len, Limb b) {
    Limb carry = 0;
    size_t j = 0;
    for (; j + 4 <= len; j += 4) {
        carry = mul_add_step(t[j], a[j], b, carry);
        carry = mul_add_step(t[j + 1], a[j + 1], b, carry);
        carry = mul_add_step(t[j + 2], a[j + 2], b, carry);
        carry = mul_add_step(t[j + 3], a[j + 3], b, carry);
    }
    for (; j < len; ++j) {
        carry = mul_add_step(t[j], a[j], b, carry);
    }
    return carry;
}

// Double-length workspace for a product before its reduction.
template <typename Limb>
using Product = Limb[2 * kMaxLimbs<Limb>];

// t (2k limbs) = a * b.
template <typename Limb>
void multiply(Limb* t, const Limb* a, const Limb* b, size_t k) {
    for (size_t i = 0; i < 2 * k; ++i) {
        t[i] = 0;
    }
    for (size_t i = 0; i < k; ++i) {
        t[i + k] = mul_add(t + i, a, k, b[i]);
    }
}

// t (2k limbs) = a * a: each cross product once, doubled, then the squares
// of the limbs added on the diagonal. About half the work of multiply.
template <typename Limb>
void square(Limb* t, const Limb* a, size_t k) {
    constexpr unsigned w = kLimbBits<Limb>;
    for (size_t i = 0; i < 2 * k; ++i) {
        t[i] = 0;
    }
    for (size_t i = 0; i + 1 < k; ++i) {
        t[i + k] = mul_add(t + 2 * i + 1, a + i + 1, k - i - 1, a[i]);
    }
    Limb high = 0;
    for (size_t i = 0; i < 2 * k; ++i) {
        Limb next = t[i] >> (w - 1);
        t[i] = static_cast<Limb>(t[i] << 1) | high;
        high = next;
    }
    Limb carry = 0;
    for (size_t i = 0; i < k; ++i) {
        Wide<Limb> sq = Wide<Limb>{a[i]} * a[i];
        Wide<Limb> lo = Wide<Limb>{t[2 * i]} + static_cast<Limb>(sq) + carry;
        t[2 * i] = static_cast<Limb>(lo);
        Wide<Limb> hi =
            Wide<Limb>{t[2 * i + 1]} + static_cast<Limb>(sq >> w) + static_cast<Limb>(lo >> w);
        t[2 * i + 1] = static_cast<Limb>(hi);
        carry = static_cast<Limb>(hi >> w);
    }
}

// r = t / 2^(w k) mod n for a product t < n 2^(w k) (Montgomery
// reduction): each step adds the multiple of n that clears the lowest limb.
template <typename Limb>
void reduce(Limb* r, Limb* t, const Modulus<Limb>& m) {
    const size_t k = m.k;
    Limb top = 0;
    for (size_t i = 0; i < k; ++i) {
        Limb q = static_cast<Limb>(t[i] * m.ninv);
        Limb carry = mul_add(t + i, m.n, k, q);
        Wide<Limb> s = Wide<Limb>{t[i + k]} + carry + top;
        t[i + k] = static_cast<Limb>(s);
        top = static_cast<Limb>(s >> kLimbBits<Limb>);
    }
    // The result is below 2n: one subtraction at most.
    if (top != 0 || compare(t + k, m.n, k) >= 0) {
        subtract(t + k, m.n, k);
    }
    for (size_t i = 0; i < k; ++i) {
        r[i] = t[i + k];
    }
}

// r = a * b / 2^(w k) mod n (Montgomery multiplication). Inputs below n
// give a result below n; r may be the same array as a or b.
template <typename Limb>
void mont_mul(Limb* r, const Limb* a, const Limb* b, const Modulus<Limb>& m) {
    Product<Limb> t;
    multiply(t, a, b, m.k);
    reduce(r, t, m);
}

template <typename Limb>
void mont_sqr(Limb* r, const Limb* a, const Modulus<Limb>& m) {
    Product<Limb> t;
    square(t, a, m.k);
    reduce(r, t, m);
}

// r = a 2^(w k) mod n: a (k limbs) brought into Montgomery form by one
// long division, which costs less than a Montgomery multiplication by
// 2^(2 w k) mod n and needs no such constant.
template <typename Limb>
void to_montgomery(Limb* r, const Limb* a, const Modulus<Limb>& m) {
    Limb shifted[2 * kMaxLimbs<Limb>] = {};
    for (size_t i = 0; i < m.k; ++i) {
        shifted[i] = 0;
        shifted[i + m.k] = a[i];
    }
    remainder(shifted, 2 * m.k, m.n, m.k, r);
}

// r = a / 2^(w k) mod n: a number in Montgomery form brought back.
template <typename Limb>
void from_montgomery(Limb* r, const Limb* a, const Modulus<Limb>& m) {
    Product<Limb> t;
    for (size_t i = 0; i < m.k; ++i) {
        t[i] = a[i];
        t[i + m.k] = 0;
    }
    reduce(r, t, m);
}

// Fills m from big-endian modulus bytes without leading zeros; false when
// the modulus is zero, even or too long.
template <typename Limb>
bool load_modulus(std::span<const uint8_t> modulus, Modulus<Limb>& m) {
    if (modulus.empty() || modulus.size() > kBigIntMaxBytes || (modulus.back() & 1u) == 0) {
        return false;
    }
    m.k = limbs_for<Limb>(modulus.size());
    from_bytes(modulus, m.n, m.k);
    m.ninv = negated_inverse(m.n[0]);
    return true;
}

// x = base^exponent in Montgomery form, by left-to-right square and
// multiply. base_m is the base in Montgomery form; the exponent has no
// leading zero bytes.
template <typename Limb>
void mont_power(Limb* x, const Limb* base_m, std::span<const uint8_t> exponent,
                const Modulus<Limb>& m) {
    if (exponent.empty()) {
        Limb one[kMaxLimbs<Limb>] = {1};
        to_montgomery(x, one, m);
        return;
    }
    for (size_t i = 0; i < m.k; ++i) {
        x[i] = base_m[i];
    }
    int top = 7 - std::countl_zero(exponent[0]);
    for (size_t byte = 0; byte < exponent.size(); ++byte) {
        int bit = (byte == 0) ? top - 1 : 7;
        for (; bit >= 0; --bit) {
            mont_sqr(x, x, m);
            if ((exponent[byte] >> bit) & 1u) {
                mont_mul(x, x, base_m, m);
            }
        }
    }
}

}  // namespace

template <typename Limb>
bool bigint_modExpLimbs(std::span<const uint8_t> base, std::span<const uint8_t> exponent,
                        std::span<const uint8_t> modulus, std::span<uint8_t> out) {
    modulus = strip_leading_zeros(modulus);
    base = strip_leading_zeros(base);
    exponent = strip_leading_zeros(exponent);
    Modulus<Limb> m;
    if (!load_modulus(modulus, m) || exponent.size() > kBigIntMaxBytes ||
        out.size() < modulus.size() || base.size() > modulus.size()) {
        return false;
    }
    Limb b[kMaxLimbs<Limb>];
    from_bytes(base, b, m.k);
    if (compare(b, m.n, m.k) >= 0) {
        return false;
    }
    Limb base_m[kMaxLimbs<Limb>];
    to_montgomery(base_m, b, m);
    Limb x[kMaxLimbs<Limb>];
    mont_power(x, base_m, exponent, m);
    from_montgomery(x, x, m);
    to_bytes(x, m.k, out);
    return true;
}

template <typename Limb>
bool bigint_modLimbs(std::span<const uint8_t> value, std::span<const uint8_t> modulus,
                     std::span<uint8_t> out) {
    modulus = strip_leading_zeros(modulus);
    value = strip_leading_zeros(value);
    if (modulus.empty() || modulus.size() > kBigIntMaxBytes || value.size() > kMaxValueBytes ||
        out.size() < modulus.size()) {
        return false;
    }
    size_t k = limbs_for<Limb>(modulus.size());
    Limb v[kMaxLimbs<Limb>];
    from_bytes(modulus, v, k);
    // The division needs at least as many dividend limbs as divisor limbs.
    size_t ulen = limbs_for<Limb>(value.size());
    ulen = ulen < k ? k : ulen;
    Limb u[2 * kMaxLimbs<Limb>];
    from_bytes(value, u, ulen);
    Limb rem[kMaxLimbs<Limb>];
    remainder(u, ulen, v, k, rem);
    to_bytes(rem, k, out);
    return true;
}

template bool bigint_modExpLimbs<uint32_t>(std::span<const uint8_t>, std::span<const uint8_t>,
                                           std::span<const uint8_t>, std::span<uint8_t>);
template bool bigint_modLimbs<uint32_t>(std::span<const uint8_t>, std::span<const uint8_t>,
                                        std::span<uint8_t>);
#if defined(__SIZEOF_INT128__)
template bool bigint_modExpLimbs<uint64_t>(std::span<const uint8_t>, std::span<const uint8_t>,
                                           std::span<const uint8_t>, std::span<uint8_t>);
template bool bigint_modLimbs<uint64_t>(std::span<const uint8_t>, std::span<const uint8_t>,
                                        std::span<uint8_t>);
#endif

bool bigint_modExp(std::span<const uint8_t> base, std::span<const uint8_t> exponent,
                   std::span<const uint8_t> modulus, std::span<uint8_t> out) {
#if defined(__SIZEOF_INT128__)
    return bigint_modExpLimbs<uint64_t>(base, exponent, modulus, out);
#else
    return bigint_modExpLimbs<uint32_t>(base, exponent, modulus, out);
#endif
}
