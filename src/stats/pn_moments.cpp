#include "stats/pn_moments.hpp"

namespace vx {

void merge(PnMomentsF64& m, const PnMomentsF64& other) {
    merge(m.added, other.added);
    merge(m.removed, other.removed);
}

std::optional<std::uint64_t> live_count(const PnMomentsF64& m) {
    const std::uint64_t a = count(m.added), r = count(m.removed);
    if (a < r) return std::nullopt;
    return a - r;
}

Stat<Net> net(const PnMomentsF64& m) {
    const std::uint64_t a = count(m.added), r = count(m.removed);
    if (a < r) return fail(StatsError::Degenerate);
    if (a == r) return fail(StatsError::Empty);
    auto sa = sum_int(m.added.sum_x);
    if (!sa) return fail(sa.error());
    auto sr = sum_int(m.removed.sum_x);
    if (!sr) return fail(sr.error());
    auto qa = dot_int(m.added.sum_xx);
    if (!qa) return fail(qa.error());
    auto qr = dot_int(m.removed.sum_xx);
    if (!qr) return fail(qr.error());
    return Net{Int(sa.value() - sr.value()), Int(qa.value() - qr.value()), a - r};
}

Stat<double> try_mean(const PnMomentsF64& m) {
    auto r = net(m);
    if (!r) return fail(r.error());
    return mean_quotient(r.value().s, r.value().m);
}

Stat<double> try_variance(const PnMomentsF64& m) {
    auto r = net(m);
    if (!r) return fail(r.error());
    const Net& v = r.value();
    return population_quotient(comoment(v.m, v.q, v.s, v.s), v.m);
}

std::array<std::uint8_t, kPnMomentsBytes> encode(const PnMomentsF64& m) {
    std::array<std::uint8_t, kPnMomentsBytes> out;
    write_moments(m.added, out.data());
    write_moments(m.removed, out.data() + kMomentsBytes);
    return out;
}

std::optional<PnMomentsF64> read_pn_moments(const std::uint8_t* in) {
    auto added = read_moments(in);
    if (!added) return std::nullopt;
    auto removed = read_moments(in + kMomentsBytes);
    if (!removed) return std::nullopt;
    return PnMomentsF64{*added, *removed};
}

}  // namespace vx
