// The core against independent oracles (binary128 arithmetic, the hardware's conversions): every fast path
// reaches the state of per-value adds byte for byte, and fixed inputs give the same receipts on every machine.
#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "arrays/bulk.hpp"
#include "base/binary32.hpp"
#include "exact/dot.hpp"
#include "exact/fast.hpp"
#include "receipt/receipt.hpp"
#include "stats/deferred.hpp"

namespace {

using vx::DotF64, vx::FastSumF64, vx::Limbs, vx::SumF32, vx::SumF64;
using Doubles = std::vector<double>;
#if defined(__aarch64__)
using f128 = long double;  // binary128 there
#else
using f128 = __float128;
#endif
using Rng = std::mt19937_64;

double dbl(std::uint64_t b) { return std::bit_cast<double>(b); }
std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }  // exact: -0.0 != 0.0
std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
int uniform(Rng& r, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(r); }
f128 pow2q(int e) { return std::bit_cast<f128>((unsigned __int128)(e + 16383) << 112); }  // normal e only

// Random sign and fraction, biased exponent max(0, top - [0, width]): one window of width + 53 bits.
double windowed(Rng& r, int top, int width) {
    const std::uint64_t e = std::max(0, top - uniform(r, 0, width)), f = r() >> 12;
    return dbl((r() & 1) << 63 | e << 52 | f);
}

// The finite value whose split adds 2^52 - 1 to one digit: the fastest digit growth.
const double kWorst = dbl(std::uint64_t(2016) << 52 | ((std::uint64_t(1) << 52) - 1));

// Zeros, +-DBL_MAX, +-kWorst, subnormals, small integers and random finite patterns; one in 64 is a NaN (quiet
// or signalling) or an infinity.
Doubles awkward(Rng& r, std::size_t n) {
    const double fixed[] = {0.0, DBL_MAX, kWorst, NAN, dbl(0x7FF0000000000001), INFINITY};
    Doubles xs(n);
    for (auto& x : xs) {
        const std::uint64_t b = r(), k = r() % 64, e = (b >> 52) & 0x7FF;
        x = k == 0 ? fixed[3 + b % 3] : k < 16 ? fixed[k % 3] : k < 24 ? dbl(b >> 12)
            : k < 32 ? double(b >> 54) : dbl(e == 0x7FF ? b & ~(1ull << 62) : b);
        if (r() & 1) x = -x;
    }
    return xs;
}

// A 2176-bit state: random limbs, or a run of 0 or all-ones limbs (the longest carry and borrow chains) above
// random low limbs, with a few boundary limbs.
Limbs random_limbs(Rng& r) {
    Limbs l;
    for (auto& w : l) w = r();
    if (r() & 1) return l;
    std::fill(l.begin() + std::max(0, uniform(r, -8, vx::kLimbs)), l.end(), (r() & 1) ? ~0ull : 0);
    const std::uint64_t edge[] = {0, ~0ull, 1, ~0ull - 1, ~0ull >> 1, 1ull << 63};
    for (int n = uniform(r, 0, 2); n > 0; --n) l[uniform(r, 0, vx::kLimbs - 1)] = edge[uniform(r, 0, 5)];
    return l;
}

SumF64 sum_of(const Doubles& xs, SumF64 s = {}) {
    for (double x : xs) vx::add(s, x);
    return s;
}

DotF64 pushed(const Doubles& xs, const Doubles& ys, DotF64 d = {}) {
    for (std::size_t i = 0; i < xs.size(); ++i) vx::push(d, xs[i], ys[i]);
    return d;
}

DotF64 extended(const Doubles& xs, const Doubles& ys, DotF64 d = {}) {
    vx::extend_from_slices(d, xs, ys);
    return d;
}

}  // namespace

// The fast paths equal per-value adds and pushes byte for byte at the lane, block, add-fold, held-block and
// bank-capacity lengths.  FastSumF64: adds; adds, an extend and adds from a count near saturation; banked_sum onto
// a carry-heavy state.  Its runs fill the banks (+-DBL_MAX; +-kWorst, a tiny value every 251 so that no block is
// narrow) or the held lanes' headroom (2 - 2^-43: 513 in one lane would round), are awkward for the banks, or
// extract: segments a few binades below one of two tops, of changing width (so level count), of one or mixed
// signs, with zeros and largest significands.  DotF64's extend from a non-empty start: on random pairs (one
// inexact), and on narrow products of one sign (which may overflow) from a count near saturation.
class FastPaths : public ::testing::TestWithParam<int> {};

