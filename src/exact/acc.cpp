#include "exact/acc.hpp"

#include <limits>

#include "base/binary32.hpp"
#include "base/bytes_le.hpp"

namespace vx {

void add_limbs(Limbs& a, const Limbs& b) {
    std::uint64_t carry = 0;
    for (int k = 0; k < kLimbs; ++k) {
        const std::uint64_t t = a[k] + b[k];
        const std::uint64_t u = t + carry;
        carry = (t < b[k]) | (u < t);
        a[k] = u;
    }
}

void sub_limbs(Limbs& a, const Limbs& b) {
    std::uint64_t borrow = 0;
    for (int k = 0; k < kLimbs; ++k) {
        const std::uint64_t t = a[k] - b[k];
        const std::uint64_t u = t - borrow;
        borrow = (a[k] < b[k]) | (t < borrow);
        a[k] = u;
    }
}

void merge(SumF64& s, const SumF64& other) {
    add_limbs(s.limbs, other.limbs);
    s.flags |= other.flags;
    s.count = saturating_add(s.count, other.count);
}

// Subtraction with borrow is the exact inverse of merge's addition with
// carry modulo 2^2176, so merge followed by unmerge restores every bit.
bool try_unmerge(SumF64& s, const SumF64& other) {
    if (other.flags != 0 || other.count > s.count) return false;
    sub_limbs(s.limbs, other.limbs);
    s.count -= other.count;
    return true;
}

Limbs negate(const Limbs& limbs) {
    Limbs out;
    std::uint64_t carry = 1;
    for (int k = 0; k < kLimbs; ++k) {
        const std::uint64_t t = ~limbs[k] + carry;
        carry = carry && t == 0;
        out[k] = t;
    }
    return out;
}

namespace {

bool bit_at(const Limbs& m, int k) { return (m[k >> 6] >> (k & 63)) & 1; }

// Bits lsb .. lsb+width-1 of m, width <= 64.
std::uint64_t bits_from(const Limbs& m, int lsb, int width) {
    const int i = lsb >> 6, b = lsb & 63;
    std::uint64_t v = m[i] >> b;
    if (b && i + 1 < kLimbs) v |= m[i + 1] << (64 - b);
    return width == 64 ? v : v & ((std::uint64_t(1) << width) - 1);
}

// Whether any of bits 0 .. k-1 of m is set.
bool any_below(const Limbs& m, int k) {
    const int i = k >> 6, b = k & 63;
    for (int j = 0; j < i; ++j)
        if (m[j]) return true;
    return b && (m[i] & ((std::uint64_t(1) << b) - 1));
}

constexpr double kQuietNan = std::bit_cast<double>(std::uint64_t(0x7FF8000000000000));
constexpr float kQuietNan32 = std::bit_cast<float>(std::uint32_t(0x7FC00000));
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

std::uint64_t round_bits(const Limbs& m, bool negative, int p, int emin, int emax) {
    const std::uint64_t sign = std::uint64_t(negative) << (p + 1 + std::bit_width(unsigned(emax)));
    int top = kLimbs - 1;
    while (top >= 0 && m[top] == 0) --top;
    if (top < 0) return 0;
    const int h = top * 64 + 63 - std::countl_zero(m[top]);

    // lsb: position of the lowest kept bit; E: exponent of the leading bit.
    int lsb, E;
    if (h - 1074 >= emin) {
        lsb = h - p;
        E = h - 1074;
    } else {
        lsb = emin - p + 1074;
        E = emin;
    }
    std::uint64_t v = h >= lsb ? bits_from(m, lsb, h - lsb + 1) : 0;
    if (lsb > 0 && bit_at(m, lsb - 1) && ((v & 1) || any_below(m, lsb - 1))) ++v;
    if (v >> (p + 1)) {  // the round-up carried a normal significand to 2^(p+1)
        v >>= 1;
        ++E;
    }
    const std::uint64_t inf = std::uint64_t(2 * emax + 1) << p;
    if (E > emax) return sign | inf;
    // A normal v in [2^p, 2^(p+1)) adds its leading bit to the biased
    // exponent E + emax - 1; a subnormal one has E = emin, a field of 0, and
    // a round-up to 2^p lands on the smallest normal by the same addition.
    return sign | ((std::uint64_t(E + emax - 1) << p) + v);
}

namespace {

template <class Result, class Round>
Result value_of(const SumF64& s, Result nan, Round round) {
    if (s.nan() || (s.pos_inf() && s.neg_inf())) return nan;
    if (s.pos_inf()) return Result(kInf);
    if (s.neg_inf()) return Result(-kInf);
    const bool negative = s.limbs[kLimbs - 1] >> 63;
    return negative ? round(negate(s.limbs), true) : round(s.limbs, false);
}

}  // namespace

double value(const SumF64& s) {
    return value_of<double>(s, kQuietNan, [](const Limbs& m, bool neg) {
        return std::bit_cast<double>(round_bits(m, neg, 52, -1022, 1023));
    });
}

float value(const SumF32& s) {
    return value_of<float>(s.inner, kQuietNan32, [](const Limbs& m, bool neg) {
        return std::bit_cast<float>(std::uint32_t(round_bits(m, neg, 23, -126, 127)));
    });
}

void add(SumF32& s, float x) { add(s.inner, widen(x)); }
void merge(SumF32& s, const SumF32& other) { merge(s.inner, other.inner); }

void write_sum(const SumF64& s, std::uint8_t* out) {
    for (int k = 0; k < kLimbs; ++k) put_u64(out + 8 * k, s.limbs[k]);
    out[272] = s.flags;
    put_u64(out + 273, s.count);
}

SumBytes encode(const SumF64& s) {
    SumBytes out;
    write_sum(s, out.data());
    return out;
}

SumBytes encode(const SumF32& s) { return encode(s.inner); }

std::optional<SumF64> read_sum(const std::uint8_t* in) {
    if (in[272] & ~kAllFlags) return std::nullopt;
    SumF64 s;
    for (int k = 0; k < kLimbs; ++k) s.limbs[k] = get_u64(in + 8 * k);
    s.flags = in[272];
    s.count = get_u64(in + 273);
    return s;
}

std::optional<SumF32> read_sum32(const std::uint8_t* in) {
    if (auto s = read_sum(in)) return SumF32{*s};
    return std::nullopt;
}

}  // namespace vx
