// DotF64 and the function dot: exact sums of products.
#include "arrays/bulk.hpp"
#include "classes.hpp"
#include "receipt/receipt.hpp"

namespace vxpy {

namespace {

using vx::DotF64;

using T = Table<DotF64, "DotF64">;

// Long runs are multiplied and summed without the interpreter lock, split
// across the usable CPUs, into the state extend_from_slices leaves.
void extend(DotF64& d, std::span<const double> xs, std::span<const double> ys) {
    if (xs.size() < vx::kUnlockValues) return vx::extend_from_slices(d, xs, ys);
    Unlocked unlocked;
    vx::extend_split(d, xs, ys, vx::parts_for(xs.size(), 0));
}

vx::Expected<double, vx::DotError> dot(std::span<const double> xs, std::span<const double> ys) {
    DotF64 d;
    extend(d, xs, ys);
    return vx::try_value(d);
}

PyMethodDef dot_methods[] = {
    T::def<"push($self, a, b)\n--\n\n", &vx::push>(),
    T::def<"extend($self, xs, ys)\n--\n\n", &extend>(),
    T::def<"merge($self, other)\n--\n\n", pick<void(DotF64&, const DotF64&)>(&vx::merge)>(),
    T::def<"value($self)\n--\n\n", &vx::try_value>(),
    T::def<"state_hash($self)\n--\n\n", &vx::state_hash<DotF64>>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<DotF64>() {
    static ClassDef def = T::make<"DotF64()\n--\n\n">(dot_methods);
    return def;
}

PyMethodDef dot_function = function_def<"dot(xs, ys)\n--\n\n", &dot>();

}  // namespace vxpy
