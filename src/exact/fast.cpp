#include "exact/fast.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "base/fpenv.hpp"

namespace vx {

void fold_into(std::span<Bank> banks, Limbs& limbs) {
    // Limb L of the banks' value gathers digits 2L and 2L+1, that is lanes of
    // pairs 2L-1 .. 2L+1: two lanes below 2^63 a digit in each of up to four
    // banks keep low and high below 2^66, and acc far inside 128 bits.
    Limbs sum;
    __int128 carry = 0;
    const auto lane = [](const Bank& b, int pair, int i) -> __int128 {
        return pair >= 0 && pair < kBankPairs ? b.pairs[pair][i] : 0;
    };
    for (int l = 0; l < kDigits / 2; ++l) {
        __int128 low = 0, high = 0;
        for (const Bank& b : banks) {
            low += lane(b, 2 * l, 0) + lane(b, 2 * l - 1, 1);
            high += lane(b, 2 * l + 1, 0) + lane(b, 2 * l, 1);
        }
        const __int128 acc = carry + low + high * (__int128(1) << 32);
        sum[l] = std::uint64_t(acc);
        carry = acc >> 64;  // arithmetic shift: floor division by 2^64
    }
    sum[kLimbs - 1] = std::uint64_t(std::int64_t(carry));  // sign-extends the top
    for (Bank& b : banks) b.pairs.fill(DigitPair{});
    add_limbs(limbs, sum);
}

namespace {

constexpr std::size_t kBlock = BlockSum::kBlock;
constexpr std::size_t kLanes = BlockSum::kLanes;

// The increments of L values at once, as `increments` finds those of one,
// written for the compiler's generic vector extension so that every target
// runs the lanes side by side.  `pair` is each value's k.  Only shifts, masks
// and adds of unsigned lanes: x86-64 below AVX-512 has neither arithmetic
// shifts of 64-bit lanes nor comparisons of them.
template <std::size_t L>
struct WordsOf;
template <>
struct WordsOf<4> {
    using type = std::uint64_t __attribute__((vector_size(4 * sizeof(std::uint64_t))));
};
template <>
struct WordsOf<8> {
    using type = std::uint64_t __attribute__((vector_size(8 * sizeof(std::uint64_t))));
};
template <std::size_t L>
using Words = typename WordsOf<L>::type;

template <std::size_t L>
struct WordIncrements {
    Words<L> pair, lo, hi;
};

// `finite`: the caller knows every value to be finite.
template <std::size_t L, bool finite = false>
[[gnu::always_inline]] inline WordIncrements<L> lane_increments(const double* x) {
    Words<L> bits;
    std::memcpy(&bits, x, sizeof bits);
    const Words<L> e = (bits >> 52) & 0x7FF;
    const Words<L> normal = (e + 0x7FF) >> 11;  // 1 when e >= 1
    Words<L> m = (bits & ((std::uint64_t(1) << 52) - 1)) | (normal << 52);
    if constexpr (!finite) m &= ((e + 1) >> 11) - 1;  // all ones when e < 0x7FF
    const Words<L> s = e - normal;
    const Words<L> r = s & 31;
    const Words<L> neg = 0 - (bits >> 63);  // all ones when negative
    const Words<L> lo = (m << r) & 0xFFFFFFFF;
    const Words<L> hi = m >> (32 - r);
    return {s >> 5, (lo ^ neg) - neg, (hi ^ neg) - neg};
}

struct Entries {
    std::uint64_t at[kBlock];      // value i's pair, as its byte offset in Bank::pairs
    std::int64_t inc[2 * kBlock];  // value i's increments at 2i and 2i + 1, as the pair's lanes
    // Adds value i's increments to their pair of `bank`.
    void add_to(Bank& bank, std::size_t i) const {
        DigitPair p, q;
        std::memcpy(&p, inc + 2 * i, sizeof p);
        char* pair = reinterpret_cast<char*>(bank.pairs.data()) + at[i];
        std::memcpy(&q, pair, sizeof q);
        q += p;
        std::memcpy(pair, &q, sizeof q);
    }
};

// The increments of a block.  Returns whether the block holds a NaN or an
// infinity.
template <std::size_t L>
[[gnu::always_inline]] inline bool decode_block_lanes(const double* x, std::size_t n, Entries& out) {
    std::size_t i = 0;
    for (; i + L <= n; i += L) {
        const WordIncrements<L> inc = lane_increments<L>(x + i);
        const Words<L> at = inc.pair * sizeof(DigitPair);
        std::memcpy(out.at + i, &at, sizeof at);
        // Value j's increments side by side: lanes 2j and 2j + 1 of the pair (first, second).
        Words<L> first, second;
        if constexpr (L == 8) {
            first = __builtin_shufflevector(inc.lo, inc.hi, 0, 8, 1, 9, 2, 10, 3, 11);
            second = __builtin_shufflevector(inc.lo, inc.hi, 4, 12, 5, 13, 6, 14, 7, 15);
        } else {
            static_assert(L == 4);
            first = __builtin_shufflevector(inc.lo, inc.hi, 0, 4, 1, 5);
            second = __builtin_shufflevector(inc.lo, inc.hi, 2, 6, 3, 7);
        }
        std::memcpy(out.inc + 2 * i, &first, sizeof first);
        std::memcpy(out.inc + 2 * i + L, &second, sizeof second);
    }
    for (; i < n; ++i) {
        const Increments inc = increments(std::bit_cast<std::uint64_t>(x[i]));
        out.at[i] = inc.k * sizeof(DigitPair);
        out.inc[2 * i] = inc.lo;
        out.inc[2 * i + 1] = inc.hi;
    }
    std::uint64_t non_finite = 0;
    for (i = 0; i < n; ++i) non_finite |= is_non_finite(std::bit_cast<std::uint64_t>(x[i]));
    return non_finite != 0;
}

VX_BY_LANES(decode_block, (const double* x, std::size_t n, Entries& out), (x, n, out))

std::uint8_t non_finite_flags(const double* x, std::size_t n) {
    Bank bank;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) split(bank, x[i]);
    return bank.flags;
}

template <std::size_t B>
void scatter(const Entries& in, std::size_t n, std::array<Bank, B>& banks) {
    std::size_t i = 0;
    for (; i + B <= n; i += B) {
        for (std::size_t b = 0; b < B; ++b) {
            in.add_to(banks[b], i + b);
        }
    }
    for (std::size_t b = 0; i < n; ++i, ++b) {
        in.add_to(banks[b], i);
    }
}

VX_VECTOR_CLONES
MagnitudeRange magnitude_range(const double* x, std::size_t n) {
    RangeScan scan;
    for (std::size_t i = 0; i < n; ++i) scan.see(x[i]);
    return scan.range();
}

// ---- Exact summation by extraction.
//
// For sigma = 2^s and a binary64 r with |r| <= 2^(s-1-h), y = fl(sigma + r)
// lies in [3 sigma / 4, 5 sigma / 4], so q = y - sigma is exact (Sterbenz).
// Doubles are spaced g = 2^(s-53) below sigma and 2g above it, so q is a
// multiple of g, and the remainder r - q, of magnitude at most g, is exact
// too: r = q + (r - q) with nothing lost, and the remainder is zero whenever
// r is a multiple of 2g.  A lane adds at most 2^h values q; every partial sum
// is a multiple of g of magnitude at most 2^h (2^(s-1-h) + g) <= 2^s, hence
// representable: the lane sums are exact.  The next level extracts the
// remainders with s' = s - (52 - h), for which 2^(s'-1-h) = g bounds them,
// and once 2g reaches the lowest bit any value holds, every remainder is
// zero.  Sums and remainders stay multiples of 2^-1074 and below 2^1024
// (s <= 1023 is required), so subnormals need no special case.
//
// A block gives each of the kSums = 2 kLanes lane sums kBlock / kSums = 16
// values, and the sums of up to kHeldBlocks blocks on the same grid share
// the lanes before they are added to the limbs: 2^h = 256 values per lane.
constexpr std::size_t kSums = BlockSum::kSums;
constexpr int kHeadroom = 8;
constexpr int kHeldBlocks = (1 << kHeadroom) / int(kBlock / kSums);
static_assert(kHeldBlocks >= 1);
constexpr int kLevelBits = 52 - kHeadroom;

using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));

