#include "matrix/regression.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/fpenv.hpp"
#include "base/memory.hpp"
#include "matrix/padic_solve.hpp"

namespace vx {

namespace {

// The exact entries of the normal equations, read in the order in which
// their errors surface: poisoned, n = 0, Σx_0 .. Σx_{d-1}, Σy, then row by
// row Σx_i·x_j for j = i .. d-1 followed by Σx_i·y.  Reading a product entry
// a second time (below the diagonal) cannot fail once it has been read, so
// this is also the order in which the exact tier's full matrix fails.
struct Entries {
    std::uint64_t n;
    std::vector<Int> x;      // Σx_i
    Int y;                   // Σy
    std::vector<Int> cross;  // the `cross` layout: pairs, then products with y
};

// Bytes of one integer entry: its record and its limbs (a reading has at
// most kLimbs + 1), with the allocator's header.
constexpr std::uint64_t kEntryBytes = sizeof(Int) + 8 * (kLimbs + 1) + 16;

// `copies` integer copies of the (d + 1) x (d + 2) system and `extra` bytes
// more; std::bad_alloc when they do not fit (d < 2^32: no overflow).
void check_entries(const CovMatrixF64& m, std::uint64_t copies, std::uint64_t extra) {
    const std::uint64_t size = m.dim + 1;
    const std::uint64_t bytes = (copies * size * (size + 1) + cross_len(m.dim)) * kEntryBytes + extra;
    if (!Headroom().take(bytes)) throw std::bad_alloc();
}

Stat<Entries> read_entries(const CovMatrixF64& m) {
    if (m.poisoned) return fail(StatsError::Degenerate);
    Entries e{count(m), {}, {}, std::vector<Int>(m.cross.size())};
    if (e.n == 0) return fail(StatsError::Empty);
    const std::uint64_t d = m.dim;
    e.x.reserve(d);
    for (std::uint64_t i = 0; i <= d; ++i) {
        auto s = sum_int(m.sums[i]);
        if (!s) return fail(s.error());
        (i < d ? e.x.emplace_back() : e.y) = std::move(s).value();
    }
    auto read = [&](std::uint64_t k) -> std::optional<StatsError> {
        auto p = dot_int(m.cross[k]);
        if (!p) return p.error();
        e.cross[k] = std::move(p).value();
        return std::nullopt;
    };
    for (std::uint64_t i = 0; i < d; ++i) {
        for (std::uint64_t j = i; j < d; ++j)
            if (auto error = read(pair_index(d, i, j))) return fail(*error);
        if (auto error = read(response_index(d, i))) return fail(*error);
    }
    return e;
}

// a = (a·pivot - left·top) / prev, one entry of step k of fraction-free
// elimination.  Before step k, entry (i, j) with i, j >= k is the minor of
// the input on rows 0..k-1, i and columns 0..k-1, j; the pivot is the
// leading (k+1)-minor and prev the leading k-minor.  Sylvester's identity
// makes a·pivot - left·top equal prev times the minor on rows 0..k, i and
// columns 0..k, j, so the division is exact, and mpz_divexact (which relies
// on a zero remainder) gives the truncating quotient with the sign of the
// product.  Every value is a minor, so none outgrows the determinant:
// Hadamard's bound keeps an m-minor of entries below 2^b under
// m^(m/2)·2^(b·m).
void bareiss_update(Int& a, const Int& pivot, const Int& left, const Int& top, const Int& prev,
                    Int& scratch) {
    mpz_mul(scratch.get_mpz_t(), a.get_mpz_t(), pivot.get_mpz_t());
    mpz_submul(scratch.get_mpz_t(), left.get_mpz_t(), top.get_mpz_t());
    if (prev == 1)
        mpz_swap(a.get_mpz_t(), scratch.get_mpz_t());
    else
        mpz_divexact(a.get_mpz_t(), scratch.get_mpz_t(), prev.get_mpz_t());
}

// Makes M[k][k] non-zero by exchanging row k with the first row below it
// that has a non-zero entry in column k (any non-zero pivot keeps the
// arithmetic exact; no search by magnitude), negating `sign` for the
// exchange.  False when column k is zero from row k down: the determinant is 0.
bool bring_pivot(IntMatrix& m, std::size_t k, int& sign) {
    if (sgn(m[k][k]) != 0) return true;
    std::size_t r = k + 1;
    while (r < m.size() && sgn(m[r][k]) == 0) ++r;
    if (r == m.size()) return false;
    std::swap(m[k], m[r]);
    sign = -sign;
    return true;
}

// Exponent of the largest power of two dividing v; a zero is divisible by
// any power (SIZE_MAX).
std::size_t twos(const Int& v) { return sgn(v) == 0 ? SIZE_MAX : mpz_scan1(v.get_mpz_t(), 0); }

// Shifts s_i with s_i + s_j <= twos(G[i][j]) and s_i <= twos(r[i]), large
// where the data allow: each starts at the most its own diagonal entry and
// right-hand side allow, and a pair that still exceeds its entry is lowered
// within it.  Lowering never breaks a pair already checked, so one pass
// over the pairs suffices.
std::vector<std::size_t> symmetric_shifts(const IntMatrix& a) {
    const std::size_t size = a.size();
    std::vector<std::size_t> s(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t cap = std::min(twos(a[i][size]), twos(a[i][i]) / 2);
        s[i] = cap >= SIZE_MAX / 2 ? 0 : cap;  // nothing to divide: leave the row
    }
    for (std::size_t i = 0; i < size; ++i)
        for (std::size_t j = i + 1; j < size; ++j) {
            const std::size_t t = twos(a[i][j]);
            if (t != SIZE_MAX && s[i] + s[j] > t) {
                s[i] = std::min(s[i], t / 2);
                s[j] = std::min(s[j], t - s[i]);
            }
        }
    return s;
}

}  // namespace

Stat<double> try_covariance(const CovMatrixF64& m, std::uint64_t i, std::uint64_t j) {
    if (m.poisoned) return fail(StatsError::Degenerate);
    const std::uint64_t n = count(m), d = m.dim;
    if (n == 0) return fail(StatsError::Empty);
    if (i >= d || j >= d) return fail(StatsError::Degenerate);
    auto xi = sum_int(m.sums[i]);
    if (!xi) return fail(xi.error());
    auto xj = sum_int(m.sums[j]);
    if (!xj) return fail(xj.error());
    auto p = dot_int(m.cross[pair_index(d, i, j)]);
    if (!p) return fail(p.error());
    // (n·Σx_ix_j − Σx_i·Σx_j) / n², both terms at the scale 2^-2148.
    const Int nn = from_u64(n);
    const Int num = Int((nn * p.value()) << 1074) - xi.value() * xj.value();
    return round_rational(num, Int((nn * nn) << 2148));
}

Stat<std::vector<double>> try_regression(const CovMatrixF64& m) {
    const DefaultFpEnv env;  // the elimination rounds to nearest, whatever mode the caller set
    check_entries(m, 0, (m.dim + 1) * (m.dim + 2) * sizeof(double));
    auto read = read_entries(m);
    if (!read) return fail(read.error());
    const Entries& e = read.value();
    const std::size_t d = m.dim;
    // Each entry divided by n, rounded once: V / (n·2^1074).
    const Int scale = from_u64(e.n) << 1074;
    auto moment = [&](const Int& v) { return round_rational(v, scale); };

    // Rows 0 .. d, columns 0 .. d the equations, column d + 1 the right side.
    std::vector<std::vector<double>> a(d + 1, std::vector<double>(d + 2, 0.0));
    a[0][0] = 1.0;
    for (std::size_t i = 0; i < d; ++i) a[0][i + 1] = a[i + 1][0] = moment(e.x[i]);
    a[0][d + 1] = moment(e.y);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = i; j < d; ++j)
            a[i + 1][j + 1] = a[j + 1][i + 1] = moment(e.cross[pair_index(d, i, j)]);
        a[i + 1][d + 1] = moment(e.cross[response_index(d, i)]);
    }

    // Gauss–Jordan with partial pivoting: the first row of strictly largest
    // magnitude wins; each update rounds the product and then the
    // difference (the build forbids contracting them into an fma).
    for (std::size_t h = 0; h <= d; ++h) {
        std::size_t p = h;
        for (std::size_t r = h + 1; r <= d; ++r)
            if (std::fabs(a[r][h]) > std::fabs(a[p][h])) p = r;
        if (a[p][h] == 0.0) return fail(StatsError::Degenerate);
        std::swap(a[h], a[p]);
        const std::vector<double>& top = a[h];
        for (std::size_t r = 0; r <= d; ++r) {
            if (r == h) continue;
            const double f = a[r][h] / top[h];
            if (f == 0.0) continue;
            for (std::size_t k = h; k <= d + 1; ++k) {
                const double product = f * top[k];
                a[r][k] = a[r][k] - product;
            }
        }
    }
    std::vector<double> beta(d + 1);
    for (std::size_t i = 0; i <= d; ++i) beta[i] = a[i][d + 1] / a[i][i];
    return beta;
}

