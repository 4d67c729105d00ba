#include "stats/bigint.hpp"

#include <bit>
#include <cmath>

#include "base/bytes_le.hpp"
#include "base/fpenv.hpp"

namespace vx {

namespace {

Int magnitude_of(const Limbs& m) {
    Int r;
    // Limbs are 64-bit words, least significant first, in host order.
    mpz_import(r.get_mpz_t(), kLimbs, -1, sizeof(std::uint64_t), 0, 0, m.data());
    return r;
}

}  // namespace

Int twos_complement(const Limbs& limbs) {
    if (!(limbs[kLimbs - 1] >> 63)) return magnitude_of(limbs);
    Int r = magnitude_of(negate(limbs));
    // negate(-2^2175) is -2^2175 again, read as the magnitude 2^2175: still right.
    return -r;
}

Int twos_complement(const std::uint8_t* bytes) {
    Limbs limbs;
    for (int k = 0; k < kLimbs; ++k) limbs[k] = get_u64(bytes + 8 * k);
    return twos_complement(limbs);
}

Stat<Int> sum_int(const SumF64& s) {
    if (s.flags) return fail(StatsError::NonFinite);
    return twos_complement(s.limbs);
}

Stat<Int> dot_int(const DotF64& d) {
    if (d.exactness_lost) return fail(StatsError::ExactnessLost);
    return sum_int(d.sum);
}

// With 2^k <= a/b < 2^(k+1) and s = max(k - 52, -1074), the quotient
// a / (b 2^s) lies in [2^52, 2^53) for normal results and below that only at
// the subnormal floor s = -1074, where every kept bit is exact.  One
// truncating division and a comparison of twice the remainder with the
// divisor round it to nearest, ties to even.
double round_rational(const Int& p, const Int& q) {
    const int ps = sgn(p);
    if (ps == 0) return 0.0;
    const bool negative = (ps < 0) != (sgn(q) < 0);
    const Int a = abs(p), b = abs(q);
    const long e = long(bit_length(a)) - long(bit_length(b));
    const bool below = e >= 0 ? cmp(a, Int(b << e)) < 0 : cmp(Int(a << -e), b) < 0;
    const long k = below ? e - 1 : e;
    long s = std::max(k - 52, -1074L);
    Int num, den;
    if (s < 0) {
        num = a << -s;
        den = b;
    } else {
        num = a;
        den = b << s;
    }
    Int quot, rem;
    mpz_tdiv_qr(quot.get_mpz_t(), rem.get_mpz_t(), num.get_mpz_t(), den.get_mpz_t());
    rem <<= 1;
    const int c = cmp(rem, den);
    if (c > 0 || (c == 0 && mpz_odd_p(quot.get_mpz_t()))) ++quot;
    std::uint64_t m = mpz_get_ui(quot.get_mpz_t());  // below 2^54: fits
    constexpr std::uint64_t kHidden = std::uint64_t(1) << 52;
    if (m == 2 * kHidden) {  // rounding carried into a 54th bit
        m = kHidden;
        ++s;
    }
    std::uint64_t bits;
    if (m >= kHidden)
        bits = s + 52 < 1024 ? (std::uint64_t(s + 1075) << 52) | (m - kHidden)
                             : std::uint64_t(0x7FF0000000000000);
    else
        bits = m;  // subnormal (s = -1074) or zero
    if (negative) bits |= std::uint64_t(1) << 63;
    return std::bit_cast<double>(bits);
}

Stat<double> try_sqrt(double v) {
    if (v < 0) return fail(StatsError::Degenerate);
    const DefaultFpEnv env;  // the root rounded to nearest, whatever mode the caller set
    return std::sqrt(v);
}

}  // namespace vx