// One level: moves the part of each in[i] on the grid of 2^(s-53) into the
// lane sums, leaving the remainders in out (which may be in); n is a
// multiple of 2 kLanes.  The lanes are two vectors of the compiler's generic
// vector extension, taking alternate groups of kLanes values, so every
// target runs them side by side without waiting on one chain of additions.
VX_VECTOR_CLONES
void extract_level(const double* in, double* out, std::size_t n, double sigma, double* sums) {
    Lanes acc0, acc1;
    std::memcpy(&acc0, sums, sizeof acc0);
    std::memcpy(&acc1, sums + kLanes, sizeof acc1);
    const Lanes s = acc0 * 0 + sigma;
    for (std::size_t i = 0; i < n; i += 2 * kLanes) {
        Lanes v0, v1;
        std::memcpy(&v0, in + i, sizeof v0);
        std::memcpy(&v1, in + i + kLanes, sizeof v1);
        const Lanes q0 = (s + v0) - s;
        const Lanes q1 = (s + v1) - s;
        v0 -= q0;
        v1 -= q1;
        acc0 += q0;
        acc1 += q1;
        std::memcpy(out + i, &v0, sizeof v0);
        std::memcpy(out + i + kLanes, &v1, sizeof v1);
    }
    std::memcpy(sums, &acc0, sizeof acc0);
    std::memcpy(sums + kLanes, &acc1, sizeof acc1);
}

