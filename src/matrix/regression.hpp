// Statistics of a covariance-matrix state: the population covariance of two
// explanatory variables, and least-squares regression with an intercept in
// two tiers.
//
// Both tiers solve the normal equations G·β = r with, in units of 2^-1074
// (U = 2^1074) and n the count:
//   G[0][0] = n·U, G[0][i+1] = G[i+1][0] = Σx_i, G[i+1][j+1] = Σx_i·x_j,
//   r[0] = Σy, r[i+1] = Σx_i·y,
// β_0 the intercept and β_{i+1} the coefficient of x_i.
//  - The fast tier rounds each entry divided by n·U once to binary64 and
//    runs Gauss–Jordan elimination with partial pivoting in binary64, in a
//    fixed order of operations, so its bits are the same on every IEEE 754
//    machine that does not contract a·b - c into a fused multiply-add.
//  - The exact tier solves the integer system exactly (Cramer's rule:
//    β_k = D_k / D, D = det G, D_k = det of G with column k replaced by r)
//    and rounds each quotient once.  G is a Gram matrix, so D >= 0, and
//    D = 0 exactly when the constant and the explanatory variables are
//    linearly dependent over the observations: that, and only that, is
//    Degenerate.
//
// Sizes in the exact tier: an entry of G or r is a reading below 2^2175 in
// magnitude (n·U is below 2^1138), and every intermediate value of the
// elimination is a minor of [G | r], so for d explanatory variables none
// exceeds about (d + 1)·(2176 + log2(d + 1)) bits.  Dividing the common
// powers of two out of rows and columns first usually leaves entries of a
// few hundred bits.  The elimination costs O(d^3) operations on such
// integers; its time grows like d^3 times the cost of multiplying integers
// of d times the entry size.  From 16 equations on, p-adic lifting
// (matrix/padic_solve.hpp) finds the same rationals with O(d^3) word
// operations and O(d^2) per 60 bits of the answer; elimination then only
// decides the systems singular modulo its primes, Degenerate among them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/poll.hpp"
#include "matrix/covmat.hpp"
#include "stats/bigint.hpp"

namespace vx {

using IntMatrix = std::vector<std::vector<Int>>;

// Why the exact solver stopped before its end; nothing was changed.  Its
// poll asked it to (Interrupted), or the next row's working set exceeds what
// the process may still allocate (NoMemory): the integers of the elimination
// grow with d, beyond any reserve, so each row's growth is estimated from
// the sizes of the integers it combines and checked before GMP allocates it.
enum class Stopped { Interrupted, NoMemory };

// Checks in order: poisoned (Degenerate), n = 0 (Empty), i or j not below
// d (Degenerate), then Σx_i, Σx_j and the product entry of the pair.
Stat<double> try_covariance(const CovMatrixF64& m, std::uint64_t i, std::uint64_t j);

// Both tiers first read the d(d+1)/2 + 2d + 1 entries as integers; when
// those (and, for the exact tier, its two working copies of the system) would
// not fit in what the process may still allocate, they fail as an allocation
// does, with std::bad_alloc, before GMP is asked for any of it.

// [β_0, .., β_d] by the fast tier.  Only an exact zero pivot is Degenerate:
// a system singular in exact arithmetic but not after rounding yields
// large or meaningless coefficients.
Stat<std::vector<double>> try_regression(const CovMatrixF64& m);

// [β_0, .., β_d], each the exact least-squares coefficient rounded once.
Expected<Stat<std::vector<double>>, Stopped> try_regression_exact(const CovMatrixF64& m,
                                                                   Poll poll = {});

// Determinant of a square matrix (at least 1 × 1) by fraction-free
// (Bareiss) elimination; the matrix is overwritten.
Int bareiss_det(IntMatrix m);

// Cramer's rule for the m × (m + 1) augmented matrix [M | b], in one
// fraction-free elimination: D = det M and D_k = det of M with column k
// replaced by b, so that x_k = D_k / D.  Absent when D = 0.  `symmetric`
// promises that M is symmetric, which halves the work.
struct Cramer {
    Int det;
    std::vector<Int> numerators;
};
Expected<std::optional<Cramer>, Stopped> solve_augmented(IntMatrix a, Poll poll = {},
                                                         bool symmetric = false);

}  // namespace vx
