// round_rational against exact rational arithmetic: a binary64 r is the correct rounding of p/q exactly when
// p/q lies in r's rounding interval (between the midpoints with its neighbours, ends included when r's
// significand is even), which GMP's mpq decides without rounding anything.  VARNIX_ROUND_PAIRS sets the
// number of random pairs (default 10^4).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>

#include "stats/bigint.hpp"

namespace {

using vx::Int;

mpq_class exact(double m) { return std::isinf(m) ? mpq_class(Int(1) << 1024) : mpq_class(m); }  // inf: 2^1024

// Whether r is the correctly rounded p/q, with the sign of the quotient (+0.0 for p = 0).  The magnitude
// rounds to |r| when it lies between the midpoints with |r|'s neighbours, +inf standing for 2^1024 (the next
// power of the top binade, whose significand counts as even).
bool correct(const Int& p, const Int& q, double r) {
    if (sgn(p) == 0) return std::bit_cast<std::uint64_t>(r) == 0;
    mpq_class x(p, q);
    x.canonicalize();
    const double m = std::fabs(r);
    const bool even = (std::bit_cast<std::uint64_t>(m) & 1) == 0;
    const mpq_class a = abs(x), lo = (exact(std::nextafter(m, 0.0)) + exact(m)) / 2;
    if (std::signbit(r) != (sgn(x) < 0) || (m != 0 && (a < lo || (a == lo && !even)))) return false;
    if (std::isinf(m)) return true;
    const mpq_class hi = (exact(m) + exact(std::nextafter(m, INFINITY))) / 2;
    return a < hi || (a == hi && even);
}

struct Pairs {
    std::mt19937_64 rng{20261206};
    gmp_randclass big{gmp_randinit_mt};
    Pairs() { big.seed(20261206); }

    long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng); }
    Int bits_exactly(long n) {  // a random integer of exactly n >= 1 bits, of random sign
        Int z = big.get_z_bits(n);
        mpz_setbit(z.get_mpz_t(), n - 1);
        return rng() & 1 ? Int(-z) : z;
    }

    // A random quotient near 2^k: a q of random size, a p of the size that puts p/q there.
    std::pair<Int, Int> near(long k) {
        const long qb = uniform(1, rng() & 1 ? 64 : 6000);
        return {bits_exactly(std::max(1L, qb + k)), bits_exactly(qb)};
    }

    // A quotient exactly halfway between two neighbouring binary64 values (or exactly one of them, or a unit
    // of p away from either), with the significand and exponent at their edges half the time (the subnormal
    // floor, the smallest normal, the overflow threshold), scaled by a random common factor.
    std::pair<Int, Int> tie() {
        static const long kEdgeS[] = {-1074, -1073, -1022, -1, 0, 969, 970, 971};
        static const std::uint64_t kEdgeM[] = {0, 1, 2, (1ull << 52) - 1, 1ull << 52, (1ull << 52) + 1,
                                               (1ull << 53) - 2, (1ull << 53) - 1};
        const bool edges = rng() & 1;
        const long s = edges ? kEdgeS[rng() % 8] : uniform(-1074, 971);
        std::uint64_t m = edges ? kEdgeM[rng() % 8] : (rng() >> 11) | 1ull << 52;
        if (s > -1074 && m < (1ull << 52)) m += 1ull << 52;  // normal unless at the subnormal floor
        const Int mid = Int(static_cast<unsigned long>(rng() % 4 ? 2 * m + 1 : 2 * m));  // times 2^(s-1)
        const Int c = abs(bits_exactly(uniform(1, 300)));
        Int p = c * mid, q = c;
        if (s - 1 >= 0) p <<= s - 1; else q <<= 1 - s;
        p += uniform(-1, 1);
        return {rng() & 1 ? Int(-p) : p, rng() & 1 ? Int(-q) : q};
    }

    std::pair<Int, Int> next() {
        switch (rng() % 8) {
            case 0: return near(uniform(-6000, 6000));  // far beyond both ends
            case 1: return {Int(0), bits_exactly(uniform(1, 200))};
            case 2: case 3: return near(uniform(-1200, 1100));
            default: return tie();
        }
    }
};

TEST(RoundRational, RandomAndAdversarialPairsAreCorrectlyRounded) {
    Pairs gen;
    const char* env = std::getenv("VARNIX_ROUND_PAIRS");
    long mismatches = 0;
    for (long i = 0, n = env ? std::atol(env) : 10000; i < n; ++i) {
        const auto [p, q] = gen.next();
        const double r = vx::round_rational(p, q);
        if (!correct(p, q, r) && ++mismatches <= 5)
            ADD_FAILURE() << "p = " << p << "\nq = " << q << "\ngot " << std::hexfloat << r;
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
