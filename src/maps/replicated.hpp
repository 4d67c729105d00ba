// Per-replica exact sums that converge under join, and a plain exact total.
//
// Each replica (a writer with a 64-bit id) adds only under its own id, so
// its state only grows and its count tells how far it has got.  `join`
// keeps, for every id, the state with the strictly larger count: joins are
// then idempotent, commutative and associative as long as two states of one
// replica with equal counts are equal, which holds when one writer owns each
// id.  Two different states with equal counts are not reconciled: the
// receiving side keeps its own.  (A count saturates only after 2^64 - 1
// values; a replica that got there would stop replacing older copies.)
#pragma once

#include <cstdint>
#include <vector>

#include "exact/acc.hpp"
#include "maps/ordered_map.hpp"

namespace vx {

template <class V>
using Replicated = OrderedMap<std::uint64_t, V>;

using ReplicatedSum = Replicated<SumF64>;

Done add(ReplicatedSum& r, std::uint64_t replica, double x);

// Keeps, per replica, the state with the strictly larger count.
template <std::uint64_t MaxReplicas>
Done join(OrderedMap<std::uint64_t, SumF64, MaxReplicas>& r,
          const OrderedMap<std::uint64_t, SumF64, MaxReplicas>& other) {
    return r.fold_in(other, [](SumF64& mine, const SumF64& theirs) {
        if (mine.count < theirs.count) mine = theirs;
    });
}

// The exact sum of all replicas' sums, rounded once; +0.0 without replicas.
double value(const ReplicatedSum& r);

// u32 number of replicas, then per replica in ascending id order: u64 id,
// u32 281 and the 281-byte accumulator encoding: 4 + 293 r bytes.
using ReplicatedEncoding = MapEncoding<ReplicatedSum, kSumBytes, &write_sum>;
inline ReplicatedEncoding encode(const ReplicatedSum& r) { return {&r}; }

struct DeltasSum {
    SumF64 total;
};

inline void add(DeltasSum& d, double x) { add(d.total, x); }
inline double value(const DeltasSum& d) { return value(d.total); }

}  // namespace vx
