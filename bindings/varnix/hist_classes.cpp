// HistogramF64 and ExtremaF64: counts over fixed edges, and extremes in the
// total order.
#include "classes.hpp"

namespace vxpy {

namespace {

using vx::ExtremaF64;
using vx::HistogramF64;

// Refused edges are the constructor's one error.
vx::Expected<HistogramF64, Fixed> new_histogram(std::span<const double> edges) {
    if (std::optional<HistogramF64> h = vx::make_histogram(edges)) return std::move(*h);
    return vx::fail(Fixed::BadEdges);
}

using TH = Table<HistogramF64, "HistogramF64">;

PyMethodDef histogram_methods[] = {
    TH::def<"add($self, x)\n--\n\n", pick<void(HistogramF64&, double)>(&vx::add)>(),
    TH::def<"edges($self)\n--\n\n", &vx::edges>(),
    TH::def<"counts($self)\n--\n\n", &vx::try_counts>(),
    TH::def<"total($self)\n--\n\n", &vx::total>(),
    TH::def<"quantile_bounds($self, q)\n--\n\n", &vx::quantile_bounds>(),
    TH::def<"encode($self)\n--\n\n", &vx::encode_bytes>(),
    TH::def<"decode(b)\n--\n\n", &vx::decode_bytes>(),
    TH::def<"state_hash($self)\n--\n\n", pick<vx::Digest(const HistogramF64&)>(&vx::state_hash)>(),
    {},
};

using TE = Table<ExtremaF64, "ExtremaF64">;

PyMethodDef extrema_methods[] = {
    TE::def<"add($self, x)\n--\n\n", pick<void(ExtremaF64&, double)>(&vx::add)>(),
    TE::def<"min($self)\n--\n\n", &vx::try_min>(),
    TE::def<"max($self)\n--\n\n", &vx::try_max>(),
    TE::def<"range($self)\n--\n\n", &vx::try_range>(),
    TE::def<"to_bytes($self)\n--\n\n", &vx::to_bytes>(),
    TE::def<"from_bytes(b)\n--\n\n", &decode_fixed<ExtremaF64, vx::kExtremaBytes, &vx::from_bytes>>(),
    TE::def<"state_hash($self)\n--\n\n", pick<vx::Digest(const ExtremaF64&)>(&vx::state_hash)>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<HistogramF64>() {
    static ClassDef def = TH::make<"HistogramF64(edges)\n--\n\n", &new_histogram>(histogram_methods);
    return def;
}

template <>
ClassDef& class_of<ExtremaF64>() {
    static ClassDef def = TE::make<"ExtremaF64()\n--\n\n">(extrema_methods);
    return def;
}

}  // namespace vxpy
