// SumF64 / SumF32: exact integer state, merge algebra, rounding, encoding.
#include <algorithm>
#include <cfloat>
#include <map>

#include "support.hpp"

using namespace vxt;
using vx::SumF32;
using vx::SumF64;

namespace {

constexpr std::uint64_t kOnes = ~std::uint64_t(0);

SumF64 sum_of(const std::vector<double>& xs, SumF64 s = {}) {
    for (double x : xs) vx::add(s, x);
    return s;
}

Limbs with(std::map<int, std::uint64_t> entries, std::uint64_t rest = 0) {
    Limbs l;
    l.fill(rest);
    for (auto [k, v] : entries) l[k] = v;
    return l;
}

}  // namespace

TEST(SumF64, AddPlacesValuesAtTheirUnitWeights) {
    const struct { double x; Limbs limbs; } cases[] = {
        {1.0, with({{16, 0x0004000000000000}})},
        {-1.0, [] { Limbs l = with({{16, 0xFFFC000000000000}}, kOnes);
                    std::fill(l.begin(), l.begin() + 16, 0); return l; }()},
        {dbl(1), with({{0, 1}})},
        {DBL_MAX, with({{31, 0xE000000000000000}, {32, 0x0003FFFFFFFFFFFF}})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sum_of({c.x}).limbs, c.limbs) << c.x;
        EXPECT_EQ(exact_limbs(c.x), c.limbs) << c.x;  // the oracle agrees with the layout
    }
}

// Carries and borrows run through every limb and wrap modulo 2^2176.
TEST(SumF64, CarryAndBorrowRunsWrap) {
    const double tiny = dbl(1);
    SumF64 s;
    s.limbs.fill(kOnes);
    vx::add(s, tiny);
    EXPECT_EQ(s.limbs, Limbs{});
    vx::add(s, -tiny);
    EXPECT_EQ(s.limbs, with({}, kOnes));

    s.limbs = with({{21, 0}, {22, 5}}, kOnes);  // carry stops in limb 21, limb 22 untouched
    for (int k = 23; k < vx::kLimbs; ++k) s.limbs[k] = 0;
    vx::add(s, tiny);
    EXPECT_EQ(s.limbs, with({{21, 1}, {22, 5}}));
    vx::add(s, -tiny);  // and the borrow walks back down the same run
    EXPECT_EQ(s.limbs[0], kOnes);
    EXPECT_EQ(s.limbs[20], kOnes);
    EXPECT_EQ(s.limbs[21], 0u);
}

// add(x) on any state is integer addition of x's exact unit count.
TEST(SumF64, AddIsExactIntegerAdditionOnAnyState) {
    Rng r(1);
    for (int it = 0; it < 20000; ++it) {
        SumF64 s;
        s.limbs = random_limbs(r);
        const Limbs before = s.limbs;
        const double x = awkward(r, false);
        vx::add(s, x);
        ASSERT_EQ(s.limbs, ref_add(before, exact_limbs(x))) << std::hexfloat << x;
        vx::add(s, -x);
        ASSERT_EQ(s.limbs, before) << std::hexfloat << x;
        ASSERT_EQ(s.count, 2u);
        ASSERT_EQ(s.flags, 0);
    }
}

TEST(SumF64, ZerosOnlyCountAndNonFiniteOnlyFlag) {
    Rng r(2);
    SumF64 s;
    s.limbs = random_limbs(r);
    const Limbs before = s.limbs;
    const struct { double x; std::uint8_t flags; } steps[] = {
        {0.0, 0}, {-0.0, 0}, {INFINITY, vx::kPosInf}, {-INFINITY, vx::kPosInf | vx::kNegInf},
        {-NAN, vx::kAllFlags}, {dbl(0x7FF0000000000001), vx::kAllFlags}};
    std::uint64_t n = 0;
    for (const auto& st : steps) {
        vx::add(s, st.x);
        EXPECT_EQ(s.limbs, before);
        EXPECT_EQ(s.flags, st.flags);
        EXPECT_EQ(s.count, ++n);
    }
    EXPECT_TRUE(same(vx::value(sum_of({-0.0, 0.0, -0.0})), 0.0));
    EXPECT_TRUE(same(vx::value(SumF64{}), 0.0));
}

