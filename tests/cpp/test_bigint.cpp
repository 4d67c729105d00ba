// Exact readings of the accumulators and round_rational, against exact rational arithmetic: a binary64 r
// is the correct rounding of p/q exactly when p/q lies in r's rounding interval (between the midpoints
// with its neighbours, ends included when r's significand is even), which GMP's mpq decides without
// rounding anything.  VARNIX_ROUND_PAIRS sets the number of random pairs (default 10^4).
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "exact/dot.hpp"
#include "stats/bigint.hpp"

namespace {

using vx::Int, vx::StatsError;
using Rng = std::mt19937_64;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

Int pow2(unsigned long k) {
    Int r;
    mpz_ui_pow_ui(r.get_mpz_t(), 2, k);
    return r;
}

mpq_class exact(double m) { return std::isinf(m) ? mpq_class(pow2(1024)) : mpq_class(m); }  // inf: 2^1024

// Whether the magnitude a > 0 rounds to the binary64 magnitude m, +inf standing for 2^1024 (the next
// power of the top binade, whose significand counts as even).
bool rounds_to(const mpq_class& a, double m) {
    const bool even = (bits(m) & 1) == 0;
    const mpq_class v = exact(m);
    if (m != 0) {
        const mpq_class lo = (exact(std::nextafter(m, 0.0)) + v) / 2;
        if (a < lo || (a == lo && !even)) return false;
    }
    if (std::isinf(m)) return true;
    const mpq_class hi = (v + exact(m == DBL_MAX ? INFINITY : std::nextafter(m, INFINITY))) / 2;
    return a < hi || (a == hi && even);
}

// Whether r is the correctly rounded p/q; the oracle must also refuse both neighbours of r.
bool correct(const Int& p, const Int& q, double r) {
    if (sgn(p) == 0) return bits(r) == 0;
    mpq_class x(p, q);
    x.canonicalize();
    const mpq_class a = abs(x);
    const double m = std::fabs(r);
    const bool refuses_neighbours = (m == 0 || !rounds_to(a, std::nextafter(m, 0.0))) &&
                                    (std::isinf(m) || !rounds_to(a, std::nextafter(m, INFINITY)));
    EXPECT_TRUE(refuses_neighbours);
    return std::signbit(r) == (sgn(x) < 0) && rounds_to(a, m);
}

struct Pairs {
    Rng rng{20261206};
    gmp_randclass big{gmp_randinit_mt};
    Pairs() { big.seed(20261206); }

    long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng); }
    Int bits_exactly(long n) {  // a random integer of exactly n >= 1 bits
        Int z = big.get_z_bits(n);
        mpz_setbit(z.get_mpz_t(), n - 1);
        return z;
    }
    Int signed_(Int z) { return rng() & 1 ? Int(-z) : z; }

    // A random quotient near 2^k: a q of random size, a p of the size that puts p/q there.
    std::pair<Int, Int> near(long k) {
        const long qb = uniform(1, rng() & 1 ? 64 : 6000), pb = std::max(1L, qb + k);
        return {signed_(bits_exactly(pb)), signed_(bits_exactly(qb))};
    }

    // A quotient that is exactly halfway between two neighbouring binary64 values (or exactly one of them,
    // or a unit of p away from either), with the significand and exponent near their edges half the
    // time, scaled by a random common factor so that q is not a power of two.
    std::pair<Int, Int> tie() {
        static const long kEdgeS[] = {-1074, -1073, -1022, -1, 0, 969, 970, 971};
        static const std::uint64_t kEdgeM[] = {0, 1, 2, (1ull << 52) - 1, 1ull << 52, (1ull << 52) + 1,
                                               (1ull << 53) - 2, (1ull << 53) - 1};
        const bool edges = rng() & 1;
        const long s = edges ? kEdgeS[rng() % 8] : uniform(-1074, 971);
        std::uint64_t m = edges ? kEdgeM[rng() % 8] : (rng() >> 11) | 1ull << 52;
        if (s > -1074 && m < (1ull << 52)) m += 1ull << 52;  // normal unless at the subnormal floor
        const bool half = rng() % 4 != 0;
        const Int mid = Int(static_cast<unsigned long>(half ? 2 * m + 1 : 2 * m));  // times 2^(s-1)
        const Int c = bits_exactly(uniform(1, 300));
        Int p = c * mid, q = c;
        if (s - 1 >= 0) p <<= s - 1; else q <<= 1 - s;
        p += uniform(-1, 1);
        return {signed_(p), signed_(q)};
    }

    std::pair<Int, Int> next() {
        switch (rng() % 8) {
            case 0: return near(uniform(-6000, 6000));        // far beyond both ends
            case 1: return {Int(0), signed_(bits_exactly(uniform(1, 200)))};
            case 2: case 3: return near(uniform(-1200, 1100));
            default: return tie();
        }
    }
};

long pair_count() {
    const char* env = std::getenv("VARNIX_ROUND_PAIRS");
    return env ? std::atol(env) : 10000;
}