Int bareiss_det(IntMatrix m) {
    const std::size_t size = m.size();
    Int prev = 1, scratch;
    int sign = 1;
    for (std::size_t k = 0; k < size; ++k) {
        if (!bring_pivot(m, k, sign)) return 0;
        for (std::size_t i = k + 1; i < size; ++i) {
            for (std::size_t j = k + 1; j < size; ++j)
                bareiss_update(m[i][j], m[k][k], m[i][k], m[k][j], prev, scratch);
            m[i][k] = 0;
        }
        prev = m[k][k];
    }
    return sign < 0 ? Int(-m[size - 1][size - 1]) : m[size - 1][size - 1];
}

namespace {

// Limbs of |v|, and limbs v has room for.
std::uint64_t limbs(const Int& v) { return mpz_size(v.get_mpz_t()); }
std::uint64_t room(const Int& v) { return std::uint64_t(v.get_mpz_t()->_mp_alloc); }

// Bytes row i of step k may newly take: scratch = a·pivot - left·top has at
// most s = max(|a|+|pivot|, |left|+|top|) + 1 limbs, and the exact quotient by
// prev at most s - |prev| + 1, which a grows to where it lacks the room;
// scratch itself, and GMP's temporaries of the division, each up to s.
std::uint64_t row_growth(const IntMatrix& a, std::size_t k, std::size_t i, const Int& prev,
                         bool symmetric) {
    const Int& pivot = a[k][k];
    const Int& left = symmetric ? a[k][i] : a[i][k];
    std::uint64_t grow = 0, widest = 0;
    for (std::size_t j = symmetric ? i : k + 1; j < a[i].size(); ++j) {
        const std::uint64_t s =
            std::max(limbs(a[i][j]) + limbs(pivot), limbs(left) + limbs(a[k][j])) + 1;
        const std::uint64_t q = s - std::min(s, limbs(prev)) + 1;
        grow += q > room(a[i][j]) ? q - room(a[i][j]) : 0;
        widest = std::max(widest, s);
    }
    return 8 * (grow + 2 * widest);
}

// Bytes numerator i of the back substitution may take: D'·c_i and each
// U[i][j]·N_j have at most s limbs, the sum one more; the numerator, the
// product's temporary and the division's each up to s + 1.
std::uint64_t back_growth(const IntMatrix& a, const Cramer& out, std::size_t i) {
    const std::size_t size = a.size();
    std::uint64_t s = limbs(out.det) + limbs(a[i][size]);
    for (std::size_t j = i + 1; j < size; ++j)
        s = std::max(s, limbs(a[i][j]) + limbs(out.numerators[j]));
    return 8 * 3 * (s + 2);
}

}  // namespace

