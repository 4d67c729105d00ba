// varnix_arrays._native: states of whole arrays, computed by the core and
// handed out as their encodings, which the varnix classes decode.
#include "arrays/bulk.hpp"
#include "arrays/groupby.hpp"
#include "arrays/merge_states.hpp"
#include <cmath>
#include <cstring>
#include <memory>

#include "base/binary32.hpp"
#include "column.hpp"
#include "exact/dot.hpp"
#include "stats/moments.hpp"

namespace vxa {

namespace {

using Bytes = std::span<const std::uint8_t>;

// Errors of the byte-state functions: the texts the varnix classes use for
// the same faults, and two of the package's own.
enum class StateError {
    WrongByteLength, Undefined, BadEdges, ExactnessLost, LengthsDiffer, EdgesDiffer, RowsDiffer, TooWide,
    Missing
};

const char* error_text(StateError e) {
    switch (e) {
        case StateError::WrongByteLength: return error_text(vxpy::Fixed::WrongByteLength);
        case StateError::Undefined: return error_text(vxpy::Fixed::Undefined);
        case StateError::BadEdges: return error_text(vxpy::Fixed::BadEdges);
        case StateError::ExactnessLost: return error_text(vx::DotError::ExactnessLost);
        case StateError::LengthsDiffer: return "x and y differ in length";
        case StateError::EdgesDiffer: return "histograms have different edges";
        case StateError::RowsDiffer: return "X and y differ in the number of rows";
        case StateError::TooWide: return "X has too many columns for a covariance matrix state";
        case StateError::Missing: return "the column holds missing values (NA or null); skipna=True leaves them out";
    }
    return "";
}

template <class T>
using Result = vx::Expected<T, StateError>;

// Missing items are left out only with the NaNs; otherwise the column is refused.
template <class... C>
bool refused(bool skip_nan, const C&... columns) {
    return !skip_nan && ((columns.missing != 0) || ...);
}

// One column fed to a state by the core's bulk feed.
template <class S>
void feed_column(S& s, const Column& x, bool skip_nan) {
    Unlocked unlocked;
    vx::Feed<S> feed(s);
    for_blocks(x, skip_nan, [&](std::span<const double> v) { feed.take(v); });
    feed.finish();
}

template <class S>
Result<decltype(vx::encode(S{}))> encoded(Items x, bool skip_nan) {
    if (refused(skip_nan, x)) return vx::fail(StateError::Missing);
    S s;
    feed_column(s, x, skip_nan);
    return vx::encode(s);
}

// The SumF32 state: each value rounded to binary32 first, as SumF32.add
// rounds its argument (exact for binary32 items); the same integer state as
// a SumF64 of the rounded values.
Result<vx::SumBytes> sum_f32(Items x, bool skip_nan) {
    if (refused(skip_nan, x)) return vx::fail(StateError::Missing);
    vx::SumF64 s;
    {
        Unlocked unlocked;
        vx::Feed<vx::SumF64> feed(s);
        double narrowed[kBlock];
        for_blocks(x, skip_nan, [&](std::span<const double> v) {
            for (std::size_t at = 0; at < v.size(); at += kBlock) {
                const std::size_t n = std::min(kBlock, v.size() - at);
                for (std::size_t i = 0; i < n; ++i) narrowed[i] = vx::widen(vx::narrow(v[at + i]));
                feed.take({narrowed, n});
            }
        });
        feed.finish();
    }
    return vx::encode(s);
}

Result<vx::ExtremaBytes> extrema(Items x, bool skip_nan) {
    if (refused(skip_nan, x)) return vx::fail(StateError::Missing);
    vx::ExtremaF64 s;
    feed_column(s, x, skip_nan);
    return vx::to_bytes(s);
}

// NaNs have their own count in a histogram and poison nothing, unless
// skip_nan leaves them out.
Result<std::vector<std::uint8_t>> histogram(Items x, std::span<const double> edges, bool skip_nan) {
    if (refused(skip_nan, x)) return vx::fail(StateError::Missing);
    std::optional<vx::HistogramF64> h = vx::make_histogram(edges);
    if (!h) return vx::fail(StateError::BadEdges);
    feed_column(*h, x, skip_nan);
    return vx::encode_bytes(*h);
}

Result<std::vector<std::uint8_t>> merge_histograms(Bytes a, Bytes b) {
    auto ha = vx::decode_bytes(a), hb = vx::decode_bytes(b);
    if (!ha || !hb) return vx::fail(StateError::Undefined);
    if (!vx::try_merge(*ha, *hb)) return vx::fail(StateError::EdgesDiffer);
    return vx::encode_bytes(*ha);
}

Result<vx::ExtremaBytes> merge_extrema(Bytes a, Bytes b) {
    if (a.size() != vx::kExtremaBytes || b.size() != vx::kExtremaBytes)
        return vx::fail(StateError::WrongByteLength);
    auto ea = vx::from_bytes(a.data()), eb = vx::from_bytes(b.data());
    if (!ea || !eb) return vx::fail(StateError::Undefined);
    vx::merge(*ea, *eb);
    return vx::to_bytes(*ea);
}

// Two columns of equal length fed pairwise to a state; its encoding.
template <class S>
Result<std::array<std::uint8_t, sizeof(vx::encode(S{}))>> pair_encoded(Column x, Column y, bool skip_nan) {
    if (x.size != y.size) return vx::fail(StateError::LengthsDiffer);
    if (refused(skip_nan, x, y)) return vx::fail(StateError::Missing);
    S s;
    {
        Unlocked unlocked;
        vx::PairFeed<S> feed(s);
        for_pair_blocks(x, y, skip_nan, [&](auto a, auto b) { feed.take(a, b); });
        feed.finish();
    }
    return vx::encode(s);
}

// Rows of X with responses y, a block of rows at a time: each column of the
// block is read into its own run, and with skip_nan a row holding a NaN (in
// X or in y) is left out of every run.
Result<std::vector<std::uint8_t>> cov_matrix(Matrix X, Column y, bool skip_nan) {
    if (X.rows != y.size) return vx::fail(StateError::RowsDiffer);
    if (refused(skip_nan, y)) return vx::fail(StateError::Missing);
    const std::size_t d = X.columns();
    auto made = vx::try_make_covmat(d);
    if (!made) return vx::fail(StateError::TooWide);
    vx::CovMatrixF64 m = std::move(made).value();
    {
        Unlocked unlocked;
        const std::size_t block = std::max<std::size_t>(1, (std::size_t(1) << 15) / (d + 1));
        std::vector<double> cells((d + 1) * block);
        std::vector<std::span<const double>> columns(d);
        Cursor ys_cursor(y);
        for (std::size_t at = 0; at < X.rows; at += block) {
            std::size_t n = std::min(block, X.rows - at);
            double* ys = cells.data() + d * block;
            for (std::size_t j = 0; j < d; ++j) X.column(j).read(at, n, cells.data() + j * block);
            ys_cursor.read(n, ys);
            if (skip_nan) {
                std::size_t kept = 0;
                for (std::size_t r = 0; r < n; ++r) {
                    bool nan = std::isnan(ys[r]);
                    for (std::size_t j = 0; j <= d; ++j) {
                        const double v = cells[j * block + r];
                        nan = nan || std::isnan(v);
                        cells[j * block + kept] = v;
                    }
                    kept += !nan;
                }
                n = kept;
            }
            for (std::size_t j = 0; j < d; ++j) columns[j] = {cells.data() + j * block, n};
            vx::add_rows(m, columns, {ys, n});
        }
    }
    return vx::encode(m);
}

Result<vx::DotBytes> dot_state(Column x, Column y, bool skip_nan) {
    if (x.size != y.size) return vx::fail(StateError::LengthsDiffer);
    if (refused(skip_nan, x, y)) return vx::fail(StateError::Missing);
    vx::DotF64 d;
    {
        Unlocked unlocked;
        for_pair_blocks(x, y, skip_nan, [&](std::span<const double> a, std::span<const double> b) {
            vx::extend_from_slices(d, a, b);
        });
    }
    return vx::encode(d);
}

Result<vx::DotF64> read_dot(Bytes b) {
    if (b.size() != vx::kDotBytes) return vx::fail(StateError::WrongByteLength);
    if (auto d = vx::read_dot(b.data())) return *d;
    return vx::fail(StateError::Undefined);
}

Result<vx::DotBytes> merge_dot(Bytes a, Bytes b) {
    auto da = read_dot(a);
    if (!da) return vx::fail(da.error());
    auto db = read_dot(b);
    if (!db) return vx::fail(db.error());
    vx::merge(da.value(), db.value());
    return vx::encode(da.value());
}

Result<double> dot_value(Bytes b) {
    auto d = read_dot(b);
    if (!d) return vx::fail(d.error());
    auto v = vx::try_value(d.value());
    if (!v) return vx::fail(StateError::ExactnessLost);
    return v.value();
}

// The values of a column as binary64, in order; with skip_nan, a missing
// item reads as a NaN (to be left out with them).
Result<std::vector<double>> values(Column x, bool skip_nan) {
    if (refused(skip_nan, x)) return vx::fail(StateError::Missing);
    std::vector<double> out(x.size);
    Cursor(x).read(x.size, out.data());
    return out;
}

// ------------------------------------------------------------- group-by
//
// A grouping travels between the calls as bytes in the host's layout: the
// number of groups g, the g + 1 starts (8 bytes each), then the kept rows
// (4 bytes each), as vx::order_rows leaves them.

using vxpy::OutBytes;
using vxpy::Pending;

vx::Unexpected<Pending> refuse(vx::GroupError e) {
    if (e != vx::GroupError::Stopped) PyErr_SetString(PyExc_ValueError, vx::error_text(e));
    return vx::fail(Pending{});
}

vx::Expected<OutBytes, Pending> group_order(Codes codes, std::uint64_t groups) {
    if (codes.v.size() > vx::kMaxGroupRows) return refuse(vx::GroupError::TooManyRows);
    if (groups > (std::uint64_t(PY_SSIZE_T_MAX) >> 4)) return refuse(vx::GroupError::CodeOutOfRange);
    std::size_t kept;
    {
        Unlocked unlocked;
        kept = vx::kept_rows(codes.v);
    }
    const std::size_t head = 8 * (groups + 2);
    auto out = OutBytes::make(head + sizeof(vx::RowIndex) * kept);
    if (!out) return vx::fail(Pending{});
    std::uint8_t* p = out.value().data().data();
    std::memcpy(p, &groups, 8);
    vx::Expected<bool, vx::GroupError> done = true;
    {
        Unlocked unlocked;
        done = vx::order_rows(codes.v, {reinterpret_cast<std::uint64_t*>(p + 8), groups + 1},
                              {reinterpret_cast<vx::RowIndex*>(p + head), kept});
    }
    if (!done) return refuse(done.error());
    return std::move(out).value();
}

// The grouping in `order`, checked against rows [0, row_limit).
vx::Expected<vx::GroupOrder, vx::GroupError> read_order(Bytes order, std::size_t row_limit) {
    std::uint64_t groups = 0;
    if (order.size() < 8 || reinterpret_cast<std::uintptr_t>(order.data()) % 8 != 0)
        return vx::fail(vx::GroupError::BadOrder);
    std::memcpy(&groups, order.data(), 8);
    if (groups > (order.size() >> 3) - 2 || (order.size() - 8 * (groups + 2)) % sizeof(vx::RowIndex))
        return vx::fail(vx::GroupError::BadOrder);
    const std::size_t head = 8 * (groups + 2);
    return vx::check_order({reinterpret_cast<const std::uint64_t*>(order.data() + 8), groups + 1},
                           {reinterpret_cast<const vx::RowIndex*>(order.data() + head),
                            (order.size() - head) / sizeof(vx::RowIndex)},
                           row_limit);
}

vx::Expected<std::span<const vx::GroupStat>, vx::GroupError> read_stats(Bytes stats) {
    for (std::uint8_t s : stats)
        if (s >= vx::kGroupStats) return vx::fail(vx::GroupError::BadState);
    return std::span(reinterpret_cast<const vx::GroupStat*>(stats.data()), stats.size());
}

// The classes a column's states are held in for these statistics: two
// bytes, the power-sum class and the extrema (GroupClass codes; 0 for none).
std::array<std::uint8_t, 2> group_classes(Bytes stats) {
    auto s = read_stats(stats);
    if (!s) return {0, 0};
    return {std::uint8_t(vx::power_class(s.value())),
            std::uint8_t(vx::needs_extrema(s.value()) ? vx::GroupClass::Extrema : vx::GroupClass::None)};
}

// The result of a pass over g groups and k statistics, as one bytes object:
// the k·g cells (binary64, statistic-major), the k·g error bytes, then with
// `states` the g encodings of the power-sum class and the g of the extrema.
struct GroupResult {
    OutBytes bytes;
    vx::GroupCells cells;
};

vx::Expected<GroupResult, Pending> group_result(std::size_t groups, std::size_t k, std::size_t power_bytes,
                                                std::size_t extrema_bytes) {
    const std::size_t cells = groups * k;
    auto out = OutBytes::make(9 * cells + groups * (power_bytes + extrema_bytes));
    if (!out) return vx::fail(Pending{});
    std::uint8_t* p = out.value().data().data();
    vx::GroupCells c{{reinterpret_cast<double*>(p), cells},
                     {p + 8 * cells, cells},
                     {p + 9 * cells, groups * power_bytes},
                     {p + 9 * cells + groups * power_bytes, groups * extrema_bytes}};
    return GroupResult{std::move(out).value(), c};
}

// Each group's values of x fed to fresh states (its missing items left out,
// and NaNs too with skip_nan); the statistics `stats` (GroupStat codes) and,
// with `states`, the encodings.
vx::Expected<OutBytes, Pending> group_values(Bytes order, Column x, bool skip_nan, Bytes stats, bool states) {
    auto o = read_order(order, x.size);
    if (!o) return refuse(o.error());
    auto s = read_stats(stats);
    if (!s) return refuse(s.error());
    const vx::GroupOrder& g = o.value();
    const bool extrema = vx::needs_extrema(s.value());
    auto r = group_result(g.groups(), s.value().size(), states ? vx::state_bytes(vx::power_class(s.value())) : 0,
                          states && extrema ? vx::kExtremaBytes : 0);
    if (!r) return vx::fail(Pending{});
    // The values in one binary64 run, converted unless they are one already,
    // and the marks of the missing rows when there are any.
    const auto direct = x.direct();
    std::vector<double> converted(direct ? 0 : x.size);
    std::unique_ptr<bool[]> missing(x.missing ? new bool[x.size] : nullptr);
    std::vector<double> scratch(vx::largest_group(g));
    vx::Expected<bool, vx::GroupError> done = true;
    {
        Unlocked unlocked;
        std::size_t at = 0;
        for (const Run& run : x.runs) {
            if (!direct) run.read(0, run.size, converted.data() + at);
            if (x.missing) run.missing(0, run.size, missing.get() + at);
            at += run.size;
        }
        const std::span<const double> xs = direct ? *direct : std::span<const double>(converted);
        done = vx::group_values(g, {xs, {missing.get(), missing ? x.size : 0}, skip_nan}, s.value(),
                                r.value().cells, scratch, unlocked.poll());
    }
    if (!done) return refuse(done.error());
    return std::move(r.value().bytes);
}

// The encoded states of class `klass` (a GroupClass code), one per row of
// the grouping, merged per group; the statistics and, with `states`, the
// merged encodings, laid out as group_values lays them.
vx::Expected<OutBytes, Pending> group_merge(Bytes order, std::uint64_t klass, Bytes encoded, Bytes stats,
                                            bool states) {
    if (klass == 0 || klass > std::uint64_t(vx::GroupClass::Extrema)) return refuse(vx::GroupError::BadState);
    const auto c = vx::GroupClass(klass);
    const std::size_t size = vx::state_bytes(c);
    if (encoded.size() % size) return refuse(vx::GroupError::BadState);
    auto o = read_order(order, encoded.size() / size);
    if (!o) return refuse(o.error());
    auto s = read_stats(stats);
    if (!s) return refuse(s.error());
    const bool extrema = c == vx::GroupClass::Extrema;
    auto r = group_result(o.value().groups(), s.value().size(), states && !extrema ? size : 0,
                          states && extrema ? size : 0);
    if (!r) return vx::fail(Pending{});
    vx::Expected<bool, vx::GroupError> done = true;
    {
        Unlocked unlocked;
        done = vx::group_states(o.value(), c, encoded, s.value(), r.value().cells, unlocked.poll());
    }
    if (!done) return refuse(done.error());
    return std::move(r.value().bytes);
}

PyMethodDef functions[] = {
    vxpy::function_def<"sum(x, skipna)\n--\n\n", &encoded<vx::SumF64>>(),
    vxpy::function_def<"sum_f32(x, skipna)\n--\n\n", &sum_f32>(),
    vxpy::function_def<"moments(x, skipna)\n--\n\n", &encoded<vx::MomentsF64>>(),
    vxpy::function_def<"moments4(x, skipna)\n--\n\n", &encoded<vx::Moments4F64>>(),
    vxpy::function_def<"cov(x, y, skipna)\n--\n\n", &pair_encoded<vx::CovF64>>(),
    vxpy::function_def<"weighted_moments(x, w, skipna)\n--\n\n", &pair_encoded<vx::WeightedMomentsF64>>(),
    vxpy::function_def<"cov_matrix(X, y, skipna)\n--\n\n", &cov_matrix>(),
    vxpy::function_def<"dot_state(x, y, skipna)\n--\n\n", &dot_state>(),
    vxpy::function_def<"merge_dot(a, b)\n--\n\n", &merge_dot>(),
    vxpy::function_def<"dot_value(state)\n--\n\n", &dot_value>(),
    vxpy::function_def<"extrema(x, skipna)\n--\n\n", &extrema>(),
    vxpy::function_def<"values(x, skipna)\n--\n\n", &values>(),
    vxpy::function_def<"histogram(x, edges, skipna)\n--\n\n", &histogram>(),
    vxpy::function_def<"merge_extrema(a, b)\n--\n\n", &merge_extrema>(),
    vxpy::function_def<"merge_histograms(a, b)\n--\n\n", &merge_histograms>(),
    vxpy::function_def<"group_order(codes, groups)\n--\n\n", &group_order>(),
    vxpy::function_def<"group_classes(stats)\n--\n\n", &group_classes>(),
    vxpy::function_def<"group_values(order, x, skipna, stats, states)\n--\n\n", &group_values>(),
    vxpy::function_def<"group_merge(order, klass, encoded, stats, states)\n--\n\n", &group_merge>(),
    {},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnix_arrays._native", "", -1, functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vxa

PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&vxa::module_def); }
