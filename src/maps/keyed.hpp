// Maps from text keys to exact sums (SumMap), to moment states (MomentsMap)
// and, generically, to any mergeable state: values are added under a key,
// and maps built from different parts of the data merge key by key.  The
// merged map does not depend on the order or grouping of additions and
// merges, because the values' own merges do not; merging the same map twice
// counts it twice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exact/acc.hpp"
#include "maps/ordered_map.hpp"
#include "stats/moments.hpp"

namespace vx {

template <class V>
using ConvergentMap = OrderedMap<std::string, V>;

using SumMap = ConvergentMap<SumF64>;
using MomentsMap = ConvergentMap<MomentsF64>;

// Merges other's states key by key; keys only `other` has are copied in.
template <class M>
Done merge_maps(M& m, const M& other) {
    return m.fold_in(other, [](auto& mine, const auto& theirs) { merge(mine, theirs); });
}

template <class V>
std::uint64_t len(const ConvergentMap<V>& m) {
    return m.size();
}

// The correctly rounded sum under `key`; absent when the key is.
std::optional<double> value(const SumMap& m, std::string_view key);

// The sum of all the values' counts, saturating at 2^64 - 1.
std::uint64_t count(const SumMap& m);

// u32 number of keys, then per key: u32 length, UTF-8 bytes, u32 281 and
// the 281-byte accumulator encoding.
using SumMapEncoding = MapEncoding<SumMap, kSumBytes, &write_sum>;
inline SumMapEncoding encode(const SumMap& m) { return {&m}; }

// The mean and population variance of the state under `key`, each with the
// statistic's own errors; absent when the key is.
std::optional<Stat<double>> try_mean(const MomentsMap& m, std::string_view key);
std::optional<Stat<double>> try_variance(const MomentsMap& m, std::string_view key);

// As for SumMap, with u32 563 and the 563-byte MomentsF64 encoding.
using MomentsMapEncoding = MapEncoding<MomentsMap, kMomentsBytes, &write_moments>;
inline MomentsMapEncoding encode(const MomentsMap& m) { return {&m}; }

}  // namespace vx
