"""CovF64 and WeightedMomentsF64 against statistics and numpy on 10**6 pairs.

Run from the repository root after `pip install -r bench/requirements.txt`:
    .venv/bin/python bench/bench_moments2.py
Reports the time of each add loop and of each peer on the same data, the time of one statistic
call on states of 10**6 wide-range values, and each peer's distance in ulps from the exact
result (computed here with Python integers, independently of the module).  Takes about a minute.
"""
import collections
import decimal
import statistics
import struct
import timeit
from fractions import Fraction

import numpy as np

from varnix import CovF64, PnMomentsF64, WeightedMomentsF64

from _timing import check, medians

N, SEED, REPEATS = 10**6, 20240607, 3
rng = np.random.default_rng(SEED)
decimal.getcontext().prec = 60


def key(x):
    """Position of x on the line of binary64 values: neighbours differ by one."""
    i = struct.unpack("<q", struct.pack("<d", float(x)))[0]
    return i if i >= 0 else -(i & 0x7FFF_FFFF_FFFF_FFFF)


def scaled(xs):
    """Each value as an exact integer in units of 2**-1074."""
    out = []
    for x in xs:
        n, d = x.as_integer_ratio()
        out.append(n << (1075 - d.bit_length()))
    return out


def exact_cov(xs, ys):
    """Exact population covariance, sample covariance, slope, intercept, and the correlation to 60 digits."""
    X, Y = scaled(xs), scaled(ys)
    n, sx, sy = len(X), sum(X), sum(Y)
    bxy = n * sum(map(int.__mul__, X, Y)) - sx * sy          # all at the scale 2**-2148
    bxx = n * sum(a * a for a in X) - sx * sx
    byy = n * sum(b * b for b in Y) - sy * sy
    corr = decimal.Decimal(bxy) / (decimal.Decimal(bxx) * decimal.Decimal(byy)).sqrt()
    return dict(covariance=Fraction(bxy, n * n << 2148), sample_covariance=Fraction(bxy, n * (n - 1) << 2148),
                slope=Fraction(bxy, bxx), intercept=Fraction(sy * bxx - sx * bxy, n * bxx << 1074),
                correlation=float(corr))


def exact_weighted(xs, ws):
    X, W = scaled(xs), scaled(ws)
    sw, swx, swxx = sum(W), sum(map(int.__mul__, W, X)), sum(w * x * x for w, x in zip(W, X))
    # sw at the scale 2**-1074, swx at 2**-2148, swxx at 2**-3222
    return dict(mean=Fraction(swx, sw << 1074), variance=Fraction(sw * swxx - swx * swx, sw * sw << 2148))


def fed(cls, *cols):
    s = cls()
    collections.deque(map(s.add, *cols), maxlen=0)   # the fastest pure-Python add loop
    return s


def cov_all(xs, ys):
    c = fed(CovF64, xs, ys)
    return dict(covariance=c.covariance(), slope=c.slope(), intercept=c.intercept(), correlation=c.correlation(),
                r_squared=c.r_squared())


def cov_all_for_loop(xs, ys):
    c = CovF64()
    for a, b in zip(xs, ys):
        c.add(a, b)
    return dict(covariance=c.covariance(), slope=c.slope(), intercept=c.intercept(), correlation=c.correlation(),
                r_squared=c.r_squared())


def regression(xs, ys):
    r = statistics.linear_regression(xs, ys)
    return dict(slope=r.slope, intercept=r.intercept)


def weighted_all(xs, ws):
    s = fed(WeightedMomentsF64, xs, ws)
    return dict(mean=s.mean(), variance=s.variance())


def weighted_numpy(x, w):
    m = np.average(x, weights=w)
    return dict(mean=m, variance=np.average((x - m) ** 2, weights=w))


def report(title, rows, exact):
    """rows: (label, function, result names as the function calls them -> names of the exact results)."""
    times = medians([fn for _, fn, _ in rows], repeats=REPEATS)
    print(f"\n{title}\n  {'':<44} {'time':>11}  {'vs first':>7}")
    base = times[0]
    for (label, fn, names), t in zip(rows, times):
        got = fn()
        dist = ", ".join(f"{k} {abs(key(got[k]) - key(float(exact[e])))} ulp" for k, e in names.items())
        print(f"  {label:<44} {t * 1e3:8.1f} ms  {t / base:6.2f}x   {dist}")


