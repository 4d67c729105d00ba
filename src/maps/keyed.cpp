#include "maps/keyed.hpp"

namespace vx {

std::optional<double> value(const SumMap& m, std::string_view key) {
    if (const SumF64* s = m.find(key)) return value(*s);
    return std::nullopt;
}

std::uint64_t count(const SumMap& m) {
    std::uint64_t n = 0;
    for (const auto& entry : m) n = saturating_add(n, entry.second.count);
    return n;
}

std::optional<Stat<double>> try_mean(const MomentsMap& m, std::string_view key) {
    if (const MomentsF64* s = m.find(key)) return try_mean(*s);
    return std::nullopt;
}

std::optional<Stat<double>> try_variance(const MomentsMap& m, std::string_view key) {
    if (const MomentsF64* s = m.find(key)) return try_variance(*s);
    return std::nullopt;
}

}  // namespace vx
