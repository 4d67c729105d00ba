// Per-group statistics of a column in one pass, one group at a time.
//
// The rows are first ordered by group with a stable counting sort of their
// group codes (`order_rows`), so that each group's rows form one run.  Each
// group's values are then gathered, fed to a fresh state of the smallest
// class that answers every statistic asked for, read, encoded on request and
// dropped.  A group's state is the one its class reaches by adding the
// group's values one by one (the bulk feeds and merges guarantee it), so
// every cell equals the class's own answer.
//
// Memory: no accumulator outlives its group.  Besides the outputs (one
// binary64 and one error byte per group and statistic, and the encodings when
// asked for), the working storage is the row order, 4 bytes per row plus
// 8 per group, and one run as long as the largest group (the caller adds a
// binary64 copy of a column stored otherwise, and a byte per row marking the
// missing values of a column that has any).  A group-by over 10^6 keys
// therefore never holds 10^6 full-width accumulators.
//
// The second way to fill the states is from encodings: the rows are then
// encoded states of one class, and each group's states are merged.  This is
// how tables of states computed apart are combined into one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/expected.hpp"
#include "base/poll.hpp"
#include "stats/bigint.hpp"

namespace vx {

// The statistics a group-by computes, in the order of their codes.
// SampleStddev is the square root of the rounded sample variance, as
// Stddev is of the rounded population variance.
enum class GroupStat : std::uint8_t {
    Count, Sum, Mean, Variance, SampleVariance, Stddev, SampleStddev,
    Skewness, Kurtosis, ExcessKurtosis, Min, Max,
};
inline constexpr unsigned kGroupStats = unsigned(GroupStat::Max) + 1;

// The classes a column's groups are held in: one of the power-sum classes
// (the smallest that answers the statistics) and, for min and max, extrema.
enum class GroupClass : std::uint8_t { None, Sum, Moments, Moments4, Extrema };

// The power-sum class for a set of statistics: Moments4 when a third or
// fourth moment is asked for, else Moments when a mean or a second moment
// is, else Sum when a count or a sum is (or nothing else is), else None.
GroupClass power_class(std::span<const GroupStat> stats);
bool needs_extrema(std::span<const GroupStat> stats);
// Bytes of one encoded state of the class (0 for None).
std::size_t state_bytes(GroupClass c);

enum class GroupError { CodeOutOfRange, TooManyRows, BadOrder, BadState, Stopped };
const char* error_text(GroupError e);

// Rows are numbered in 32 bits: a group-by of more than 2^32 - 1 rows is
// refused (split it into partitions and merge their states).
using RowIndex = std::uint32_t;
inline constexpr std::size_t kMaxGroupRows = std::size_t(UINT32_MAX);

// The rows kept by a grouping: those whose code is not negative.
// `starts` has ngroups + 1 entries; group g owns rows[starts[g] .. starts[g+1]).
std::size_t kept_rows(std::span<const std::int64_t> codes);
// Fills starts (ngroups + 1 entries) and rows (kept_rows(codes) entries),
// each group's rows in ascending order; refuses a code >= ngroups.
Expected<bool, GroupError> order_rows(std::span<const std::int64_t> codes,
                                      std::span<std::uint64_t> starts, std::span<RowIndex> rows);

// A grouping as order_rows left it, checked: starts ascend from 0 to
// rows.size(), every row is below `row_limit`.
struct GroupOrder {
    std::span<const std::uint64_t> starts;
    std::span<const RowIndex> rows;
    std::size_t groups() const { return starts.size() - 1; }
};
Expected<GroupOrder, GroupError> check_order(std::span<const std::uint64_t> starts,
                                             std::span<const RowIndex> rows, std::size_t row_limit);

// Where the results go: cells[s * groups + g] and errors[s * groups + g] for
// the s-th statistic and group g (errors: 0, or 1 + the StatsError code);
// the encodings, when the spans are not empty, state_bytes(c) per group in
// group order, for the power-sum class and the extrema.
struct GroupCells {
    std::span<double> cells;
    std::span<std::uint8_t> errors;
    std::span<std::uint8_t> power_states;
    std::span<std::uint8_t> extrema_states;
};

// The values of a column, one binary64 per row, and which rows miss theirs
// (missing[r]; an empty span when none does).
struct GroupValues {
    std::span<const double> x;
    std::span<const bool> missing;
    bool skip_nan = false;
};

// The most rows any one group holds: the length of the scratch run.
std::size_t largest_group(const GroupOrder& order);

// Feeds each group's values to its states and fills the cells; `scratch`
// holds at least largest_group(order) values.  The poll runs between groups
// once kPollWork units of work have been done since it last ran: a value
// read is one unit, a group's reading and rounding kGroupWork (its big-integer
// quotients cost about as much as adding that many values), so that a pass
// polls every few milliseconds whatever the sizes of its groups.  When the
// poll stops the pass (Stopped), the cells are incomplete.
inline constexpr std::size_t kPollWork = std::size_t(1) << 20;
inline constexpr std::size_t kGroupWork = 256;
Expected<bool, GroupError> group_values(const GroupOrder& order, const GroupValues& v,
                                        std::span<const GroupStat> stats, const GroupCells& out,
                                        std::span<double> scratch, Poll poll);

// The same from encoded states of class c (Sum, Moments, Moments4 or
// Extrema): row i is the i-th state of `states`, state_bytes(c) bytes each,
// and each group's states are merged.  A state that does not decode refuses
// the pass with BadState.
Expected<bool, GroupError> group_states(const GroupOrder& order, GroupClass c,
                                        std::span<const std::uint8_t> states,
                                        std::span<const GroupStat> stats, const GroupCells& out,
                                        Poll poll);

}  // namespace vx