// Adds lane sums, multiples of 2^(s-53) of magnitude at most 2^s, to the
// limbs: scaled to integers below 2^53 they are added at bit s - 53 + 1074.
void add_lane_sums(const std::array<double, kSums>& sums, int s, Limbs& limbs) {
    // 2^(53-s) may exceed the binary64 range, so it is applied in two exact steps.
    const int scale = 53 - s;
    const double first = pow2(std::min(scale, 1000)), second = pow2(scale - std::min(scale, 1000));
    std::int64_t total = 0;  // sixteen terms below 2^53
    for (double sum : sums) total += std::int64_t(sum * first * second);
    if (total == 0) return;
    int bit = s - 53 + 1074;
    if (bit < 0) {  // below the unit, the sum is still a whole number of units
        total >>= -bit;
        bit = 0;
    }
    const bool negative = total < 0;
    add_shifted(limbs, negative ? 0 - std::uint64_t(total) : std::uint64_t(total), negative,
                unsigned(bit));
}

}  // namespace

void BlockSum::flush(Limbs& limbs) {
    int s = held_top_ + 1 + kHeadroom;
    for (int level = 0; level < held_levels_; ++level, s -= kLevelBits) {
        add_lane_sums(held_[std::size_t(level)], s, limbs);
        held_[std::size_t(level)] = {};
    }
    held_levels_ = held_blocks_ = 0;
}