// Forward elimination of [M | b] is the Bareiss elimination of M carried
// along one more column: it ends in an upper-triangular U whose diagonal
// holds the leading minors of the row-permuted M, U[m-1][m-1] = D' = ±D, and
// a column c, with U·x = c equivalent to M·x = b (each step combines rows
// with a non-zero factor on the row it replaces).  Cramer's numerators of
// the permuted system, N_i = D'·x_i, are integers, so back substitution
//   N_{m-1} = c_{m-1},  N_i = (D'·c_i − Σ_{j>i} U[i][j]·N_j) / U[i][i]
// divides exactly.  That costs O(m^3) operations for all m + 1
// determinants, instead of O(m^4) for m + 1 separate eliminations.
//
// A symmetric M stays symmetric under elimination without row exchanges
// (the minor on rows 0..k, i and columns 0..k, j is the transpose of the one
// on rows 0..k, j and columns 0..k, i), so only the upper triangle and b
// need updating, with M[i][k] read as M[k][i]: half the work.  A zero pivot
// needs a row exchange, which breaks the symmetry; the solve then starts
// again from a copy of the input without relying on it.
Expected<std::optional<Cramer>, Stopped> solve_augmented(IntMatrix a, Poll poll, bool symmetric) {
    const std::size_t size = a.size();
    const IntMatrix input = symmetric ? a : IntMatrix();
    Int prev = 1, scratch;
    int sign = 1;
    Headroom headroom;
    for (std::size_t k = 0; k < size; ++k) {
        if (symmetric && sgn(a[k][k]) == 0) return solve_augmented(input, poll, false);
        if (!bring_pivot(a, k, sign)) return std::optional<Cramer>();
        for (std::size_t i = k + 1; i < size; ++i) {
            if (poll()) return fail(Stopped::Interrupted);
            if (!headroom.take(row_growth(a, k, i, prev, symmetric))) return fail(Stopped::NoMemory);
            const Int& left = symmetric ? a[k][i] : a[i][k];
            for (std::size_t j = symmetric ? i : k + 1; j <= size; ++j)
                bareiss_update(a[i][j], a[k][k], left, a[k][j], prev, scratch);
            if (!symmetric) a[i][k] = 0;
        }
        prev = a[k][k];
    }
    Cramer out{a[size - 1][size - 1], std::vector<Int>(size)};
    for (std::size_t i = size; i-- > 0;) {
        if (poll()) return fail(Stopped::Interrupted);
        if (!headroom.take(back_growth(a, out, i))) return fail(Stopped::NoMemory);
        Int& v = out.numerators[i];
        v = out.det * a[i][size];
        for (std::size_t j = i + 1; j < size; ++j)
            mpz_submul(v.get_mpz_t(), a[i][j].get_mpz_t(), out.numerators[j].get_mpz_t());
        mpz_divexact(v.get_mpz_t(), v.get_mpz_t(), a[i][i].get_mpz_t());
    }
    if (sign < 0) {
        out.det = -out.det;
        for (Int& v : out.numerators) v = -v;
    }
    return std::optional<Cramer>(std::move(out));
}

