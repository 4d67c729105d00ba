#include "maps/replicated.hpp"

namespace vx {

Done add(ReplicatedSum& r, std::uint64_t replica, double x) { return add_under(r, replica, x); }

double value(const ReplicatedSum& r) {
    SumF64 total;
    for (const auto& entry : r) merge(total, entry.second);
    return value(total);
}

}  // namespace vx