// The borrow chain of sub_limbs undoes the carry chain of add_limbs for
// every pair of states, including runs of 0 and all-ones limbs.
TEST(SumF64, SubLimbsInvertsAddLimbs) {
    Rng r(3);
    for (int it = 0; it < 50000; ++it) {
        const Limbs a = random_limbs(r), b = random_limbs(r);
        Limbs x = a;
        vx::add_limbs(x, b);
        ASSERT_EQ(x, ref_add(a, b));
        vx::sub_limbs(x, b);
        ASSERT_EQ(x, a);
        vx::sub_limbs(x, b);
        ASSERT_EQ(x, ref_add(a, ref_neg(b)));
        vx::add_limbs(x, b);
        ASSERT_EQ(x, a);
    }
}

TEST(SumF64, UnmergeRestoresMergedState) {
    Rng r(4);
    for (int it = 0; it < 5000; ++it) {
        SumF64 a, b;
        a.limbs = random_limbs(r);
        b.limbs = random_limbs(r);
        a.count = r() >> 1;
        b.count = r() >> 1;
        a.flags = std::uint8_t(r() & vx::kAllFlags);
        SumF64 m = a;
        vx::merge(m, b);
        ASSERT_TRUE(vx::try_unmerge(m, b));
        ASSERT_EQ(vx::encode(m), vx::encode(a));
    }
}

TEST(SumF64, UnmergeRefusesFlaggedOrLargerOthersAndLeavesStateAlone) {
    const SumF64 a = sum_of({1.0, 2.0, 3.0});
    for (std::uint8_t f : {vx::kNan, vx::kPosInf, vx::kNegInf}) {
        SumF64 other = sum_of({1.0}), s = a;
        other.flags = f;
        EXPECT_FALSE(vx::try_unmerge(s, other));
        EXPECT_EQ(vx::encode(s), vx::encode(a));
    }
    SumF64 s = a;
    EXPECT_FALSE(vx::try_unmerge(s, sum_of({1.0, 1.0, 1.0, 1.0})));
    EXPECT_EQ(vx::encode(s), vx::encode(a));

    // A contribution that was never merged is still subtracted: 6 - 10 = -4.
    EXPECT_TRUE(vx::try_unmerge(s, sum_of({10.0})));
    EXPECT_EQ(s.count, 2u);
    EXPECT_TRUE(same(vx::value(s), -4.0));
}

// Any order of adds and any grouping of merges reach the same bytes.
TEST(SumF64, OrderAndGroupingDoNotMatter) {
    Rng r(6);
    auto xs = awkward_values(r, 3000, true);
    const auto reference = vx::encode(sum_of(xs));
    for (int trial = 0; trial < 20; ++trial) {
        std::shuffle(xs.begin(), xs.end(), r);
        std::vector<SumF64> parts;
        for (std::size_t i = 0; i < xs.size();) {
            const std::size_t n = std::min<std::size_t>(xs.size() - i, uniform(r, 0, 400));
            parts.push_back(sum_of(std::vector<double>(xs.begin() + i, xs.begin() + i + n)));
            i += n;
        }
        while (parts.size() > 1) {  // merge random neighbours, like a random tree
            const std::size_t k = uniform(r, 0, int(parts.size()) - 2);
            vx::merge(parts[k], parts[k + 1]);
            parts.erase(parts.begin() + k + 1);
        }
        ASSERT_EQ(vx::encode(parts[0]), reference);
    }
    std::vector<double> big = {1e308, 1e308, -1e308, -1e308};
    std::sort(big.begin(), big.end());
    do {
        const SumF64 s = sum_of(big);
        EXPECT_EQ(s.limbs, Limbs{});
        EXPECT_EQ(s.count, 4u);
    } while (std::next_permutation(big.begin(), big.end()));
}

