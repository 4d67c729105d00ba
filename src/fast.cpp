#include "fast.hpp"

#include <algorithm>

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

std::uint8_t banked_sum(std::span<const double> xs, Limbs& limbs) {
    std::array<Bank, 4> banks;
    const double* x = xs.data();
    const std::size_t n = xs.size();
    for (std::size_t base = 0; base < n; base += 4 * kBankCapacity) {
        const std::size_t end = std::min(n, base + 4 * kBankCapacity);
        std::size_t i = base;
        for (; i + 4 <= end; i += 4) {
            split(banks[0], x[i]);
            split(banks[1], x[i + 1]);
            split(banks[2], x[i + 2]);
            split(banks[3], x[i + 3]);
        }
        for (std::size_t b = 0; i < end; ++i, ++b) split(banks[b], x[i]);
        fold_into(banks, limbs);
    }
    return banks[0].flags | banks[1].flags | banks[2].flags | banks[3].flags;
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
