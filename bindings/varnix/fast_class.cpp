// FastSumF64: banked summation of long arrays, handed over as a SumF64.
#include "classes.hpp"

namespace vxpy {

namespace {

using vx::FastSumF64;

using T = Table<FastSumF64, "FastSumF64">;

PyMethodDef fast_sum_methods[] = {
    T::def<"add($self, x)\n--\n\n", pick<void(FastSumF64&, double)>(&vx::add)>(),
    T::def<"extend($self, xs)\n--\n\n", &vx::extend_from_slice>(),
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
