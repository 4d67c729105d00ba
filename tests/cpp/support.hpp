// Independent oracles and generators shared by the core tests.
//
// The references here never call the core: integers are built bit by bit or
// added with 128-bit carries, exact sums come from binary128 arithmetic on
// inputs chosen so that binary128 holds them exactly, and the correctly
// rounded results come from the compiler's binary128 -> binary64/32
// conversions.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "acc.hpp"

namespace vxt {

using vx::Limbs;
using f128 = __float128;
using u128 = unsigned __int128;

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
inline double dbl(std::uint64_t b) { return std::bit_cast<double>(b); }

// Bit-for-bit equality of two floating-point results (so -0.0 != +0.0).
template <class F>
::testing::AssertionResult same(F actual, F expected) {
    if (bits(actual) == bits(expected)) return ::testing::AssertionSuccess();
    char buf[128];
    std::snprintf(buf, sizeof buf, "got %a, expected %a", double(actual), double(expected));
    return ::testing::AssertionFailure() << buf;
}

// 2^e in binary128 from its bit pattern, for normal binary128 exponents.
inline f128 pow2q(int e) { return std::bit_cast<f128>(u128(e + 16383) << 112); }

// a + b modulo 2^2176 with a 128-bit running carry.
inline Limbs ref_add(Limbs a, const Limbs& b) {
    u128 c = 0;
    for (int k = 0; k < vx::kLimbs; ++k) {
        c += u128(a[k]) + b[k];
        a[k] = std::uint64_t(c);
        c >>= 64;
    }
    return a;
}

inline Limbs ref_neg(Limbs a) {
    for (auto& w : a) w = ~w;
    Limbs one{};
    one[0] = 1;
    return ref_add(a, one);
}

inline bool bit_of(const Limbs& l, int k) { return (l[k / 64] >> (k % 64)) & 1; }

// x in units of 2^-1074 as a two's-complement integer, from frexp/ldexp.
inline Limbs exact_limbs(double x) {
    Limbs l{};
    if (x == 0) return l;
    int e;
    const double f = std::frexp(std::fabs(x), &e);  // |x| = f 2^e, f in [0.5, 1)
    const auto m = std::uint64_t(std::ldexp(f, 53));
    const int shift = e - 53 + 1074;
    for (int b = 0; b < 53; ++b)
        if ((m >> b) & 1) l[(b + shift) / 64] |= std::uint64_t(1) << ((b + shift) % 64);
    return x < 0 ? ref_neg(l) : l;
}

// The magnitude M * 2^-1074 rounded to 100 bits with round-to-odd, as a
// binary128 number (negated when `negative`).  Converting it to a format of
// at most 53 bits then gives the correctly rounded value of M * 2^-1074.
inline f128 odd_rounded(const Limbs& m, bool negative) {
    int h = 64 * vx::kLimbs - 1;
    while (h >= 0 && !bit_of(m, h)) --h;
    if (h < 0) return 0;
    const int lo = h >= 99 ? h - 99 : 0;
    u128 t = 0;
    for (int k = h; k >= lo; --k) t = (t << 1) | u128(bit_of(m, k));
    for (int k = 0; k < lo; ++k)
        if (bit_of(m, k)) {
            t |= 1;
            break;
        }
    const f128 q = f128(t) * pow2q(lo - 1074);
    return negative ? -q : q;
}

// Whether the binary128 y >= 0 is an integer.
inline bool is_integer(f128 y) {
    const f128 big = pow2q(112);
    return y >= big || (y + big) - big == y;
}

using Rng = std::mt19937_64;

inline int uniform(Rng& r, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(r); }

// A double with biased exponent max(0, top - [0, width]), random fraction and
// sign.  All such values lie in a window of width + 53 bits.
inline double windowed(Rng& r, int top, int width) {
    const int e = std::max(0, top - uniform(r, 0, width));
    const std::uint64_t f = r() >> 12;
    return dbl((r() & 1) << 63 | std::uint64_t(e) << 52 | f);
}

// Among the finite values, one whose split puts 2^52 - 1 into a single digit
// (fraction all ones, shift = 31 mod 32): the worst case for digit growth.
inline const double kWorst = dbl(std::uint64_t(2016) << 52 | ((std::uint64_t(1) << 52) - 1));

// A mix of awkward values: random patterns (rarely non-finite when
// `specials`), zeros, subnormals, extremes and the worst digit shape.
inline double awkward(Rng& r, bool specials) {
    const double sign = (r() & 1) ? -1.0 : 1.0;
    switch (uniform(r, 0, 9)) {
        case 0: return sign * 0.0;
        case 1: return dbl(r() >> 12) * sign;                        // subnormal
        case 2: return sign * 1.7976931348623157e308;
        case 3: return sign * kWorst;
        case 4: return double(std::int64_t(r() % 2001) - 1000);
        case 5:
            if (specials && uniform(r, 0, 3) == 0) {
                const double s[] = {NAN, INFINITY, -INFINITY};
                return s[uniform(r, 0, 2)];
            }
            [[fallthrough]];
        default: {
            const std::uint64_t b = r();
            return ((b >> 52) & 0x7FF) == 0x7FF ? dbl(b & ~(std::uint64_t(1) << 62)) : dbl(b);
        }
    }
}

inline std::vector<double> awkward_values(Rng& r, std::size_t n, bool specials) {
    std::vector<double> v(n);
    for (auto& x : v) x = awkward(r, specials);
    return v;
}

// Limbs of a random two's-complement state: every limb random, or limbs
// drawn from {0, all ones} and a few boundary words, optionally with the
// upper limbs all 0 or all 1 so that the value is of moderate size.
inline Limbs random_limbs(Rng& r) {
    Limbs l{};
    const int mode = uniform(r, 0, 3);
    const std::uint64_t pick[] = {0, ~std::uint64_t(0), 1, std::uint64_t(1) << 63,
                                  ~std::uint64_t(0) >> 1, ~std::uint64_t(0) - 1};
    for (auto& w : l) {
        if (mode == 0) w = r();
        else if (mode == 1) w = (r() & 1) ? ~std::uint64_t(0) : 0;
        else w = uniform(r, 0, 7) < 6 ? pick[uniform(r, 0, 5)] : r();
    }
    if (mode == 3) {  // a sign extension over the upper limbs
        const std::uint64_t ext = (r() & 1) ? ~std::uint64_t(0) : 0;
        for (int k = uniform(r, 0, vx::kLimbs - 1); k < vx::kLimbs; ++k) l[k] = ext;
    }
    return l;
}

}  // namespace vxt
