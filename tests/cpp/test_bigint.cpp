// Exact integer algebra against independent exact arithmetic: round_rational against GMP rationals, and the
// fraction-free (Bareiss) elimination of the exact regression against the Leibniz expansion and the system it
// solves, its symmetric variant against the general one, and p-adic lifting against elimination.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <random>

#include "matrix/padic_solve.hpp"
#include "matrix/regression.hpp"
#include "stats/bigint.hpp"
#include "stats/cov.hpp"
#include "stats/gmp_reserve.hpp"
#include "stats/moments.hpp"
#include "stats/pn_moments.hpp"
#include "stats/weighted.hpp"

namespace {

using vx::Int, vx::IntMatrix;

mpq_class exact(double m) { return std::isinf(m) ? mpq_class(Int(1) << 1024) : mpq_class(m); }  // inf: 2^1024

// Whether r is the correctly rounded p/q (+0.0 for p = 0): of the sign of p/q, and no farther from |p/q| than its
// neighbours, a tie only when its significand is even; +inf stands for 2^1024, the next power of the top binade
// (whose significand counts as even).  GMP's mpq decides it exactly.
bool correct(const Int& p, const Int& q, double r) {
    if (sgn(p) == 0) return std::bit_cast<std::uint64_t>(r) == 0;
    const mpq_class a = abs(mpq_class(p) / mpq_class(q));
    const double m = std::fabs(r);
    const bool even = (std::bit_cast<std::uint64_t>(m) & 1) == 0;
    for (double n : {std::nextafter(m, 0.0), std::nextafter(m, INFINITY)}) {
        const mpq_class to_m = abs(a - exact(m)), to_n = abs(a - exact(n));
        if (n != m && (to_n < to_m || (to_n == to_m && !even))) return false;
    }
    return std::signbit(r) == (sgn(p) * sgn(q) < 0);
}

struct Pairs {
    std::mt19937_64 rng{20261206};
    gmp_randclass big{gmp_randinit_mt};
    Pairs() { big.seed(20261206); }

    long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng); }
    Int bits_exactly(long n) {  // a random integer of exactly n >= 1 bits, of random sign
        Int z = big.get_z_bits(n);
        mpz_setbit(z.get_mpz_t(), n - 1);
        return rng() & 1 ? Int(-z) : z;
    }

    // Zero, a quotient near 2^k (a q of random size, a p of the size that puts p/q there) far beyond both ends
    // or within them, and most often one exactly halfway between two neighbouring binary64 values (or exactly
    // one of them, or a unit of p away from either), with the significand and exponent at their edges half the
    // time (the subnormal floor, the smallest normal, the overflow threshold), scaled by a random common factor.
    std::pair<Int, Int> next() {
        const auto kind = rng() % 8;
        if (kind == 1) return {Int(0), bits_exactly(uniform(1, 200))};
        if (kind < 4) {
            const long k = kind ? uniform(-1200, 1100) : uniform(-6000, 6000), qb = uniform(1, rng() & 1 ? 64 : 6000);
            return {bits_exactly(std::max(1L, qb + k)), bits_exactly(qb)};
        }
        static const long kEdgeS[] = {-1074, -1073, -1022, -1, 0, 969, 970, 971};
        static const std::uint64_t kEdgeM[] = {0, 1, 2, (1ull << 52) - 1, 1ull << 52, (1ull << 52) + 1,
                                               (1ull << 53) - 2, (1ull << 53) - 1};
        const bool edges = rng() & 1;
        const long s = edges ? kEdgeS[rng() % 8] : uniform(-1074, 971);
        std::uint64_t m = edges ? kEdgeM[rng() % 8] : (rng() >> 11) | 1ull << 52;
        if (s > -1074 && m < (1ull << 52)) m += 1ull << 52;  // normal unless at the subnormal floor
        const Int mid = Int(static_cast<unsigned long>(rng() % 4 ? 2 * m + 1 : 2 * m));  // times 2^(s-1)
        const Int c = abs(bits_exactly(uniform(1, 300)));
        Int p = c * mid, q = c;
        p <<= std::max(s - 1, 0L);
        q <<= std::max(1 - s, 0L);
        p += uniform(-1, 1);
        return {rng() & 1 ? Int(-p) : p, rng() & 1 ? Int(-q) : q};
    }
};

// VARNIX_ROUND_PAIRS sets the number of random pairs (default 10^4).
TEST(RoundRational, RandomAndAdversarialPairsAreCorrectlyRounded) {
    Pairs gen;
    const char* env = std::getenv("VARNIX_ROUND_PAIRS");
    long mismatches = 0;
    for (long i = 0, n = env ? std::atol(env) : 10000; i < n; ++i) {
        const auto [p, q] = gen.next();
        const double r = vx::round_rational(p, q);
        if (!correct(p, q, r) && ++mismatches <= 5)
            ADD_FAILURE() << "p = " << p << "\nq = " << q << "\ngot " << std::hexfloat << r;
    }
    EXPECT_EQ(mismatches, 0);
}

