// PnMomentsF64: mean and population variance of a multiset with removal.
//
// Two MomentsF64 halves that only grow, one for the values added and one for
// the values removed; the live statistics are those of the exact difference
// of their sums.  Because neither half ever shrinks, the state is the same
// for any order of adds, removes and merges.  Removals are not checked
// against additions: a value that was never added is simply subtracted.
//
// With S = SA − SR, Q = QA − QR (units 2^-1074) and m = a − r the live count:
//   mean     = S / (m·2^1074)
//   variance = (m·Q·2^1074 − S²) / (m²·2^2148)
// No sign test is made on the variance: removals that are not a sub-multiset
// of the additions can make it negative.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "stats/moments.hpp"

namespace vx {

struct PnMomentsF64 {
    MomentsF64 added;
    MomentsF64 removed;
};

inline constexpr std::size_t kPnMomentsBytes = 2 * kMomentsBytes;
static_assert(kPnMomentsBytes == 1126);

inline void add(PnMomentsF64& m, double x) { add(m.added, x); }
inline void remove(PnMomentsF64& m, double x) { add(m.removed, x); }
void merge(PnMomentsF64& m, const PnMomentsF64& other);

// Added count minus removed count; absent when more were removed.
std::optional<std::uint64_t> live_count(const PnMomentsF64& m);

struct Net {
    Int s, q;
    std::uint64_t m;
};
// Checks in order: more removals than additions (Degenerate), no live value
// (Empty), the readings of added Σx, removed Σx, added Σx², removed Σx².
Stat<Net> net(const PnMomentsF64& m);

Stat<double> try_mean(const PnMomentsF64& m);
Stat<double> try_variance(const PnMomentsF64& m);

std::array<std::uint8_t, kPnMomentsBytes> encode(const PnMomentsF64& m);
// Absent when any of the four parts is rejected; counts are not compared.
std::optional<PnMomentsF64> read_pn_moments(const std::uint8_t* in);

}  // namespace vx
