#include "arrays/groupby.hpp"

#include <algorithm>
#include <cmath>

#include "arrays/bulk.hpp"
#include "arrays/merge_states.hpp"
#include "hist/lattice.hpp"
#include "stats/moments.hpp"

namespace vx {

namespace {

bool any_of(std::span<const GroupStat> stats, std::initializer_list<GroupStat> which) {
    return std::any_of(stats.begin(), stats.end(), [&](GroupStat s) {
        return std::find(which.begin(), which.end(), s) != which.end();
    });
}

// Below this many values a group's states are fed by their classes' single
// adds: the bulk feed's banks cost more to clear than a short run to add.
// Both reach the same state.
constexpr std::size_t kShortRun = 32;

template <class S>
void feed(S& s, std::span<const double> xs) {
    if (xs.size() < kShortRun) {
        for (double x : xs) add(s, x);
    } else {
        add_all(s, xs);
    }
}

// One group's states; only those of the column's classes are used.
struct GroupState {
    GroupClass power = GroupClass::None;
    bool extrema = false;
    SumF64 sum;
    MomentsF64 moments;
    Moments4F64 moments4;
    ExtremaF64 minmax;

    void clear() {
        switch (power) {
            case GroupClass::Sum: sum = {}; break;
            case GroupClass::Moments: moments = {}; break;
            case GroupClass::Moments4: moments4 = {}; break;
            default: break;
        }
        minmax = {};
    }

    void take(std::span<const double> xs) {
        switch (power) {
            case GroupClass::Sum: feed(sum, xs); break;
            case GroupClass::Moments: feed(moments, xs); break;
            case GroupClass::Moments4: feed(moments4, xs); break;
            default: break;
        }
        if (extrema) feed(minmax, xs);
    }

    // The power sums as the smaller classes: a MomentsF64 is the first two
    // parts of a Moments4F64 fed the same values, and a SumF64 its first.
    const MomentsF64& as_moments() {
        if (power == GroupClass::Moments4) moments = {moments4.sum_x, moments4.sum_x2};
        return moments;
    }
    const SumF64& as_sum() const {
        switch (power) {
            case GroupClass::Moments: return moments.sum_x;
            case GroupClass::Moments4: return moments4.sum_x;
            default: return sum;
        }
    }
    std::uint64_t count() const { return power == GroupClass::None ? minmax.count : as_sum().count; }

    Stat<double> extreme(bool max) const {
        if (!minmax.has_value) return fail(minmax.nan ? StatsError::NonFinite : StatsError::Empty);
        auto v = max ? try_max(minmax) : try_min(minmax);
        if (!v) return fail(StatsError::NonFinite);
        return *v;
    }

    Stat<double> statistic(GroupStat s) {
        switch (s) {
            case GroupStat::Count: return double(count());
            case GroupStat::Sum: return value(as_sum());
            case GroupStat::Mean: return try_mean(as_sum());
            case GroupStat::Variance: return try_variance(as_moments());
            case GroupStat::SampleVariance: return try_sample_variance(as_moments());
            case GroupStat::Stddev: return try_stddev(as_moments());
            case GroupStat::SampleStddev: {
                auto v = try_sample_variance(as_moments());
                if (!v) return v;
                return try_sqrt(v.value());
            }
            case GroupStat::Skewness: return try_skewness(moments4);
            case GroupStat::Kurtosis: return try_kurtosis(moments4);
            case GroupStat::ExcessKurtosis: return try_excess_kurtosis(moments4);
            case GroupStat::Min: return extreme(false);
            case GroupStat::Max: return extreme(true);
        }
        return fail(StatsError::Degenerate);
    }

    void write_power(std::uint8_t* out) const {
        switch (power) {
            case GroupClass::Sum: write_sum(sum, out); break;
            case GroupClass::Moments: write_moments(moments, out); break;
            case GroupClass::Moments4: {
                const auto b = encode(moments4);
                std::copy(b.begin(), b.end(), out);
                break;
            }
            default: break;
        }
    }

