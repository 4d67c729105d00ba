// Carry-free banked summation of long runs of binary64 values.
//
// A value does not touch the wide accumulator: it is split into two signed
// increments of two neighbouring 32-bit digits of a bank, and carries are
// resolved only when the bank is folded into the accumulator.  Every step is
// an exact integer operation, so the result is the state a SumF64 reaches
// with the same values, whatever the schedule of splits and folds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "exact/acc.hpp"

namespace vx {

// Digit k weighs 2^(32 k) units of 2^-1074.  Digits 0..64 receive increments;
// digit 65 stays zero and exists so that folding works on whole limb pairs.
inline constexpr int kDigits = 66;

// One value changes a digit by less than 2^52, so a bank takes up to 2048
// values between folds without any digit leaving the int64 range:
// 2048 * (2^52 - 1) = 2^63 - 2048.
inline constexpr std::size_t kBankCapacity = 2048;

// A value's two increments go to digits k and k + 1 (k <= 63), so a bank
// keeps them side by side: pair k holds what the values of that k add to
// digit k, then what they add to digit k + 1, and a value is one add of two
// lanes.  Digit d is the first lane of pair d plus the second lane of pair
// d - 1; each lane takes at most one increment a value, so the bound above
// holds for every lane.
inline constexpr int kBankPairs = 64;
using DigitPair = std::int64_t __attribute__((vector_size(2 * sizeof(std::int64_t))));

struct Bank {
    std::array<DigitPair, kBankPairs> pairs{};
    std::uint8_t flags = 0;  // kNan | kPosInf | kNegInf of the values offered
};

// The digit increments of one value, given as its bit pattern.  A finite
// non-zero x is m * 2^s units (m < 2^53, s <= 2045); t = m * 2^(s mod 32)
// < 2^84 goes as its low 32 bits to digit k = s div 32 and as its high bits
// (< 2^52) to digit k + 1, both negated for a negative x.  Zeros, NaN and
// infinities give increments of 0 (the latter two only set flags).  No
// branches, so loops over values vectorise.
struct Increments {
    unsigned k;
    std::int64_t lo, hi;
};

inline bool is_non_finite(std::uint64_t bits) { return ((bits >> 52) & 0x7FF) == 0x7FF; }

inline Increments increments(std::uint64_t bits) {
    const std::uint64_t e = (bits >> 52) & 0x7FF;
    const std::uint64_t finite = e != 0x7FF;
    const std::uint64_t normal = e != 0;
    const std::uint64_t m = ((bits & ((std::uint64_t(1) << 52) - 1)) | (normal << 52)) & -finite;
    const std::uint64_t s = e - normal;
    const std::uint64_t r = s & 31;
    const std::uint64_t neg = std::uint64_t(std::int64_t(bits) >> 63);  // all ones when negative
    const std::uint64_t lo = (m << r) & 0xFFFFFFFFu;
    const std::uint64_t hi = m >> (32 - r);
    return {unsigned(s >> 5), std::int64_t((lo ^ neg) - neg), std::int64_t((hi ^ neg) - neg)};
}

// Splits one value into the bank.
inline void split(Bank& bank, double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    if (is_non_finite(bits)) [[unlikely]] {
        const bool nan = bits & ((std::uint64_t(1) << 52) - 1);
        bank.flags |= nan ? kNan : (bits >> 63 ? kNegInf : kPosInf);
        return;
    }
    const Increments inc = increments(bits);
    bank.pairs[inc.k] += DigitPair{inc.lo, inc.hi};
}

// The pair a value's increments go to, given the pattern of its magnitude
// (as a MagnitudeRange holds it; 63 for a NaN or an infinity).  Increasing
// with the magnitude.
inline unsigned pair_of(std::uint64_t magnitude) {
    const std::uint64_t e = magnitude >> 52;
    return unsigned((e - (e != 0)) >> 5);
}

// Splits x[0..n), n <= BlockSum::kBlock, into the bank.  A finite run whose
// increments reach at most 4 neighbouring pairs (its non-zero magnitudes
// within 2^96 of each other at least, as most data is) is summed pair by
// pair in registers by a loop that vectorises; any other has its increments
// found in such a loop, then added value by value.  The bank must have room
// for n more values.
void split_run(Bank& bank, const double* x, std::size_t n);

// Folds the digits of the banks into the accumulator and clears them; the
// banks' flags are left alone.  The digits are first gathered into one
// two's-complement integer with a running 128-bit carry, then added to the
// limbs in one pass, so a fold costs the same whatever the digits hold.
void fold_into(std::span<Bank> banks, Limbs& limbs);
inline void fold_into(Bank& bank, Limbs& limbs) { fold_into(std::span<Bank>(&bank, 1), limbs); }

// The magnitudes of a run of values, as bit patterns of |x|: the largest,
// and the smallest non-zero one (0 when every value is zero).  A NaN or an
// infinity makes `largest` at least the pattern of infinity.
struct MagnitudeRange {
    std::uint64_t largest = 0;
    std::uint64_t smallest = 0;
};

// split_run with the magnitude range of x[0..n) known.
void split_run(Bank& bank, const double* x, std::size_t n, MagnitudeRange range);

// Gathers a MagnitudeRange value by value, as a maximum and a minimum that
// loops vectorise.
class RangeScan {
public:
    void see(double x) {
        const std::uint64_t a = std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t(1) << 63);
        largest_ = a > largest_ ? a : largest_;
        below_smallest_ = a - 1 < below_smallest_ ? a - 1 : below_smallest_;  // zero wraps and drops out
    }
    MagnitudeRange range() const { return {largest_, below_smallest_ + 1}; }

private:
    std::uint64_t largest_ = 0;
    std::uint64_t below_smallest_ = ~std::uint64_t(0);
};