TEST(SumF64, SumsBeyondTheBinary64RangeStayExact) {
    SumF64 s = sum_of(std::vector<double>(10, 1e308));
    Limbs ten{};
    for (int k = 0; k < 10; ++k) ten = ref_add(ten, exact_limbs(1e308));
    EXPECT_EQ(s.limbs, ten);
    EXPECT_TRUE(same(vx::value(s), double(INFINITY)));
    s = sum_of(std::vector<double>(10, -1e308), s);
    EXPECT_EQ(s.limbs, Limbs{});
    EXPECT_EQ(s.count, 20u);
}

TEST(SumF64, CountSaturates) {
    SumF64 s;
    s.count = UINT64_MAX - 1;
    s = sum_of({1.0, NAN, 0.0}, s);
    EXPECT_EQ(s.count, UINT64_MAX);
    SumF64 t;
    t.count = 7;
    vx::merge(t, s);
    EXPECT_EQ(t.count, UINT64_MAX);
}

TEST(Rounding, WorkedExamples) {
    const double two53 = 0x1p53, maxd = DBL_MAX, tiny = dbl(1);
    const struct { std::vector<double> xs; double want; } cases[] = {
        {{}, 0.0},
        {{-0.0}, 0.0},
        {{-1.0, 1.0}, 0.0},
        {{0.1, 0.2}, 0.30000000000000004},
        {{1e16, 1.0, -1e16}, 1.0},
        {{two53, 1.0}, two53},
        {{two53, 3.0}, two53 + 4},
        {{two53, 1.0, tiny}, two53 + 2},
        {{two53, 1.0, -tiny}, two53},
        {{1e308, 1e308}, INFINITY},
        {{-1e308, -1e308}, -INFINITY},
        {{maxd, 0x1p970}, INFINITY},             // half an ulp above the top: tie to even
        {{maxd, 0x1p970, -tiny}, maxd},          // one unit short of the tie
        {{maxd, 0x1p970, -0x1p970, 0x1.fffffffffffffp969}, maxd},
        {{-tiny}, -tiny},
        {{0x1p-1022, -tiny}, dbl(0x000FFFFFFFFFFFFF)},
        {{0x1p-1022, -0x1p-1022, 0x1p-1023}, 0x1p-1023},
    };
    for (const auto& c : cases) EXPECT_TRUE(same(vx::value(sum_of(c.xs)), c.want)) << c.xs.size();
}

TEST(Rounding, FlagsDecideTheValue) {
    const double qnan = dbl(0x7FF8000000000000);
    const struct { std::vector<double> xs; double want; } cases[] = {
        {{NAN}, qnan}, {{-NAN, 1.0}, qnan}, {{INFINITY, -INFINITY}, qnan},
        {{NAN, INFINITY}, qnan}, {{INFINITY, -1e308, -1e308}, INFINITY},
        {{-INFINITY, 1e308, 1e308}, -INFINITY}};
    for (const auto& c : cases) EXPECT_TRUE(same(vx::value(sum_of(c.xs)), c.want));
    SumF32 f;
    vx::add(f, INFINITY);
    vx::add(f, -INFINITY);
    EXPECT_TRUE(same(vx::value(f), std::bit_cast<float>(0x7FC00000u)));
}

// Values whose bits all fit one 106-bit window sum exactly in binary128;
// the compiler's binary128 conversions then give the correctly rounded sums.
TEST(Rounding, MatchesBinary128OnWindowedSums) {
    Rng r(7);
    for (int it = 0; it < 40000; ++it) {
        std::vector<double> xs;
        const bool near_tie = it % 3 == 0;
        if (near_tie) {  // x, +-half an ulp of x, and maybe a tiny nudge
            const int top = uniform(r, 60, 2046);
            xs = {windowed(r, top, 0), std::ldexp((r() & 1) ? 1.0 : -1.0, top - 1076)};
            if (r() & 1) xs.push_back(std::ldexp((r() & 1) ? 1.0 : -1.0, top - 1076 - uniform(r, 1, 50)));
        } else {
            const int top = (r() & 3) ? uniform(r, 0, 2046) : uniform(r, 0, 60);
            for (int n = uniform(r, 1, 8); n > 0; --n) xs.push_back(windowed(r, top, 50));
        }
        f128 exact = 0;
        for (double x : xs) exact += f128(x);
        const SumF64 s = sum_of(xs);
        ASSERT_TRUE(same(vx::value(s), double(exact))) << it;
        ASSERT_TRUE(same(vx::value(SumF32{s}), float(exact))) << it;
    }
}