// From this size on, lifting (matrix/padic_solve.hpp) solves the system,
// elimination only what it leaves: a system singular modulo its primes.
// Below it, elimination's integers are small and lifting's fixed costs (a
// factorization, ~2h/60 digits for an h-bit Hadamard bound) do not pay.
constexpr std::size_t kLiftFrom = 16;

// Row and column i of G, and r[i], are divided by 2^s_i (G[i][j] by
// 2^(s_i + s_j)), which keeps G symmetric.  Readings count units of
// 2^-1074, but data rarely reach the subnormal range: a column whose values
// are multiples of 2^-e contributes multiples of 2^(1074-e) to its sums and
// products, so these shifts strip hundreds of zero bits from every entry
// and the elimination works on integers a fraction of their size.  The
// scaled system solves for 2^s_j·β_j exactly, with numerator D_j' over
// D'·2^s_j: the rational β_j, and so its rounding, is unchanged.
Expected<Stat<std::vector<double>>, Stopped> try_regression_exact(const CovMatrixF64& m,
                                                                   Poll poll) {
    using Result = Stat<std::vector<double>>;
    check_entries(m, 2, 0);  // the system and the copy the symmetric solve keeps
    auto read = read_entries(m);
    if (!read) return Result(fail(read.error()));
    Entries& e = read.value();
    const std::size_t d = m.dim, size = d + 1;

    IntMatrix g(size, std::vector<Int>(size + 1));
    g[0][0] = from_u64(e.n) << 1074;
    for (std::size_t i = 0; i < d; ++i) g[0][i + 1] = g[i + 1][0] = e.x[i];
    g[0][size] = std::move(e.y);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = i; j < d; ++j)
            g[i + 1][j + 1] = g[j + 1][i + 1] = e.cross[pair_index(d, i, j)];
        g[i + 1][size] = std::move(e.cross[response_index(d, i)]);
    }

    const std::vector<std::size_t> shift = symmetric_shifts(g);
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t j = 0; j < size; ++j) g[i][j] >>= shift[i] + shift[j];
        g[i][size] >>= shift[i];
    }

    if (size >= kLiftFrom) {
        Headroom headroom;
        auto lifted = padic_solve(g, poll, headroom);
        if (!lifted) return fail(lifted.error());
        if (const std::optional<Rationals>& x = lifted.value()) {
            std::vector<double> beta(size);
            for (std::size_t k = 0; k < size; ++k)
                beta[k] = round_rational(x->num[k], Int(x->den[k] << shift[k]));
            return Result(std::move(beta));
        }
    }
    auto solved = solve_augmented(std::move(g), poll, true);
    if (!solved) return fail(solved.error());
    const std::optional<Cramer>& c = solved.value();
    if (!c) return Result(fail(StatsError::Degenerate));
    std::vector<double> beta(size);
    for (std::size_t k = 0; k < size; ++k)
        beta[k] = round_rational(c->numerators[k], Int(c->det << shift[k]));
    return Result(std::move(beta));
}

}  // namespace vx
