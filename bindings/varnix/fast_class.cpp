// FastSumF64: banked summation of long arrays, handed over as a SumF64.
#include "arrays/bulk.hpp"
#include "classes.hpp"

namespace vxpy {

namespace {

using vx::FastSumF64;

using T = Table<FastSumF64, "FastSumF64">;

// A long run is summed without the interpreter lock, split across the
// usable CPUs; the state it leaves is the one extend_from_slice leaves.
void extend(FastSumF64& s, std::span<const double> xs) {
    if (xs.size() < vx::kUnlockValues) return vx::extend_from_slice(s, xs);
    Unlocked unlocked;
    vx::extend_split(s, xs, vx::parts_for(xs.size(), 0));
}

PyMethodDef fast_sum_methods[] = {
    T::def<"add($self, x)\n--\n\n", pick<void(FastSumF64&, double)>(&vx::add)>(),
    T::def<"extend($self, xs)\n--\n\n", &extend>(),
    T::def<"count($self)\n--\n\n", pick<std::uint64_t(const FastSumF64&)>(&vx::count)>(),
    T::def<"finish($self)\n--\n\n", &vx::finish>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<FastSumF64>() {
    static ClassDef def = T::make<"FastSumF64()\n--\n\n">(fast_sum_methods);
    return def;
}

}  // namespace vxpy
