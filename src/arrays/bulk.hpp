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

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "exact/fast.hpp"
#include "hist/hist.hpp"
#include "hist/lattice.hpp"
#include "matrix/covmat.hpp"
#include "stats/cov.hpp"
#include "stats/moments.hpp"
#include "stats/weighted.hpp"

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

}  // namespace vx
