// Moments of one variable: MomentsF64 (Σx, Σx²) and Moments4F64 (up to Σx⁴).
//
// Each power sum is an exact accumulator, each product term a DotF64 push
// (rounded product plus its fma residual), so a state is the same whatever
// the order of adds and the grouping of merges.  A statistic reads the
// accumulators as big integers, forms its exact rational value at one common
// scale and rounds it once.
//
// With n the count, S1 = Σx and Sk = Σx^k as integers in units of 2^-1074:
//   A2 = n·S2·2^1074 − S1²                                  = 2^2148 · n·M2
//   A3 = n²·S3·2^2148 − 3n·S1·S2·2^1074 + 2·S1³              = 2^3222 · n²·M3
//   A4 = n³·S4·2^3222 − 4n²·S1·S3·2^2148 + 6n·S1²·S2·2^1074 − 3·S1⁴
//                                                            = 2^4296 · n³·M4
// where Mk = Σ(x − mean)^k.  Bit sizes, with |S| <= 2^2175 and n < 2^64 (the
// largest term of each dominates): |A2| < 2^4351, |A3| < 2^6528,
// |A4| < 2^8704; the largest integer formed, A3² beside A2³, has at most
// 13 056 bits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "exact/acc.hpp"
#include "exact/dot.hpp"
#include "stats/bigint.hpp"

namespace vx {

struct MomentsF64 {
    SumF64 sum_x;   // its count is n
    DotF64 sum_xx;  // Σx·x; counts two per value
};

struct Moments4F64 {
    SumF64 sum_x;
    DotF64 sum_x2;
    DotF64 sum_x3;
    DotF64 sum_x4;
    bool tiny_square = false;  // a non-zero x whose rounded square is below 2^-1022
};

inline constexpr std::size_t kMomentsBytes = kSumBytes + kDotBytes;
inline constexpr std::size_t kMoments4Bytes = kSumBytes + 3 * kDotBytes + 1;
static_assert(kMomentsBytes == 563 && kMoments4Bytes == 1128);

// ------------------------------------------------- shared exact quotients

// n·Σxy − Σx·Σy at the scale of a product, 2^2148: ((n·XY) << 1074) − X·Y
// for readings XY of Σxy and X, Y of Σx, Σy.  With y = x it is A2 below.
Int comoment(std::uint64_t n, const Int& xy, const Int& x, const Int& y);
// comoment / (n²·2^2148) rounded once: the population (co)variance.
double population_quotient(const Int& c, std::uint64_t n);
// X / (n·2^1074) rounded once: the mean of n values whose sum reads X.
double mean_quotient(const Int& x, std::uint64_t n);

// ------------------------------------------------------------ MomentsF64

void add(MomentsF64& m, double x);
void merge(MomentsF64& m, const MomentsF64& other);
inline std::uint64_t count(const MomentsF64& m) { return m.sum_x.count; }

// (A2, n): Empty for n = 0, then the readings of Σx and Σx² in field order.
struct A2 {
    Int a2;
    std::uint64_t n;
};
Stat<A2> a2(const MomentsF64& m);

// Σx / n; reads Σx only, so it survives a flag on the squares.
Stat<double> try_mean(const SumF64& sum_x);
inline Stat<double> try_mean(const MomentsF64& m) { return try_mean(m.sum_x); }
Stat<double> try_variance(const MomentsF64& m);
Stat<double> try_sample_variance(const MomentsF64& m);
Stat<double> try_stddev(const MomentsF64& m);

void write_moments(const MomentsF64& m, std::uint8_t* out);
std::array<std::uint8_t, kMomentsBytes> encode(const MomentsF64& m);
// Absent when a part's flag byte or inexact-product byte is invalid.
std::optional<MomentsF64> read_moments(const std::uint8_t* in);

// ------------------------------------------------------------ Moments4F64

// Whether a non-zero x has a rounded square p below the smallest normal
// 2^-1022 (the bit pattern of p is then at most the largest subnormal's),
// where the square's residual, and so Σx⁴, is no longer exact.
inline bool square_is_tiny(double x, double p) {
    return x != 0 && std::bit_cast<std::uint64_t>(p) <= 0x000FFFFFFFFFFFFFu;
}

// The higher power terms of values x with squares x·x = p + e exactly (e the
// fma residual): x³ = x·p + x·e into Σx³ and x⁴ = p·p + 2·p·e + e·e into Σx⁴,
// each term one product step `step(acc, a, b)`.  The single add steps with
// push on one value, the bulk feeds with extend_from_slices on a run: one
// list of terms for both, so their states agree byte for byte.
template <class X, class Step>
void feed_higher_powers(Moments4F64& m, const X& x, const X& p, const X& e, Step step) {
    step(m.sum_x3, x, p);
    step(m.sum_x3, x, e);
    step(m.sum_x4, p, p);
    step(m.sum_x4, p, e);
    step(m.sum_x4, p, e);
    step(m.sum_x4, e, e);
}

void add(Moments4F64& m, double x);
void merge(Moments4F64& m, const Moments4F64& other);
inline std::uint64_t count(const Moments4F64& m) { return m.sum_x.count; }

struct A234 {
    Int a2, a3, a4;
    std::uint64_t n;
};
// Checks in order: n = 0 (Empty), tiny_square (ExactnessLost), then the
// readings of Σx, Σx², Σx³, Σx⁴.
Stat<A234> a234(const Moments4F64& m);

inline Stat<double> try_mean(const Moments4F64& m) { return try_mean(m.sum_x); }
Stat<double> try_variance(const Moments4F64& m);
Stat<double> try_kurtosis(const Moments4F64& m);
Stat<double> try_excess_kurtosis(const Moments4F64& m);
Stat<double> try_skewness_squared(const Moments4F64& m);
Stat<double> try_skewness(const Moments4F64& m);

std::array<std::uint8_t, kMoments4Bytes> encode(const Moments4F64& m);
// Absent when a part is rejected or the last byte is neither 0 nor 1.
std::optional<Moments4F64> read_moments4(const std::uint8_t* in);

}  // namespace vx
