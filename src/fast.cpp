#include "fast.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vx {

void fold_into(std::span<Bank> banks, Limbs& limbs) {
    // Limb L of the banks' value gathers digits 2L and 2L+1; four banks of
    // digits below 2^63 and a carry below 2^66 stay far inside 128 bits.
    Limbs sum;
    __int128 carry = 0;
    for (int l = 0; l < kDigits / 2; ++l) {
        __int128 low = 0, high = 0;
        for (Bank& b : banks) {
            low += b.digits[2 * l];
            high += b.digits[2 * l + 1];
            b.digits[2 * l] = b.digits[2 * l + 1] = 0;
        }
        const __int128 acc = carry + low + high * (__int128(1) << 32);
        sum[l] = std::uint64_t(acc);
        carry = acc >> 64;  // arithmetic shift: floor division by 2^64
    }
    sum[kLimbs - 1] = std::uint64_t(std::int64_t(carry));  // sign-extends the top
    add_limbs(limbs, sum);
}

namespace {

// Values are taken a block at a time.  A block whose values span few binary
// orders of magnitude is summed exactly in floating point by extraction
// (below); any other block is decoded into digit increments in a loop the
// compiler vectorises, then scattered into the banks.
constexpr std::size_t kBlock = 256;

struct Entries {
    std::uint32_t k[kBlock];  // the digit of the low increment
    std::int64_t lo[kBlock];
    std::int64_t hi[kBlock];
};

// The split of `split`, without branches: a zero decodes to increments of 0
// and a NaN or infinity to increments of 0 plus a report.  Returns whether
// the block holds a NaN or an infinity.
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
bool decode_block(const double* x, std::size_t n, Entries& out) {
    std::uint64_t non_finite = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(x[i]);
        const std::uint64_t e = (bits >> 52) & 0x7FF;
        const std::uint64_t finite = e != 0x7FF;
        const std::uint64_t normal = e != 0;
        const std::uint64_t m = ((bits & ((std::uint64_t(1) << 52) - 1)) | (normal << 52)) & -finite;
        const std::uint64_t s = e - normal;
        const std::uint64_t r = s & 31;
        const std::uint64_t neg = std::uint64_t(std::int64_t(bits) >> 63);
        const std::uint64_t lo = (m << r) & 0xFFFFFFFFu;
        const std::uint64_t hi = m >> (32 - r);
        out.k[i] = std::uint32_t(s >> 5);
        out.lo[i] = std::int64_t((lo ^ neg) - neg);
        out.hi[i] = std::int64_t((hi ^ neg) - neg);
        non_finite |= 1 - finite;
    }
    return non_finite != 0;
}

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
            banks[b].digits[in.k[i + b]] += in.lo[i + b];
            banks[b].digits[in.k[i + b] + 1] += in.hi[i + b];
        }
    }
    for (std::size_t b = 0; i < n; ++i, ++b) {
        banks[b].digits[in.k[i]] += in.lo[i];
        banks[b].digits[in.k[i] + 1] += in.hi[i];
    }
}

// ---- Exact summation of a block by extraction.
//
// For sigma = 2^s and a binary64 r with |r| <= 2^(s-1-h), y = fl(sigma + r)
// lies in [3 sigma / 4, 5 sigma / 4], so q = y - sigma is exact (Sterbenz).
// Doubles are spaced g = 2^(s-53) below sigma and 2g above it, so q is a
// multiple of g, and the remainder r - q, of magnitude at most g, is exact
// too: r = q + (r - q) with nothing lost, and the remainder is zero whenever
// r is a multiple of 2g.  Each of kLanes lanes adds at most 2^h values q;
// every partial sum is a multiple of g of magnitude at most
// 2^h (2^(s-1-h) + g) <= 2^s, hence representable: the lane sums are exact.
// The next level extracts the remainders with s' = s - (52 - h), and once 2g
// reaches the lowest bit any value of the block holds, every remainder is
// zero.  Sums and remainders stay multiples of 2^-1074 and below 2^1024
// (s <= 1023 is required), so subnormals need no special case.
constexpr std::size_t kLanes = 8;
constexpr int kHeadroom = 5;  // 2^5 values per lane in a block of 256
static_assert(kLanes << kHeadroom == kBlock);
constexpr int kLevelBits = 52 - kHeadroom;
constexpr int kMaxLevels = 3;

double pow2(int k) {  // -1074 <= k <= 1023
    const std::uint64_t bits = k >= -1022 ? std::uint64_t(k + 1023) << 52
                                          : std::uint64_t(1) << (k + 1074);
    return std::bit_cast<double>(bits);
}

