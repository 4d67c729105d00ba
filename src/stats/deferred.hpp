// Deferred adds of SumF64, MomentsF64, CovF64 and HistogramF64: the
// arguments of up to kRun calls wait beside the state, and a full run is
// taken in at once: a histogram's values by add_run, whose searches overlap;
// the terms of the sums split into banks by a loop that vectorises, the banks
// folded into the state when it is settled.
//
// The terms are those of add: each value, and for each product step the
// rounded product and its residual (0 for an infinite product, which push
// adds alone), with the same exactness test.  Splitting and folding are exact
// integer operations, so a settled state is the one the adds one by one
// give: the same limbs (an exact sum does not depend on the grouping of its
// terms), the same sticky flags, the same saturating counts; a histogram's
// counts do not depend on the order of its values.  Nothing here allocates
// or fails: a state is always before or after whole calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "exact/fast.hpp"
#include "hist/hist.hpp"
#include "stats/cov.hpp"
#include "stats/moments.hpp"

namespace vx {

// Calls held back before their terms are split: a run costs one pass of the
// vectorised split, and a product run's 2 kRun terms fit one block.
inline constexpr std::size_t kRun = 64;
static_assert(2 * kRun <= BlockSum::kBlock);

// Terms waiting in a bank for one exact sum (a SumF64, or the sum of a
// DotF64's product terms).  The bank takes kBankCapacity terms between folds;
// `terms` counts them for the sum's count, which rises by one a value and by
// two a product step, as add and push raise it.
struct DeferredSum {
    Bank bank;
    std::uint64_t terms = 0;
    bool lost = false;  // a product split since the last settle lost exactness

    void take(SumF64& s, const double* x, std::size_t n) {
        if (terms + n > kBankCapacity) settle(s);
        split_run(bank, x, n);
        terms += n;
    }
    void take_products(DotF64& d, const double* x, const double* y, std::size_t n) {
        if (terms + 2 * n > kBankCapacity) settle(d);
        if (split_products(bank, x, y, n)) lost = true;
        terms += 2 * n;
    }
    void settle(SumF64& s) {
        fold_into(bank, s.limbs);
        s.flags |= bank.flags;
        bank.flags = 0;
        s.count = saturating_add(s.count, terms);
        terms = 0;
    }
    void settle(DotF64& d) {
        settle(d.sum);
        d.exactness_lost = d.exactness_lost || lost;
        lost = false;
    }
};

// The arguments of the calls not yet split: column k holds argument k.
template <std::size_t W>
struct PendingCalls {
    double cols[W][kRun];
    std::size_t n = 0;

    template <class... A>
    bool push(A... a) {
        static_assert(sizeof...(A) == W);
        std::size_t k = 0;
        ((cols[k++][n] = a), ...);
        return ++n == kRun;
    }
};

struct DeferredSumAdds {
    PendingCalls<1> calls;
    DeferredSum x;

    bool empty() const { return calls.n == 0 && x.terms == 0; }
    void push(SumF64& s, double v) {
        if (calls.push(v)) split(s);
    }
    [[gnu::noinline]] void split(SumF64& s) {
        x.take(s, calls.cols[0], calls.n);
        calls.n = 0;
    }
    void settle(SumF64& s) {
        split(s);
        x.settle(s);
    }
};

struct DeferredMomentsAdds {
    PendingCalls<1> calls;
    DeferredSum x, xx;

    bool empty() const { return calls.n == 0 && x.terms == 0; }
    void push(MomentsF64& m, double v) {
        if (calls.push(v)) split(m);
    }
    [[gnu::noinline]] void split(MomentsF64& m) {
        const double* v = calls.cols[0];
        x.take(m.sum_x, v, calls.n);
        xx.take_products(m.sum_xx, v, v, calls.n);
        calls.n = 0;
    }
    void settle(MomentsF64& m) {
        split(m);
        x.settle(m.sum_x);
        xx.settle(m.sum_xx);
    }
};

struct DeferredCovAdds {
    PendingCalls<2> calls;
    DeferredSum x, y, xx, yy, xy;

    bool empty() const { return calls.n == 0 && x.terms == 0; }
    void push(CovF64& c, double a, double b) {
        if (calls.push(a, b)) split(c);
    }
    [[gnu::noinline]] void split(CovF64& c) {
        const double *a = calls.cols[0], *b = calls.cols[1];
        const std::size_t n = calls.n;
        x.take(c.sum_x, a, n);
        y.take(c.sum_y, b, n);
        xx.take_products(c.sum_xx, a, a, n);
        yy.take_products(c.sum_yy, b, b, n);
        xy.take_products(c.sum_xy, a, b, n);
        calls.n = 0;
    }
    void settle(CovF64& c) {
        split(c);
        x.settle(c.sum_x);
        y.settle(c.sum_y);
        xx.settle(c.sum_xx);
        yy.settle(c.sum_yy);
        xy.settle(c.sum_xy);
    }
};

// A histogram's run of values goes to add_run, whose searches overlap.
struct DeferredHistogramAdds {
    PendingCalls<1> calls;

    bool empty() const { return calls.n == 0; }
    void push(HistogramF64& h, double v) {
        if (calls.push(v)) settle(h);
    }
    void settle(HistogramF64& h) {
        add_run(h, std::span<const double>(calls.cols[0], calls.n));
        calls.n = 0;
    }
};

}  // namespace vx
