#include "maps/replicated.hpp"

namespace vx {

Done add(ReplicatedSum& r, std::uint64_t replica, double x) { return add_under(r, replica, x); }

Done join(ReplicatedSum& r, const ReplicatedSum& other) {
    return r.fold_in(other, [](SumF64& mine, const SumF64& theirs) {
        if (mine.count < theirs.count) mine = theirs;
    });
}

double value(const ReplicatedSum& r) {
    SumF64 total;
    for (const auto& entry : r) merge(total, entry.second);
    return value(total);
}

}  // namespace vx
