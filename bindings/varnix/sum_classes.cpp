// SumF64 and SumF32: the exact sum, read in binary64 or binary32.
#include "classes.hpp"
#include "receipt/receipt.hpp"

namespace vxpy {

namespace {

using vx::SumF32;
using vx::SumF64;

using T64 = Table<SumF64, "SumF64">;

PyMethodDef sum_f64_methods[] = {
    T64::def<"add($self, x)\n--\n\n", pick<void(SumF64&, double)>(&vx::add)>(),
    T64::def<"merge($self, other)\n--\n\n", pick<void(SumF64&, const SumF64&)>(&vx::merge)>(),
    T64::def<"try_unmerge($self, other)\n--\n\n"
             "Exactly remove a previously merged contribution (group subtraction).\n"
             "Returns False (state untouched) if `other` carries NaN/infinity flags\n"
             "or a larger count. Kani-verified: the borrow chain inverts merge's\n"
             "carry chain for all valid states.",
             &vx::try_unmerge>(),
    T64::def<"count($self)\n--\n\n", pick<std::uint64_t(const SumF64&)>(&vx::count)>(),
    T64::def<"value($self)\n--\n\n", pick<double(const SumF64&)>(&vx::value)>(),
    T64::def<"to_bytes($self)\n--\n\n", pick<vx::SumBytes(const SumF64&)>(&vx::encode)>(),
    T64::def<"from_bytes(b)\n--\n\n", &decode_fixed<SumF64, vx::kSumBytes, &vx::read_sum>>(),
    T64::def<"state_hash($self)\n--\n\n", &vx::state_hash<SumF64>>(),
    {},
};

using T32 = Table<SumF32, "SumF32">;

PyMethodDef sum_f32_methods[] = {
    T32::def<"add($self, x)\n--\n\n", pick<void(SumF32&, float)>(&vx::add)>(),
    T32::def<"merge($self, other)\n--\n\n", pick<void(SumF32&, const SumF32&)>(&vx::merge)>(),
    T32::def<"count($self)\n--\n\n", pick<std::uint64_t(const SumF32&)>(&vx::count)>(),
    T32::def<"value($self)\n--\n\n", pick<float(const SumF32&)>(&vx::value)>(),
    T32::def<"to_bytes($self)\n--\n\n", pick<vx::SumBytes(const SumF32&)>(&vx::encode)>(),
    T32::def<"from_bytes(b)\n--\n\n", &decode_fixed<SumF32, vx::kSumBytes, &vx::read_sum32>>(),
    T32::def<"state_hash($self)\n--\n\n", &vx::state_hash<SumF32>>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<SumF64>() {
    static ClassDef def = T64::make<"SumF64()\n--\n\n">(sum_f64_methods);
    return def;
}

template <>
ClassDef& class_of<SumF32>() {
    static ClassDef def = T32::make<"SumF32()\n--\n\n">(sum_f32_methods);
    return def;
}

}  // namespace vxpy
