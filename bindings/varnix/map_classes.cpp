// SumMap, MomentsMap, ReplicatedSum and DeltasSum: keyed and replicated sums.
#include "classes.hpp"

namespace vxpy {

namespace {

using vx::DeltasSum;
using vx::Done;
using vx::MomentsMap;
using vx::ReplicatedSum;
using vx::SumMap;
using Stat = std::optional<vx::Stat<double>>;

using TS = Table<SumMap, "SumMap">;

PyMethodDef sum_map_methods[] = {
    TS::def<"add($self, key, x)\n--\n\n",
            pick<Done(SumMap&, std::string_view, double)>(&vx::add_under)>(),
    TS::def<"value($self, key)\n--\n\n",
            pick<std::optional<double>(const SumMap&, std::string_view)>(&vx::value)>(),
    TS::def<"merge($self, other)\n--\n\n", pick<Done(SumMap&, const SumMap&)>(&vx::merge_maps)>(),
    TS::def<"len($self)\n--\n\n", pick<std::uint64_t(const SumMap&)>(&vx::len)>(),
    TS::def<"count($self)\n--\n\n", pick<std::uint64_t(const SumMap&)>(&vx::count)>(),
    TS::def<"encode($self)\n--\n\n",
            pick<vx::SumMapEncoding(const SumMap&)>(&vx::encode)>(),
    {},
};

using TM = Table<MomentsMap, "MomentsMap">;

PyMethodDef moments_map_methods[] = {
    TM::def<"add($self, key, x)\n--\n\n",
            pick<Done(MomentsMap&, std::string_view, double)>(&vx::add_under)>(),
    TM::def<"mean($self, key)\n--\n\n",
            pick<Stat(const MomentsMap&, std::string_view)>(&vx::try_mean)>(),
    TM::def<"variance($self, key)\n--\n\n",
            pick<Stat(const MomentsMap&, std::string_view)>(&vx::try_variance)>(),
    TM::def<"merge($self, other)\n--\n\n",
            pick<Done(MomentsMap&, const MomentsMap&)>(&vx::merge_maps)>(),
    TM::def<"len($self)\n--\n\n", pick<std::uint64_t(const MomentsMap&)>(&vx::len)>(),
    TM::def<"encode($self)\n--\n\n",
            pick<vx::MomentsMapEncoding(const MomentsMap&)>(&vx::encode)>(),
    {},
};

using TR = Table<ReplicatedSum, "ReplicatedSum">;

PyMethodDef replicated_methods[] = {
    TR::def<"add($self, replica, x)\n--\n\n",
            pick<Done(ReplicatedSum&, std::uint64_t, double)>(&vx::add)>(),
    TR::def<"join($self, other)\n--\n\n",
            pick<Done(ReplicatedSum&, const ReplicatedSum&)>(&vx::join)>(),
    TR::def<"value($self)\n--\n\n", pick<double(const ReplicatedSum&)>(&vx::value)>(),
    TR::def<"encode($self)\n--\n\n",
            pick<vx::ReplicatedEncoding(const ReplicatedSum&)>(&vx::encode)>(),
    {},
};

using TD = Table<DeltasSum, "DeltasSum">;

PyMethodDef deltas_methods[] = {
    TD::def<"add($self, x)\n--\n\n", pick<void(DeltasSum&, double)>(&vx::add)>(),
    TD::def<"value($self)\n--\n\n", pick<double(const DeltasSum&)>(&vx::value)>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<SumMap>() {
    static ClassDef def = TS::make<"SumMap()\n--\n\n">(sum_map_methods);
    return def;
}

template <>
ClassDef& class_of<MomentsMap>() {
    static ClassDef def = TM::make<"MomentsMap()\n--\n\n">(moments_map_methods);
    return def;
}

template <>
ClassDef& class_of<ReplicatedSum>() {
    static ClassDef def = TR::make<"ReplicatedSum()\n--\n\n">(replicated_methods);
    return def;
}

template <>
ClassDef& class_of<DeltasSum>() {
    static ClassDef def = TD::make<"DeltasSum()\n--\n\n">(deltas_methods);
    return def;
}

}  // namespace vxpy
