// Fraction-free elimination of the exact regression: the determinant against the Leibniz expansion,
// the one augmented elimination against separate determinants of every Cramer matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "matrix/regression.hpp"

namespace {

using vx::Int, vx::IntMatrix;
using Rng = std::mt19937_64;

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

// Entries of `bits` random bits with random signs; zeros (forcing row exchanges) with probability 1/zeros.
IntMatrix random_matrix(Rng& r, std::size_t rows, std::size_t cols, int bits, int zeros) {
    IntMatrix m(rows, std::vector<Int>(cols));
    for (auto& row : m)
        for (Int& v : row) {
            if (r() % zeros == 0) continue;
            mpz_class x = 0;
            for (int b = 0; b < bits; b += 32) x = (x << 32) + static_cast<unsigned long>(r() >> 32);
            v = (r() & 1) ? Int(-x) : x;
        }
    return m;
}

IntMatrix square_part(const IntMatrix& a) {
    IntMatrix m = a;
    for (auto& row : m) row.pop_back();
    return m;
}

TEST(Bareiss, WorkedDeterminants) {
    EXPECT_EQ(vx::bareiss_det({{0, 1}, {1, 0}}), -1);
    EXPECT_EQ(vx::bareiss_det({{2, 4}, {1, 2}}), 0);
    EXPECT_EQ(vx::bareiss_det({{1}}), 1);
    EXPECT_EQ(vx::bareiss_det({{0, 0, 1}, {0, 2, 0}, {3, 0, 0}}), -6);
}

TEST(Bareiss, MatchesLeibnizAndCramerOfTheAugmentedSystem) {
    Rng r(9);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t m = 1 + trial % 6;
        const int zeros = 2 + trial % 5, bits = 1 + int(r() % 200);
        IntMatrix a = random_matrix(r, m, m + 1, bits, zeros);
        if (trial % 7 == 0 && m > 1) {  // singular: the last row a multiple of the first
            for (std::size_t j = 0; j < m; ++j) a[m - 1][j] = a[0][j] * 3;
        }
        const IntMatrix g = square_part(a);
        const Int det = vx::bareiss_det(g);
        if (m <= 5) {
            ASSERT_EQ(det, leibniz(g)) << trial;
        }
        auto solved = vx::solve_augmented(a);
        ASSERT_TRUE(solved.has_value());
        const auto& c = solved.value();
        ASSERT_EQ(c.has_value(), sgn(det) != 0) << trial;
        if (!c) continue;
        EXPECT_EQ(c->det, det) << trial;
        for (std::size_t k = 0; k < m; ++k) {
            IntMatrix gk = g;
            for (std::size_t i = 0; i < m; ++i) gk[i][k] = a[i][m];
            EXPECT_EQ(c->numerators[k], vx::bareiss_det(gk)) << trial << " column " << k;
        }
        for (std::size_t i = 0; i < m; ++i) {  // G·(D_k) = D·b, the system itself
            Int lhs = 0;
            for (std::size_t k = 0; k < m; ++k) lhs += g[i][k] * c->numerators[k];
            EXPECT_EQ(lhs, det * a[i][m]) << trial;
        }
    }
}

TEST(Bareiss, SymmetricEliminationAgreesWithTheGeneralOne) {
    Rng r(4);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t m = 1 + trial % 7;
        IntMatrix a = random_matrix(r, m, m + 1, 1 + int(r() % 150), 2 + trial % 6);  // zero pivots restart
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < i; ++j) a[i][j] = a[j][i];
        const auto general = vx::solve_augmented(a).value(), symmetric = vx::solve_augmented(a, {}, true).value();
        ASSERT_EQ(general.has_value(), symmetric.has_value()) << trial;
        if (general) {
            EXPECT_EQ(general->det, symmetric->det) << trial;
            EXPECT_EQ(general->numerators, symmetric->numerators) << trial;
        }
    }
}

TEST(Bareiss, APollThatAsksToStopEndsTheSolve) {
    Rng r(3);
    int polls = 0;
    const vx::Poll stop_third{[](void* n) { return ++*static_cast<int*>(n) == 3; }, &polls};
    EXPECT_FALSE(vx::solve_augmented(random_matrix(r, 6, 7, 64, 100), stop_third).has_value());
    EXPECT_EQ(polls, 3);
}

}  // namespace
