#include "stats/weighted.hpp"

#include <cmath>

namespace vx {

// The residual e = fma(x, x, -p) is exact, so w·p + w·e = w·x² exactly, only
// when x·x has no bits below 2^-1074: below that the residual has already
// rounded before any product step sees it.  So `tiny_square` is set for a
// finite non-zero x whose square is not a multiple of 2^-1074, or whose
// rounded square fell below 2^-1022 (where the residual cannot be held) —
// exactly the test the product step makes for x·x.  The weight plays no part.
void add(WeightedMomentsF64& m, double x, double w) {
    add(m.sum_w, w);
    push(m.sum_wx, x, w);
    const double p = x * x;
    if (product_loses_exactness(x, x, p)) m.tiny_square = true;
    const double e = std::fma(x, x, -p);
    push(m.sum_wxx, w, p);
    push(m.sum_wxx, w, e);
}

void merge(WeightedMomentsF64& m, const WeightedMomentsF64& other) {
    merge(m.sum_w, other.sum_w);
    merge(m.sum_wx, other.sum_wx);
    merge(m.sum_wxx, other.sum_wxx);
    m.tiny_square = m.tiny_square || other.tiny_square;
}

Stat<WeightedInts> ints(const WeightedMomentsF64& m) {
    if (m.sum_w.count == 0) return fail(StatsError::Empty);
    if (m.tiny_square) return fail(StatsError::ExactnessLost);
    auto w = sum_int(m.sum_w);
    if (!w) return fail(w.error());
    auto wx = dot_int(m.sum_wx);
    if (!wx) return fail(wx.error());
    auto wxx = dot_int(m.sum_wxx);
    if (!wxx) return fail(wxx.error());
    return WeightedInts{std::move(w).value(), std::move(wx).value(), std::move(wxx).value()};
}

namespace {

// The readings with a positive total weight, the denominator of both
// statistics.
Stat<WeightedInts> positive_weight(const WeightedMomentsF64& m) {
    auto r = ints(m);
    if (r && sgn(r.value().w) <= 0) return fail(StatsError::Degenerate);
    return r;
}

}  // namespace

Stat<double> try_mean(const WeightedMomentsF64& m) {
    auto r = positive_weight(m);
    if (!r) return fail(r.error());
    return round_rational(r.value().wx, r.value().w);
}

Stat<double> try_variance(const WeightedMomentsF64& m) {
    auto r = positive_weight(m);
    if (!r) return fail(r.error());
    const WeightedInts& v = r.value();
    return round_rational(Int(v.w * v.wxx - v.wx * v.wx), Int(v.w * v.w));
}

std::array<std::uint8_t, kWeightedBytes> encode(const WeightedMomentsF64& m) {
    std::array<std::uint8_t, kWeightedBytes> out;
    write_sum(m.sum_w, out.data());
    write_dot(m.sum_wx, out.data() + kSumBytes);
    write_dot(m.sum_wxx, out.data() + kSumBytes + kDotBytes);
    out[kWeightedBytes - 1] = m.tiny_square ? 1 : 0;
    return out;
}

std::optional<WeightedMomentsF64> read_weighted(const std::uint8_t* in) {
    auto sum_w = read_sum(in);
    if (!sum_w) return std::nullopt;
    auto sum_wx = read_dot(in + kSumBytes);
    if (!sum_wx) return std::nullopt;
    auto sum_wxx = read_dot(in + kSumBytes + kDotBytes);
    if (!sum_wxx) return std::nullopt;
    const std::uint8_t last = in[kWeightedBytes - 1];
    if (last > 1) return std::nullopt;
    return WeightedMomentsF64{*sum_w, *sum_wx, *sum_wxx, last == 1};
}

}  // namespace vx