// Sums a block of finite values by extraction, when its magnitudes span at
// most kMaxLevels levels; returns false (nothing added) otherwise.
bool BlockSum::extract(const double* x, std::size_t n, MagnitudeRange range, Limbs& limbs) {
    if (range.largest == 0) return true;                     // only zeros
    if (range.largest >= 0x7FF0000000000000u) return false;  // NaN or infinity
    const int e_max = int(range.largest >> 52), e_min = int(range.smallest >> 52);
    const int top = (e_max ? e_max - 1023 : -1022) + 1;  // every |x| < 2^top
    const int bottom = e_min ? e_min - 1075 : -1074;     // every set bit >= 2^bottom
    const int s0 = top + 1 + kHeadroom;
    if (s0 > 1023) return false;
    const int levels = 1 + std::max(0, (s0 - 52 - bottom + kLevelBits - 1) / kLevelBits);
    if (levels > kMaxLevels) return false;
    if (held_blocks_ && (top != held_top_ || held_blocks_ == kHeldBlocks)) flush(limbs);
    held_top_ = top;
    held_levels_ = std::max(held_levels_, levels);
    ++held_blocks_;

    // The first level reads the values in place; a short block is first
    // padded with zeros to whole lanes.
    alignas(64) double r[kBlock];
    const std::size_t padded = (n + kSums - 1) / kSums * kSums;
    const double* in = x;
    if (padded != n) {
        std::copy_n(x, n, r);
        std::fill(r + n, r + padded, 0.0);
        in = r;
    }
    int s = s0;
    for (int level = 0; level < levels; ++level, s -= kLevelBits) {
        extract_level(in, r, padded, pow2(s), held_[std::size_t(level)].data());
        in = r;
    }
    return true;
}

BlockSum::~BlockSum() { delete slots_; }

namespace {

// Clears the slots of biased exponents a..b, both signs.
void clear_slots(ExponentSlots& t, int a, int b) {
    for (int e = a; e <= b; ++e) t.slot[e] = t.slot[ExponentSlots::kSignSlot + e] = 0;
}

// Adds slot `index` to the limbs and clears it; the slots of biased exponent
// 0 only count zeros and are cleared unread.
inline void spill(ExponentSlots& t, unsigned index, Limbs& limbs) {
    const unsigned e = index & 0x7FF;
    if (e != 0 && t.slot[index] != 0) add_shifted(limbs, t.slot[index], index >> 11, e - 1);
    t.slot[index] = 0;
}

}  // namespace

// A block of normal values and zeros only; returns false (nothing added)
// for any other block, or when the slots cannot be allocated.
bool BlockSum::into_slots(const double* x, std::size_t n, MagnitudeRange range, Limbs& limbs) {
    constexpr std::uint64_t kInfBits = 0x7FF0000000000000u, kMinNormalBits = std::uint64_t(1) << 52;
    if (range.largest >= kInfBits || range.smallest < kMinNormalBits) return false;
    if (!slots_ && !(slots_ = new (std::nothrow) ExponentSlots)) return false;
    ExponentSlots& t = *slots_;
    const int e_lo = int(range.smallest >> 52), e_hi = int(range.largest >> 52);
    if (t.hi < 0) {  // the first block since the slots were last added up
        t.slot[0] = t.slot[ExponentSlots::kSignSlot] = 0;
        clear_slots(t, e_lo, e_hi);
        t.lo = e_lo;
        t.hi = e_hi;
    } else {  // the live range grows to cover the block, gaps included
        const int lo = std::min(t.lo, e_lo), hi = std::max(t.hi, e_hi);
        clear_slots(t, lo, t.lo - 1);
        clear_slots(t, t.hi + 1, hi);
        t.lo = lo;
        t.hi = hi;
    }
    constexpr std::uint64_t kFraction = (std::uint64_t(1) << 52) - 1, kHidden = std::uint64_t(1) << 52;
    std::uint64_t* slot = t.slot;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(x[i]);
        const unsigned index = unsigned(bits >> 52);
        const std::uint64_t v = slot[index] + ((bits & kFraction) | kHidden);
        slot[index] = v;
        if (v >> 63) [[unlikely]]
            spill(t, index, limbs);
    }
    return true;
}