    // Writes every cell of group g, and its encodings when asked for.
    void finish(std::size_t g, std::size_t groups, std::span<const GroupStat> stats,
                const GroupCells& out) {
        for (std::size_t k = 0; k < stats.size(); ++k) {
            auto v = statistic(stats[k]);
            out.cells[k * groups + g] = v ? v.value() : NAN;
            out.errors[k * groups + g] = v ? 0 : std::uint8_t(1 + unsigned(v.error()));
        }
        if (!out.power_states.empty()) write_power(out.power_states.data() + g * state_bytes(power));
        if (!out.extrema_states.empty()) {
            const auto b = to_bytes(minmax);
            std::copy(b.begin(), b.end(), out.extrema_states.data() + g * kExtremaBytes);
        }
    }
};

// Merges one encoded state of the column's class into the group's state.
bool merge_encoded(GroupState& s, GroupClass c, const std::uint8_t* in) {
    switch (c) {
        case GroupClass::Sum: {
            auto d = read_sum(in);
            if (d) merge(s.sum, *d);
            return bool(d);
        }
        case GroupClass::Moments: {
            auto d = read_moments(in);
            if (d) merge(s.moments, *d);
            return bool(d);
        }
        case GroupClass::Moments4: {
            auto d = read_moments4(in);
            if (d) merge(s.moments4, *d);
            return bool(d);
        }
        case GroupClass::Extrema: {
            auto d = from_bytes(in);
            if (d) merge(s.minmax, *d);
            return bool(d);
        }
        case GroupClass::None: break;
    }
    return false;
}

}  // namespace

GroupClass power_class(std::span<const GroupStat> stats) {
    using enum GroupStat;
    if (any_of(stats, {Skewness, Kurtosis, ExcessKurtosis})) return GroupClass::Moments4;
    if (any_of(stats, {Mean, Variance, SampleVariance, Stddev, SampleStddev})) return GroupClass::Moments;
    if (any_of(stats, {Count, Sum}) || !needs_extrema(stats)) return GroupClass::Sum;
    return GroupClass::None;
}

bool needs_extrema(std::span<const GroupStat> stats) {
    return any_of(stats, {GroupStat::Min, GroupStat::Max});
}

std::size_t state_bytes(GroupClass c) {
    switch (c) {
        case GroupClass::None: return 0;
        case GroupClass::Sum: return kSumBytes;
        case GroupClass::Moments: return kMomentsBytes;
        case GroupClass::Moments4: return kMoments4Bytes;
        case GroupClass::Extrema: return kExtremaBytes;
    }
    return 0;
}

const char* error_text(GroupError e) {
    switch (e) {
        case GroupError::CodeOutOfRange: return "a group code is not below the number of groups";
        case GroupError::TooManyRows: return "a group-by takes at most 2**32 - 1 rows; split the data and merge the states";
        case GroupError::BadOrder: return "not a grouping of these rows";
        case GroupError::BadState: return "undefined (insufficient data or invalid input)";
        case GroupError::Stopped: return "stopped";
    }
    return "";
}

std::size_t kept_rows(std::span<const std::int64_t> codes) {
    std::size_t n = 0;
    for (std::int64_t c : codes) n += c >= 0;
    return n;
}

// A stable counting sort: counts per code, their prefix sums, then each row
// placed after the rows of lower codes and the earlier rows of its own.
Expected<bool, GroupError> order_rows(std::span<const std::int64_t> codes,
                                      std::span<std::uint64_t> starts, std::span<RowIndex> rows) {
    if (codes.size() > kMaxGroupRows) return fail(GroupError::TooManyRows);
    const std::size_t groups = starts.size() - 1;
    std::fill(starts.begin(), starts.end(), 0);
    for (std::int64_t c : codes) {
        if (c >= 0 && std::uint64_t(c) >= groups) return fail(GroupError::CodeOutOfRange);
        if (c >= 0) ++starts[std::size_t(c) + 1];
    }
    for (std::size_t g = 0; g < groups; ++g) starts[g + 1] += starts[g];
    if (starts[groups] != rows.size()) return fail(GroupError::BadOrder);
    // starts[g] is used as group g's cursor and ends at starts[g + 1]; the
    // cursors are moved back one group afterwards.
    for (std::size_t r = 0; r < codes.size(); ++r)
        if (codes[r] >= 0) rows[starts[std::size_t(codes[r])]++] = RowIndex(r);
    for (std::size_t g = groups; g > 0; --g) starts[g] = starts[g - 1];
    starts[0] = 0;
    return true;
}

Expected<GroupOrder, GroupError> check_order(std::span<const std::uint64_t> starts,
                                             std::span<const RowIndex> rows, std::size_t row_limit) {
    if (starts.empty() || starts.front() != 0 || starts.back() != rows.size())
        return fail(GroupError::BadOrder);
    for (std::size_t g = 1; g < starts.size(); ++g)
        if (starts[g] < starts[g - 1]) return fail(GroupError::BadOrder);
    for (RowIndex r : rows)
        if (r >= row_limit) return fail(GroupError::BadOrder);
    return GroupOrder{starts, rows};
}

std::size_t largest_group(const GroupOrder& order) {
    std::uint64_t most = 0;
    for (std::size_t g = 0; g < order.groups(); ++g)
        most = std::max(most, order.starts[g + 1] - order.starts[g]);
    return std::size_t(most);
}

Expected<bool, GroupError> group_values(const GroupOrder& order, const GroupValues& v,
                                        std::span<const GroupStat> stats, const GroupCells& out,
                                        std::span<double> scratch, Poll poll) {
    GroupState s;
    s.power = power_class(stats);
    s.extrema = needs_extrema(stats);
    const std::size_t groups = order.groups();
    std::size_t since_poll = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        std::size_t n = 0;
        for (std::uint64_t i = order.starts[g]; i < order.starts[g + 1]; ++i) {
            const RowIndex r = order.rows[i];
            const double x = v.x[r];
            scratch[n] = x;
            n += !(!v.missing.empty() && v.missing[r]) && !(v.skip_nan && std::isnan(x));
        }
        s.clear();
        s.take(scratch.first(n));
        s.finish(g, groups, stats, out);
        since_poll += n + kGroupWork;
        if (since_poll >= kPollWork) {
            since_poll = 0;
            if (poll()) return fail(GroupError::Stopped);
        }
    }
    return true;
}

Expected<bool, GroupError> group_states(const GroupOrder& order, GroupClass c,
                                        std::span<const std::uint8_t> states,
                                        std::span<const GroupStat> stats, const GroupCells& out,
                                        Poll poll) {
    const std::size_t size = state_bytes(c);
    if (size == 0) return fail(GroupError::BadState);
    GroupState s;
    s.power = c == GroupClass::Extrema ? GroupClass::None : c;
    s.extrema = c == GroupClass::Extrema;
    const std::size_t groups = order.groups();
    std::size_t since_poll = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        s.clear();
        for (std::uint64_t i = order.starts[g]; i < order.starts[g + 1]; ++i) {
            const std::size_t r = order.rows[i];
            if ((r + 1) * size > states.size()) return fail(GroupError::BadOrder);
            if (!merge_encoded(s, c, states.data() + r * size)) return fail(GroupError::BadState);
        }
        s.finish(g, groups, stats, out);
        since_poll += (order.starts[g + 1] - order.starts[g]) * (size / 8) + kGroupWork;
        if (since_poll >= kPollWork) {
            since_poll = 0;
            if (poll()) return fail(GroupError::Stopped);
        }
    }
    return true;
}

}  // namespace vx
