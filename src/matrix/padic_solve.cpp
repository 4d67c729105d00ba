#include "matrix/padic_solve.hpp"

#include <gmp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace vx {

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;
using u128 = unsigned __int128;
using i128 = __int128;
static_assert(sizeof(mp_limb_t) == sizeof(u64), "limbs are 64-bit words");

// The primes tried in turn, fixed so that every machine lifts the same
// digits: the largest below 2^61.  Each exceeds 2^60, so a digit adds at
// least kDigitBits bits to the modulus; products of two residues are below
// 2^122, so kLazyTerms of them add up below 2^128 before one reduction.
constexpr std::array<u64, 4> kPrimes = {(u64(1) << 61) - 1, (u64(1) << 61) - 31,
                                        (u64(1) << 61) - 45, (u64(1) << 61) - 229};
constexpr unsigned kDigitBits = 60;
constexpr std::size_t kLazyTerms = 64;
static_assert(kPrimes.back() > u64(1) << kDigitBits);

// Arithmetic modulo the prime p.
struct Field {
    u64 p;
    u64 reduce(u128 v) const { return u64(v % p); }
    u64 mul(u64 a, u64 b) const { return reduce(u128(a) * b); }
    u64 sub(u64 a, u64 b) const { return a >= b ? a - b : a + p - b; }
    // a^-1 for 0 < a < p, by the extended Euclidean algorithm on (p, a):
    // the cofactors of a stay below p in magnitude.
    u64 inv(u64 a) const {
        i64 r0 = i64(p), r1 = i64(a), t0 = 0, t1 = 1;
        while (r1 != 0) {
            const i64 q = r0 / r1;
            r0 = std::exchange(r1, r0 - q * r1);
            t0 = std::exchange(t1, t0 - q * t1);
        }
        return t0 < 0 ? u64(t0 + i64(p)) : u64(t0);
    }
    // Σ a[i]·b[i·stride] mod p over n terms, reduced once per kLazyTerms.
    u64 dot(const u64* a, const u64* b, std::size_t stride, std::size_t n) const {
        u64 r = 0;
        for (std::size_t i = 0; i < n;) {
            u128 acc = r;  // r < p: the first product still fits beside it
            const std::size_t end = std::min(n, i + kLazyTerms - 1);
            for (; i < end; ++i) acc += u128(a[i]) * b[i * stride];
            r = reduce(acc);
        }
        return r;
    }
};

// P·A = L·U modulo p in place (row-major m × m), L unit lower triangular
// below the diagonal, U on and above it, by Doolittle's order: column k of
// L·U and row k of U are dot products of what earlier steps left, each
// reduced lazily.  Any non-zero pivot keeps the factorization exact;
// Singular when column k has none, that is, when A is singular modulo p.
// Polls once per column, O(m^2) operations.
enum class Factored { Done, Singular, Interrupted };
struct Lu {
    std::size_t m;
    std::vector<u64> f, uinv;       // the factors; 1 / U[k][k]
    std::vector<std::size_t> perm;  // row k of P·A is row perm[k] of A

    Factored factor(const Field& fp, Poll poll) {
        auto at = [&](std::size_t i, std::size_t j) -> u64& { return f[i * m + j]; };
        for (std::size_t k = 0; k < m; ++k) {
            if (poll()) return Factored::Interrupted;
            for (std::size_t i = k; i < m; ++i)
                at(i, k) = fp.sub(at(i, k), fp.dot(&at(i, 0), &at(0, k), m, k));
            std::size_t r = k;
            while (r < m && at(r, k) == 0) ++r;
            if (r == m) return Factored::Singular;
            if (r != k) {
                std::swap_ranges(&at(r, 0), &at(r, 0) + m, &at(k, 0));
                std::swap(perm[r], perm[k]);
            }
            for (std::size_t j = k + 1; j < m; ++j)
                at(k, j) = fp.sub(at(k, j), fp.dot(&at(k, 0), &at(0, j), m, k));
            uinv[k] = fp.inv(at(k, k));
            for (std::size_t i = k + 1; i < m; ++i) at(i, k) = fp.mul(at(i, k), uinv[k]);
        }
        return Factored::Done;
    }

    // x = A^-1·v modulo p; y is scratch.
    void solve(const Field& fp, const u64* v, u64* y, u64* x) const {
        for (std::size_t i = 0; i < m; ++i) y[i] = fp.sub(v[perm[i]], fp.dot(&f[i * m], y, 1, i));
        for (std::size_t i = m; i-- > 0;) {
            const u64 s = fp.sub(y[i], fp.dot(&f[i * m + i + 1], x + i + 1, 1, m - i - 1));
            x[i] = fp.mul(s, uinv[i]);
        }
    }
};

