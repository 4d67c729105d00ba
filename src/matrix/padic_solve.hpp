// Exact solution of a non-singular integer system M·x = b by p-adic lifting
// (Dixon), for systems whose determinant has thousands of bits.
//
// With a word prime p that does not divide det M, M is factored once modulo
// p, and each step finds the next base-p digit of x from a residual that
// stays as small as the entries of M:
//   x_t = M^-1·res_t (mod p),  res_{t+1} = (res_t - M·x_t) / p,  res_0 = b,
// so that M·(x_0 + x_1·p + .. + x_{L-1}·p^(L-1)) = b - p^L·res_L, that is,
// X = Σ x_t·p^t ≡ x (mod P = p^L).  By Cramer's rule x_k = N_k / D with
// D = det M and N_k the determinant of M with column k replaced by b; once
// P > 2·H^2, H a Hadamard bound on |D| and every |N_k|, each x_k is the only
// fraction of numerator and denominator below H congruent to X_k, found by
// rational reconstruction.  The cost is O(m^3) word operations for the
// factorization and O(m^2) per digit on word-size values, instead of the
// O(m^3) operations on integers as large as D that elimination takes.
//
// The result is the exact rational x_k, so its rounding is the same bits as
// elimination's.  M singular modulo every prime tried (always so when
// det M = 0) gives no answer: elimination decides such a system.
#pragma once

#include <optional>
#include <vector>

#include "base/memory.hpp"
#include "matrix/regression.hpp"

namespace vx {

// x_k = num[k] / den[k], den[k] > 0; a fraction need not be in lowest terms.
struct Rationals {
    std::vector<Int> num, den;
};

// The m × (m + 1) augmented matrix [M | b], m >= 1.  Absent when M is
// singular modulo each prime tried.  Polls once per digit; the working set,
// which follows from the sizes of the entries, is taken from `headroom`
// before anything of it is allocated.
Expected<std::optional<Rationals>, Stopped> padic_solve(const IntMatrix& a, Poll poll,
                                                        Headroom& headroom);

}  // namespace vx
