#include "stats/moments.hpp"

#include <cmath>

#include "base/fpenv.hpp"

namespace vx {

Int comoment(std::uint64_t n, const Int& xy, const Int& x, const Int& y) {
    return Int((from_u64(n) * xy) << 1074) - x * y;
}

double population_quotient(const Int& c, std::uint64_t n) {
    const Int N = from_u64(n);
    return round_rational(c, Int((N * N) << 2148));
}

double mean_quotient(const Int& x, std::uint64_t n) {
    return round_rational(x, Int(from_u64(n) << 1074));
}

// ------------------------------------------------------------ MomentsF64

void add(MomentsF64& m, double x) {
    add(m.sum_x, x);
    push(m.sum_xx, x, x);
}

void merge(MomentsF64& m, const MomentsF64& other) {
    merge(m.sum_x, other.sum_x);
    merge(m.sum_xx, other.sum_xx);
}

Stat<A2> a2(const MomentsF64& m) {
    const std::uint64_t n = m.sum_x.count;
    if (n == 0) return fail(StatsError::Empty);
    auto s = sum_int(m.sum_x);
    if (!s) return fail(s.error());
    auto d = dot_int(m.sum_xx);
    if (!d) return fail(d.error());
    return A2{comoment(n, d.value(), s.value(), s.value()), n};
}

Stat<double> try_mean(const SumF64& sum_x) {
    const std::uint64_t n = sum_x.count;
    if (n == 0) return fail(StatsError::Empty);
    auto s = sum_int(sum_x);
    if (!s) return fail(s.error());
    return mean_quotient(s.value(), n);
}

Stat<double> try_variance(const MomentsF64& m) {
    auto r = a2(m);
    if (!r) return fail(r.error());
    return population_quotient(r.value().a2, r.value().n);
}

Stat<double> try_sample_variance(const MomentsF64& m) {
    auto r = a2(m);
    if (!r) return fail(r.error());
    if (r.value().n < 2) return fail(StatsError::Empty);
    const Int n = from_u64(r.value().n);
    return round_rational(r.value().a2, Int((n * (n - 1)) << 2148));
}

Stat<double> try_stddev(const MomentsF64& m) {
    auto v = try_variance(m);
    if (!v) return v;
    return try_sqrt(v.value());
}

void write_moments(const MomentsF64& m, std::uint8_t* out) {
    write_sum(m.sum_x, out);
    write_dot(m.sum_xx, out + kSumBytes);
}

std::array<std::uint8_t, kMomentsBytes> encode(const MomentsF64& m) {
    std::array<std::uint8_t, kMomentsBytes> out;
    write_moments(m, out.data());
    return out;
}

std::optional<MomentsF64> read_moments(const std::uint8_t* in) {
    auto sum_x = read_sum(in);
    if (!sum_x) return std::nullopt;
    auto sum_xx = read_dot(in + kSumBytes);
    if (!sum_xx) return std::nullopt;
    return MomentsF64{*sum_x, *sum_xx};
}

// ------------------------------------------------------------ Moments4F64

// Each term is one product step, which flags any product whose exact value
// has bits below 2^-1074.
void add(Moments4F64& m, double x) {
    const DefaultFpEnv env;  // the products and their residuals as IEEE 754 defines them
    const double p = x * x;
    const double e = std::fma(x, x, -p);
    add(m.sum_x, x);
    push(m.sum_x2, x, x);
    if (square_is_tiny(x, p)) m.tiny_square = true;
    feed_higher_powers(m, x, p, e, [](DotF64& d, double a, double b) { push(d, a, b); });
}

void merge(Moments4F64& m, const Moments4F64& other) {
    merge(m.sum_x, other.sum_x);
    merge(m.sum_x2, other.sum_x2);
    merge(m.sum_x3, other.sum_x3);
    merge(m.sum_x4, other.sum_x4);
    m.tiny_square = m.tiny_square || other.tiny_square;
}

Stat<A234> a234(const Moments4F64& m) {
    const std::uint64_t n = m.sum_x.count;
    if (n == 0) return fail(StatsError::Empty);
    if (m.tiny_square) return fail(StatsError::ExactnessLost);
    auto s1 = sum_int(m.sum_x);
    if (!s1) return fail(s1.error());
    auto s2 = dot_int(m.sum_x2);
    if (!s2) return fail(s2.error());
    auto s3 = dot_int(m.sum_x3);
    if (!s3) return fail(s3.error());
    auto s4 = dot_int(m.sum_x4);
    if (!s4) return fail(s4.error());
    const Int N = from_u64(n);
    const Int &S1 = s1.value(), &S2 = s2.value(), &S3 = s3.value(), &S4 = s4.value();
    const Int S1S1 = S1 * S1;
    const Int NN = N * N;
    Int A2 = Int((N * S2) << 1074) - S1S1;
    Int A3 = Int((NN * S3) << 2148) - Int((3 * N * S1 * S2) << 1074) + 2 * S1S1 * S1;
    Int A4 = Int((NN * N * S4) << 3222) - Int((4 * NN * S1 * S3) << 2148) +
             Int((6 * N * S1S1 * S2) << 1074) - 3 * S1S1 * S1S1;
    return A234{std::move(A2), std::move(A3), std::move(A4), n};
}

namespace {

// The state's A234 with A2 != 0: the higher statistics divide by powers of
// A2, which is zero when all values are equal.  A negative A2 (only from
// inconsistent decoded bytes) still gives defined quotients: A2² > 0 for the
// kurtoses, and A2³ < 0 makes the signed squared skewness negative, whose
// skewness is -sqrt(-v), a root of a value above zero.
Stat<A234> spread(const Moments4F64& m) {
    auto r = a234(m);
    if (r && sgn(r.value().a2) == 0) return fail(StatsError::Degenerate);
    return r;
}

}  // namespace

Stat<double> try_variance(const Moments4F64& m) {
    auto r = a234(m);
    if (!r) return fail(r.error());
    return population_quotient(r.value().a2, r.value().n);
}

Stat<double> try_kurtosis(const Moments4F64& m) {
    auto r = spread(m);
    if (!r) return fail(r.error());
    const A234& a = r.value();
    return round_rational(a.a4, Int(a.a2 * a.a2));
}

Stat<double> try_excess_kurtosis(const Moments4F64& m) {
    auto r = spread(m);
    if (!r) return fail(r.error());
    const A234& a = r.value();
    const Int a2a2 = a.a2 * a.a2;
    return round_rational(Int(a.a4 - 3 * a2a2), a2a2);
}

Stat<double> try_skewness_squared(const Moments4F64& m) {
    auto r = spread(m);
    if (!r) return fail(r.error());
    const A234& a = r.value();
    const double v = round_rational(Int(a.a3 * a.a3), Int(a.a2 * a.a2 * a.a2));
    return sgn(a.a3) < 0 ? -v : v;
}

Stat<double> try_skewness(const Moments4F64& m) {
    auto r = try_skewness_squared(m);
    if (!r) return r;
    const double v = r.value();  // a negative square carries the skewness's sign, -0.0 included
    const double root = try_sqrt(std::fabs(v)).value();
    return std::signbit(v) ? -root : root;
}

std::array<std::uint8_t, kMoments4Bytes> encode(const Moments4F64& m) {
    std::array<std::uint8_t, kMoments4Bytes> out;
    std::uint8_t* p = out.data();
    write_sum(m.sum_x, p);
    p += kSumBytes;
    for (const DotF64* d : {&m.sum_x2, &m.sum_x3, &m.sum_x4}) {
        write_dot(*d, p);
        p += kDotBytes;
    }
    *p = m.tiny_square ? 1 : 0;
    return out;
}

std::optional<Moments4F64> read_moments4(const std::uint8_t* in) {
    Moments4F64 m;
    auto sum_x = read_sum(in);
    if (!sum_x) return std::nullopt;
    m.sum_x = *sum_x;
    const std::uint8_t* p = in + kSumBytes;
    for (DotF64* d : {&m.sum_x2, &m.sum_x3, &m.sum_x4}) {
        auto part = read_dot(p);
        if (!part) return std::nullopt;
        *d = *part;
        p += kDotBytes;
    }
    if (*p > 1) return std::nullopt;
    m.tiny_square = *p == 1;
    return m;
}

}  // namespace vx
