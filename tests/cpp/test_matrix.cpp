// Fraction-free elimination of the exact regression against independent algebra: the determinant against the
// Leibniz expansion, the one augmented elimination against the system it solves, and the symmetric variant
// against the general one.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "matrix/regression.hpp"

namespace {

using vx::Int, vx::IntMatrix;

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

// Entries of up to `bits` random bits with random signs; zeros (forcing row exchanges) with probability 1/zeros.
IntMatrix random_matrix(std::mt19937_64& r, std::size_t rows, int bits, int zeros) {
    IntMatrix m(rows, std::vector<Int>(rows + 1));
    for (auto& row : m)
        for (Int& v : row) {
            if (r() % zeros == 0) continue;
            for (int b = 0; b < bits; b += 32) v = (v << 32) + static_cast<unsigned long>(r() >> 32);
            if (r() & 1) v = -v;
        }
    return m;
}

TEST(Bareiss, MatchesLeibnizTheSystemAndTheSymmetricElimination) {
    std::mt19937_64 r(9);
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t m = 1 + trial % 7;
        IntMatrix a = random_matrix(r, m, 1 + int(r() % 200), 2 + trial % 5);
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
        if (m <= 6) {
            ASSERT_EQ(det, leibniz(g)) << trial;
        }
        const auto c = vx::solve_augmented(a).value();
        ASSERT_EQ(c.has_value(), sgn(det) != 0) << trial;
        if (symmetric) {
            const auto s = vx::solve_augmented(a, {}, true).value();
            ASSERT_EQ(s.has_value(), c.has_value()) << trial;
            if (s) {
                EXPECT_TRUE(s->det == c->det && s->numerators == c->numerators) << trial;
            }
        }
        if (!c) continue;
        EXPECT_EQ(c->det, det) << trial;
        for (std::size_t i = 0; i < m; ++i) {  // G·(D_k) = D·b, which only Cramer's numerators solve
            Int lhs = 0;
            for (std::size_t k = 0; k < m; ++k) lhs += g[i][k] * c->numerators[k];
            EXPECT_EQ(lhs, det * a[i][m]) << trial;
        }
    }
}

}  // namespace
