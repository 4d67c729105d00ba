// FastSumF64 and the banks: every schedule must reach SumF64's exact state.
#include <algorithm>
#include <cfloat>

#include "fast.hpp"
#include "support.hpp"

using namespace vxt;
using vx::Bank;
using vx::FastSumF64;
using vx::SumF64;

namespace {

SumF64 reference(const std::vector<double>& xs, SumF64 s = {}) {
    for (double x : xs) vx::add(s, x);
    return s;
}

FastSumF64 by_add(const std::vector<double>& xs, FastSumF64 f = {}) {
    for (double x : xs) vx::add(f, x);
    return f;
}

FastSumF64 by_extend(const std::vector<double>& xs, FastSumF64 f = {}) {
    vx::extend_from_slice(f, xs);
    return f;
}

void expect_same_object(const FastSumF64& a, const FastSumF64& b) {
    EXPECT_EQ(a.limbs, b.limbs);
    EXPECT_EQ(a.count, b.count);
    EXPECT_EQ(a.pending, b.pending);
    EXPECT_EQ(a.bank.digits, b.bank.digits);
    EXPECT_EQ(a.bank.flags, b.bank.flags);
}

// d * 2^(32 k) as a 2176-bit two's-complement integer, built bit by bit.
Limbs digit_value(std::int64_t d, int k) {
    const std::uint64_t a = d < 0 ? 0 - std::uint64_t(d) : std::uint64_t(d);
    Limbs l{};
    for (int b = 0; b < 64; ++b)
        if ((a >> b) & 1 && 32 * k + b < 64 * vx::kLimbs)
            l[(32 * k + b) / 64] |= std::uint64_t(1) << ((32 * k + b) % 64);
    return d < 0 ? ref_neg(l) : l;
}

}  // namespace

TEST(FastSum, SplitAndFoldPlaceValuesAtTheirUnitWeights) {
    const struct { double x; int k; std::int64_t lo, hi; } cases[] = {
        {dbl(1), 0, 1, 0},
        {1.0, 31, 0, std::int64_t(1) << 50},
        {DBL_MAX, 63, 0xE0000000, (std::int64_t(1) << 50) - 1},
        {-DBL_MAX, 63, -0xE0000000ll, 1 - (std::int64_t(1) << 50)},
    };
    for (const auto& c : cases) {
        Bank bank;
        vx::split(bank, c.x);
        std::array<std::int64_t, vx::kDigits> want{};
        want[c.k] = c.lo;
        want[c.k + 1] = c.hi;
        EXPECT_EQ(bank.digits, want) << c.x;
        Limbs l{};
        vx::fold_into(bank, l);
        EXPECT_EQ(l, exact_limbs(c.x)) << c.x;
        EXPECT_EQ(bank.digits, (std::array<std::int64_t, vx::kDigits>{}));
    }
}

// Folding gathers all banks with one 128-bit carry; it must equal adding
// every digit's value on its own, for any digits a bank may legally hold.
TEST(FastSum, FoldEqualsAddingEveryDigitSeparately) {
    Rng r(31);
    const std::int64_t edge[] = {INT64_MIN, INT64_MAX, -1, 1, 0, INT64_MIN + 1};
    for (int it = 0; it < 2000; ++it) {
        std::vector<Bank> banks(uniform(r, 1, 4));
        Limbs limbs = random_limbs(r), want = limbs;
        for (auto& b : banks) {
            b.flags = std::uint8_t(r() & vx::kAllFlags);
            for (int k = 0; k < vx::kDigits - 1; ++k) {
                b.digits[k] = (r() & 1) ? edge[uniform(r, 0, 5)] : std::int64_t(r());
                want = ref_add(want, digit_value(b.digits[k], k));
            }
        }
        std::vector<std::uint8_t> flags;
        for (const auto& b : banks) flags.push_back(b.flags);
        vx::fold_into(banks, limbs);
        ASSERT_EQ(limbs, want) << it;
        for (std::size_t i = 0; i < banks.size(); ++i) {
            ASSERT_EQ(banks[i].digits, (std::array<std::int64_t, vx::kDigits>{}));
            ASSERT_EQ(banks[i].flags, flags[i]);
        }
    }
}

TEST(FastSum, AddAndExtendMatchSumF64AroundBlockSizes) {
    Rng r(32);
    for (std::size_t n : {0, 1, 3, 4, 5, 511, 512, 513, 2047, 2048, 2049, 4095, 4096, 4097,
                          8191, 8192, 8193, 16387}) {
        const auto xs = awkward_values(r, n, true);
        const auto want = vx::encode(reference(xs));
        EXPECT_EQ(vx::encode(vx::finish(by_extend(xs))), want) << n;
        EXPECT_EQ(vx::encode(vx::finish(by_add(xs))), want) << n;
        EXPECT_EQ(vx::count(by_extend(xs)), n);
    }
}

TEST(FastSum, InterleavedAddsAndExtendsMatchSumF64) {
    Rng r(33);
    for (int trial = 0; trial < 4; ++trial) {
        FastSumF64 f;
        SumF64 want;
        for (int step = 0; step < 40; ++step) {
            const int sizes[] = {0, 1, 5, uniform(r, 500, 520), uniform(r, 4090, 4100), uniform(r, 0, 9000)};
            const auto xs = awkward_values(r, sizes[uniform(r, 0, 5)], true);
            if (r() & 1) f = by_extend(xs, f);
            else f = by_add(xs, f);
            want = reference(xs, want);
            ASSERT_EQ(vx::encode(vx::finish(f)), vx::encode(want)) << trial << " " << step;
        }
    }
}

