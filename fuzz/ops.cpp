// The fuzzer's bytes as a program of operations on three exact sums and a dot accumulator, with the invariants
// checked after every step:
// - order independence: each sum's bytes (and the dot accumulator's, at the end) equal those of a fresh one fed
//   the same multiset in reverse order;
// - merge then unmerge restores every bit, and unmerge refuses exactly the flagged or larger contributions;
// - decoding an encoding gives the same state;
// - the banked, exponent-slot and vectorised paths (FastSumF64's add and extend, dot's slices), also cut into
//   parts summed on threads of their own and merged, give the bytes of one-at-a-time adds and pushes;
// - the rounded values (binary64 and binary32) agree with an independent computation: the exact sum counted bit
//   position by bit position, rounded to odd at 100 bits in binary128, whose conversions then round correctly.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "arrays/bulk.hpp"
#include "exact/dot.hpp"
#include "exact/fast.hpp"
#include "program.hpp"

namespace {

using Doubles = std::vector<double>;
using Counters = std::vector<std::int64_t>;
constexpr int kWidth = 2240;           // bit positions of an exact sum, in units of 2^-1074
constexpr std::size_t kMaxLog = 2048;  // a merge doubles a log at most: past this, none

// A value: a raw pattern, an awkward one, or 2^e times a short integer (dense cancellation at any exponent).
double value(Reader& in) {
    const std::uint8_t kind = in.byte();
    const std::uint64_t b = in.word();
    static const double awkward[] = {0.0, -0.0, 0x1p-1074, 0x1p-1022, 0x1.fffffffffffffp1023, 0x1.fffffffffffffp+992,
                                     1.0, NAN, INFINITY, -INFINITY};
    if (kind < 64) return std::bit_cast<double>(b);
    if (kind < 96) return awkward[b % std::size(awkward)] * ((b >> 8) & 1 ? -1 : 1);
    return std::ldexp(double(std::int64_t(b) >> 44), int(b % 2100) - 1074);
}

// Floor division carries each counter below the top into {0, 1}; the top is then the sign, 0 or -1.
void carry(Counters& c) {
    for (int i = 0; i < kWidth; ++i) {
        c[i + 1] += (c[i] - (c[i] & 1)) / 2;
        c[i] &= 1;
    }
}

// The exact sum counted in `c`, rounded: its top 100 bits and a sticky bit (rounding to odd) scaled exactly in
// binary128, whose conversions then round correctly.
std::pair<double, float> rounded(Counters c) {
    carry(c);
    const bool negative = c[kWidth] < 0;
    if (negative) {  // the magnitude: every counter negated, carried again
        for (auto& v : c) v = -v;
        carry(c);
    }
    int h = kWidth - 1;
    while (h >= 0 && !c[h]) --h;
    if (h < 0) return {0.0, 0.0f};
    const int lo = std::max(h - 99, 0);
    unsigned __int128 t = 0;
    for (int k = h; k >= lo; --k) t = t << 1 | unsigned(c[k]);
    for (int k = 0; k < lo; ++k) t |= unsigned(c[k]);
    // t 2^(lo-1074), exact: t < 2^100 and the scale is a normal binary128 power of two.
    const auto scale = std::bit_cast<__float128>((unsigned __int128)(lo - 1074 + 16383) << 112);
    const __float128 q = (negative ? -1 : 1) * __float128(t) * scale;
    return {double(q), float(q)};
}

// An exact sum, the values it absorbed, and their bits counted position by position as they arrive.
struct Tracked {
    vx::SumF64 sum;
    Doubles log;
    Counters bits = Counters(kWidth + 1);

    void add(double x) {
        vx::add(sum, x);
        log.push_back(x);
        if (!std::isfinite(x)) return;
        int e = 0;
        auto m = std::uint64_t(std::ldexp(std::frexp(std::fabs(x), &e), 53));  // |x| = m 2^(e-53)
        for (; m; m &= m - 1) bits[std::countr_zero(m) + e - 53 + 1074] += x < 0 ? -1 : 1;
    }