void BlockSum::flush_slots(Limbs& limbs) {
    ExponentSlots& t = *slots_;
    for (int e = t.lo; e <= t.hi; ++e) {
        spill(t, unsigned(e), limbs);
        spill(t, unsigned(ExponentSlots::kSignSlot + e), limbs);
    }
    t.lo = ExponentSlots::kSignSlot;
    t.hi = -1;
}

void BlockSum::split_into_banks(const double* x, std::size_t n, Limbs& limbs) {
    // Each bank holds at most ceil(taken_ / 4) values.
    if (taken_ + n > banks_.size() * kBankCapacity) {
        fold_into(banks_, limbs);
        taken_ = 0;
    }
    Entries entries;
    if (decode_block(x, n, entries)) [[unlikely]]
        banks_[0].flags |= non_finite_flags(x, n);
    scatter(entries, n, banks_);
    taken_ += n;
}

namespace {

// The finite values of a run whose increments all go to pairs base ..
// base+3: each pair's lanes are summed in registers, kWordLanes values at a
// time, then added to the bank once.  The sums are taken by the two bits of
// a value's offset from base (the sum of all, of those with bit 0, with bit
// 1, with both) and the four pairs' sums found from them; a zero adds 0
// whatever its offset.  Another grouping of the same increments gives the
// same lanes, and a partial sum of at most kBlock increments below 2^52
// stays far inside int64.  With `two`, every offset is 0 or 1 and only bit
// 0 is looked at.
template <bool two, std::size_t L>
[[gnu::always_inline]] inline void split_window(Bank& bank, const double* x, std::size_t n, unsigned base) {
    struct Sums {
        Words<L> all{}, bit0{}, bit1{}, both{};
        void add(const Words<L>& v, const Words<L>& m0, const Words<L>& m1) {
            all += v;
            bit0 += v & m0;
            if constexpr (!two) {
                bit1 += v & m1;
                both += v & m0 & m1;
            }
        }
    } lo, hi;
    std::size_t i = 0;
    for (; i + L <= n; i += L) {
        const WordIncrements<L> inc = lane_increments<L, true>(x + i);
        const Words<L> at = inc.pair - base;
        const Words<L> m0 = 0 - (at & 1), m1 = 0 - ((at >> 1) & 1);
        lo.add(inc.lo, m0, m1);
        hi.add(inc.hi, m0, m1);
    }
    std::int64_t pair_lo[4] = {}, pair_hi[4] = {};
    for (; i < n; ++i) {
        const Increments inc = increments(std::bit_cast<std::uint64_t>(x[i]));
        const unsigned at = (inc.k - base) & 3;
        pair_lo[at] += inc.lo, pair_hi[at] += inc.hi;
    }
    const auto into = [](const Sums& s, std::int64_t* pair) {
        std::uint64_t all = 0, bit0 = 0, bit1 = 0, both = 0;  // the lanes' totals, modulo 2^64
        for (std::size_t k = 0; k < L; ++k) all += s.all[k], bit0 += s.bit0[k], bit1 += s.bit1[k], both += s.both[k];
        pair[0] += std::int64_t(all - bit0 - bit1 + both);
        pair[1] += std::int64_t(bit0 - both);
        pair[2] += std::int64_t(bit1 - both);
        pair[3] += std::int64_t(both);
    };
    into(lo, pair_lo);
    into(hi, pair_hi);
    for (unsigned j = 0; j < (two ? 2 : 4); ++j) bank.pairs[base + j] += DigitPair{pair_lo[j], pair_hi[j]};
}

template <std::size_t L>
[[gnu::always_inline]] inline void split_two_lanes(Bank& bank, const double* x, std::size_t n, unsigned base) {
    split_window<true, L>(bank, x, n, base);
}
template <std::size_t L>
[[gnu::always_inline]] inline void split_four_lanes(Bank& bank, const double* x, std::size_t n, unsigned base) {
    split_window<false, L>(bank, x, n, base);
}
VX_BY_LANES(split_two, (Bank& bank, const double* x, std::size_t n, unsigned base), (bank, x, n, base))
VX_BY_LANES(split_four, (Bank& bank, const double* x, std::size_t n, unsigned base), (bank, x, n, base))

}  // namespace

