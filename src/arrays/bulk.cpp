#include "arrays/bulk.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "arrays/merge_states.hpp"
#include "base/assertion.hpp"
#include "base/fpenv.hpp"
#include "base/memory.hpp"

namespace vx {

namespace {

// The rounded squares p = x·x and their residuals e = fma(x, x, -p) of a
// run, formed a block at a time exactly as the single adds form them; each
// block is handed to visit(x, p, e).
template <class Visit>
void square_blocks(std::span<const double> xs, Visit&& visit) {
    const DefaultFpEnv env;  // the squares and residuals as IEEE 754 defines them
    constexpr std::size_t kBlock = 1024;
    double p[kBlock], e[kBlock];
    for (std::size_t base = 0; base < xs.size(); base += kBlock) {
        const std::size_t n = std::min(kBlock, xs.size() - base);
        const std::span<const double> x = xs.subspan(base, n);
        for (std::size_t i = 0; i < n; ++i) {
            p[i] = x[i] * x[i];
            e[i] = std::fma(x[i], x[i], -p[i]);
        }
        visit(x, std::span<const double>(p, n), std::span<const double>(e, n));
    }
}

}  // namespace

// The terms of the single add, as one run of pushes per block.
void Feed<Moments4F64>::take(std::span<const double> xs) {
    sum_x_.take(xs);
    extend_from_slices(m_.sum_x2, xs, xs);
    square_blocks(xs, [&](auto x, auto p, auto e) {
        for (std::size_t i = 0; i < x.size(); ++i)
            if (square_is_tiny(x[i], p[i])) m_.tiny_square = true;
        feed_higher_powers(m_, x, p, e, [](DotF64& d, auto a, auto b) { extend_from_slices(d, a, b); });
    });
}

// Σw·x² as the runs of pushes w·p and w·e.
void PairFeed<WeightedMomentsF64>::take(std::span<const double> xs, std::span<const double> ws) {
    sum_w_.take(ws);
    extend_from_slices(m_.sum_wx, xs, ws);
    std::size_t at = 0;
    square_blocks(xs, [&](auto x, auto p, auto e) {
        for (std::size_t i = 0; i < x.size(); ++i)
            if (product_loses_exactness(x[i], x[i], p[i])) m_.tiny_square = true;
        const std::span<const double> w = ws.subspan(at, x.size());
        at += x.size();
        extend_from_slices(m_.sum_wxx, w, p);
        extend_from_slices(m_.sum_wxx, w, e);
    });
}

void add_rows(CovMatrixF64& m, std::span<const std::span<const double>> columns, std::span<const double> ys) {
    const std::size_t d = m.dim;
    for (std::size_t i = 0; i < d; ++i) add_all(m.sums[i], columns[i]);
    add_all(m.sums[d], ys);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = i; j < d; ++j)
            extend_from_slices(m.cross[pair_index(d, i, j)], columns[i], columns[j]);
        extend_from_slices(m.cross[response_index(d, i)], columns[i], ys);
    }
}

namespace {

struct KeyRange {
    std::int64_t lo = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    bool nan = false;
};

// A NaN's key lies outside the keys of -inf and +inf (below them with the
// sign bit set, above them without), so the plain minimum and maximum of all
// keys tell whether a run holds a NaN; only such a run is scanned again with
// its NaNs left out.
VX_VECTOR_CLONES
KeyRange key_range(const double* x, std::size_t n) {
    KeyRange r;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t k = order_key(x[i]);
        r.lo = std::min(r.lo, k);
        r.hi = std::max(r.hi, k);
    }
    r.nan = n && (r.lo < order_key(-INFINITY) || r.hi > order_key(INFINITY));
    if (r.nan) {
        r.lo = std::numeric_limits<std::int64_t>::max();
        r.hi = std::numeric_limits<std::int64_t>::min();
        for (std::size_t i = 0; i < n; ++i) {
            if (is_nan_bits(x[i])) continue;
            r.lo = std::min(r.lo, order_key(x[i]));
            r.hi = std::max(r.hi, order_key(x[i]));
        }
    }
    return r;
}

}  // namespace

void Feed<ExtremaF64>::take(std::span<const double> xs) {
    const KeyRange r = key_range(xs.data(), xs.size());
    ExtremaF64 run;
    run.count = xs.size();
    run.nan = r.nan;
    if (r.lo <= r.hi) {  // some value is not a NaN
        run.min = from_order_key(r.lo);
        run.max = from_order_key(r.hi);
        run.has_value = true;
    }
    merge(s_, run);
}

unsigned usable_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return unsigned(std::max(1, CPU_COUNT(&set)));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned parts_for(std::size_t n, unsigned long long threads) {
    if (n < 2 * kMinPartValues) return 1;  // before the system call of usable_cpus
    const unsigned long long limit = threads ? threads : usable_cpus();
    const std::size_t most = std::max<std::size_t>(1, n / kMinPartValues);
    return unsigned(std::min<unsigned long long>({limit, most, kMaxParts}));
}

// A build for an emulator that cannot start threads (the aarch64 suite runs
// under qemu-user) runs every part on the calling thread, as when no thread
// can be started: the same parts, merged in the same order, the same state.
#ifdef VARNIX_SERIAL_PARTS
constexpr bool kMayStartThreads = false;
#else
constexpr bool kMayStartThreads = true;
#endif

void run_parts(unsigned parts, void (*work)(void*, unsigned), void* context) {
    std::vector<std::exception_ptr> errors(parts);
    std::vector<char> starved(parts);  // the part's thread could not make its exception data: nothing ran
    std::vector<std::thread> threads;
    threads.reserve(parts);
    auto guarded = [&errors, &starved, work, context](unsigned p, bool own_thread) noexcept {
        if (own_thread && !prepare_exception_data()) {
            starved[p] = true;
            return;
        }
        try {
            work(context, p);
        } catch (...) {
            errors[p] = std::current_exception();
        }
    };
    unsigned started = 1;  // parts 1 .. started-1 run on threads of their own
    for (; kMayStartThreads && started < parts; ++started) {
        try {
            threads.emplace_back(guarded, started, true);
        } catch (...) {  // no thread (std::system_error): the rest run here
            break;
        }
    }
    guarded(0, false);
    for (unsigned p = started; p < parts; ++p) guarded(p, false);
    for (std::thread& t : threads) t.join();
    // The calling thread, whose exception data exists, runs what a starved thread could not.
    for (unsigned p = 1; p < started; ++p)
        if (starved[p]) guarded(p, false);
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

// The parts' exact sums are merged into one SumF64 and added to the limbs
// as extend_from_slice adds its one banked sum: the same limbs, count and flags.
void extend_split(FastSumF64& s, std::span<const double> xs, unsigned parts) {
    if (parts <= 1) return extend_from_slice(s, xs);
    SumF64 total;
    split_feed(total, xs.size(), parts,
               [xs](SumF64& t, std::size_t first, std::size_t n) { add_all(t, xs.subspan(first, n)); });
    add_limbs(s.limbs, total.limbs);
    s.count = saturating_add(s.count, xs.size());
    s.bank.flags |= total.flags;
}

void extend_split(DotF64& d, std::span<const double> xs, std::span<const double> ys, unsigned parts) {
    assert_equal(xs.size(), ys.size(), "dot product requires equal-length slices");
    if (parts <= 1) return extend_from_slices(d, xs, ys);
    DotF64 total;
    split_feed(total, xs.size(), parts, [xs, ys](DotF64& t, std::size_t first, std::size_t n) {
        extend_from_slices(t, xs.subspan(first, n), ys.subspan(first, n));
    });
    merge(d, total);
}

}  // namespace vx
