// CovF64: covariance, correlation and the least-squares line of pairs (x, y).
//
// Five exact accumulators, Σx and Σy (sums) and Σx², Σy², Σxy (product
// steps), so the state is the same for any order of adds and grouping of
// merges.  With n the count and X, Y, XX, YY, XY the readings (units
// 2^-1074), the B terms are exact integers at scale 2^2148:
//   b_xy = n·XY·2^1074 − X·Y,  b_xx = n·XX·2^1074 − X²,  b_yy = likewise;
// each below 2^4352 in magnitude.  Then
//   covariance = b_xy / (n²·2^2148)
//   slope      = b_xy / b_xx
//   intercept  = (Y·b_xx − X·b_xy) / (n·b_xx·2^1074)
//   r²         = b_xy² / (b_xx·b_yy)        (at most 8 710 bits each side)
// each rounded once; the correlation is the signed square root of the
// rounded r².  b_xx and b_yy are never negative for states built by add and
// merge; decoded bytes are not checked, so the correlation refuses a negative
// r² (Degenerate) instead of returning NaN.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "stats/bigint.hpp"

namespace vx {

struct CovF64 {
    SumF64 sum_x;  // its count is n
    SumF64 sum_y;
    DotF64 sum_xx;
    DotF64 sum_yy;
    DotF64 sum_xy;
};

inline constexpr std::size_t kCovBytes = 2 * kSumBytes + 3 * kDotBytes;
static_assert(kCovBytes == 1408);

void add(CovF64& c, double x, double y);
void merge(CovF64& c, const CovF64& other);
inline std::uint64_t count(const CovF64& c) { return c.sum_x.count; }

struct BTerms {
    Int b_xy, b_xx, b_yy;
    std::uint64_t n;
};
// Checks in order: n = 0 (Empty), then the readings of Σx, Σy, Σx², Σy², Σxy.
Stat<BTerms> b_terms(const CovF64& c);

Stat<double> try_covariance(const CovF64& c);
Stat<double> try_slope(const CovF64& c);
Stat<double> try_intercept(const CovF64& c);
Stat<double> try_r_squared(const CovF64& c);
Stat<double> try_correlation(const CovF64& c);

std::array<std::uint8_t, kCovBytes> encode(const CovF64& c);
// Absent when any of the five parts is rejected; nothing else is checked.
std::optional<CovF64> read_cov(const std::uint8_t* in);

}  // namespace vx
