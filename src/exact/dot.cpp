#include "exact/dot.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/assertion.hpp"
#include "base/fpenv.hpp"
#include "exact/fast.hpp"

namespace vx {

namespace {

constexpr double kMinNormal = 0x1p-1022;
constexpr double kExactFloor = 0x1p-968;

// Exponent of the lowest set bit of a finite non-zero value.
int low_bit_exponent(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const int e = int(bits >> 52) & 0x7FF;
    const std::uint64_t f = bits & ((std::uint64_t(1) << 52) - 1);
    const std::uint64_t m = e ? f | (std::uint64_t(1) << 52) : f;
    return (e ? e - 1075 : -1074) + std::countr_zero(m);
}

bool is_inf(double p) { return (std::bit_cast<std::uint64_t>(p) << 1) == 0xFFE0000000000000u; }

}  // namespace

bool product_loses_exactness(double a, double b, double p) {
    if (!(std::fabs(p) < kExactFloor) || a == 0 || b == 0) return false;
    return std::fabs(p) < kMinNormal || low_bit_exponent(a) + low_bit_exponent(b) < -1074;
}

void push(DotF64& d, double a, double b) {
    const DefaultFpEnv env;  // the rounded product and its residual as IEEE 754 defines them
    const double p = a * b;
    if (is_inf(p)) {
        add(d.sum, p);
        d.sum.count = saturating_add(d.sum.count, 1);
        return;
    }
    const double e = std::fma(a, b, -p);
    if (product_loses_exactness(a, b, p)) d.exactness_lost = true;
    add(d.sum, p);
    add(d.sum, e);
}

namespace {

// Products are formed a block at a time, in a loop the compiler vectorises:
// the rounded products, then their residuals (0 for an infinite product,
// which only sets its flag), as two runs of values for the block sums, with
// the magnitude range of each.  Returns whether any product lies below the
// exactness floor and needs the exact check.
constexpr std::size_t kPairs = BlockSum::kBlock;

VX_VECTOR_CLONES
bool products(const double* x, const double* y, std::size_t n, double* parts,
              MagnitudeRange& p_range, MagnitudeRange& e_range) {
    // Classified on the bit patterns, which the compiler vectorises freely.
    constexpr std::uint64_t kMagnitude = ~(std::uint64_t(1) << 63);
    constexpr std::uint64_t kInfBits = 0x7FF0000000000000u;
    constexpr std::uint64_t kFloorBits = std::bit_cast<std::uint64_t>(kExactFloor);
    std::uint64_t tiny = 0;
    RangeScan p_scan, e_scan;
    for (std::size_t i = 0; i < n; ++i) {
        const double p = x[i] * y[i];
        const double e = std::fma(x[i], y[i], -p);
        const std::uint64_t a = std::bit_cast<std::uint64_t>(p) & kMagnitude;
        const std::uint64_t keep = -std::uint64_t(a != kInfBits);
        const double residual = std::bit_cast<double>(std::bit_cast<std::uint64_t>(e) & keep);
        parts[i] = p;
        parts[n + i] = residual;
        tiny |= a < kFloorBits;  // a NaN's pattern lies above the floor's
        p_scan.see(p);
        e_scan.see(residual);
    }
    p_range = p_scan.range();
    e_range = e_scan.range();
    return tiny != 0;
}

}  // namespace

bool split_products(Bank& bank, const double* x, const double* y, std::size_t n) {
    const DefaultFpEnv env;
    double parts[2 * kPairs];
    MagnitudeRange p_range, e_range;
    bool lost = false;
    if (products(x, y, n, parts, p_range, e_range)) [[unlikely]] {
        for (std::size_t i = 0; i < n; ++i) lost = lost || product_loses_exactness(x[i], y[i], parts[i]);
    }
    // The rounded products and the residuals lie about 2^53 apart: each half is a narrower run.
    split_run(bank, parts, n, p_range);
    split_run(bank, parts + n, n, e_range);
    return lost;
}

void extend_from_slices(DotF64& d, std::span<const double> xs, std::span<const double> ys) {
    assert_equal(xs.size(), ys.size(), "dot product requires equal-length slices");
    if (xs.empty()) return;
    const DefaultFpEnv env;
    d.sum.count = saturating_add(d.sum.count, 2 * std::uint64_t(xs.size()));
    // Products and residuals lie on different grids: one block sum each.
    BlockSum p_sums, e_sums;
    double parts[2 * kPairs];
    constexpr std::size_t kPrefetchBlocks = 8, kLine = 64 / sizeof(double);  // as BlockSum::take does
    for (std::size_t base = 0; base < xs.size(); base += kPairs) {
        const std::size_t n = std::min(kPairs, xs.size() - base);
        const double* x = xs.data() + base;
        const double* y = ys.data() + base;
        const std::size_t ahead = base + kPrefetchBlocks * kPairs;
        for (std::size_t i = ahead; i < std::min(ahead + kPairs, xs.size()); i += kLine) {
            __builtin_prefetch(xs.data() + i);
            __builtin_prefetch(ys.data() + i);
        }
        MagnitudeRange p_range, e_range;
        if (products(x, y, n, parts, p_range, e_range)) [[unlikely]] {
            for (std::size_t i = 0; i < n; ++i)
                if (product_loses_exactness(x[i], y[i], parts[i])) d.exactness_lost = true;
        }
        p_sums.take_block(parts, n, p_range, d.sum.limbs);
        e_sums.take_block(parts + n, n, e_range, d.sum.limbs);
    }
    d.sum.flags |= p_sums.finish(d.sum.limbs) | e_sums.finish(d.sum.limbs);
}

void merge(DotF64& d, const DotF64& other) {
    merge(d.sum, other.sum);
    d.exactness_lost = d.exactness_lost || other.exactness_lost;
}

Expected<double, DotError> try_value(const DotF64& d) {
    if (d.exactness_lost) return fail(DotError::ExactnessLost);
    return value(d.sum);
}

Expected<double, DotError> dot(std::span<const double> xs, std::span<const double> ys) {
    DotF64 d;
    extend_from_slices(d, xs, ys);
    return try_value(d);
}

void write_dot(const DotF64& d, std::uint8_t* out) {
    write_sum(d.sum, out);
    out[kSumBytes] = d.exactness_lost ? 1 : 0;
}

DotBytes encode(const DotF64& d) {
    DotBytes out;
    write_dot(d, out.data());
    return out;
}

std::optional<DotF64> read_dot(const std::uint8_t* in) {
    if (in[kSumBytes] > 1) return std::nullopt;
    auto sum = read_sum(in);
    if (!sum) return std::nullopt;
    return DotF64{*sum, in[kSumBytes] == 1};
}

}  // namespace vx