std::size_t ceil_log2(std::size_t v) { return v <= 1 ? 0 : std::size_t(64 - __builtin_clzll(v - 1)); }

// v as `n` limbs of two's complement (|v| < 2^(64n - 1)).
void put_limbs(const Int& v, u64* out, std::size_t n) {
    const mpz_srcptr z = v.get_mpz_t();
    const std::size_t used = mpz_size(z);
    for (std::size_t l = 0; l < n; ++l) out[l] = l < used ? mpz_getlimbn(z, l) : 0;
    if (sgn(v) < 0) {  // two's complement: invert and add one
        u64 carry = 1;
        for (std::size_t l = 0; l < n; ++l) {
            out[l] = ~out[l] + carry;
            carry = carry && out[l] == 0;
        }
    }
}

// The 62 bits of v below bit `top` (v < 2^top).
u64 bits_below(const Int& v, std::size_t top) {
    const std::size_t low = top - 62;
    const mpz_srcptr z = v.get_mpz_t();
    const std::size_t l = low / 64, s = low % 64;
    const u64 a = mpz_getlimbn(z, l), b = l + 1 < mpz_size(z) ? mpz_getlimbn(z, l + 1) : 0;
    return (s ? (a >> s | b << (64 - s)) : a) & ((u64(1) << 62) - 1);
}

// out = c·x + e·y.
void combine(Int& out, i64 c, const Int& x, i64 e, const Int& y) {
    mpz_mul_si(out.get_mpz_t(), x.get_mpz_t(), c);
    if (e >= 0)
        mpz_addmul_ui(out.get_mpz_t(), y.get_mpz_t(), u64(e));
    else
        mpz_submul_ui(out.get_mpz_t(), y.get_mpz_t(), u64(-(e + 1)) + 1);
}

// The fraction n/e ≡ y (mod P), |n| < 2^bits, 0 < e, from the extended
// Euclidean algorithm on (P, y): with remainders r_j and cofactors t_j
// (r_j ≡ t_j·y), the first r_j below 2^bits over t_j.  When some fraction
// n'/e' ≡ y has |n'| < 2^bits and 0 < e' <= P / 2^bits, (n', e') is a
// multiple of (r_j, t_j) (Wang's theorem), so r_j / t_j is that fraction
// (Yes); No when |t_j| >= 2^bits, past the bound the caller's fraction keeps.
//
// Lehmer's method runs the steps on the leading 62 bits of r_{j-1} and r_j
// (Knuth's Algorithm L: a quotient is taken only when both ends of its
// bracket agree) and applies the product of their matrices, cofactors below
// 2^61, to the full integers: one pass over them per ~30 bits instead of per
// quotient.  Such a batch leaves r_{j-1} >= r_{j-1,before} / 2^62, so it is
// taken only while r_{j-1} has more than bits + 64 bits: every remainder it
// passes stays at or above 2^bits, and the first one below is not skipped.
// Polls once per pass.
enum class Found { Yes, No, Interrupted };
Found reconstruct(const Int& y, const Int& P, std::size_t bits, Int& num, Int& den, Poll poll) {
    Int r0 = P, r1 = y, t0 = 0, t1 = 1, a, b, q;
    constexpr i64 kCofactor = i64(1) << 61;
    while (bit_length(r1) > bits) {
        if (poll()) return Found::Interrupted;
        const std::size_t top = bit_length(r0);
        i64 A = 1, B = 0, C = 0, D = 1;
        if (top > bits + 64) {
            i64 u = i64(bits_below(r0, top)), v = i64(bits_below(r1, top));
            while (v + C > 0 && v + D > 0) {
                const i64 qq = (u + A) / (v + C);
                if (qq != (u + B) / (v + D)) break;
                const i128 nc = i128(A) - i128(qq) * C, nd = i128(B) - i128(qq) * D;
                if (nc >= kCofactor || nc <= -kCofactor || nd >= kCofactor || nd <= -kCofactor) break;
                A = std::exchange(C, i64(nc));
                B = std::exchange(D, i64(nd));
                u = std::exchange(v, u - qq * v);
            }
        }
        if (B == 0) {  // no quotient certain from the leading bits: one full step
            mpz_tdiv_qr(q.get_mpz_t(), a.get_mpz_t(), r0.get_mpz_t(), r1.get_mpz_t());
            r0.swap(r1);
            r1.swap(a);
            mpz_submul(t0.get_mpz_t(), q.get_mpz_t(), t1.get_mpz_t());
            t0.swap(t1);
        } else {
            combine(a, A, r0, B, r1);
            combine(b, C, r0, D, r1);
            r0.swap(a);
            r1.swap(b);
            combine(a, A, t0, B, t1);
            combine(b, C, t0, D, t1);
            t0.swap(a);
            t1.swap(b);
        }
    }
    if (bit_length(t1) > bits) return Found::No;
    if (sgn(t1) < 0) {
        r1 = -r1;
        t1 = -t1;
    }
    num = std::move(r1);
    den = std::move(t1);
    return Found::Yes;
}

