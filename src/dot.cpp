#include "dot.hpp"

#include <algorithm>
#include <cmath>

#include "assertion.hpp"
#include "fast.hpp"

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

// Splits the parts of every product into four banks that take consecutive
// pairs in turn; a pair puts two values into its bank, so a bank folds after
// at most kBankCapacity / 2 pairs.  An infinite product only sets its flag.
// The integer reached is the one push reaches, pair by pair.
__attribute__((target_clones("fma", "default")))
bool banked_products(const double* x, const double* y, std::size_t n, Limbs& limbs,
                     std::uint8_t& flags) {
    constexpr std::size_t kBlock = 4 * (kBankCapacity / 2);
    std::array<Bank, 4> banks;
    bool lost = false;
    for (std::size_t base = 0; base < n; base += kBlock) {
        const std::size_t end = std::min(n, base + kBlock);
        for (std::size_t i = base; i < end; ++i) {
            Bank& bank = banks[i & 3];
            const double a = x[i], b = y[i];
            const double p = a * b;
            const double e = std::fma(a, b, -p);
            if (std::fabs(p) < kExactFloor) [[unlikely]]
                lost |= product_loses_exactness(a, b, p);
            split(bank, p);
            if (!is_inf(p)) split(bank, e);
        }
        fold_into(banks, limbs);
    }
    flags |= banks[0].flags | banks[1].flags | banks[2].flags | banks[3].flags;
    return lost;
}

}  // namespace

void extend_from_slices(DotF64& d, std::span<const double> xs, std::span<const double> ys) {
    assert_equal(xs.size(), ys.size(), "dot product requires equal-length slices");
    if (xs.empty()) return;
    d.sum.count = saturating_add(d.sum.count, 2 * std::uint64_t(xs.size()));
    if (banked_products(xs.data(), ys.data(), xs.size(), d.sum.limbs, d.sum.flags))
        d.exactness_lost = true;
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