TEST_P(FastPaths, EqualPerValueAddsAndPushes) {
    const int n = GetParam();
    const double extreme[] = {DBL_MAX, -DBL_MAX, kWorst, -kWorst, 0x1.ffffffffffep0, -0x1.ffffffffffep-1000};
    Rng r(n);
    for (int trial = 0; trial < 40; ++trial) {
        const int zone = uniform(r, 0, 3), signs = uniform(r, 0, 2);
        const auto pick = [&] { return zone ? uniform(r, zone == 1 ? 2030 : 1, 2046) : uniform(r, 0, 70); };
        const int tops[] = {pick(), pick()};
        Doubles xs = trial < 6 ? Doubles(n, extreme[trial]) : awkward(r, n);
        for (int i = 0; (trial == 2 || trial == 3) && i < n; i += 251) xs[i] = dbl(1);
        for (int i = 0, top = 0, width = 0; trial >= 6 && trial % 8 && i < n; ++i) {
            if (i % 600 == 0) top = tops[r() & 1], width = uniform(r, 0, 3) ? uniform(r, 0, 150) : 0;
            xs[i] = uniform(r, 0, 19) ? windowed(r, top, width) : 0.0;
            if (uniform(r, 0, 9) == 0) xs[i] = dbl(bits(xs[i]) | 0x000FFFFFFFFFFFFF);
            if (signs) xs[i] = signs == 1 ? std::fabs(xs[i]) : -std::fabs(xs[i]);
        }
        FastSumF64 added, mixed;
        for (double x : xs) vx::add(added, x);
        const std::size_t j = uniform(r, 0, n), i = uniform(r, 0, int(j));
        mixed.count = UINT64_MAX - i;
        for (std::size_t k = 0; k < i; ++k) vx::add(mixed, xs[k]);
        vx::extend_from_slice(mixed, std::span(xs).subspan(i, j - i));
        for (std::size_t k = j; k < xs.size(); ++k) vx::add(mixed, xs[k]);
        SumF64 start, want = sum_of(xs), got = vx::finish(mixed);
        Limbs limbs = start.limbs = random_limbs(r);
        const std::uint8_t flags = vx::banked_sum(xs, limbs);
        ASSERT_EQ(vx::encode(vx::finish(added)), vx::encode(want)) << trial;
        ASSERT_TRUE(got.limbs == want.limbs && got.flags == want.flags && got.count == UINT64_MAX) << trial;
        ASSERT_TRUE(limbs == sum_of(xs, start).limbs && flags == want.flags) << trial;
        FastSumF64 split;  // cut into up to 7 parts, one thread each, merged
        vx::extend_split(split, xs, unsigned(1 + trial % 7));
        ASSERT_EQ(vx::encode(vx::finish(split)), vx::encode(want)) << trial;
    }
    for (bool narrow : {false, true}) {
        Doubles xs = awkward(r, n), ys = awkward(r, n);
        // Tops mostly mid-range, else at either end (windows on the first and last pairs; overflow, underflow).
        const auto top = [&] { return uniform(r, 0, 2) ? uniform(r, 400, 1600) : (r() & 1) ? 2046 : uniform(r, 1, 60); };
        const int ta = top(), tb = top(), w = uniform(r, 0, 40);
        const double sy = (r() & 1) ? -1.0 : 1.0;
        for (int i = 0; i < n; ++i) {
            if (narrow) xs[i] = std::fabs(windowed(r, ta, w)), ys[i] = sy * std::fabs(windowed(r, tb, w));
            if (!narrow && (r() & 1)) xs[i] = windowed(r, uniform(r, 500, 1500), 40);
            if (!narrow && (r() & 1)) ys[i] = windowed(r, uniform(r, 500, 1500), 40);
        }
        if (!narrow && n > 3) xs[n / 2] = ys[n / 2] = 1e-200;
        // Deferred adds, settled at random points, equal the adds one by one (from counts near saturation
        // when narrow): a run splits at kRun calls, a bank folds at its capacity.
        vx::CovF64 cov_want, cov_got;
        vx::MomentsF64 mom_want, mom_got;
        SumF64 sum_want, sum_got;
        vx::DeferredCovAdds cov;
        vx::DeferredMomentsAdds mom;
        vx::DeferredSumAdds sum;
        if (narrow) cov_want.sum_x.count = cov_got.sum_x.count = sum_want.count = sum_got.count = UINT64_MAX - n / 2;
        for (int i = 0; i <= n; ++i) {
            if (i == n || r() % 700 == 0) {
                cov.settle(cov_got), mom.settle(mom_got), sum.settle(sum_got);
                ASSERT_TRUE(cov.empty() && mom.empty() && sum.empty());
                ASSERT_EQ(vx::encode(cov_got), vx::encode(cov_want)) << i;
                ASSERT_EQ(vx::encode(mom_got), vx::encode(mom_want)) << i;
                ASSERT_EQ(vx::encode(sum_got), vx::encode(sum_want)) << i;
            }
            if (i == n) break;
            vx::add(cov_want, xs[i], ys[i]), vx::add(mom_want, ys[i]), vx::add(sum_want, xs[i]);
            cov.push(cov_got, xs[i], ys[i]), mom.push(mom_got, ys[i]), sum.push(sum_got, xs[i]);
        }
        DotF64 start = pushed({3.0, -7.0}, {0.25, 1e300});
        if (narrow) start.sum.count = UINT64_MAX - n;
        const DotF64 want = pushed(xs, ys, start);
        ASSERT_EQ(vx::encode(extended(xs, ys, start)), vx::encode(want)) << narrow;
        vx::extend_split(start, xs, ys, narrow ? 5 : 2);
        ASSERT_EQ(vx::encode(start), vx::encode(want)) << narrow;
        ASSERT_EQ(want.sum.count, narrow ? UINT64_MAX : 2 * n + 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, FastPaths, ::testing::Values(0, 1, 3, 5, 7, 9, 255, 256, 257, 511, 513, 1000,
                                                                  2049, 4095, 4097, 5000, 8193, 16387));

// A product of finite factors loses bits when it rounds below 2^-1022 or when the exact product (exact in
// binary128) is not a whole number of units of 2^-1074; otherwise push holds it exactly, rounding error included.
// Boundary rows, then products mostly from 2^-1120 to 2^-880, else up to overflow, with random trailing zeros and
// subnormal factors.
TEST(Dot, ProductLosesExactnessMatchesBinary128Oracle) {
    const double up = 1 + 0x1p-52, top = 0x1.fffffffffffffp-485;
    const struct { double a, b; bool lost; } rows[] = {
        {0x1p-511, 0x1p-511, false}, {0x1.d7210076ce2efp-500, 0x1.c6a5377330bdbp-500, true},
        {1e-160, 1e-160, true}, {0x1p-537, 0x1p-537, true}, {1e-200, 1e-200, true},
        {up, 0x1p-1022, false}, {up, up * 0x1p-1022, true}, {up * 0x1p-485, -up * 0x1p-485, false},
        {up * 0x1p-486, up * 0x1p-485, true}, {top, top / 2, true}, {0.0, 1e-320, false},
        {-0.0, dbl(1), false}, {dbl(1), 0x1p1000, false}, {dbl(3), 0.5, true}};
    const int nrows = int(std::size(rows));
    const auto shaped = [](Rng& r, int biased, int zeros) {
        return dbl((r() & 1) << 63 | std::uint64_t(biased) << 52 | ((r() >> 12) & (~0ull << zeros)));
    };
    Rng r(21);
    for (int it = 0; it < 40000; ++it) {
        const int t = it % 4 ? uniform(r, -1120, -880) : uniform(r, -1000, 1023);  // of the product
        const int ea = uniform(r, std::max(1, t + 1), std::min(2046, t + 2045));
        double a = shaped(r, ea, uniform(r, 0, 52));
        double b = shaped(r, std::clamp(t + 2046 - ea, 1, 2046), uniform(r, 0, 52));
        if (it % 5 == 0) {
            a = dbl(((r() >> 12) & (~0ull << uniform(r, 0, 40))) | 1);
            b = shaped(r, std::clamp(t + 2097 - uniform(r, 0, 52), 1, 2046), uniform(r, 0, 52));
        }
        if (it < nrows) a = rows[it].a, b = rows[it].b;
        const double p = a * b;
        const f128 q = f128(a) * f128(b), u = (q < 0 ? -q : q) * pow2q(1074), big = pow2q(112);
        const bool want = a != 0 && b != 0 && (std::fabs(p) < 0x1p-1022 || (u < big && (u + big) - big != u));
        ASSERT_TRUE(it >= nrows || want == rows[it].lost) << "oracle, row " << it;
        ASSERT_EQ(vx::product_loses_exactness(a, b, p), want) << std::hexfloat << a << " " << b;
        ASSERT_EQ(pushed({a}, {b}).exactness_lost, want);
        ASSERT_EQ(extended({a, 1.0}, {b, 1.0}).exactness_lost, want);
        const auto e = vx::try_value(pushed({a, p}, {b, -1.0}));  // the rounding error of p alone
        ASSERT_TRUE(want || !std::isfinite(p) || bits(e.value()) == bits(double(q - f128(p))));
    }
}

// The bit-pattern conversions equal the hardware's in the default environment, on every binary32 pattern's
// neighbourhood: each float widened, and doubles at, beside and between binary32 values (ties of every binade,
// subnormal ones included, and the overflow boundary) narrowed.
TEST(Binary32, ConversionsMatchTheHardware) {
    Rng r(9);
    for (std::uint64_t k = 0; k < (1ull << 32); k += 1 + (r() & 0x3FFF)) {
        const float f = std::bit_cast<float>(std::uint32_t(k));
        const double w = vx::widen(f), tie = (w + vx::widen(std::nextafter(f, INFINITY))) / 2;  // exact: 25 bits
        ASSERT_TRUE(std::isnan(f) ? std::isnan(w) : bits(w) == bits(double(f))) << k;
        for (double x : {w, std::nextafter(w, 0.0), std::nextafter(w, INFINITY), tie, std::nextafter(tie, 0.0),
                         std::nextafter(tie, INFINITY), dbl(bits(w) + (r() >> 35))})
            ASSERT_TRUE(std::isnan(x) || bits(vx::narrow(x)) == bits(float(x))) << std::hexfloat << x;
    }
    for (double x : {0x1p-150, -0x1p-150, 0x1.000001p-150, 0x1.8p-149, -0x1.cp-148, 0x1.ffffffp127, 0x1p-1074,
                     DBL_MAX, -DBL_MIN})
        ASSERT_EQ(bits(vx::narrow(x)), bits(float(x))) << std::hexfloat << x;
}

// Receipts of a fixed corpus of operations, built only from integer draws: the same on every machine, compiler and
// instruction set.  The cross build under qemu checks them on aarch64.
TEST(Receipts, FixedCorpusIsMachineIndependent) {
    Rng r(2024);
    SumF64 s;
    FastSumF64 f;
    DotF64 d;
    Doubles xs;
    for (int i = 0; i < 5000; ++i) {  // normal values of every exponent; one in eight subnormal
        const std::uint64_t kind = r() % 8, fraction = r(), exponent = r() % 2046 + 1;
        xs.push_back(dbl(kind ? (fraction & ~(0x7FFull << 52)) | exponent << 52 : fraction >> 12));
    }
    for (double x : xs) vx::add(s, x), vx::add(f, x);
    vx::extend_from_slice(f, xs);
    vx::extend_from_slices(d, xs, Doubles(xs.rbegin(), xs.rend()));
    for (int i = 0; i < 64; ++i) vx::push(d, xs[std::size_t(i)], dbl(0x3FF0000000000000 | r() >> 12));  // in [1, 2)
    std::string hex;
    for (const auto& digest : {vx::state_hash(s), vx::state_hash(vx::finish(f)), vx::state_hash(d)})
        for (std::uint8_t b : digest) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    EXPECT_EQ(hex, "b73c4817e98960ed1f18ec8e125becd3fa07a39d29afe049ac0ee96cfebdfbf7"
                   "f3b582930910f139b8efc1cd6321b5e14a7a44f36b95dd290ffb5666b481ef78"
                   "395bc2872ae53b888b89d73c0a39dccc15e94b0bd9f45440b922deb6d7672cfb");
}

// Flush-to-zero with denormals-are-zero, or a directed rounding mode, changes no state or value.
void set_flush_to_zero() {
#if defined(__x86_64__)
    __builtin_ia32_ldmxcsr(__builtin_ia32_stmxcsr() | 0x8040);  // FTZ and DAZ
#elif defined(__aarch64__)
    __builtin_aarch64_set_fpcr(__builtin_aarch64_get_fpcr() | 1u << 24);  // FZ
#endif
}

TEST(FloatingPointMode, ChangesNoResult) {
    Rng r(12);
    Doubles xs = awkward(r, 3000), tiny(299);
    for (std::size_t i = 0; i < tiny.size(); ++i) tiny[i] = dbl(i + 1);
    const auto results = [&] {
        std::vector<std::uint64_t> out;
        const auto put = [&](const auto& words) { out.insert(out.end(), words.begin(), words.end()); };
        for (const Doubles* v : {&xs, &tiny}) {
            FastSumF64 f;
            vx::extend_from_slice(f, *v);
            DotF64 d = extended(*v, Doubles(v->rbegin(), v->rend()));
            vx::push(d, (*v)[0], 0x1p-60);
            vx::CovF64 c;  // deferred adds
            vx::DeferredCovAdds pending;
            for (std::size_t i = 0; i < v->size(); ++i) pending.push(c, (*v)[i], (*v)[v->size() - 1 - i]);
            pending.settle(c);
            const SumF64 s = sum_of(*v);
            put(vx::encode(vx::finish(f))), put(vx::encode(d)), put(vx::encode(c));
            out.insert(out.end(), {bits(vx::value(s)), bits(vx::value(SumF32{s})), bits(vx::narrow((*v)[1]))});
        }
        return out;
    };
    const auto expected = results();
    for (int mode : {0, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        std::fenv_t saved;
        std::fegetenv(&saved);
        mode ? void(std::fesetround(mode)) : set_flush_to_zero();
        const auto got = results();
        std::fesetenv(&saved);
        ASSERT_EQ(got, expected) << mode;
    }
}
