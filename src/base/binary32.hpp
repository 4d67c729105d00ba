// binary32 <-> binary64 conversions computed on bit patterns.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

namespace vx {

// binary32 <-> binary64 from bit patterns: widening is exact, narrowing
// rounds to nearest with ties to even (overflow to infinity, NaN stays NaN
// with its payload's top bits).  Unlike the hardware conversions, neither
// depends on the rounding mode or on subnormals being flushed.
inline double widen(float x) {
    const std::uint32_t b = std::bit_cast<std::uint32_t>(x);
    const std::uint64_t sign = std::uint64_t(b >> 31) << 63;
    const std::uint32_t e = (b >> 23) & 0xFF, f = b & 0x7FFFFF;
    std::uint64_t out;
    if (e == 0xFF)
        out = std::uint64_t(0x7FF) << 52 | std::uint64_t(f) << 29;
    else if (e)
        out = std::uint64_t(e + 1023 - 127) << 52 | std::uint64_t(f) << 29;
    else if (f) {  // f 2^-149 with its leading bit at 2^(h-149): a normal binary64
        const int h = std::bit_width(f) - 1;
        out = std::uint64_t(h - 149 + 1023) << 52 | ((std::uint64_t(f) << (52 - h)) & ((std::uint64_t(1) << 52) - 1));
    } else
        out = 0;
    return std::bit_cast<double>(sign | out);
}

inline float narrow(double x) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(x);
    const std::uint32_t sign = std::uint32_t(b >> 63) << 31;
    const int e = int(b >> 52) & 0x7FF;
    const std::uint64_t f = b & ((std::uint64_t(1) << 52) - 1);
    if (e == 0x7FF) return std::bit_cast<float>(sign | 0x7F800000u | (f ? 0x400000u | std::uint32_t(f >> 29) : 0));
    // |x| = m 2^(E-52) with m < 2^53; the binary32 result keeps the bits from
    // 2^(max(E, -126) - 23) up, so `shift` >= 29 low bits of m go.  Subnormal
    // binary64 values (below 2^-1022) are far under half the least binary32.
    const int E = e - 1023;
    const int shift = std::max(E, -126) - 23 - (E - 52);
    if (e == 0 || shift > 54) return std::bit_cast<float>(sign);  // below half of 2^-149
    const std::uint64_t m = f | (std::uint64_t(1) << 52);
    std::uint64_t v = m >> shift;
    const std::uint64_t rest = m & ((std::uint64_t(1) << shift) - 1), half = std::uint64_t(1) << (shift - 1);
    if (rest > half || (rest == half && (v & 1))) ++v;
    if (E > 127) return std::bit_cast<float>(sign | 0x7F800000u);
    // As in round_bits: the leading bit of v (or a carry out of it) raises
    // the biased exponent field; a carry out of 2^127's binade gives exactly
    // the pattern of infinity.
    return std::bit_cast<float>(sign | (std::uint32_t((std::max(E, -126) + 126) << 23) + std::uint32_t(v)));
}

}  // namespace vx