    void check_all() const {
        vx::SumF64 fresh;  // the log one value at a time, in reverse order
        for (auto it = log.rbegin(); it != log.rend(); ++it) vx::add(fresh, *it);
        check(vx::encode(sum) == vx::encode(fresh) && sum.count == log.size());
        bool nan = false, pos = false, neg = false;
        for (double x : log) nan |= std::isnan(x), pos |= x == INFINITY, neg |= x == -INFINITY;
        const double f64 = vx::value(sum);
        const float f32 = vx::value(vx::SumF32{sum});
        if (nan || (pos && neg)) return check(std::isnan(f64) && std::isnan(f32));
        if (pos || neg) return check(f64 == (pos ? INFINITY : -INFINITY));
        const auto [want64, want32] = rounded(bits);
        check(std::bit_cast<std::uint64_t>(f64) == std::bit_cast<std::uint64_t>(want64));
        check(std::bit_cast<std::uint32_t>(f32) == std::bit_cast<std::uint32_t>(want32));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    Tracked sums[3];
    vx::DotF64 dot;
    Doubles as, bs;
    while (in.n) {
        const std::uint8_t op = in.byte();
        const int k = (op >> 4) % 3;
        Tracked &s = sums[k], &t = sums[(k + 1 + (op >> 6) % 2) % 3];
        if (op % 6 == 0) {
            s.add(value(in));
        } else if (op % 6 == 1) {
            const double a = value(in), b = value(in);
            vx::push(dot, a, b);
            as.push_back(a), bs.push_back(b);
        } else if (op % 6 == 2 && s.log.size() + t.log.size() <= kMaxLog) {  // s absorbs t
            const vx::SumF64 before = s.sum;
            vx::merge(s.sum, t.sum);
            s.log.insert(s.log.end(), t.log.begin(), t.log.end());
            for (int i = 0; i <= kWidth; ++i) s.bits[i] += t.bits[i];
            vx::SumF64 undone = s.sum, refused = before;
            check(vx::try_unmerge(undone, t.sum) == (t.sum.flags == 0));
            check(vx::encode(undone) == vx::encode(t.sum.flags ? s.sum : before));  // restored, or untouched
            const bool taken = vx::try_unmerge(refused, s.sum);  // more than `before` holds, unless t was empty
            check(taken == (s.sum.flags == 0 && s.sum.count <= before.count));
            check(taken || vx::encode(refused) == vx::encode(before));
            t.check_all();
        } else if (op % 6 == 3) {
            const auto decoded = vx::read_sum(vx::encode(s.sum).data());
            check(decoded && vx::encode(*decoded) == vx::encode(s.sum));
        } else if (op % 6 >= 4) {  // a slice of up to 9000 values (past a bank's capacity) cycling a few drawn
            const std::uint8_t len = in.byte();
            const std::size_t n = op % 6 == 4 ? len : len == 255 ? 9000 : std::size_t(len) << 2;
            Doubles seed;
            for (int m = in.byte() % 8 + 1; m > 0; --m) seed.push_back(value(in));
            Doubles xs(n), ys(n);
            for (std::size_t i = 0; i < n; ++i) xs[i] = seed[i % seed.size()], ys[i] = seed[(i * 7 + 3) % seed.size()];
            for (std::size_t i = 0; len & 1 && i < n; ++i)  // blocks of changing exponent ranges
                xs[i] = std::ldexp(xs[i], int((i >> 8) % 5) * 40 - 80);
            vx::FastSumF64 fast, single;
            vx::SumF64 one_at_a_time;
            vx::extend_from_slice(fast, xs);
            for (double x : xs) vx::add(single, x), vx::add(one_at_a_time, x);
            check(vx::encode(vx::finish(fast)) == vx::encode(one_at_a_time));
            check(vx::encode(vx::finish(single)) == vx::encode(one_at_a_time));
            vx::DotF64 sliced, pushed;
            vx::extend_from_slices(sliced, xs, ys);
            for (std::size_t i = 0; i < n; ++i) vx::push(pushed, xs[i], ys[i]);
            check(vx::encode(sliced) == vx::encode(pushed));
            vx::FastSumF64 split;
            vx::DotF64 split_dot;
            vx::extend_split(split, xs, 1 + len % 3);
            vx::extend_split(split_dot, xs, ys, 1 + len % 2);
            check(vx::encode(vx::finish(split)) == vx::encode(one_at_a_time));
            check(vx::encode(split_dot) == vx::encode(pushed));
            for (std::size_t i = 0; n <= 256 && i < n; ++i) s.add(xs[i]);
        }
        s.check_all();
    }
    vx::DotF64 again;  // the pairs in reverse order
    for (std::size_t i = as.size(); i-- > 0;) vx::push(again, as[i], bs[i]);
    check(vx::encode(again) == vx::encode(dot));
    return 0;
}
