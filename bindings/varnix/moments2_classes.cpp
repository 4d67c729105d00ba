// CovF64, WeightedMomentsF64 and PnMomentsF64: exact statistics of pairs,
// of weighted values and of a multiset with removal.
#include "classes.hpp"
#include "receipt/receipt.hpp"

namespace vxpy {

namespace {

using vx::CovF64;
using vx::PnMomentsF64;
using vx::Stat;
using vx::WeightedMomentsF64;

using TC = Table<CovF64, "CovF64">;

PyMethodDef cov_methods[] = {
    TC::def<"add($self, x, y)\n--\n\n", pick<void(CovF64&, double, double)>(&vx::add)>(),
    TC::def<"merge($self, o)\n--\n\n", pick<void(CovF64&, const CovF64&)>(&vx::merge)>(),
    TC::def<"count($self)\n--\n\n", pick<std::uint64_t(const CovF64&)>(&vx::count)>(),
    TC::def<"covariance($self)\n--\n\n", &vx::try_covariance>(),
    TC::def<"slope($self)\n--\n\n", &vx::try_slope>(),
    TC::def<"intercept($self)\n--\n\n", &vx::try_intercept>(),
    TC::def<"r_squared($self)\n--\n\n", &vx::try_r_squared>(),
    TC::def<"correlation($self)\n--\n\n", &vx::try_correlation>(),
    TC::def<"to_bytes($self)\n--\n\n",
            pick<std::array<std::uint8_t, vx::kCovBytes>(const CovF64&)>(&vx::encode)>(),
    TC::def<"from_bytes(b)\n--\n\n", &decode_fixed<CovF64, vx::kCovBytes, &vx::read_cov>>(),
    TC::def<"state_hash($self)\n--\n\n", &vx::state_hash<CovF64>>(),
    {},
};

using TW = Table<WeightedMomentsF64, "WeightedMomentsF64">;

PyMethodDef weighted_methods[] = {
    TW::def<"add($self, x, w)\n--\n\n",
            pick<void(WeightedMomentsF64&, double, double)>(&vx::add)>(),
    TW::def<"merge($self, o)\n--\n\n",
            pick<void(WeightedMomentsF64&, const WeightedMomentsF64&)>(&vx::merge)>(),
    TW::def<"count($self)\n--\n\n", pick<std::uint64_t(const WeightedMomentsF64&)>(&vx::count)>(),
    TW::def<"mean($self)\n--\n\n", pick<Stat<double>(const WeightedMomentsF64&)>(&vx::try_mean)>(),
    TW::def<"variance($self)\n--\n\n",
            pick<Stat<double>(const WeightedMomentsF64&)>(&vx::try_variance)>(),
    TW::def<"to_bytes($self)\n--\n\n",
            pick<std::array<std::uint8_t, vx::kWeightedBytes>(const WeightedMomentsF64&)>(
                &vx::encode)>(),
    TW::def<"from_bytes(b)\n--\n\n",
            &decode_fixed<WeightedMomentsF64, vx::kWeightedBytes, &vx::read_weighted>>(),
    TW::def<"state_hash($self)\n--\n\n", &vx::state_hash<WeightedMomentsF64>>(),
    {},
};

using TP = Table<PnMomentsF64, "PnMomentsF64">;

PyMethodDef pn_methods[] = {
    TP::def<"add($self, x)\n--\n\n", pick<void(PnMomentsF64&, double)>(&vx::add)>(),
    TP::def<"remove($self, x)\n--\n\n", &vx::remove>(),
    TP::def<"merge($self, o)\n--\n\n", pick<void(PnMomentsF64&, const PnMomentsF64&)>(&vx::merge)>(),
    TP::def<"live_count($self)\n--\n\n", &vx::live_count>(),
    TP::def<"mean($self)\n--\n\n", pick<Stat<double>(const PnMomentsF64&)>(&vx::try_mean)>(),
    TP::def<"variance($self)\n--\n\n", pick<Stat<double>(const PnMomentsF64&)>(&vx::try_variance)>(),
    TP::def<"to_bytes($self)\n--\n\n",
            pick<std::array<std::uint8_t, vx::kPnMomentsBytes>(const PnMomentsF64&)>(&vx::encode)>(),
    TP::def<"from_bytes(b)\n--\n\n",
            &decode_fixed<PnMomentsF64, vx::kPnMomentsBytes, &vx::read_pn_moments>>(),
    TP::def<"state_hash($self)\n--\n\n", &vx::state_hash<PnMomentsF64>>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<CovF64>() {
    static ClassDef def = TC::make<"CovF64()\n--\n\n">(cov_methods);
    return def;
}

template <>
ClassDef& class_of<WeightedMomentsF64>() {
    static ClassDef def = TW::make<"WeightedMomentsF64()\n--\n\n">(weighted_methods);
    return def;
}

template <>
ClassDef& class_of<PnMomentsF64>() {
    static ClassDef def = TP::make<"PnMomentsF64()\n--\n\n">(pn_methods);
    return def;
}

}  // namespace vxpy
