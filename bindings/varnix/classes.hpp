// The module's classes, in registration order, and the state type behind each.
#pragma once

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "exact/fast.hpp"
#include "frame.hpp"
#include "stats/cov.hpp"
#include "matrix/covmat.hpp"
#include "stats/moments.hpp"
#include "stats/pn_moments.hpp"
#include "stats/weighted.hpp"
#include "hist/hist.hpp"
#include "hist/lattice.hpp"
#include "maps/keyed.hpp"
#include "maps/replicated.hpp"
#include "stats/deferred.hpp"

namespace vxpy {

template <> ClassDef& class_of<vx::SumF64>();
template <> ClassDef& class_of<vx::SumF32>();
template <> ClassDef& class_of<vx::FastSumF64>();
template <> ClassDef& class_of<vx::DotF64>();
template <> ClassDef& class_of<vx::MomentsF64>();
template <> ClassDef& class_of<vx::Moments4F64>();
template <> ClassDef& class_of<vx::CovF64>();
template <> ClassDef& class_of<vx::WeightedMomentsF64>();
template <> ClassDef& class_of<vx::PnMomentsF64>();
template <> ClassDef& class_of<vx::CovMatrixF64>();
template <> ClassDef& class_of<vx::HistogramF64>();
template <> ClassDef& class_of<vx::ExtremaF64>();
template <> ClassDef& class_of<vx::SumMap>();
template <> ClassDef& class_of<vx::MomentsMap>();
template <> ClassDef& class_of<vx::ReplicatedSum>();
template <> ClassDef& class_of<vx::DeltasSum>();

template <> inline constexpr bool is_class_state<vx::SumF64> = true;
template <> inline constexpr bool is_class_state<vx::SumF32> = true;
template <> inline constexpr bool is_class_state<vx::FastSumF64> = true;
template <> inline constexpr bool is_class_state<vx::DotF64> = true;
template <> inline constexpr bool is_class_state<vx::MomentsF64> = true;
template <> inline constexpr bool is_class_state<vx::Moments4F64> = true;
template <> inline constexpr bool is_class_state<vx::CovF64> = true;
template <> inline constexpr bool is_class_state<vx::WeightedMomentsF64> = true;
template <> inline constexpr bool is_class_state<vx::PnMomentsF64> = true;
template <> inline constexpr bool is_class_state<vx::CovMatrixF64> = true;
template <> inline constexpr bool is_class_state<vx::HistogramF64> = true;
template <> inline constexpr bool is_class_state<vx::ExtremaF64> = true;
template <> inline constexpr bool is_class_state<vx::SumMap> = true;
template <> inline constexpr bool is_class_state<vx::MomentsMap> = true;
template <> inline constexpr bool is_class_state<vx::ReplicatedSum> = true;
template <> inline constexpr bool is_class_state<vx::DeltasSum> = true;

// The classes whose add is deferred (see stats/deferred.hpp).
template <>
struct Deferral<vx::SumF64> {
    static constexpr auto add = pick<void(vx::SumF64&, double)>(&vx::add);
    using Pending = vx::DeferredSumAdds;
};
template <>
struct Deferral<vx::MomentsF64> {
    static constexpr auto add = pick<void(vx::MomentsF64&, double)>(&vx::add);
    using Pending = vx::DeferredMomentsAdds;
};
template <>
struct Deferral<vx::CovF64> {
    static constexpr auto add = pick<void(vx::CovF64&, double, double)>(&vx::add);
    using Pending = vx::DeferredCovAdds;
};
template <>
struct Deferral<vx::HistogramF64> {
    static constexpr auto add = pick<void(vx::HistogramF64&, double)>(&vx::add);
    using Pending = vx::DeferredHistogramAdds;
};

// A map that would outgrow its encoding raises OverflowError.
template <> inline constexpr bool is_limit_error<vx::MapLimit> = true;

// The module functions, in registration order after the classes.
extern PyMethodDef dot_function;

}  // namespace vxpy
