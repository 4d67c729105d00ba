// Exact readings of the accumulators as big integers, and the one place
// where an exact rational value becomes a binary64.
//
// Every statistic is a quotient P/Q of integers formed from accumulator
// readings.  An accumulator integer X stands for X * 2^-1074, so a product of
// k readings is in units of 2^(-1074 k); terms of lower degree are brought to
// the common scale by `unit_pow`, a left shift of 1074 bits per missing
// degree.  P/Q is then rounded once, by `round_rational`.
//
// Sizes: one reading has at most 2176 bits; the largest integer any moment
// statistic forms is A3^2 of the fourth-moment state, below 13 000 bits.
#pragma once

#include <gmpxx.h>

#include <cstdint>

#include "base/expected.hpp"
#include "exact/acc.hpp"
#include "exact/dot.hpp"

namespace vx {

// A signed integer of unbounded size; owns its limbs (RAII over mpz_t).
using Int = mpz_class;

// The reasons a statistic has no value, in the order of their codes.
enum class StatsError { Empty, NonFinite, ExactnessLost, Degenerate };

inline const char* error_text(StatsError e) {
    switch (e) {
        case StatsError::Empty: return "Empty";
        case StatsError::NonFinite: return "NonFinite";
        case StatsError::ExactnessLost: return "ExactnessLost";
        case StatsError::Degenerate: return "Degenerate";
    }
    return "Degenerate";
}

template <class T>
using Stat = Expected<T, StatsError>;

// The 2176-bit two's-complement value of the limbs: U when U < 2^2175,
// else U - 2^2176.
Int twos_complement(const Limbs& limbs);
// The same from the 272 limb bytes of an encoding (limb 0 first, each limb
// little-endian).
Int twos_complement(const std::uint8_t* bytes);

// X of a sum; NonFinite when any of its flags is set.  The count is not read.
Stat<Int> sum_int(const SumF64& s);
// X of a dot state: ExactnessLost when a product lost bits (tested first),
// else NonFinite when a flag is set.
Stat<Int> dot_int(const DotF64& d);

// 2^(1074 k): the scale of k missing degrees.
inline Int unit_pow(unsigned k) {
    Int r = 1;
    return r << (1074 * k);
}

inline Int from_u64(std::uint64_t n) { return Int(static_cast<unsigned long>(n)); }
static_assert(sizeof(unsigned long) == 8, "counts are converted through unsigned long");

// Number of significant bits of |x| (0 for 0).
inline std::size_t bit_length(const Int& x) {
    return sgn(x) == 0 ? 0 : mpz_sizeinbase(x.get_mpz_t(), 2);
}

// p/q rounded once to binary64, to nearest with ties to even, with gradual
// underflow and overflow to infinity; p = 0 gives +0.0.  q must not be 0.
double round_rational(const Int& p, const Int& q);

// IEEE square root of a rounded variance-like value.  A value below zero is
// only reachable from inconsistent decoded bytes and has no root: Degenerate
// rather than NaN.  -0.0 is not below zero; its root is -0.0.
Stat<double> try_sqrt(double v);

}  // namespace vx