// The largest and the smallest non-zero magnitude, as bit patterns; a NaN
// or an infinity makes the largest at least 0x7FF0000000000000.
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
void magnitude_range(const double* x, std::size_t n, std::uint64_t& largest, std::uint64_t& smallest) {
    std::uint64_t hi = 0, lo = ~std::uint64_t(0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t a = std::bit_cast<std::uint64_t>(x[i]) & ~(std::uint64_t(1) << 63);
        hi = std::max(hi, a);
        lo = std::min(lo, a - 1);  // zero wraps to the top and drops out
    }
    largest = hi;
    smallest = lo + 1;
}

// One level: moves the part of each in[i] on the grid of 2^(s-53) into the
// lane sums, leaving the remainders in out (which may be in); n is a
// multiple of kLanes.  The
// lanes are one vector of the compiler's generic vector extension, so every
// target runs them side by side.
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));

__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
void extract_level(const double* in, double* out, std::size_t n, double sigma, double* lanes) {
    Lanes acc = {};
    const Lanes s = acc + sigma;
    for (std::size_t i = 0; i < n; i += kLanes) {
        Lanes v;
        std::memcpy(&v, in + i, sizeof v);
        const Lanes q = (s + v) - s;
        v -= q;
        acc += q;
        std::memcpy(out + i, &v, sizeof v);
    }
    std::memcpy(lanes, &acc, sizeof acc);
}

// Adds a lane sum, a multiple of 2^(s-53) of magnitude at most 2^s, to the
// limbs: scaled to an integer below 2^53 it is added at bit s - 53 + 1074.
void add_lanes(const double* lanes, int s, Limbs& limbs) {
    // 2^(53-s) may exceed the binary64 range, so it is applied in two exact steps.
    const int scale = 53 - s;
    const double first = pow2(std::min(scale, 1000)), second = pow2(scale - std::min(scale, 1000));
    std::int64_t total = 0;  // eight terms below 2^53
    for (std::size_t j = 0; j < kLanes; ++j) total += std::int64_t(lanes[j] * first * second);
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

// Sums a block of finite values exactly into the limbs, when its magnitudes
// span at most kMaxLevels levels; returns false (nothing added) otherwise.
bool extract_block(const double* x, std::size_t n, Limbs& limbs) {
    std::uint64_t largest, smallest;
    magnitude_range(x, n, largest, smallest);
    if (largest == 0) return true;                        // only zeros
    if (largest >= 0x7FF0000000000000u) return false;     // NaN or infinity
    const int e_max = int(largest >> 52), e_min = int(smallest >> 52);
    const int top = (e_max ? e_max - 1023 : -1022) + 1;   // every |x| < 2^top
    const int bottom = e_min ? e_min - 1075 : -1074;      // every set bit >= 2^bottom
    int s = top + 1 + kHeadroom;
    if (s > 1023) return false;
    const int levels = 1 + std::max(0, (s - 52 - bottom + kLevelBits - 1) / kLevelBits);
    if (levels > kMaxLevels) return false;

    // The first level reads the values in place; a short block is first
    // padded with zeros to whole lanes.
    alignas(64) double r[kBlock];
    const std::size_t padded = (n + kLanes - 1) / kLanes * kLanes;
    const double* in = x;
    if (padded != n) {
        std::copy_n(x, n, r);
        std::fill(r + n, r + padded, 0.0);
        in = r;
    }
    double lanes[kLanes];
    for (int level = 0; level < levels; ++level, s -= kLevelBits) {
        extract_level(in, r, padded, pow2(s), lanes);
        add_lanes(lanes, s, limbs);
        in = r;
    }
    return true;
}

}  // namespace

void BankSet::take(std::span<const double> xs, Limbs& limbs) {
    Entries entries;
    for (std::size_t base = 0; base < xs.size(); base += kBlock) {
        const std::size_t n = std::min(kBlock, xs.size() - base);
        const double* x = xs.data() + base;
        if (extract_block(x, n, limbs)) continue;
        // Each bank holds at most ceil(taken_ / kBanks) values.
        if (taken_ + n > kBanks * kBankCapacity) {
            fold_into(banks_, limbs);
            taken_ = 0;
        }
        if (decode_block(x, n, entries)) [[unlikely]]
            banks_[0].flags |= non_finite_flags(x, n);
        scatter(entries, n, banks_);
        taken_ += n;
    }
}

std::uint8_t BankSet::finish(Limbs& limbs) {
    fold_into(banks_, limbs);
    taken_ = 0;
    return banks_[0].flags;
}

std::uint8_t banked_sum(std::span<const double> xs, Limbs& limbs) {
    BankSet banks;
    banks.take(xs, limbs);
    return banks.finish(limbs);
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
    Bank bank = s.bank;
    fold_into(bank, out.limbs);
    out.count = s.count;
    out.flags = s.bank.flags;
    return out;
}

}  // namespace vx