TEST(Rounding, Binary32RangeMatchesBinary128) {
    Rng r(8);
    for (int it = 0; it < 40000; ++it) {
        std::vector<double> xs;
        const int top = uniform(r, 1023 - 160, 1023 + 130);
        for (int n = uniform(r, 1, 6); n > 0; --n) xs.push_back(windowed(r, top, 50));
        f128 exact = 0;
        for (double x : xs) exact += f128(x);
        ASSERT_TRUE(same(vx::value(SumF32{sum_of(xs)}), float(exact))) << it;

        SumF32 f;  // finite binary32 inputs through SumF32's own add
        f128 fexact = 0;
        for (double x : xs) {
            vx::add(f, float(x));
            fexact += f128(float(x));
        }
        if (!f.inner.flags) {
            ASSERT_TRUE(same(vx::value(f), float(fexact))) << it;
        }
    }
}

// round_mag on arbitrary magnitudes, against round-to-odd in binary128.
TEST(Rounding, RoundMagMatchesOddRoundingOracle) {
    Rng r(9);
    for (int it = 0; it < 30000; ++it) {
        Limbs m{};
        if (it % 2) {
            m = random_limbs(r);
            for (int k = uniform(r, 0, vx::kLimbs); k < vx::kLimbs; ++k) m[k] = 0;
        } else {  // a few bits, clustered around the rounding positions
            const int h = uniform(r, 0, 2175);
            m[h / 64] |= std::uint64_t(1) << (h % 64);
            for (int n = uniform(r, 0, 4); n > 0; --n) {
                const int k = std::max(0, (r() & 1) ? h - uniform(r, 20, 60) : uniform(r, 0, h));
                m[k / 64] |= std::uint64_t(1) << (k % 64);
            }
        }
        const bool neg = r() & 1;
        const f128 q = odd_rounded(m, neg);
        ASSERT_TRUE(same(vx::round_mag(m, neg, 52, -1022, 1023), double(q))) << it;
        ASSERT_TRUE(same(vx::round_mag(m, neg, 23, -126, 127), double(float(q)))) << it;
        SumF64 s;  // value() of a signed state: magnitude and sign of the integer
        s.limbs = neg ? ref_neg(m) : m;
        if (!bit_of(m, 2175)) {
            ASSERT_TRUE(same(vx::value(s), double(q))) << it;
        }
    }
}

TEST(Rounding, Binary32Examples) {
    const float fmax = FLT_MAX;
    const struct { std::vector<float> xs; float want; } cases[] = {
        {{0x1p24f, 1.0f}, 0x1p24f},
        {{0x1p24f, 3.0f}, 0x1p24f + 4},
        {{0.1f, 0.2f}, 0.30000001192092896f},
        {{fmax, fmax}, INFINITY},
        {{-fmax, -fmax}, -INFINITY},
        {{0x1p-126f, -0x1p-149f}, 0x1.fffffcp-127f},  // the largest subnormal, exact
    };
    for (const auto& c : cases) {
        SumF32 s;
        for (float x : c.xs) vx::add(s, x);
        EXPECT_TRUE(same(vx::value(s), c.want));
    }
    // States that SumF32's own add cannot reach, decoded from binary64 sums.
    const struct { std::vector<double> xs; float want; } decoded[] = {
        {{-0x1p-150}, -0.0f},
        {{-0x1p-150, -dbl(1)}, -0x1p-149f},
        {{0x1p-150}, 0.0f},
        {{0x1p-126, -0x1p-150}, 0x1p-126f},  // subnormal tie carries into the normal range
        {{0x1p-126, -0x1p-149, -0x1p-150}, 0x1.fffff8p-127f},
    };
    for (const auto& c : decoded) {
        const auto bytes = vx::encode(sum_of(c.xs));
        EXPECT_TRUE(same(vx::value(*vx::read_sum32(bytes.data())), c.want));
    }
}