// One row of M·x_t: per limb k of the entries (G of them, `Fixed` when
// known at compile time), the sum of the products limb·x_j as a 128-bit
// part sum[k] and a count top[k] of its wraps; returns the sum of the x_j
// of negative entries, whose two's complement counts 2^(64G) too many.  A
// product is below 2^64·2^61, so kBlock = 8 of them, and their 8 x_j, add up
// without a wrap: the inner loop keeps only those block sums, in registers.
constexpr std::size_t kBlock = 8;

template <std::size_t Fixed>
u128 row_sums(const u64* row, const u64* signs, const u64* x, std::size_t m, std::size_t width,
              u128* sum, u64* top) {
    const std::size_t G = Fixed ? Fixed : width;
    u128 negs = 0;
    std::fill(sum, sum + G, 0);
    std::fill(top, top + G, 0);
    for (std::size_t j0 = 0; j0 < m; j0 += kBlock) {
        u128 s[Fixed ? Fixed : 64] = {};
        u64 ng = 0;
        const std::size_t end = std::min(m, j0 + kBlock);
        for (std::size_t k0 = 0; k0 < G; k0 += 64) {  // at most 64 limbs at a time when not fixed
            const std::size_t kn = std::min<std::size_t>(G - k0, Fixed ? Fixed : 64);
            for (std::size_t j = j0; j < end; ++j) {
                const u64 xj = x[j];
#pragma GCC unroll 4
                for (std::size_t k = 0; k < kn; ++k) s[k] += u128(row[j * G + k0 + k]) * xj;
                if (k0 == 0) ng += xj & signs[j];
            }
            for (std::size_t k = 0; k < kn; ++k) {
                sum[k0 + k] += s[k];
                top[k0 + k] += sum[k0 + k] < s[k];
                s[k] = 0;
            }
        }
        negs += ng;
    }
    return negs;
}

// X = Σ_{t<n} d[t]·p^t: Horner's rule on limbs up to kHorner digits, above
// that X_low + p^h·X_high with h = n/2, so that the cost is that of a few
// multiplications of integers of X's size rather than n passes over it.
// The powers p^h are the same for every coordinate and kept in `powers`.
constexpr std::size_t kHorner = 24;

struct Powers {
    u64 p;
    std::vector<std::pair<std::size_t, Int>> known;
    const Int& of(std::size_t h) {
        for (const auto& [e, v] : known)
            if (e == h) return v;
        known.emplace_back(h, Int());
        mpz_ui_pow_ui(known.back().second.get_mpz_t(), p, h);
        return known.back().second;
    }
};

void from_digits(Int& out, const u64* d, std::size_t n, Powers& powers) {
    if (n > kHorner) {
        const std::size_t h = n / 2;
        Int high;
        from_digits(out, d, h, powers);
        from_digits(high, d + h, n - h, powers);
        mpz_addmul(out.get_mpz_t(), high.get_mpz_t(), powers.of(h).get_mpz_t());
        return;
    }
    mpz_ptr z = out.get_mpz_t();
    mp_limb_t* w = mpz_limbs_write(z, mp_size_t(n + 1));
    mp_size_t used = 0;
    for (std::size_t t = n; t-- > 0;) {
        mp_limb_t carry = used ? mpn_mul_1(w, w, used, powers.p) : 0;
        if (carry) w[used++] = carry;
        if (used == 0) {
            if (d[t]) w[used++] = d[t];
        } else if (mpn_add_1(w, w, used, d[t])) {
            w[used++] = 1;
        }
    }
    mpz_limbs_finish(z, used);
}

}  // namespace

