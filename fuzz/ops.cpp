// The fuzzer's bytes as a program of operations on three exact sums and a
// dot accumulator, with the invariants checked after every step:
// - order independence: each sum's bytes (and the dot accumulator's, at the
//   end) equal those of a fresh one fed the same multiset in another order;
// - merge then unmerge restores every bit, and unmerge refuses exactly the
//   flagged or larger contributions;
// - decoding an encoding gives the same state;
// - the banked and vectorised paths (FastSumF64.extend, dot's slices) give
//   the bytes of one-at-a-time adds and pushes;
// - the rounded values (binary64 and binary32) agree with an independent
//   computation: the exact sum counted bit position by bit position,
//   rounded to odd at 100 bits in binary128, whose conversions then round
//   correctly.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "exact/dot.hpp"
#include "exact/fast.hpp"

namespace {

using Doubles = std::vector<double>;
constexpr std::size_t kMaxLog = 2048;

void check(bool ok) {
    if (!ok) std::abort();
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Reader {
    const std::uint8_t* p;
    std::size_t n;
    bool more() const { return n > 0; }
    std::uint8_t byte() { return n ? (--n, *p++) : 0; }
    // A value: a raw pattern, or an awkward one, or 2^e times a short
    // integer (dense cancellation across the whole exponent range).
    double value() {
        const std::uint8_t kind = byte();
        std::uint64_t b = 0;
        for (int k = 0; k < 8; ++k) b = b << 8 | byte();
        static const double awkward[] = {0.0, -0.0, 0x1p-1074, 0x1p-1022, 0x1.fffffffffffffp1023,
                                         0x1.fffffffffffffp+992, 1.0, NAN, INFINITY, -INFINITY};
        if (kind < 64) return std::bit_cast<double>(b);
        if (kind < 96) return awkward[b % std::size(awkward)] * ((b >> 8) & 1 ? -1 : 1);
        return std::ldexp(double(std::int64_t(b) >> 44), int(b % 2100) - 1074);
    }
};

// The exact sum of the finite values, one counter per bit position of the
// units of 2^-1074 (kept per accumulator as values arrive), carried into
// bits when read and rounded to odd at 100 bits through binary128.
constexpr int kWidth = 2240;
using Counters = std::vector<std::int64_t>;

void count_bits(Counters& c, double x) {
    if (!std::isfinite(x) || x == 0) return;
    int e = 0;
    auto m = std::uint64_t(std::ldexp(std::frexp(std::fabs(x), &e), 53));  // |x| = m 2^(e-53)
    for (; m; m &= m - 1) c[std::size_t(std::countr_zero(m) + e - 53 + 1074)] += x < 0 ? -1 : 1;
}

struct Oracle {
    double f64;
    float f32;
};

Oracle oracle(Counters c) {
    for (int i = 0; i < kWidth; ++i) {  // floor division keeps every counter in {0, 1}
        const std::int64_t q = (c[i] - (c[i] & 1)) / 2;
        c[i] &= 1;
        c[i + 1] += q;
    }
    const bool negative = c[kWidth] < 0;  // 0 or -1: the two's-complement sign
    if (negative) {                       // magnitude = ~bits + 1
        std::int64_t carry = 1;
        for (int i = 0; i < kWidth; ++i) {
            const std::int64_t t = (1 - c[i]) + carry;
            c[i] = t & 1;
            carry = t >> 1;
        }
    }
    int h = kWidth - 1;
    while (h >= 0 && !c[h]) --h;
    if (h < 0) return {0.0, 0.0f};
    const int lo = std::max(h - 99, 0);
    unsigned __int128 t = 0;
    for (int k = h; k >= lo; --k) t = t << 1 | unsigned(c[k]);
    for (int k = 0; k < lo; ++k) t |= unsigned(c[k]);  // the sticky bit: round to odd
    // t 2^(lo-1074), exact: t < 2^100 and the scale is a normal binary128 power of two.
    const auto scale = std::bit_cast<__float128>((unsigned __int128)(lo - 1074 + 16383) << 112);
    const __float128 q = (negative ? -1 : 1) * __float128(t) * scale;
    return {double(q), float(q)};
}

vx::SumF64 fresh(const Doubles& xs, bool reverse) {
    vx::SumF64 s;
    if (reverse)
        for (auto it = xs.rbegin(); it != xs.rend(); ++it) vx::add(s, *it);
    else
        for (double x : xs) vx::add(s, x);
    return s;
}

void check_sum(const vx::SumF64& s, const Doubles& xs, const Counters& c) {
    check(vx::encode(s) == vx::encode(fresh(xs, true)) && s.count == xs.size());
    bool nan = false, pos = false, neg = false;
    for (double x : xs) nan |= std::isnan(x), pos |= x == INFINITY, neg |= x == -INFINITY;
    if (nan || (pos && neg)) return check(std::isnan(vx::value(s)) && std::isnan(vx::value(vx::SumF32{s})));
    if (pos || neg) return check(vx::value(s) == (pos ? INFINITY : -INFINITY));
    const Oracle o = oracle(c);
    check(bits(vx::value(s)) == bits(o.f64));
    check(std::bit_cast<std::uint32_t>(vx::value(vx::SumF32{s})) == std::bit_cast<std::uint32_t>(o.f32));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    vx::SumF64 sums[3];
    Doubles logs[3];
    std::vector<Counters> counters(3, Counters(kWidth + 1, 0));
    vx::DotF64 dot;
    Doubles as, bs;
    while (in.more()) {
        const std::uint8_t op = in.byte();
        const int k = (op >> 4) % 3, j = (k + 1 + (op >> 6) % 2) % 3;
        switch (op % 6) {
            case 0: {
                const double x = in.value();
                vx::add(sums[k], x);
                logs[k].push_back(x);
                count_bits(counters[std::size_t(k)], x);
                break;
            }
            case 1: {
                const double a = in.value(), b = in.value();
                vx::push(dot, a, b);
                as.push_back(a), bs.push_back(b);
                break;
            }
            case 2: {
                if (logs[k].size() + logs[j].size() > kMaxLog) break;  // merges double a log
                const vx::SumF64 before = sums[k];
                vx::merge(sums[k], sums[j]);
                logs[k].insert(logs[k].end(), logs[j].begin(), logs[j].end());
                Counters& to = counters[std::size_t(k)];
                const Counters& from = counters[std::size_t(j)];
                for (std::size_t i = 0; i < to.size(); ++i) to[i] += from[i];
                vx::SumF64 undone = sums[k];
                check(vx::try_unmerge(undone, sums[j]) == (sums[j].flags == 0));
                if (sums[j].flags == 0) check(vx::encode(undone) == vx::encode(before));
                vx::SumF64 refused = before;  // a larger count is refused, nothing touched
                check(vx::try_unmerge(refused, sums[k]) == (sums[k].flags == 0 && sums[k].count <= before.count));
                check_sum(sums[j], logs[j], counters[std::size_t(j)]);
                break;
            }
            case 3: {
                const auto decoded = vx::read_sum(vx::encode(sums[k]).data());
                check(decoded && vx::encode(*decoded) == vx::encode(sums[k]));
                break;
            }
            default: {  // a slice of up to 9000 values (past the banks' capacity once in a while),
                        // cycling through a few drawn ones
                const std::uint8_t len = in.byte();
                const std::size_t n = op % 6 == 4 ? len : len == 255 ? 9000 : std::size_t(len) << 2;
                Doubles seed;
                for (int m = in.byte() % 8 + 1; m > 0; --m) seed.push_back(in.value());
                Doubles xs(n), ys(n);
                for (std::size_t i = 0; i < n; ++i) {
                    xs[i] = seed[i % seed.size()];
                    ys[i] = seed[(i * 7 + 3) % seed.size()];
                }
                vx::FastSumF64 fast, single;
                vx::extend_from_slice(fast, xs);
                for (double x : xs) vx::add(single, x);
                const vx::SumF64 by_one = fresh(xs, false);
                check(vx::encode(vx::finish(fast)) == vx::encode(by_one));
                check(vx::encode(vx::finish(single)) == vx::encode(by_one));
                vx::DotF64 sliced, pushed;
                vx::extend_from_slices(sliced, xs, ys);
                for (std::size_t i = 0; i < n; ++i) vx::push(pushed, xs[i], ys[i]);
                check(vx::encode(sliced) == vx::encode(pushed));
                if (n <= 256) {
                    for (double x : xs) vx::add(sums[k], x), count_bits(counters[std::size_t(k)], x);
                    logs[k].insert(logs[k].end(), xs.begin(), xs.end());
                }
            }
        }
        check_sum(sums[k], logs[k], counters[std::size_t(k)]);
    }
    vx::DotF64 again;  // the pairs in reverse order
    for (std::size_t i = as.size(); i-- > 0;) vx::push(again, as[i], bs[i]);
    check(vx::encode(again) == vx::encode(dot));
    return 0;
}