TEST(RoundRational, RandomAndAdversarialPairsAreCorrectlyRounded) {
    Pairs gen;
    const long n = pair_count();
    long mismatches = 0;
    for (long i = 0; i < n; ++i) {
        const auto [p, q] = gen.next();
        const double r = vx::round_rational(p, q);
        if (!correct(p, q, r) && ++mismatches <= 5)
            ADD_FAILURE() << "p = " << p << "\nq = " << q << "\ngot " << std::hexfloat << r;
    }
    std::printf("round_rational: %ld pairs, %ld mismatches\n", n, mismatches);
    EXPECT_EQ(mismatches, 0);
}

TEST(RoundRational, WorkedValues) {
    const Int one = 1, max_top = pow2(1024);
    const struct { Int p, q; std::uint64_t want; } cases[] = {
        {1, 3, 0x3fd5555555555555}, {1, -3, 0xbfd5555555555555}, {-1, -3, 0x3fd5555555555555},
        {pow2(53) + 1, 1, bits(0x1p53)}, {pow2(53) + 3, 1, bits(0x1p53 + 4)},
        {1, pow2(1075), 0}, {3, pow2(1076), 1}, {-1, pow2(1080), 0x8000000000000000}, {0, -5, 0},
        {max_top - pow2(971), 1, 0x7fefffffffffffff}, {max_top - pow2(970), 1, 0x7ff0000000000000},
        {max_top, 1, 0x7ff0000000000000}, {-max_top, 3, bits(-0x1.5555555555555p+1022)},
        {pow2(53) - 1, pow2(1075), bits(0x1p-1022)},    // a subnormal tie rounding up to the smallest normal
        {pow2(1100), pow2(1099) * 3, bits(2.0 / 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(bits(vx::round_rational(c.p, c.q)), c.want) << c.p << " / " << c.q;
}

// The 272 limb bytes read by place value (Horner), minus 2^2176 when the top bit is set.
Int horner(const std::uint8_t* b) {
    Int u = 0;
    for (int i = 271; i >= 0; --i) u = u * 256 + b[i];
    return u >= pow2(2175) ? Int(u - pow2(2176)) : u;
}

TEST(Readings, TwosComplementOfBytesLimbsAndAddedValues) {
    std::array<std::uint8_t, 272> b;
    b.fill(0xff);
    EXPECT_EQ(vx::twos_complement(b.data()), -1);
    b.fill(0);
    b[271] = 0x80;
    EXPECT_EQ(vx::twos_complement(b.data()), Int(-pow2(2175)));
    b.fill(0xff);
    b[271] = 0x7f;
    EXPECT_EQ(vx::twos_complement(b.data()), Int(pow2(2175) - 1));
    Rng rng(7);
    for (int round = 0; round < 200; ++round) {
        vx::SumF64 s;
        const double x = std::bit_cast<double>((rng() & ~(std::uint64_t(0x7ff) << 52)) |
                                               std::uint64_t(rng() % 2047) << 52);  // finite, any sign
        vx::add(s, x);
        const auto enc = vx::encode(s);
        EXPECT_EQ(vx::twos_complement(enc.data()), Int(mpq_class(x) * pow2(1074)));
        for (auto& byte : b) byte = round % 3 ? std::uint8_t(rng()) : round % 2 ? 0xff : 0;
        b[rng() % 272] = std::uint8_t(rng());
        vx::Limbs limbs;
        std::memcpy(limbs.data(), b.data(), 272);  // the host is little-endian, like the encoding
        EXPECT_EQ(vx::twos_complement(b.data()), horner(b.data()));
        EXPECT_EQ(vx::twos_complement(limbs), horner(b.data()));
    }
}

TEST(Readings, FlagsAndUnitPowers) {
    for (unsigned k : {0u, 1u, 2u, 3u, 4u, 6u}) EXPECT_EQ(vx::unit_pow(k), pow2(1074ul * k)) << k;
    vx::DotF64 d;
    vx::push(d, -3.0, 0.5);
    EXPECT_EQ(vx::dot_int(d).value(), Int(-3) * pow2(1073));
    EXPECT_EQ(vx::sum_int(d.sum).value(), Int(-3) * pow2(1073));
    for (double special : {NAN, INFINITY, -INFINITY}) {
        vx::SumF64 s;
        vx::add(s, 1.0);
        vx::add(s, special);
        EXPECT_EQ(vx::sum_int(s).error(), StatsError::NonFinite);
        vx::DotF64 e = d;
        vx::push(e, special, 2.0);
        EXPECT_EQ(vx::dot_int(e).error(), StatsError::NonFinite);
        vx::push(e, 1e-200, 1e-200);  // the inexact-product flag outranks every other flag
        EXPECT_EQ(vx::dot_int(e).error(), StatsError::ExactnessLost);
    }
    EXPECT_STREQ(vx::error_text(StatsError::Degenerate), "Degenerate");
    EXPECT_EQ(int(StatsError::Empty) + 3, int(StatsError::Degenerate));
}

}  // namespace
