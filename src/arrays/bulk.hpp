// Whole runs of values fed to a state at once.
//
// Each function leaves the state exactly as calling the state's own `add`
// (or `push`) for every value in order would: the sums are exact integers,
// so the order and grouping of their terms cannot change them; the flags are
// sticky ORs; the counts rise by the same amounts, saturating.  The product
// terms are formed by the same product step as `push`, a block at a time.
#pragma once

#include <cstdint>
#include <span>

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "stats/moments.hpp"

namespace vx {

// Raises a count by n, saturating at 2^64 - 1 like n single increments.
inline std::uint64_t count_up(std::uint64_t count, std::size_t n) {
    return saturating_add(count, std::uint64_t(n));
}

void add_all(SumF64& s, std::span<const double> xs);
void add_all(MomentsF64& m, std::span<const double> xs);
void add_all(Moments4F64& m, std::span<const double> xs);

}  // namespace vx
