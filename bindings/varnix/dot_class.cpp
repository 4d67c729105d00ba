// DotF64 and the function dot: exact sums of products.
#include "classes.hpp"
#include "receipt/receipt.hpp"

namespace vxpy {

namespace {

using vx::DotF64;

using T = Table<DotF64, "DotF64">;

PyMethodDef dot_methods[] = {
    T::def<"push($self, a, b)\n--\n\n", &vx::push>(),
    T::def<"extend($self, xs, ys)\n--\n\n", &vx::extend_from_slices>(),
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

PyMethodDef dot_function = function_def<"dot(xs, ys)\n--\n\n", &vx::dot>();

}  // namespace vxpy
