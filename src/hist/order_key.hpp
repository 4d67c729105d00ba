// The total-order key of a binary64 value, shared by the histogram and the
// extrema.
//
// IEEE 754 orders non-negative values the way their bit patterns order as
// unsigned integers: the exponent field sits above the fraction field, both
// grow with the magnitude, and +inf and the NaNs with sign 0 lie above every
// finite pattern.  Read as a signed 64-bit integer, a pattern with the sign
// bit set is negative, so every such value already sorts below every value
// with sign 0; inverting its low 63 bits reverses the order among them, so a
// larger magnitude gives a smaller key.  -0.0 (0x8000...0) becomes -1, one
// below +0.0's key 0; -inf sits below every negative finite value and a NaN
// with the sign bit set below -inf.  Distinct patterns give distinct keys, so
// keys of equal values are equal exactly when their bits are.
#pragma once

#include <bit>
#include <cstdint>

namespace vx {

inline constexpr std::uint64_t kSignBit = std::uint64_t(1) << 63;
// The pattern of +inf: magnitudes above it are NaNs, at or above it not finite.
inline constexpr std::uint64_t kInfBits = 0x7FF0000000000000;

// b >> 63 is 0 or all ones (arithmetic shift); shifted right once as an
// unsigned word it is 0 or 0x7FFF...F: the mask of the low 63 bits.  The map
// keeps the sign bit, so applying it twice gives b back.
inline std::int64_t flip_below_zero(std::int64_t b) { return b ^ std::int64_t(std::uint64_t(b >> 63) >> 1); }

inline std::int64_t order_key(double x) { return flip_below_zero(std::bit_cast<std::int64_t>(x)); }
inline double from_order_key(std::int64_t k) { return std::bit_cast<double>(flip_below_zero(k)); }

// Above the key of every value but the NaNs with sign 0 (+inf's key is below it).
inline constexpr std::int64_t kAboveEveryValue = INT64_MAX;
inline constexpr double kInfinity = std::bit_cast<double>(kInfBits);

inline bool is_nan_bits(double x) { return (std::bit_cast<std::uint64_t>(x) & ~kSignBit) > kInfBits; }
inline bool is_finite_bits(double x) { return (std::bit_cast<std::uint64_t>(x) & ~kSignBit) < kInfBits; }

// n + 1 without wrapping past 2^64 - 1.
inline std::uint64_t saturating_inc(std::uint64_t n) { return n + (n != UINT64_MAX); }

}  // namespace vx
