// The exact accumulator of binary64 values.
//
// A SumF64 holds the exact sum of every finite value added as one 2176-bit
// two's-complement integer N in units of 2^-1074 (the smallest subnormal):
// every finite binary64 value is an integer number of units, so no addition
// ever rounds.  A finite value is below 2^1024 = 2^2098 units, so up to 2^77
// of them sum without wrapping; the count saturates long before that.
// NaN and infinities never touch the integer: they set sticky flags.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vx {

inline constexpr int kLimbs = 34;
using Limbs = std::array<std::uint64_t, kLimbs>;

// Flag bits, in the layout of the encoded flag byte.
inline constexpr std::uint8_t kNan = 1;
inline constexpr std::uint8_t kPosInf = 2;
inline constexpr std::uint8_t kNegInf = 4;
inline constexpr std::uint8_t kAllFlags = kNan | kPosInf | kNegInf;

inline constexpr std::size_t kSumBytes = 281;
using SumBytes = std::array<std::uint8_t, kSumBytes>;

struct SumF64 {
    Limbs limbs{};            // limb 0 least significant; bit 2175 is the sign
    std::uint64_t count = 0;  // values offered, saturating at 2^64 - 1
    std::uint8_t flags = 0;   // kNan | kPosInf | kNegInf, sticky

    bool nan() const { return flags & kNan; }
    bool pos_inf() const { return flags & kPosInf; }
    bool neg_inf() const { return flags & kNegInf; }
};

// The binary32 variant: the same state, fed binary32 values and read in binary32.
struct SumF32 {
    SumF64 inner;
};

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t s = a + b;
    return s < a ? UINT64_MAX : s;
}

// limbs += hi:lo * 2^(64 i), modulo 2^2176.  The carry out of limb i+1 runs
// upward only while limbs wrap, so the cost is two limbs plus the carry run.
inline void add_at(Limbs& l, unsigned i, std::uint64_t lo, std::uint64_t hi) {
    std::uint64_t s0 = l[i] + lo;
    std::uint64_t c = s0 < lo;
    l[i] = s0;
    std::uint64_t s1 = l[i + 1] + hi;
    std::uint64_t c1 = s1 < hi;
    s1 += c;
    c = c1 | (s1 < c);
    l[i + 1] = s1;
    for (unsigned k = i + 2; c && k < kLimbs; ++k) c = (++l[k] == 0);
}

// limbs -= hi:lo * 2^(64 i), modulo 2^2176; the mirror image of add_at.
inline void sub_at(Limbs& l, unsigned i, std::uint64_t lo, std::uint64_t hi) {
    std::uint64_t b = l[i] < lo;
    l[i] -= lo;
    const std::uint64_t x = l[i + 1];
    const std::uint64_t d = x - hi;
    const std::uint64_t b1 = (x < hi) | (d < b);
    l[i + 1] = d - b;
    b = b1;
    for (unsigned k = i + 2; b && k < kLimbs; ++k) b = (l[k]-- == 0);
}

// limbs += (-1)^negative * magnitude * 2^bit, for bit <= 2111 so that the
// shifted magnitude spans limbs i and i+1 <= 33 at most.
inline void add_shifted(Limbs& l, std::uint64_t magnitude, bool negative, unsigned bit) {
    const unsigned i = bit >> 6, b = bit & 63;
    const std::uint64_t lo = magnitude << b;
    const std::uint64_t hi = b ? magnitude >> (64 - b) : 0;
    if (negative)
        sub_at(l, i, lo, hi);
    else
        add_at(l, i, lo, hi);
}

// Adds one binary64 value exactly.  A normal x with biased exponent e and
// fraction f is (2^52 + f) * 2^(e-1) units; a subnormal is f units.  The
// shifted significand spans at most limbs i and i+1 <= 32, so a carry or
// borrow can only start at limb i+2 <= 33.
inline void add(SumF64& s, double x) {
    s.count = saturating_add(s.count, 1);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const unsigned e = unsigned(bits >> 52) & 0x7FF;
    const std::uint64_t f = bits & ((std::uint64_t(1) << 52) - 1);
    const bool negative = bits >> 63;
    if (e == 0x7FF) {
        s.flags |= f ? kNan : (negative ? kNegInf : kPosInf);
        return;
    }
    if ((bits << 1) == 0) return;  // +0.0 and -0.0 only count
    const std::uint64_t m = e ? f | (std::uint64_t(1) << 52) : f;
    add_shifted(s.limbs, m, negative, e ? e - 1 : 0);
}

void add_limbs(Limbs& a, const Limbs& b);
void sub_limbs(Limbs& a, const Limbs& b);

void merge(SumF64& s, const SumF64& other);
// Exactly removes a contribution merged in earlier.  Refuses (returns false,
// state untouched) a flagged `other` or one with a larger count.
bool try_unmerge(SumF64& s, const SumF64& other);

// Two's-complement negation of the 2176-bit integer.
Limbs negate(const Limbs& limbs);

// 2^k as a binary64 built from its bit pattern (subnormal below 2^-1022),
// for -1074 <= k <= 1023.
inline double pow2(int k) {
    const std::uint64_t bits = k >= -1022 ? std::uint64_t(k + 1023) << 52
                                          : std::uint64_t(1) << (k + 1074);
    return std::bit_cast<double>(bits);
}

// Rounds the magnitude M * 2^-1074 once, to nearest with ties to even, to a
// format with p fraction bits and normal exponents emin..emax (emax = its
// bias); subnormal results and overflow to infinity as in IEEE 754, zero
// gives +0.0.  The result is the format's bit pattern, assembled from
// integers, so no floating-point environment can change it.
std::uint64_t round_bits(const Limbs& magnitude, bool negative, int p, int emin, int emax);

inline std::uint64_t count(const SumF64& s) { return s.count; }

// The correctly rounded sum, after the flags: NaN wins, both infinities give
// NaN, one infinity gives that infinity.
double value(const SumF64& s);

void add(SumF32& s, float x);
void merge(SumF32& s, const SumF32& other);
inline std::uint64_t count(const SumF32& s) { return s.inner.count; }
float value(const SumF32& s);

// 281 bytes: limbs little-endian, flag byte, count little-endian.
void write_sum(const SumF64& s, std::uint8_t* out);
SumBytes encode(const SumF64& s);
SumBytes encode(const SumF32& s);
// Reads 281 bytes; absent when the flag byte has bits other than the three
// flags.  Any limbs and any count are a valid state.
std::optional<SumF64> read_sum(const std::uint8_t* in);
std::optional<SumF32> read_sum32(const std::uint8_t* in);

}  // namespace vx