void split_run(Bank& bank, const double* x, std::size_t n, MagnitudeRange range) {
    constexpr std::uint64_t kInfBits = 0x7FF0000000000000u;
    const unsigned low = pair_of(range.smallest), high = pair_of(range.largest);
    if (range.largest < kInfBits) [[likely]] {  // NaN and infinities take the entries' way
        if (range.smallest == 0) return;          // zeros only
        if (high < low + 2) return split_two(bank, x, n, std::min(low, unsigned(kBankPairs - 2)));
        if (high < low + 4) return split_four(bank, x, n, std::min(low, unsigned(kBankPairs - 4)));
    }
    Entries entries;
    if (decode_block(x, n, entries)) [[unlikely]]
        bank.flags |= non_finite_flags(x, n);
    for (std::size_t i = 0; i < n; ++i) entries.add_to(bank, i);
}

void split_run(Bank& bank, const double* x, std::size_t n) { split_run(bank, x, n, magnitude_range(x, n)); }

void BlockSum::take_block(const double* x, std::size_t n, MagnitudeRange range, Limbs& limbs) {
    const bool slots = seen_ >= kSlotsAfter;
    seen_ = slots ? seen_ : seen_ + n;
    if (!extract(x, n, range, limbs) && !(slots && into_slots(x, n, range, limbs))) split_into_banks(x, n, limbs);
}

void BlockSum::take(std::span<const double> xs, Limbs& limbs) {
    const DefaultFpEnv env;
    // A block's work leaves gaps in the stream of loads that the hardware
    // prefetchers follow, so the block kPrefetchBlocks ahead is requested here.
    constexpr std::size_t kPrefetchBlocks = 8, kLine = 64 / sizeof(double);
    for (std::size_t base = 0; base < xs.size(); base += kBlock) {
        const std::size_t n = std::min(kBlock, xs.size() - base);
        const std::size_t ahead = base + kPrefetchBlocks * kBlock;
        for (std::size_t i = ahead; i < std::min(ahead + kBlock, xs.size()); i += kLine)
            __builtin_prefetch(xs.data() + i);
        take_block(xs.data() + base, n, magnitude_range(xs.data() + base, n), limbs);
    }
}

std::uint8_t BlockSum::finish(Limbs& limbs) {
    if (held_levels_) {
        const DefaultFpEnv env;
        flush(limbs);
    }
    if (slots_ && slots_->hi >= 0) flush_slots(limbs);
    if (taken_) fold_into(banks_, limbs);  // a fold of empty banks adds nothing
    taken_ = 0;
    return banks_[0].flags;
}

std::uint8_t banked_sum(std::span<const double> xs, Limbs& limbs) {
    BlockSum sum;
    sum.take(xs, limbs);
    return sum.finish(limbs);
}

void add(FastSumF64& s, double x) {
    s.count = saturating_add(s.count, 1);
    split(s.bank, x);
    if (++s.pending >= kAddFoldEvery) {
        fold_into(s.bank, s.limbs);
        s.pending = 0;
    }
}

void extend_from_slice(FastSumF64& s, std::span<const double> xs) {
    if (xs.empty()) return;
    s.count = saturating_add(s.count, xs.size());
    s.bank.flags |= banked_sum(xs, s.limbs);
}

std::uint64_t count(const FastSumF64& s) { return s.count; }

SumF64 finish(const FastSumF64& s) {
    SumF64 out;
    out.limbs = s.limbs;
    if (s.pending) {
        Bank bank = s.bank;
        fold_into(bank, out.limbs);
    }
    out.count = s.count;
    out.flags = s.bank.flags;
    return out;
}

}  // namespace vx
