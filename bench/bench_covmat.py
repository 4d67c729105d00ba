"""CovMatrixF64: regression_exact against python-flint's exact solve and numpy.linalg.lstsq,
and add per observation against numpy.cov.

Run from the repository root after `bash scripts/run-tests.sh` and
`.venv/bin/pip install -r bench/requirements.txt`:
    .venv/bin/python bench/bench_covmat.py [d ...]
For each d (default 5 10 20 50) it builds the state of 10**5 observations (uniform in [0, 1)), and then
of 10**4 standard-normal ones in a second table, reads the integer
normal equations G·β = r back from encode() (the integers in units of 2**-1074, G[0][0] = n·2**1074)
and solves that same system with flint.fmpz_mat.solve, exactly.  flint is timed on the system as
read, and on the same system with the common powers of two of each row and then each column
divided out (at least as much as regression_exact strips before it eliminates), so that flint
is not slowed by trailing zero bits.  Every flint solution is rounded once and checked against
regression_exact.
"""
import math
import sys
import time
from fractions import Fraction

import numpy as np

from varnix import CovMatrixF64

from _timing import check, medians

try:
    import flint
except ImportError:
    flint = None
    print("python-flint is not installed (pip install -r bench/requirements.txt): its rows are skipped")

N = 10**5
SEED = 20261206
rng = np.random.default_rng(SEED)


def best(fns, rounds):
    """Fastest of `rounds` interleaved runs of each function: on a shared machine the run least
    disturbed by other load is the one that measures the code."""
    runs = [medians(fns, repeats=1, warmup=1 if r == 0 else 0) for r in range(rounds)]
    return [min(run[k] for run in runs) for k in range(len(fns))]


def design(d, n=N, normal=False):
    """n rows of d explanatory values, uniform in [0, 1) or standard normal, and a response linear in them plus
    noise."""
    x = rng.standard_normal((n, d)) if normal else rng.random((n, d))
    y = x @ rng.normal(size=d) + 0.5 + 0.1 * rng.normal(size=n)
    return x, y


def fill(x, y):
    m = CovMatrixF64(x.shape[1])
    for row, v in zip(x, y.tolist()):
        m.add(row, v)
    return m


def reading(b, at):
    """The signed 2176-bit integer of the accumulator encoded at offset `at`."""
    u = int.from_bytes(b[at:at + 272], "little")
    return u - (1 << 2176) if u >> 2175 else u


def normal_equations(m):
    """G and r as Python integers, read from the encoding alone."""
    b = m.encode()
    d = int.from_bytes(b[:4], "little")
    sums = [reading(b, 5 + 281 * k) for k in range(d + 1)]
    base = 5 + 281 * (d + 1)
    cross = [reading(b, base + 282 * k) for k in range(d * (d + 1) // 2 + d)]
    n = m.count()
    g = [[0] * (d + 1) for _ in range(d + 1)]
    g[0][0] = n << 1074
    k = 0
    for i in range(d):
        g[0][i + 1] = g[i + 1][0] = sums[i]
        for j in range(i, d):
            g[i + 1][j + 1] = g[j + 1][i + 1] = cross[k]
            k += 1
    return g, [sums[d]] + cross[k:]


def twos(v):
    return (v & -v).bit_length() - 1 if v else math.inf


def scaled(g, r):
    """Rows of [G | r] and then columns of G divided by their common powers of two; the column shifts."""
    rows = []
    for row, t in zip(g, r):
        s = min(map(twos, row + [t]))
        s = 0 if s == math.inf else s
        rows.append([v >> s for v in row + [t]])
    shifts = []
    for j in range(len(g)):
        s = min(twos(row[j]) for row in rows)
        s = 0 if s == math.inf else s
        shifts.append(s)
        for row in rows:
            row[j] >>= s
    return [row[:-1] for row in rows], [row[-1] for row in rows], shifts


def flint_solve(g, r):
    return flint.fmpz_mat(g).solve(flint.fmpz_mat([[v] for v in r]))


def rounded(solution, shifts):
    """Each rational entry rounded once (int / int true division in Python rounds correctly)."""
    out = []
    for k, s in enumerate(shifts):
        q = solution[k, 0]
        out.append(float(Fraction(int(q.p), int(q.q) << s)))
    return out


def regression_table(dims, n, normal):
    print(f"{n} observations per state, {'standard normal' if normal else 'uniform in [0, 1)'}; fastest of"
          " interleaved runs, seconds")
    print(f"{'d':>3} {'exact':>9} {'flint raw':>10} {'flint scaled':>13} {'exact/flint':>12} {'lstsq':>9}"
          f" {'regression':>11}")
    times = {}
    for d in dims:
        x, y = design(d, n, normal)
        m = fill(x, y)
        rounds = 21 if d <= 20 else 7
        exact = m.regression_exact()
        a = np.column_stack([np.ones(n), x])
        (t_lstsq,) = best([lambda: np.linalg.lstsq(a, y, rcond=None)], 3)
        if flint:
            g, r = normal_equations(m)
            gs, rs, shifts = scaled(g, r)
            t_exact, t_fast, t_raw, t_scaled = best([m.regression_exact, m.regression, lambda: flint_solve(g, r),
                                                     lambda: flint_solve(gs, rs)], rounds)
        else:
            t_exact, t_fast = best([m.regression_exact, m.regression], rounds)
        row = f"{d:>3} {t_exact:>9.5f}"
        if flint:
            check(f"d={d}: flint on the system as read, rounded once", rounded(flint_solve(g, r), [0] * (d + 1)),
                  exact)
            check(f"d={d}: flint on the scaled system, rounded once", rounded(flint_solve(gs, rs), shifts), exact)
            row += f" {t_raw:>10.5f} {t_scaled:>13.5f} {t_exact / t_scaled:>12.2f}"
        else:
            row += " " * 37
        print(row + f" {t_lstsq:>9.5f} {t_fast:>11.6f}")
        times[d] = t_exact
    ds = sorted(times)
    for lo, hi in zip(ds, ds[1:]):
        print(f"growth of regression_exact from d={lo} to d={hi}: time x{times[hi] / times[lo]:.1f}, "
              f"exponent {math.log(times[hi] / times[lo]) / math.log(hi / lo):.2f}")


def main(dims):
    regression_table(dims, N, False)
    print()
    regression_table(dims, 10**4, True)

    print(f"\nadd per observation against numpy.cov of the same {N} rows (x and y stacked)")
    for d in [5, 20]:
        x, y = design(d)
        rows = x.tolist()
        ys = y.tolist()
        stacked = np.column_stack([x, y]).T

        def add_lists():
            m = CovMatrixF64(d)
            for row, v in zip(rows, ys):
                m.add(row, v)

        t0 = time.perf_counter()
        add_lists()
        t_list = time.perf_counter() - t0
        t_array, t_cov = best([lambda: fill(x, y), lambda: np.cov(stacked, bias=True)], 3)
        print(f"d={d:>2}: add(list row) {t_list / N * 1e6:7.2f} us/obs, add(ndarray row) "
              f"{t_array / N * 1e6:7.2f} us/obs, numpy.cov {t_cov / N * 1e6:7.3f} us/obs "
              f"({t_array / t_cov:.0f}x)")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [5, 10, 20, 50])
