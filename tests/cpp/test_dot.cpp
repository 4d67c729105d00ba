// DotF64: exact products, the inexact-product flag, banked extend == push.
#include <algorithm>
#include <cfloat>

#include "assertion.hpp"
#include "dot.hpp"
#include "support.hpp"

using namespace vxt;
using vx::DotF64;

namespace {

DotF64 pushed(const std::vector<double>& xs, const std::vector<double>& ys, DotF64 d = {}) {
    for (std::size_t i = 0; i < xs.size(); ++i) vx::push(d, xs[i], ys[i]);
    return d;
}

DotF64 extended(const std::vector<double>& xs, const std::vector<double>& ys, DotF64 d = {}) {
    vx::extend_from_slices(d, xs, ys);
    return d;
}

// Independent statement of when a product of finite factors loses bits:
// it rounds below 2^-1022, or the exact product (held exactly in binary128)
// is not a whole number of units of 2^-1074.
bool expect_lost(double a, double b) {
    const double p = a * b;
    if (a == 0 || b == 0 || !std::isfinite(p)) return false;
    if (std::fabs(p) < 0x1p-1022) return true;
    const f128 q = f128(a) * f128(b);
    return !is_integer((q < 0 ? -q : q) * pow2q(1074));
}

// A double with the given biased exponent and a random fraction whose lowest
// `tz` bits are clear.
double shaped(Rng& r, int biased, int tz) {
    const std::uint64_t f = (r() >> 12) & ~((std::uint64_t(1) << tz) - 1);
    return dbl((r() & 1) << 63 | std::uint64_t(biased) << 52 | f);
}

double pair_value(Rng& r) {
    return (r() & 1) ? awkward(r, true) : windowed(r, uniform(r, 500, 1500), 40);
}

}  // namespace

TEST(Dot, WorkedExamples) {
    const double a = 1 + 0x1p-30, p = a * a;
    const struct { std::vector<double> xs, ys; double want; } cases[] = {
        {{1e16, 1.0, -1e16}, {1.0, 1.0, 1.0}, 1.0},
        {{a, -1.0}, {a, p}, 0x1p-60},
        {{0.1}, {0.1}, 0.010000000000000002},
        {{0.0}, {1e-320}, 0.0},
        {{1e200}, {1e200}, INFINITY},
        {{1e200, -1e200}, {1e200, 1e200}, dbl(0x7FF8000000000000)},
        {{NAN}, {1.0}, dbl(0x7FF8000000000000)},
        {{0.0}, {INFINITY}, dbl(0x7FF8000000000000)},
        {{}, {}, 0.0},
    };
    for (const auto& c : cases) {
        const auto v = vx::dot(c.xs, c.ys);
        ASSERT_TRUE(v.has_value());
        EXPECT_TRUE(same(v.value(), c.want)) << c.xs.size();
        EXPECT_FALSE(pushed(c.xs, c.ys).exactness_lost);
    }
    const auto lost = vx::dot(std::vector<double>{1e-200}, std::vector<double>{1e-200});
    ASSERT_FALSE(lost.has_value());
    EXPECT_STREQ(vx::error_text(lost.error()), "ExactnessLost");
}

TEST(Dot, ProductLosesExactnessAtTheBoundaries) {
    const double up = 1 + 0x1p-52;
    const struct { double a, b; bool lost; } cases[] = {
        {0x1p-511, 0x1p-511, false},  // exactly the smallest normal
        {0x1.d7210076ce2efp-500, 0x1.c6a5377330bdbp-500, true},  // normal, bits below 2^-1074
        {1e-160, 1e-160, true},       // rounds to a subnormal
        {0x1p-537, 0x1p-537, true},   // exactly 2^-1074, but subnormal
        {1e-200, 1e-200, true},       // rounds to zero
        {up, 0x1p-1022, false},       // lowest bits sum to exactly -1074
        {up, up * 0x1p-1022, true},
        {up * 0x1p-485, -up * 0x1p-485, false},  // just below 2^-968: -1074 again
        {up * 0x1p-486, up * 0x1p-485, true},
        {0x1.fffffffffffffp-485, 0x1.fffffffffffffp-486, true},  // largest such product, ~2^-969
        {0.0, 1e-320, false}, {-0.0, dbl(1), false}, {dbl(1), 0.0, false},
        {dbl(1), 0x1p1000, false}, {dbl(3), 0.5, true},  // subnormal factors
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vx::product_loses_exactness(c.a, c.b, c.a * c.b), c.lost) << std::hexfloat << c.a << " " << c.b;
        EXPECT_EQ(expect_lost(c.a, c.b), c.lost) << "oracle " << std::hexfloat << c.a << " " << c.b;
        EXPECT_EQ(pushed({c.a}, {c.b}).exactness_lost, c.lost);
        EXPECT_EQ(extended({c.a}, {c.b}).exactness_lost, c.lost);
    }
}