// Σ over permutations of sign · Π M[i][σ(i)]: independent of any elimination.
Int leibniz(const IntMatrix& m) {
    std::vector<int> p(m.size());
    std::iota(p.begin(), p.end(), 0);
    Int total = 0;
    do {
        int inversions = 0;
        for (std::size_t i = 0; i < p.size(); ++i)
            for (std::size_t j = i + 1; j < p.size(); ++j) inversions += p[i] > p[j];
        Int term = inversions % 2 ? -1 : 1;
        for (std::size_t i = 0; i < p.size(); ++i) term *= m[i][p[i]];
        total += term;
    } while (std::next_permutation(p.begin(), p.end()));
    return total;
}

// Whether lifting gives elimination's answer: absent exactly when det M = 0 (or M is singular modulo every
// prime), else num_k / den_k = D_k / D with den_k > 0.
void expect_lifting_agrees(const IntMatrix& a, const std::optional<vx::Cramer>& c, int trial) {
    vx::Headroom headroom;
    const auto s = vx::padic_solve(a, {}, headroom).value();
    ASSERT_EQ(s.has_value(), c.has_value()) << trial;
    for (std::size_t k = 0; s && k < a.size(); ++k)
        EXPECT_TRUE(sgn(s->den[k]) > 0 && s->num[k] * c->det == c->numerators[k] * s->den[k]) << trial << " " << k;
}

// Augmented m × (m + 1) systems of up to 200-bit entries of random signs, with zeros (forcing row exchanges),
// half of them symmetric, one in seven singular.
TEST(Bareiss, MatchesLeibnizTheSystemAndTheSymmetricElimination) {
    std::mt19937_64 r(9);
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t m = 1 + trial % 7;
        const int bits = 1 + int(r() % 200), zeros = 2 + trial % 5;  // a zero entry with probability 1/zeros
        IntMatrix a(m, std::vector<Int>(m + 1));
        for (auto& row : a)
            for (Int& v : row) {
                if (r() % zeros == 0) continue;
                for (int b = 0; b < bits; b += 32) v = (v << 32) + static_cast<unsigned long>(r() >> 32);
                if (r() & 1) v = -v;
            }
        const bool symmetric = trial % 2;
        for (std::size_t i = 0; symmetric && i < m; ++i)
            for (std::size_t j = 0; j < i; ++j) a[i][j] = a[j][i];
        if (trial % 7 == 0 && m > 1) {  // singular: the last row and column 3 times the first
            for (std::size_t j = 0; j + 1 < m; ++j) a[m - 1][j] = a[j][m - 1] = 3 * a[0][j];
            a[m - 1][m - 1] = 9 * a[0][0];
        }
        IntMatrix g = a;
        for (auto& row : g) row.pop_back();
        const Int det = vx::bareiss_det(g);
        ASSERT_TRUE(m > 6 || det == leibniz(g)) << trial;
        const auto c = vx::solve_augmented(a).value();
        ASSERT_EQ(c.has_value(), sgn(det) != 0) << trial;
        const auto s = symmetric ? vx::solve_augmented(a, {}, true).value() : c;
        ASSERT_EQ(s.has_value(), c.has_value()) << trial;
        expect_lifting_agrees(a, c, trial);
        if (!c) continue;
        EXPECT_TRUE(c->det == det && s->det == det && s->numerators == c->numerators) << trial;
        for (std::size_t i = 0; i < m; ++i) {  // G·(D_k) = D·b, which only Cramer's numerators solve
            const Int lhs = std::inner_product(g[i].begin(), g[i].end(), c->numerators.begin(), Int(0));
            EXPECT_EQ(lhs, det * a[i][m]) << trial;
        }
    }
}

