// WeightedMomentsF64: the weighted mean and population variance of pairs
// (x, w).
//
// The state is Σw (exact), Σw·x and Σw·x² (product steps), so it is the same
// whatever the order of adds and the grouping of merges.  Σw·x² is held as
// Σ(w·p + w·e) with x·x = p + e, p the rounded square and e its fma residual;
// that split is exact only when x·x itself is a whole number of units of
// 2^-1074, which `tiny_square` records.  Weights are taken as given (zero and
// negative included); a statistic needs Σw > 0.
//
// With W, WX, WXX the readings (units 2^-1074):
//   mean     = WX / W
//   variance = (W·WXX − WX²) / W²          (both sides in units 2^-2148)
// |W·WXX| and WX² stay below 2^4352.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "stats/bigint.hpp"

namespace vx {

struct WeightedMomentsF64 {
    SumF64 sum_w;    // its count is the number of pairs
    DotF64 sum_wx;   // Σw·x; counts two per pair
    DotF64 sum_wxx;  // Σw·p + Σw·e; counts four per pair
    bool tiny_square = false;
};

inline constexpr std::size_t kWeightedBytes = kSumBytes + 2 * kDotBytes + 1;
static_assert(kWeightedBytes == 846);

void add(WeightedMomentsF64& m, double x, double w);
void merge(WeightedMomentsF64& m, const WeightedMomentsF64& other);
inline std::uint64_t count(const WeightedMomentsF64& m) { return m.sum_w.count; }

struct WeightedInts {
    Int w, wx, wxx;
};
// Checks in order: count 0 (Empty), tiny_square (ExactnessLost), then the
// readings of Σw, Σw·x and Σw·x².
Stat<WeightedInts> ints(const WeightedMomentsF64& m);

Stat<double> try_mean(const WeightedMomentsF64& m);
// Negative weights can make the exact variance negative; it is returned so.
Stat<double> try_variance(const WeightedMomentsF64& m);

std::array<std::uint8_t, kWeightedBytes> encode(const WeightedMomentsF64& m);
// Absent when a part is rejected or the last byte is neither 0 nor 1.
std::optional<WeightedMomentsF64> read_weighted(const std::uint8_t* in);

}  // namespace vx