TEST(Dot, InexactProductFlagMatchesBinary128Oracle) {
    Rng r(21);
    int lost = 0;
    for (int it = 0; it < 40000; ++it) {
        double a, b;
        const int t = uniform(r, -1120, -880);  // unbiased exponent of the product
        if (it % 5 == 0) {  // one subnormal factor
            a = dbl(((r() >> 12) & ~((std::uint64_t(1) << uniform(r, 0, 40)) - 1)) | 1);
            b = shaped(r, std::clamp(t + 1074 + 1023 - uniform(r, 0, 52), 1, 2046), uniform(r, 0, 52));
        } else {
            const int ea = uniform(r, 1, t + 2045);  // keeps the other exponent >= 1
            a = shaped(r, ea, uniform(r, 0, 52));
            b = shaped(r, std::clamp(t + 2046 - ea, 1, 2046), uniform(r, 0, 52));
        }
        const bool want = expect_lost(a, b);
        lost += want;
        ASSERT_EQ(vx::product_loses_exactness(a, b, a * b), want) << std::hexfloat << a << " " << b;
        ASSERT_EQ(pushed({a}, {b}).exactness_lost, want);
        ASSERT_EQ(extended({a, 1.0}, {b, 1.0}).exactness_lost, want);
    }
    EXPECT_GT(lost, 4000);  // both outcomes are well represented
    EXPECT_LT(lost, 36000);
}

// Products sharing one binade sum exactly in binary128, so the correctly
// rounded dot product is binary128's conversion of that sum.  Sometimes the
// rounded first product is subtracted again, leaving its rounding error.
TEST(Dot, ValueMatchesBinary128OnAlignedProducts) {
    Rng r(22);
    for (int it = 0; it < 20000; ++it) {
        const int s = uniform(r, -900, 1021);
        std::vector<double> xs, ys;
        f128 exact = 0;
        for (int k = 0; k < 4; ++k) {
            const int ea = uniform(r, s / 2 - 50, s / 2 + 50);
            double a = shaped(r, ea + 1023, 0), b = shaped(r, s - ea + 1023, 0);
            if (k == 3 && (r() & 1)) a = -(xs[0] * ys[0]), b = 1.0;
            xs.push_back(a);
            ys.push_back(b);
            exact += f128(a) * f128(b);
        }
        const DotF64 d = pushed(xs, ys);
        ASSERT_FALSE(d.exactness_lost);
        ASSERT_TRUE(same(vx::try_value(d).value(), double(exact))) << it;
        ASSERT_EQ(vx::encode(extended(xs, ys)), vx::encode(d));
    }
}

// The banked extend reaches push's state byte for byte, around the bank
// and block sizes, on a non-empty starting state and over several calls.
TEST(Dot, ExtendEqualsPush) {
    Rng r(23);
    for (std::size_t n : {0, 1, 3, 4, 5, 1023, 1024, 1025, 4095, 4096, 4097, 8191, 8192, 8193, 12291}) {
        std::vector<double> xs(n), ys(n);
        for (std::size_t i = 0; i < n; ++i) xs[i] = pair_value(r), ys[i] = pair_value(r);
        if (n > 3) xs[n / 2] = 1e-200, ys[n / 2] = 1e-200;
        const DotF64 start = pushed({3.0, -7.0}, {0.25, 1e300});
        const DotF64 want = pushed(xs, ys, start);
        EXPECT_EQ(vx::encode(extended(xs, ys, start)), vx::encode(want)) << n;
        const std::size_t cut = n / 3;
        DotF64 two = extended({xs.begin(), xs.begin() + cut}, {ys.begin(), ys.begin() + cut}, start);
        two = extended({xs.begin() + cut, xs.end()}, {ys.begin() + cut, ys.end()}, two);
        EXPECT_EQ(vx::encode(two), vx::encode(want)) << n;
        EXPECT_EQ(want.sum.count, 2 * n + 4);
    }
    // Every bank at its capacity with the largest parts a product can have.
    for (double v : {kWorst, -kWorst, DBL_MAX, -DBL_MAX}) {
        std::vector<double> xs(16387, v), ys(16387, 1.0);
        for (std::size_t i = 0; i < xs.size(); i += 97) xs[i] = dbl(1);  // no narrow blocks
        EXPECT_EQ(vx::encode(extended(xs, ys)), vx::encode(pushed(xs, ys)));
    }
}