// Lifting on larger systems, to 60 × 60 with entries to 4200 bits (long reconstructions, residuals of more
// than 64 limbs), right sides of zeros or far wider than M, and M singular modulo the first primes while det M != 0: a
// last row of row 0 plus p·(random) makes det M a multiple of p, p·p' of two of them; all four, no answer.
// A poll that answers yes stops it.
TEST(PadicSolve, AgreesWithEliminationOnLargeWideAndUnluckySystems) {
    std::mt19937_64 r(17);
    const Int p1 = (Int(1) << 61) - 1, p2 = (Int(1) << 61) - 31, p3 = (Int(1) << 61) - 45, p4 = (Int(1) << 61) - 229;
    const Int unlucky[] = {p1, p1 * p2, p1 * p2 * p3, p1 * p2 * p3 * p4};
    for (int trial = 0; trial < 48; ++trial) {
        const bool large = trial % 6 == 0 && trial >= 8;
        const std::size_t m = trial < 8 ? 1 + trial % 4 : std::size_t(large ? 40 + r() % 21 : 2 + r() % 14);
        const int bits = int(large ? 1 + r() % 300 : trial % 8 == 4 ? 4200 : r() % 4 == 0 ? 2300 : 1 + r() % 300);
        IntMatrix a(m, std::vector<Int>(m + 1));
        for (auto& row : a)
            for (Int& v : row)
                for (int b = 0; b < bits; b += 32) v = (v << 32) + static_cast<unsigned long>(r() >> 32);
        for (auto& row : a) {
            if (r() & 1) row[r() % (m + 1)] *= -1;
            row[m] = trial % 5 == 0 ? Int(0) : trial % 5 == 1 ? Int(row[m] << 3000) : row[m];
        }
        const Int& factor = unlucky[trial % 4];
        const bool row = trial % 3 == 0 && m > 1 && trial >= 8;
        if (trial < 8)
            a[0][0] = factor * (trial % 2 ? 1 : 3);  // 1x1 to 4x4 with an unlucky first pivot
        else if (row)
            for (std::size_t j = 0; j < m; ++j) a[m - 1][j] = a[0][j] + factor * (j == m - 1 ? 1 : int(r() % 3));
        const auto c = vx::solve_augmented(a).value();
        ASSERT_TRUE(c.has_value()) << trial;
        if (trial % 4 == 3 && (row || m == 1)) {  // det a multiple of all four primes
            vx::Headroom headroom;
            EXPECT_FALSE(vx::padic_solve(a, {}, headroom).value().has_value()) << trial;
        } else {
            expect_lifting_agrees(a, c, trial);
        }
    }
    IntMatrix a = {{Int(3), Int(1), Int(5)}, {Int(1), Int(2), Int(7)}};
    int polls = 0;
    vx::Headroom headroom;
    auto stop_third = [](void* n) { return ++*static_cast<int*>(n) == 3; };
    const auto stopped = vx::padic_solve(a, {stop_third, &polls}, headroom);
    ASSERT_FALSE(stopped);
    EXPECT_TRUE(stopped.error() == vx::Stopped::Interrupted && polls == 3);
}

}  // namespace

// The reserve's bound: each statistic over fixed-size states, on its largest states (every reading near 2^2175 in
// magnitude, of either sign, the count mostly saturated), run with every GMP block carved from the region, gives
// the bits it gives with malloc and uses at most half the reserve (the other half is for blocks a malloc failing
// midway makes the region serve again).
TEST(GmpReserve, EveryBoundedStatisticFitsHalfTheReserveAndKeepsItsBits) {
    ASSERT_TRUE(vx::reserve_gmp_for_thread());
    std::mt19937_64 rng(20261207);
    auto fill = [&](auto&... accs) {
        for (vx::SumF64* s : {&accs...}) {
            for (auto& limb : s->limbs) limb = rng();
            s->limbs[vx::kLimbs - 1] = rng() % 2 ? ~0ull >> (1 + rng() % 3) : 1ull << 63 | rng() % 7;
            s->count = rng() % 4 ? ~0ull : rng() % 5 + 1;
        }
    };
    std::size_t most = 0;
    auto bits = [](vx::Stat<double> r) { return r ? std::bit_cast<std::uint64_t>(r.value()) : int(r.error()); };
    for (int round = 0; round < 40; ++round) {
        vx::Moments4F64 m4;
        vx::MomentsF64 m2;
        vx::CovF64 c;
        vx::WeightedMomentsF64 w;
        vx::PnMomentsF64 pn;
        fill(m4.sum_x, m4.sum_x2.sum, m4.sum_x3.sum, m4.sum_x4.sum, m2.sum_x, m2.sum_xx.sum, c.sum_x, c.sum_y,
             c.sum_xx.sum, c.sum_yy.sum, c.sum_xy.sum, w.sum_w, w.sum_wx.sum, w.sum_wxx.sum, pn.added.sum_x,
             pn.added.sum_xx.sum, pn.removed.sum_x, pn.removed.sum_xx.sum);
        pn.removed.sum_x.count = rng() % 3;
        for (const auto& stat : std::initializer_list<std::function<vx::Stat<double>()>>{
                 [&] { return vx::try_variance(m4); }, [&] { return vx::try_kurtosis(m4); },
                 [&] { return vx::try_excess_kurtosis(m4); }, [&] { return vx::try_skewness(m4); },
                 [&] { return vx::try_sample_variance(m2); }, [&] { return vx::try_stddev(m2); },
                 [&] { return vx::try_slope(c); }, [&] { return vx::try_intercept(c); },
                 [&] { return vx::try_correlation(c); }, [&] { return vx::try_variance(w); },
                 [&] { return vx::try_variance(pn); }}) {
            const std::uint64_t plain = bits(stat());
            vx::force_gmp_reserve(true);
            EXPECT_EQ(bits(stat()), plain);
            const vx::GmpReserveUse use = vx::gmp_reserve_use();
            vx::force_gmp_reserve(false);
            EXPECT_FALSE(use.overflowed);
            most = std::max(most, use.high_water);
        }
    }
    EXPECT_GT(most, 0u);
    EXPECT_LE(most, vx::kGmpReserveBytes / 2);
    std::printf("largest reserve use: %zu of %zu bytes\n", most, vx::kGmpReserveBytes);
}