// Sizes.  Let bits_j bound the entries of column j (|a_ij| < 2^bits_j, b
// the column m).  Hadamard's bound, |det| <= Π ||column||_2 <= m^(m/2)·
// Π 2^bits_j, bounds D and every N_k by 2^h with
//   h = Σ_{j<m} bits_j + max(0, bits_b - min_j bits_j) + ceil(m·ceil(log2 m) / 2),
// and L = ceil((2h + 1) / 60) digits make P > 2^(2h+1).
//
// The residual: with |M entries| < 2^g and R = 2^w, w = max(bits_b,
// g + ceil(log2 m) + 1), |res_t| < R holds for every t, since
// |res_{t+1}| <= |res_t| / p + m·2^g < R / 2^60 + R / 2.  Before its division
// res_t - M·x_t is below R·2^61 in magnitude, which K = ceil((w + 62) / 64)
// limbs of two's complement hold; the entries of M take G = ceil((g + 1) / 64).
// M·x_t is formed modulo 2^(64K) from per-limb sums of the products (see
// row_sums), and the division by p, exact because
// M·x_t ≡ res_t (mod p), is Hensel's: q·p ≡ r (mod 2^(64K)) limb by limb,
// which is r / p in two's complement when r / p fits.
Expected<std::optional<Rationals>, Stopped> padic_solve(const IntMatrix& a, Poll poll,
                                                        Headroom& headroom) {
    using Result = std::optional<Rationals>;
    const std::size_t m = a.size();
    std::vector<std::size_t> bits(m + 1, 0);
    for (const auto& row : a)
        for (std::size_t j = 0; j <= m; ++j) bits[j] = std::max(bits[j], bit_length(row[j]));
    const std::size_t g = *std::max_element(bits.begin(), bits.end() - 1);
    const std::size_t least = *std::min_element(bits.begin(), bits.end() - 1);
    std::size_t h = (m * ceil_log2(m) + 1) / 2 + (bits[m] > least ? bits[m] - least : 0);
    for (std::size_t j = 0; j < m; ++j) h += bits[j];
    const std::size_t digits = (2 * h + 1 + kDigitBits - 1) / kDigitBits;
    const std::size_t w = std::max(bits[m], g + ceil_log2(m) + 1);
    const std::size_t K = (w + 62 + 63) / 64, G = (g + 1 + 63) / 64;

    // Words of the lifting (M and its signs, the residual twice, the factors,
    // the digits) and the integers of the reconstruction: P, X, d·X and the
    // division's remainder and quotient, six Euclidean values with their
    // temporaries, each below 2·digits + 2 limbs, then the m results.
    const std::uint64_t limbs = digits + 2;
    const std::uint64_t words = m * m * (G + 2) + 2 * m * K + m * digits + 4 * m;
    if (!headroom.take(8 * (words + 16 * (2 * limbs + 4) + 2 * m * (limbs / 2 + 4))))
        return fail(Stopped::NoMemory);

    std::vector<u64> mw(m * m * G), neg(m * m), res(m * K), next(m * K), dig(m * digits);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < m; ++j) {
            put_limbs(a[i][j], &mw[(i * m + j) * G], G);
            neg[i * m + j] = sgn(a[i][j]) < 0 ? ~u64(0) : 0;
        }
    Lu lu{m, std::vector<u64>(m * m), std::vector<u64>(m), std::vector<std::size_t>(m)};
    std::vector<u64> v(m), y(m), x(m), power(K + 1);
    std::vector<u128> lo(G);
    std::vector<u64> hi(G);
    for (const u64 p : kPrimes) {
        const Field fp{p};
        for (std::size_t i = 0; i < m; ++i) {
            lu.perm[i] = i;
            for (std::size_t j = 0; j < m; ++j) {
                const u64 r = mpz_fdiv_ui(a[i][j].get_mpz_t(), p);
                lu.f[i * m + j] = r;
            }
        }
        const Factored factored = lu.factor(fp, poll);
        if (factored == Factored::Interrupted) return fail(Stopped::Interrupted);
        if (factored == Factored::Singular) continue;

        // 2^(64l) mod p, to reduce residual limbs; p^-1 mod 2^64 by Newton's
        // iteration (p·p ≡ 1 mod 8, and each step doubles the correct bits).
        power[0] = 1 % p;
        for (std::size_t l = 1; l <= K; ++l) power[l] = fp.reduce(u128(power[l - 1]) << 64);
        u64 pinv = p;
        for (int i = 0; i < 5; ++i) pinv *= 2 - p * pinv;

        for (std::size_t i = 0; i < m; ++i) put_limbs(a[i][m], &res[i * K], K);
        for (std::size_t t = 0; t < digits; ++t) {
            if (poll()) return fail(Stopped::Interrupted);
            for (std::size_t i = 0; i < m; ++i) {  // res_i mod p, limbs below 2^64 times 2^(64l) mod p < 2^61
                const u64* r = &res[i * K];
                u64 s = 0;
                for (std::size_t l = 0; l < K;) {
                    u128 acc = s;
                    const std::size_t end = std::min(K, l + 7);
                    for (; l < end; ++l) acc += u128(r[l]) * power[l];
                    s = fp.reduce(acc);
                }
                v[i] = r[K - 1] >> 63 ? fp.sub(s, power[K]) : s;
            }
            lu.solve(fp, v.data(), y.data(), x.data());
            for (std::size_t k = 0; k < m; ++k) dig[k * digits + t] = x[k];

            for (std::size_t i = 0; i < m; ++i) {
                const u64* row = &mw[i * m * G];
                const u64* signs = &neg[i * m];
                u128 negs;
                switch (G) {  // the usual widths unrolled
                    case 1: negs = row_sums<1>(row, signs, x.data(), m, G, lo.data(), hi.data()); break;
                    case 2: negs = row_sums<2>(row, signs, x.data(), m, G, lo.data(), hi.data()); break;
                    case 3: negs = row_sums<3>(row, signs, x.data(), m, G, lo.data(), hi.data()); break;
                    case 4: negs = row_sums<4>(row, signs, x.data(), m, G, lo.data(), hi.data()); break;
                    default: negs = row_sums<0>(row, signs, x.data(), m, G, lo.data(), hi.data());
                }
                // out = Σ (lo_l + hi_l·2^128)·2^(64l) - negs·2^(64G), then
                // res_i - out, all modulo 2^(64K).
                u64* out = &next[i * K];
                const u64* in = &res[i * K];
                u128 carry = 0;  // below 2^66 + m·2^64 after each limb
                for (std::size_t l = 0; l < K; ++l) {
                    if (l < G) carry += u64(lo[l]);
                    if (l >= 1 && l - 1 < G) carry += u64(lo[l - 1] >> 64);
                    if (l >= 2 && l - 2 < G) carry += hi[l - 2];
                    out[l] = u64(carry);
                    carry >>= 64;
                }
                const mp_limb_t nl[2] = {u64(negs), u64(negs >> 64)};
                if (K >= G + 2)
                    mpn_sub(out + G, out + G, mp_size_t(K - G), nl, 2);
                else if (K == G + 1)
                    out[G] -= nl[0];
                mpn_sub_n(out, in, out, mp_size_t(K));
                // Hensel division by p: q_l·p cancels limb l, its high part
                // and the borrow carry into limb l + 1.
                u64 bor = 0;
                for (std::size_t l = 0; l < K; ++l) {
                    const u64 s = out[l] - bor;
                    const u64 under = out[l] < bor;
                    const u64 ql = s * pinv;
                    bor = u64((u128(ql) * p) >> 64) + under;
                    out[l] = ql;
                }
            }
            res.swap(next);
        }

        // Reconstruction: the first coordinate whose d·X is no integer below
        // 2^h gives, by Euclid, the factor of D that d still lacks; every
        // later d divides D, so d·x_k is N_k·d / D with a denominator e | D/d
        // and a numerator below 2^h, and by the uniqueness of fractions
        // n/e < 2^h over e <= 2^h modulo P > 2^(2h+1), a d·X_k below 2^h in
        // the symmetric range is that numerator over e = 1.
        Int X, dx, half, num, den;
        Powers powers{p, {}};
        const Int P = powers.of(digits);
        half = P >> 1;
        Int d = 1;
        Rationals out{std::vector<Int>(m), std::vector<Int>(m)};
        for (std::size_t k = 0; k < m; ++k) {
            if (poll()) return fail(Stopped::Interrupted);
            from_digits(X, &dig[k * digits], digits, powers);
            if (d == 1)
                dx.swap(X);
            else {
                dx = d * X;
                mpz_mod(dx.get_mpz_t(), dx.get_mpz_t(), P.get_mpz_t());
            }
            if (dx > half) {
                X = dx - P;
                if (bit_length(X) <= h) {
                    out.num[k] = std::move(X);
                    out.den[k] = d;
                    continue;
                }
            } else if (bit_length(dx) <= h) {
                out.num[k] = std::move(dx);
                out.den[k] = d;
                continue;
            }
            const Found found = reconstruct(dx, P, h, num, den, poll);
            if (found == Found::Interrupted) return fail(Stopped::Interrupted);
            if (found == Found::No) return Result();
            d *= den;
            out.num[k] = std::move(num);
            out.den[k] = d;
        }
        return Result(std::move(out));
    }
    return Result();
}

}  // namespace vx