// Products of similar size, whose parts form narrow blocks, also match push.
TEST(Dot, ExtendEqualsPushOnNarrowProducts) {
    Rng r(26);
    for (int it = 0; it < 300; ++it) {
        const std::size_t n = std::size_t(uniform(r, 1, 700));
        const int ta = uniform(r, 400, 1600), tb = uniform(r, 400, 1600), width = uniform(r, 0, 40);
        std::vector<double> xs(n), ys(n);
        for (std::size_t i = 0; i < n; ++i) xs[i] = windowed(r, ta, width), ys[i] = windowed(r, tb, width);
        ASSERT_EQ(vx::encode(extended(xs, ys)), vx::encode(pushed(xs, ys))) << it;
    }
}

TEST(Dot, UnequalLengthsThrowBeforeAnyChange) {
    DotF64 d = pushed({1.5, 2.0}, {2.0, 1e-300});
    const auto before = vx::encode(d);
    const std::vector<double> one{1.0}, two{1.0, 2.0};
    try {
        vx::extend_from_slices(d, one, two);
        ADD_FAILURE() << "no exception";
    } catch (const vx::AssertionFailure& e) {
        EXPECT_STREQ(e.what(),
                     "assertion `left == right` failed: dot product requires equal-length slices"
                     "\n  left: 1\n right: 2");
    }
    EXPECT_EQ(vx::encode(d), before);
    EXPECT_THROW(vx::dot(two, one), vx::AssertionFailure);
}

TEST(Dot, MergeEqualsPushingEverything) {
    Rng r(24);
    std::vector<double> xs(600), ys(600);
    for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = pair_value(r), ys[i] = pair_value(r);
    const auto want = vx::encode(pushed(xs, ys));
    std::vector<std::size_t> cuts = {0, 100, 101, 350, 600};
    std::vector<DotF64> parts;
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k)
        parts.push_back(extended({xs.begin() + cuts[k], xs.begin() + cuts[k + 1]},
                                 {ys.begin() + cuts[k], ys.begin() + cuts[k + 1]}));
    for (int trial = 0; trial < 5; ++trial) {
        std::shuffle(parts.begin(), parts.end(), r);
        DotF64 m;
        for (const auto& p : parts) vx::merge(m, p);
        EXPECT_EQ(vx::encode(m), want);
    }
    DotF64 clean = pushed({1.0}, {2.0});
    vx::merge(clean, pushed({1e-160}, {1e-160}));
    EXPECT_TRUE(clean.exactness_lost);
    EXPECT_FALSE(vx::try_value(clean).has_value());
}

TEST(Dot, NonFiniteProductsCountTwoAndOnlyFlag) {
    const DotF64 d = pushed({1e200, -1e200, INFINITY, NAN}, {1e200, 1e200, 0.0, 1e-300});
    EXPECT_EQ(d.sum.count, 8u);
    EXPECT_EQ(d.sum.flags, vx::kAllFlags);
    EXPECT_EQ(d.sum.limbs, Limbs{});
    EXPECT_FALSE(d.exactness_lost);
}

TEST(Dot, EncodingAppendsTheFlagByte) {
    Rng r(25);
    for (bool lost : {false, true}) {
        DotF64 d;
        d.sum.limbs = random_limbs(r);
        d.sum.count = r();
        d.sum.flags = vx::kNegInf;
        d.exactness_lost = lost;
        auto bytes = vx::encode(d);
        const auto inner = vx::encode(d.sum);
        EXPECT_TRUE(std::equal(inner.begin(), inner.end(), bytes.begin()));
        EXPECT_EQ(bytes[281], lost ? 1 : 0);
        const auto back = vx::read_dot(bytes.data());
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(vx::encode(*back), bytes);
        for (int last : {2, 3, 255}) {
            auto bad = bytes;
            bad[281] = std::uint8_t(last);
            EXPECT_FALSE(vx::read_dot(bad.data()).has_value()) << last;
        }
        bytes[272] = 0x08;
        EXPECT_FALSE(vx::read_dot(bytes.data()).has_value());
    }
    EXPECT_EQ(vx::encode(DotF64{}), vx::DotBytes{});
}
