// MomentsF64 and Moments4F64: exact moments of one variable.
#include "classes.hpp"
#include "receipt/receipt.hpp"

namespace vxpy {

namespace {

using vx::Moments4F64;
using vx::MomentsF64;
using vx::Stat;

using T2 = Table<MomentsF64, "MomentsF64">;

PyMethodDef moments_methods[] = {
    T2::def<"add($self, x)\n--\n\n", pick<void(MomentsF64&, double)>(&vx::add)>(),
    T2::def<"merge($self, o)\n--\n\n", pick<void(MomentsF64&, const MomentsF64&)>(&vx::merge)>(),
    T2::def<"count($self)\n--\n\n", pick<std::uint64_t(const MomentsF64&)>(&vx::count)>(),
    T2::def<"mean($self)\n--\n\n", pick<Stat<double>(const MomentsF64&)>(&vx::try_mean)>(),
    T2::def<"variance($self)\n--\n\n", pick<Stat<double>(const MomentsF64&)>(&vx::try_variance)>(),
    T2::def<"sample_variance($self)\n--\n\n", &vx::try_sample_variance>(),
    T2::def<"stddev($self)\n--\n\n", &vx::try_stddev>(),
    T2::def<"to_bytes($self)\n--\n\n",
            pick<std::array<std::uint8_t, vx::kMomentsBytes>(const MomentsF64&)>(&vx::encode)>(),
    T2::def<"from_bytes(b)\n--\n\n",
            &decode_fixed<MomentsF64, vx::kMomentsBytes, &vx::read_moments>>(),
    T2::def<"state_hash($self)\n--\n\n", &vx::state_hash<MomentsF64>>(),
    {},
};

using T4 = Table<Moments4F64, "Moments4F64">;

PyMethodDef moments4_methods[] = {
    T4::def<"add($self, x)\n--\n\n", pick<void(Moments4F64&, double)>(&vx::add)>(),
    T4::def<"merge($self, o)\n--\n\n", pick<void(Moments4F64&, const Moments4F64&)>(&vx::merge)>(),
    T4::def<"count($self)\n--\n\n", pick<std::uint64_t(const Moments4F64&)>(&vx::count)>(),
    T4::def<"mean($self)\n--\n\n", pick<Stat<double>(const Moments4F64&)>(&vx::try_mean)>(),
    T4::def<"variance($self)\n--\n\n", pick<Stat<double>(const Moments4F64&)>(&vx::try_variance)>(),
    T4::def<"kurtosis($self)\n--\n\n", &vx::try_kurtosis>(),
    T4::def<"excess_kurtosis($self)\n--\n\n", &vx::try_excess_kurtosis>(),
    T4::def<"skewness($self)\n--\n\n", &vx::try_skewness>(),
    T4::def<"skewness_squared($self)\n--\n\n", &vx::try_skewness_squared>(),
    T4::def<"to_bytes($self)\n--\n\n",
            pick<std::array<std::uint8_t, vx::kMoments4Bytes>(const Moments4F64&)>(&vx::encode)>(),
    T4::def<"from_bytes(b)\n--\n\n",
            &decode_fixed<Moments4F64, vx::kMoments4Bytes, &vx::read_moments4>>(),
    T4::def<"state_hash($self)\n--\n\n", &vx::state_hash<Moments4F64>>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<MomentsF64>() {
    static ClassDef def = T2::make<"MomentsF64()\n--\n\n">(moments_methods);
    return def;
}

template <>
ClassDef& class_of<Moments4F64>() {
    static ClassDef def = T4::make<"Moments4F64()\n--\n\n">(moments4_methods);
    return def;
}

}  // namespace vxpy
