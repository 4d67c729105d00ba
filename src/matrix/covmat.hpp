// The covariance-matrix accumulator of a linear model with d explanatory
// variables: per observation a row x_0 .. x_{d-1} and a response y.
//
// The state is exact and order-independent: d + 1 exact sums (Σx_i, then Σy)
// and d(d+1)/2 + d exact product sums (Σx_i·x_j for i <= j, upper triangle
// row by row, then Σx_i·y), each a DotF64 holding rounded product plus fma
// residual.  Merging adds limbs, so any grouping of observations gives the
// same bytes and the same state hash; a flag-free merged contribution can be
// subtracted again exactly.
//
// Size limits:
//  1. d must be below 2^32: the encoding's header holds d in 32 bits.
//  2. The in-memory state, (d+1)·sizeof(SumF64) + (d(d+1)/2 + d)·sizeof(DotF64)
//     bytes, is computed with overflow checks and must fit in the machine's
//     physical memory, since it is zeroed at once; past that, construction is
//     refused instead of ending in the kernel's out-of-memory killer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "base/expected.hpp"
#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "stats/bigint.hpp"

namespace vx {

struct CovMatrixF64 {
    std::uint64_t dim = 0;
    std::vector<SumF64> sums;   // Σx_0 .. Σx_{d-1}, then Σy; each counts one per row
    std::vector<DotF64> cross;  // Σx_i·x_j (i <= j), then Σx_i·y; each counts two per row
    bool poisoned = false;      // a state of another dimension was merged in
};

// Why a state of dimension d cannot be made.
enum class DimError { HeaderOverflow, NoMemory };
const char* error_text(DimError e);

// Number of product entries, d(d+1)/2 + d, exact for d < 2^32.
inline std::uint64_t cross_len(std::uint64_t d) { return d * (d + 1) / 2 + d; }

// Index of the pair (i, j) in `cross`: the rows of the upper triangle before
// row m = min(i, j) hold m(2d - m + 1)/2 entries, then |i - j| more.
inline std::uint64_t pair_index(std::uint64_t d, std::uint64_t i, std::uint64_t j) {
    const std::uint64_t m = i < j ? i : j;
    return (i < j ? j - i : i - j) + m * (2 * d - m + 1) / 2;
}
inline std::uint64_t response_index(std::uint64_t d, std::uint64_t i) {
    return d * (d + 1) / 2 + i;
}

// Encoded length 5 + 281(d + 1) + 282(d(d+1)/2 + d) in 64-bit arithmetic;
// absent when any step overflows.
std::optional<std::uint64_t> encoded_size(std::uint64_t d);

// The empty state of dimension d, or why it cannot exist.
Expected<CovMatrixF64, DimError> try_make_covmat(std::uint64_t d);

// The row's length must equal d: an assertion, checked before any change.
void add(CovMatrixF64& m, std::span<const double> row, double y);
// A state of another dimension only poisons self.
void merge(CovMatrixF64& m, const CovMatrixF64& other);
// All or nothing: Degenerate, self untouched, on a dimension mismatch, a
// poisoned side, a flagged entry of `other` or a count of `other` above self's.
Stat<std::monostate> try_sub(CovMatrixF64& m, const CovMatrixF64& other);
inline std::uint64_t count(const CovMatrixF64& m) { return m.sums.back().count; }

std::vector<std::uint8_t> encode(const CovMatrixF64& m);
// The length is checked against the header's d before anything is allocated.
std::optional<CovMatrixF64> decode_covmat(std::span<const std::uint8_t> bytes);

}  // namespace vx
