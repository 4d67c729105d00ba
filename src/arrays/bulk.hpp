// Whole runs of values fed to a state at once.
//
// A feed leaves the state exactly as calling the state's own `add` for every
// value in order would: the sums are exact integers, so the order and
// grouping of their terms cannot change them; the flags are sticky ORs; the
// counts rise by the same amounts, saturating.  The product terms are formed
// by the same product step as `push`, a block at a time.  A feed may take
// many runs; the state is complete once `finish` has run.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "exact/fast.hpp"
#include "hist/hist.hpp"
#include "hist/lattice.hpp"
#include "matrix/covmat.hpp"
#include "stats/cov.hpp"
#include "stats/moments.hpp"
#include "stats/weighted.hpp"
#include "arrays/merge_states.hpp"

namespace vx {

// Raises a count by n, saturating at 2^64 - 1 like n single increments.
inline std::uint64_t count_up(std::uint64_t count, std::size_t n) {
    return saturating_add(count, std::uint64_t(n));
}

// The values of a SumF64, summed through one BlockSum so that its held
// level sums and banks carry from one run to the next.
class SumFeed {
public:
    explicit SumFeed(SumF64& s) : s_(s) {}
    void take(std::span<const double> xs) {
        s_.count = count_up(s_.count, xs.size());
        sums_.take(xs, s_.limbs);
    }
    void finish() { s_.flags |= sums_.finish(s_.limbs); }

private:
    SumF64& s_;
    BlockSum sums_;
};

template <class S>
class Feed;

template <>
class Feed<SumF64> : public SumFeed {
public:
    using SumFeed::SumFeed;
};

template <>
class Feed<MomentsF64> {
public:
    explicit Feed(MomentsF64& m) : m_(m), sum_x_(m.sum_x) {}
    void take(std::span<const double> xs) {
        sum_x_.take(xs);
        extend_from_slices(m_.sum_xx, xs, xs);
    }
    void finish() { sum_x_.finish(); }

private:
    MomentsF64& m_;
    SumFeed sum_x_;
};

template <>
class Feed<Moments4F64> {
public:
    explicit Feed(Moments4F64& m) : m_(m), sum_x_(m.sum_x) {}
    void take(std::span<const double> xs);
    void finish() { sum_x_.finish(); }

private:
    Moments4F64& m_;
    SumFeed sum_x_;
};

// The extremes of a run are the meet and join of its values' total-order
// keys over the non-NaN ones, found in one loop that vectorises; the run's
// state is then merged in, which is what adding its values one by one does.
template <>
class Feed<ExtremaF64> {
public:
    explicit Feed(ExtremaF64& s) : s_(s) {}
    void take(std::span<const double> xs);
    void finish() {}

private:
    ExtremaF64& s_;
};

// Each value goes to its bin by the histogram's own search, a block at a time.
template <>
class Feed<HistogramF64> {
public:
    explicit Feed(HistogramF64& h) : h_(h) {}
    void take(std::span<const double> xs) { add_run(h_, xs); }
    void finish() {}

private:
    HistogramF64& h_;
};

// States fed pairs (x[i], y[i]); both runs have the same length.
template <class S>
class PairFeed;

template <>
class PairFeed<CovF64> {
public:
    explicit PairFeed(CovF64& c) : c_(c), sum_x_(c.sum_x), sum_y_(c.sum_y) {}
    void take(std::span<const double> xs, std::span<const double> ys) {
        sum_x_.take(xs);
        sum_y_.take(ys);
        extend_from_slices(c_.sum_xx, xs, xs);
        extend_from_slices(c_.sum_yy, ys, ys);
        extend_from_slices(c_.sum_xy, xs, ys);
    }
    void finish() {
        sum_x_.finish();
        sum_y_.finish();
    }

private:
    CovF64& c_;
    SumFeed sum_x_, sum_y_;
};

// Pairs (x, w): Σw, Σx·w, and Σw·p + Σw·e with x·x = p + e.
template <>
class PairFeed<WeightedMomentsF64> {
public:
    explicit PairFeed(WeightedMomentsF64& m) : m_(m), sum_w_(m.sum_w) {}
    void take(std::span<const double> xs, std::span<const double> ws);
    void finish() { sum_w_.finish(); }

private:
    WeightedMomentsF64& m_;
    SumFeed sum_w_;
};

// A block of rows of a covariance matrix state: column j of the rows in
// columns[j], their responses in ys, all of one length; the sums and product
// steps of add, one run per entry.
void add_rows(CovMatrixF64& m, std::span<const std::span<const double>> columns, std::span<const double> ys);

template <class S>
void add_all(S& s, std::span<const double> xs) {
    Feed<S> feed(s);
    feed.take(xs);
    feed.finish();
}

// ---- Runs split across threads.
//
// Every state here holds exact sums, sticky flags and saturating counts, and
// its merge adds them, so a run cut into consecutive parts, each fed to a
// blank state of its own and merged afterwards, leaves the state feeding the
// whole run leaves, bit for bit, whatever the number of parts.

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned usable_cpus();

// Each part holds at least this many values: a smaller one would not repay
// starting a thread (tens of microseconds against about a nanosecond a value).
inline constexpr std::size_t kMinPartValues = std::size_t(1) << 16;
inline constexpr unsigned kMaxParts = 256;
// Runs from this length on are worth releasing the interpreter lock for.
inline constexpr std::size_t kUnlockValues = std::size_t(1) << 12;

// The number of parts for n values on at most `threads` threads (0: one per
// usable CPU): 1 below 2 kMinPartValues.
unsigned parts_for(std::size_t n, unsigned long long threads);

// Runs work(context, p) for p = 0 .. parts-1: part 0 on the calling thread,
// each other part on a thread of its own, or on the calling thread when no
// thread can be started.  Returns once every part has finished; an exception
// thrown by a part is caught on its own thread and the first one (by part) is
// rethrown here, so none leaves a thread.  A thread that finds no memory for
// its exception data (prepare_exception_data) runs nothing, and its part runs
// on the calling thread after the others.
void run_parts(unsigned parts, void (*work)(void* context, unsigned part), void* context);

// The first value of part p of n values cut into `parts` nearly equal parts.
inline std::size_t part_start(std::size_t n, unsigned parts, unsigned p) {
    return std::size_t((static_cast<unsigned __int128>(n) * p) / parts);
}

inline void merge_part(HistogramF64& h, const HistogramF64& other) { try_merge(h, other); }
template <class S>
void merge_part(S& s, const S& other) {
    merge(s, other);
}

// Feeds values 0 .. n-1 to the blank state s in `parts` consecutive parts:
// part(t, first, count) adds values first .. first+count-1 to t, for t = s
// and for copies of the blank s, which are merged into s in order.
template <class S, class Part>
void split_feed(S& s, std::size_t n, unsigned parts, Part&& part) {
    if (parts <= 1) return part(s, std::size_t(0), n);
    std::vector<S> others(parts - 1, s);
    struct Context {
        S& s;
        std::vector<S>& others;
        std::size_t n;
        unsigned parts;
        Part& part;
    } context{s, others, n, parts, part};
    run_parts(parts, [](void* c, unsigned p) {
        Context& k = *static_cast<Context*>(c);
        const std::size_t first = part_start(k.n, k.parts, p);
        k.part(p ? k.others[p - 1] : k.s, first, part_start(k.n, k.parts, p + 1) - first);
    }, &context);
    for (const S& other : others) merge_part(s, other);
}

// FastSumF64::extend and the dot product of two runs, split into `parts`.
void extend_split(FastSumF64& s, std::span<const double> xs, unsigned parts);
void extend_split(DotF64& d, std::span<const double> xs, std::span<const double> ys, unsigned parts);

}  // namespace vx
