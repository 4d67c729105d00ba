#include "stats/cov.hpp"

#include "stats/moments.hpp"

namespace vx {

void add(CovF64& c, double x, double y) {
    add(c.sum_x, x);
    add(c.sum_y, y);
    push(c.sum_xx, x, x);
    push(c.sum_yy, y, y);
    push(c.sum_xy, x, y);
}

void merge(CovF64& c, const CovF64& other) {
    merge(c.sum_x, other.sum_x);
    merge(c.sum_y, other.sum_y);
    merge(c.sum_xx, other.sum_xx);
    merge(c.sum_yy, other.sum_yy);
    merge(c.sum_xy, other.sum_xy);
}

Stat<BTerms> b_terms(const CovF64& c) {
    const std::uint64_t n = c.sum_x.count;
    if (n == 0) return fail(StatsError::Empty);
    auto x = sum_int(c.sum_x);
    if (!x) return fail(x.error());
    auto y = sum_int(c.sum_y);
    if (!y) return fail(y.error());
    auto xx = dot_int(c.sum_xx);
    if (!xx) return fail(xx.error());
    auto yy = dot_int(c.sum_yy);
    if (!yy) return fail(yy.error());
    auto xy = dot_int(c.sum_xy);
    if (!xy) return fail(xy.error());
    const Int &X = x.value(), &Y = y.value();
    return BTerms{comoment(n, xy.value(), X, Y), comoment(n, xx.value(), X, X),
                  comoment(n, yy.value(), Y, Y), n};
}

Stat<double> try_covariance(const CovF64& c) {
    auto b = b_terms(c);
    if (!b) return fail(b.error());
    return population_quotient(b.value().b_xy, b.value().n);
}

Stat<double> try_slope(const CovF64& c) {
    auto b = b_terms(c);
    if (!b) return fail(b.error());
    if (sgn(b.value().b_xx) == 0) return fail(StatsError::Degenerate);
    return round_rational(b.value().b_xy, b.value().b_xx);
}

Stat<double> try_intercept(const CovF64& c) {
    auto b = b_terms(c);
    if (!b) return fail(b.error());
    const BTerms& t = b.value();
    if (sgn(t.b_xx) == 0) return fail(StatsError::Degenerate);
    // b_terms has read Σx and Σy already, so these readings cannot fail.
    auto x = sum_int(c.sum_x);
    auto y = sum_int(c.sum_y);
    if (!x || !y) return fail(StatsError::NonFinite);
    return round_rational(Int(y.value() * t.b_xx - x.value() * t.b_xy),
                          Int((from_u64(t.n) * t.b_xx) << 1074));
}

namespace {

Stat<double> r_squared_of(const BTerms& t) {
    const Int den = t.b_xx * t.b_yy;
    if (sgn(den) == 0) return fail(StatsError::Degenerate);
    return round_rational(Int(t.b_xy * t.b_xy), den);
}

}  // namespace

Stat<double> try_r_squared(const CovF64& c) {
    auto b = b_terms(c);
    if (!b) return fail(b.error());
    return r_squared_of(b.value());
}

// The signed square root of the rounded r², from one reading of the B terms
// (reading them again, as r_squared does, would give the same terms).
Stat<double> try_correlation(const CovF64& c) {
    auto b = b_terms(c);
    if (!b) return fail(b.error());
    auto r2 = r_squared_of(b.value());
    if (!r2) return r2;
    // A negative r² (b_xx·b_yy < 0, only from inconsistent decoded bytes)
    // has no square root: Degenerate, not NaN.
    auto r = try_sqrt(r2.value());
    if (!r) return r;
    return sgn(b.value().b_xy) < 0 ? -r.value() : r.value();
}

std::array<std::uint8_t, kCovBytes> encode(const CovF64& c) {
    std::array<std::uint8_t, kCovBytes> out;
    std::uint8_t* p = out.data();
    for (const SumF64* s : {&c.sum_x, &c.sum_y}) {
        write_sum(*s, p);
        p += kSumBytes;
    }
    for (const DotF64* d : {&c.sum_xx, &c.sum_yy, &c.sum_xy}) {
        write_dot(*d, p);
        p += kDotBytes;
    }
    return out;
}

std::optional<CovF64> read_cov(const std::uint8_t* in) {
    CovF64 c;
    for (SumF64* s : {&c.sum_x, &c.sum_y}) {
        auto part = read_sum(in);
        if (!part) return std::nullopt;
        *s = *part;
        in += kSumBytes;
    }
    for (DotF64* d : {&c.sum_xx, &c.sum_yy, &c.sum_xy}) {
        auto part = read_dot(in);
        if (!part) return std::nullopt;
        *d = *part;
        in += kDotBytes;
    }
    return c;
}

}  // namespace vx