// Exponent slots: one unsigned 64-bit slot per sign and biased exponent e
// (the top 12 bits of a value's pattern), adding the 53-bit significand
// m = 2^52 + f of every normal value with those bits.  Slot (sign, e) weighs
// (-1)^sign 2^(e-1) units of 2^-1074, so a value is one load, one add and one
// store whatever the spread of exponents.  The bound: a slot below 2^63 plus
// m < 2^53 stays below 2^63 + 2^53 < 2^64, so no add wraps; a slot that
// reaches 2^63 (after at least 2^10 adds) is added to the limbs at once and
// cleared, which keeps every slot below 2^63 before each add.  A zero lands
// in a slot of biased exponent 0, which holds nothing else (subnormal blocks
// never come here) and is cleared, never read.
struct ExponentSlots {
    static constexpr int kSlots = 4096;
    static constexpr int kSignSlot = 2048;  // slot index of the sign bit
    // Only the slots of exponents lo..hi (both signs) and those of biased
    // exponent 0 hold meaningful values; the others are not initialised.
    std::uint64_t slot[kSlots];
    int lo = kSignSlot, hi = -1;
};

// Sums runs of values exactly, a block at a time.  A block whose values span
// few binary orders of magnitude is summed by exact extraction in floating
// point, with its level sums held back while the next blocks share their
// grid; a block of normal values and zeros spread wider goes into exponent
// slots, allocated on first use, once kSlotsAfter values have been taken;
// any other block (subnormals, NaN or infinities, the first values of a
// run, or no memory for the slots) is split into scratch banks, which take
// consecutive values in turn and are folded before any could exceed their
// capacity.
class BlockSum {
public:
    // The slots cost up to 2 x 4096 slot writes over a BlockSum's life (to
    // clear them, and to add them up at the end), which only a long run repays.
    static constexpr std::size_t kSlotsAfter = std::size_t(1) << 13;

    BlockSum() {}  // the slots are allocated on first use, not zeroed here
    ~BlockSum();
    BlockSum(const BlockSum&) = delete;
    BlockSum& operator=(const BlockSum&) = delete;

    static constexpr std::size_t kBlock = 256;
    static constexpr std::size_t kLanes = 8;
    static constexpr std::size_t kSums = 2 * kLanes;
    static constexpr int kMaxLevels = 3;

    void take(std::span<const double> xs, Limbs& limbs);
    // One block of at most kBlock values whose magnitude range is known.
    void take_block(const double* x, std::size_t n, MagnitudeRange range, Limbs& limbs);
    // Adds everything held back and returns the flags of the values taken.
    std::uint8_t finish(Limbs& limbs);

private:
    bool extract(const double* x, std::size_t n, MagnitudeRange range, Limbs& limbs);
    bool into_slots(const double* x, std::size_t n, MagnitudeRange range, Limbs& limbs);
    void flush(Limbs& limbs);
    void flush_slots(Limbs& limbs);
    void split_into_banks(const double* x, std::size_t n, Limbs& limbs);

    std::array<Bank, 4> banks_;
    std::size_t taken_ = 0;  // values in the banks since their last fold
    std::size_t seen_ = 0;   // values taken in all, up to kSlotsAfter
    // Per level, the lane sums of blocks extracted on the same grid.
    std::array<std::array<double, kSums>, kMaxLevels> held_{};
    int held_top_ = 0;     // the grid: every value held is below 2^held_top_
    int held_levels_ = 0;  // levels with sums held
    int held_blocks_ = 0;
    ExponentSlots* slots_ = nullptr;
};

// Adds every value of xs to the limbs; returns the flags of the non-finite ones.
std::uint8_t banked_sum(std::span<const double> xs, Limbs& limbs);

struct FastSumF64 {
    Limbs limbs{};
    std::uint64_t count = 0;
    std::uint64_t pending = 0;  // values in `bank` from add since its last fold, < 512
    Bank bank;                  // its flags are the object's flags
};

inline constexpr std::uint64_t kAddFoldEvery = 512;

void add(FastSumF64& s, double x);
void extend_from_slice(FastSumF64& s, std::span<const double> xs);
std::uint64_t count(const FastSumF64& s);
// The exact state reached so far, as a SumF64; `s` is not changed.
SumF64 finish(const FastSumF64& s);

}  // namespace vx