// Blocks whose values span few orders of magnitude, of either or mixed sign,
// with zeros, near the subnormal range and near the largest exponents, in
// lengths that are not whole lanes or blocks.
TEST(FastSum, NarrowRangeBlocksMatchSumF64) {
    Rng r(35);
    const std::size_t lengths[] = {1, 7, 8, 9, 255, 256, 257, 1000, 5000};
    for (int it = 0; it < 800; ++it) {
        const int zone = uniform(r, 0, 3);
        const int top = zone == 0 ? uniform(r, 0, 70) : zone == 1 ? uniform(r, 2030, 2046) : uniform(r, 1, 2046);
        const int width = uniform(r, 0, 4) ? uniform(r, 0, 150) : 0;
        const int signs = uniform(r, 0, 2);  // mixed, all positive, all negative
        std::vector<double> xs(lengths[uniform(r, 0, 8)]);
        for (auto& x : xs) {
            x = windowed(r, top, width);
            if (uniform(r, 0, 9) == 0) x = dbl(bits(x) | 0x000FFFFFFFFFFFFF);  // largest significand
            if (uniform(r, 0, 19) == 0) x = 0.0;
            if (signs) x = signs == 1 ? std::fabs(x) : -std::fabs(x);
        }
        const SumF64 want = reference(xs);
        ASSERT_EQ(vx::encode(vx::finish(by_extend(xs))), vx::encode(want))
            << it << " top " << top << " width " << width << " n " << xs.size();
    }
}

// Long runs of the values that grow one digit fastest keep every bank at or
// near its capacity; both paths must still be exact.
TEST(FastSum, ExtremeValuesAtBankCapacity) {
    std::vector<std::vector<double>> runs = {std::vector<double>(5000, DBL_MAX),
                                             std::vector<double>(5000, -DBL_MAX),
                                             std::vector<double>(16387, kWorst),
                                             std::vector<double>(16387, -kWorst)};
    std::vector<double> alternating(16387), spread(16387, -kWorst);
    for (std::size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 4 < 2 ? kWorst : -DBL_MAX;
    for (std::size_t i = 0; i < spread.size(); i += 251) spread[i] = -dbl(1);  // no narrow blocks
    runs.push_back(alternating);
    runs.push_back(spread);
    for (const auto& xs : runs) {
        const SumF64 want = reference(xs);
        EXPECT_EQ(vx::encode(vx::finish(by_extend(xs))), vx::encode(want)) << xs[0];
        EXPECT_EQ(vx::encode(vx::finish(by_add(xs))), vx::encode(want)) << xs[0];
    }
    Limbs many{};  // and the reference itself is the exact multiple
    for (int k = 0; k < 5000; ++k) many = ref_add(many, exact_limbs(DBL_MAX));
    EXPECT_EQ(vx::finish(by_extend(runs[0])).limbs, many);
}

TEST(FastSum, NonFiniteValuesSetFlagsAndCount) {
    const std::vector<double> xs = {NAN, 2.5, INFINITY, -0.0, -INFINITY};
    for (const FastSumF64& f : {by_add(xs), by_extend(xs)}) {
        const SumF64 s = vx::finish(f);
        EXPECT_EQ(s.flags, vx::kAllFlags);
        EXPECT_EQ(s.count, 5u);
        EXPECT_EQ(s.limbs, exact_limbs(2.5));
        EXPECT_TRUE(same(vx::value(s), dbl(0x7FF8000000000000)));
    }
    FastSumF64 f = by_extend({INFINITY, 1.0});  // one infinity decides the value
    EXPECT_TRUE(same(vx::value(vx::finish(f)), double(INFINITY)));
}

TEST(FastSum, CountSaturates) {
    FastSumF64 f;
    f.count = UINT64_MAX - 2;
    f = by_add({1.0, 2.0}, f);
    EXPECT_EQ(vx::count(f), UINT64_MAX);
    f = by_add({3.0}, f);
    f = by_extend(std::vector<double>(10, 1.0), f);
    EXPECT_EQ(vx::finish(f).count, UINT64_MAX);
    FastSumF64 g;
    g.count = UINT64_MAX - 3;
    EXPECT_EQ(vx::count(by_extend(std::vector<double>(5000, 1.0), g)), UINT64_MAX);
}

TEST(FastSum, FinishLeavesTheObjectAlone) {
    Rng r(34);
    const auto xs = awkward_values(r, 700, true), ys = awkward_values(r, 5000, true);
    FastSumF64 f = by_add(xs);
    ASSERT_NE(f.pending, 0u);
    const FastSumF64 before = f;
    const auto first = vx::encode(vx::finish(f));
    expect_same_object(f, before);
    EXPECT_EQ(vx::encode(vx::finish(f)), first);
    EXPECT_EQ(first, vx::encode(reference(xs)));
    f = by_add(ys, by_extend(ys, f));
    EXPECT_EQ(vx::encode(vx::finish(f)), vx::encode(reference(ys, reference(ys, reference(xs)))));
}

TEST(FastSum, AddFoldsOnceEvery512Values) {
    FastSumF64 f = by_add(std::vector<double>(511, 1.0));
    EXPECT_EQ(f.pending, 511u);
    EXPECT_EQ(f.limbs, Limbs{});
    f = by_add({1.0}, f);
    EXPECT_EQ(f.pending, 0u);
    EXPECT_EQ(f.limbs, exact_limbs(512.0));
    const FastSumF64 before = by_add({3.0}, f);
    expect_same_object(by_extend({}, before), before);
    EXPECT_EQ(vx::encode(vx::finish(FastSumF64{})), vx::encode(SumF64{}));
}