// Half an ulp above the largest finite value is a tie that rounds to the even
// significand 2^(p+1), one exponent too high: infinity, in either format.
TEST(Rounding, RoundMagOverflowsFromTheTieAboveTheLargestValue) {
    const struct { double max, half; int p, emin, emax; } formats[] = {
        {DBL_MAX, 0x1p970, 52, -1022, 1023}, {FLT_MAX, 0x1p103, 23, -126, 127}};
    for (const auto& f : formats) {
        const Limbs tie = ref_add(exact_limbs(f.max), exact_limbs(f.half));
        const Limbs below = ref_add(tie, ref_neg(exact_limbs(dbl(1))));
        for (bool neg : {false, true}) {
            const double sign = neg ? -1.0 : 1.0;
            EXPECT_TRUE(same(vx::round_mag(tie, neg, f.p, f.emin, f.emax), sign * INFINITY)) << f.p;
            EXPECT_TRUE(same(vx::round_mag(below, neg, f.p, f.emin, f.emax), sign * f.max)) << f.p;
        }
    }
}

TEST(Negate, IsTwosComplementNegation) {
    Rng r(10);
    for (int it = 0; it < 5000; ++it) {
        const Limbs a = random_limbs(r);
        ASSERT_EQ(vx::negate(a), ref_neg(a));
        ASSERT_EQ(vx::negate(vx::negate(a)), a);
        const double x = awkward(r, false);
        ASSERT_EQ(vx::negate(sum_of({x}).limbs), sum_of({-x}).limbs);
    }
    EXPECT_EQ(vx::negate(Limbs{}), Limbs{});
    const Limbs most_negative = with({{33, std::uint64_t(1) << 63}});
    EXPECT_EQ(vx::negate(most_negative), most_negative);
}

TEST(Encoding, LittleEndianLayout) {
    auto e = vx::encode(sum_of({1.0}));
    vx::SumBytes want{};
    want[134] = 0x04;
    want[273] = 0x01;
    EXPECT_EQ(e, want);

    e = vx::encode(sum_of({-1.0}));
    want.fill(0xFF);
    std::fill(want.begin(), want.begin() + 134, 0);
    want[134] = 0xFC;
    want[272] = 0;
    std::fill(want.begin() + 273, want.end(), 0);
    want[273] = 1;
    EXPECT_EQ(e, want);

    EXPECT_EQ(vx::encode(sum_of({NAN}))[272], 0x01);
    EXPECT_EQ(vx::encode(sum_of({INFINITY, -INFINITY}))[272], 0x06);

    SumF64 s;
    s.limbs[5] = 0x1122334455667788;
    s.count = 0x0102030405060708;
    e = vx::encode(s);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(e[40 + k], 0x88 - 0x11 * k);
        EXPECT_EQ(e[273 + k], 8 - k);
    }
}

TEST(Encoding, RoundTripAndFlagByteCheck) {
    Rng r(11);
    for (int it = 0; it < 300; ++it) {
        SumF64 s;
        s.limbs = random_limbs(r);
        s.flags = std::uint8_t(it & 7);
        s.count = it % 5 ? r() : UINT64_MAX;
        auto bytes = vx::encode(s);
        const auto back = vx::read_sum(bytes.data());
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->limbs, s.limbs);
        EXPECT_EQ(back->flags, s.flags);
        EXPECT_EQ(back->count, s.count);
        EXPECT_EQ(vx::encode(*vx::read_sum32(bytes.data())), bytes);
        EXPECT_EQ(vx::encode(SumF32{s}), bytes);
        for (int f = 8; f < 256; ++f) {
            bytes[272] = std::uint8_t(f);
            ASSERT_FALSE(vx::read_sum(bytes.data()).has_value()) << f;
            ASSERT_FALSE(vx::read_sum32(bytes.data()).has_value()) << f;
        }
    }
    vx::SumBytes odd{};  // limbs no sequence of adds could build still decode
    for (int k = 264; k < 271; ++k) odd[k] = 0xFF;
    odd[271] = 0x7F;
    EXPECT_TRUE(same(vx::value(*vx::read_sum(odd.data())), double(INFINITY)));
}