x, y = rng.standard_normal(N), rng.standard_normal(N)
xs, ys = x.tolist(), y.tolist()
ec = exact_cov(xs, ys)
for k in ("covariance", "slope", "intercept", "correlation"):
    check(f"CovF64.{k} is the exact value rounded once", cov_all(xs, ys)[k], float(ec[k]))
report("standard-normal pairs, 10**6 (ulps from the exact value; the correlation's is rounded twice)", [
    ("CovF64 add loop + 5 statistics", lambda: cov_all(xs, ys),
     dict(covariance="covariance", slope="slope", intercept="intercept", correlation="correlation")),
    ("CovF64 add as a for loop + 5 statistics", lambda: cov_all_for_loop(xs, ys), dict(slope="slope")),
    ("statistics.linear_regression", lambda: regression(xs, ys), dict(slope="slope", intercept="intercept")),
    ("statistics.covariance (sample)", lambda: dict(c=statistics.covariance(xs, ys)), dict(c="sample_covariance")),
    ("statistics.correlation", lambda: dict(r=statistics.correlation(xs, ys)), dict(r="correlation")),
    ("numpy.cov(bias=True) on arrays", lambda: dict(c=np.cov(x, y, bias=True)[0, 1]), dict(c="covariance")),
    ("numpy.corrcoef on arrays", lambda: dict(r=np.corrcoef(x, y)[0, 1]), dict(r="correlation")),
], ec)

w = rng.random(N) + 0.5
ws = w.tolist()
ew = exact_weighted(xs, ws)
for k in ("mean", "variance"):
    check(f"WeightedMomentsF64.{k} is the exact value rounded once", weighted_all(xs, ws)[k], float(ew[k]))
report("weighted values, 10**6 (x standard normal, w uniform in [0.5, 1.5))", [
    ("WeightedMomentsF64 add loop + mean, variance", lambda: weighted_all(xs, ws), dict(mean="mean",
                                                                                       variance="variance")),
    ("numpy.average, weighted variance on arrays", lambda: weighted_numpy(x, w), dict(mean="mean",
                                                                                    variance="variance")),
], ew)


def wide(n):
    """Magnitudes 1e-100 .. 1e100 with random signs: every product and square stays normal and exact."""
    return (np.copysign(10.0 ** rng.uniform(-100, 100, n), rng.random(n) - 0.5)).tolist()


wx, wy = wide(N), wide(N)


def line_loop(xs, ys):
    c = fed(CovF64, xs, ys)
    return dict(slope=c.slope(), intercept=c.intercept())


ew = exact_cov(wx, wy)
check("CovF64 slope, intercept on wide pairs are the exact values rounded once", line_loop(wx, wy),
      dict(slope=float(ew["slope"]), intercept=float(ew["intercept"])))
t_ours, t_peer = medians([lambda: line_loop(wx, wy), lambda: regression(wx, wy)], repeats=REPEATS)
print(f"\npairs spanning 1e-100 .. 1e100, 10**6: CovF64 add loop + slope + intercept "
      f"{t_ours / N * 1e9:.1f} ns/pair, statistics.linear_regression {t_peer / N * 1e9:.1f} ns/pair")
ratio = t_peer / t_ours
print(f"  statistics.linear_regression / ours {ratio:8.2f}x   target >= 10x  {'ok' if ratio >= 10 else 'MISSED'}")
states = [("CovF64", fed(CovF64, wx, wy), ["covariance", "slope", "intercept", "r_squared", "correlation"]),
          ("WeightedMomentsF64", fed(WeightedMomentsF64, wx, ws), ["mean", "variance"])]
pn = fed(PnMomentsF64, wx)
collections.deque(map(pn.remove, wx[: N // 2]), maxlen=0)
states.append(("PnMomentsF64", pn, ["mean", "variance"]))
print("\none statistic call on a state of 10**6 values spanning 1e-100 .. 1e100 (best of 5 x 2000 calls)")
for name, s, stats in states:
    for stat in stats:
        per_call = min(timeit.repeat(getattr(s, stat), number=2000, repeat=5)) / 2000
        print(f"  {name}.{stat:<12} {per_call * 1e6:6.2f} us")
