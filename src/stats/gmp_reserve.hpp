// GMP's memory functions, and the per-thread reserve they fall back on.
//
// GMP ends the process when an allocation fails, and its allocation
// functions must not throw.  So each GMP allocation first asks malloc and,
// only when malloc fails, carves the block from a reserve that the calling
// thread set aside earlier, in code that could still report the failure.
// Every statistic over fixed-size states forms integers of bounded size
// (stats/bigint.hpp), so a reserve of kGmpReserveBytes serves all the blocks
// such a statistic can ask for even when malloc fails from its first
// allocation on.  Statistics whose integers grow with a dimension (the
// covariance matrix's regressions) check their working set against what the
// process may still allocate instead (base/memory.hpp).
//
// The reserve is a bump region: a block is carved at the top, freeing the top
// block lowers the top, and once no block of the region is live the top
// returns to the start.  Every integer of a statistic dies before the
// statistic returns, so the region is whole again between calls; a block is
// always freed on the thread that carved it.  If the region is exhausted as
// well, nothing is left to serve GMP and the process ends, as with GMP's own
// functions; the bound below keeps that out of reach.
#pragma once

#include <cstddef>

namespace vx {

// Bytes a statistic can take from the reserve, counting every block it
// allocates (freed blocks below the top are not reused until the region is
// empty): kGmpReserveBlocks blocks of kMaxStatBits bits (the largest integer,
// A3² of the fourth moments, shifted by the 1126 bits round_rational adds)
// with 16 bytes of alignment each.  The reserve test runs every statistic on
// its largest states with all blocks carved from the region and keeps the
// high-water mark within half of this (27 568 bytes at most), the other half
// for blocks that a malloc failing midway makes the region serve again.
inline constexpr std::size_t kMaxStatBits = 13056 + 1126;
inline constexpr std::size_t kGmpReserveBlocks = 32;
inline constexpr std::size_t kGmpReserveBytes = kGmpReserveBlocks * ((kMaxStatBits + 7) / 8 + 16);

// Installs the functions in GMP, once per process; later calls do nothing.
// Only one module of a process may install them: GMP's functions are global
// to the shared library.
void install_gmp_memory();

// Gives the calling thread its reserve of kGmpReserveBytes if it has none;
// false when that memory cannot be allocated (nothing changes then).  The
// reserve is freed when the thread ends.
bool reserve_gmp_for_thread();

// For tests: with `force` set, every GMP allocation of this thread is carved
// from the reserve (falling back to malloc, and counting an overflow, when
// the region is exhausted), and the high-water mark restarts at 0.
struct GmpReserveUse {
    std::size_t high_water = 0;  // bytes of the region in use at its fullest
    bool overflowed = false;     // a block did not fit
};
void force_gmp_reserve(bool force);
GmpReserveUse gmp_reserve_use();

}  // namespace vx
