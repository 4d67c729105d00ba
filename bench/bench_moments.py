"""MomentsF64 and Moments4F64 against statistics, numpy and scipy on the same 10**6 floats: accuracy (distance
in ulps from the exact result) and speed (add per call, add loop plus variance() against statistics.pvariance,
one statistic call).

Run from the repository root:  .venv/bin/python bench/bench_moments.py
"""
import math
import random
import statistics
import struct
from fractions import Fraction
from itertools import repeat

import numpy as np
import scipy.stats

from varnix import Moments4F64, MomentsF64

from _timing import check, medians

SEED = 20261206
N = 10**6
CALLS = 2000          # statistic calls per timed round
REPEATS = 5


def data(kind, rng):
    if kind == "standard-normal":
        return [rng.gauss(0.0, 1.0) for _ in range(N)]
    top = {"wide-range": 140, "1e-60..1e60": 60}[kind]   # every power the class holds stays exact there
    return [rng.uniform(-1.0, 1.0) * 10.0**rng.randint(-top, top) for _ in range(N)]


def exact(xs):
    """Exact mean, population and sample variance, skewness and excess kurtosis (population g1, g2),
    from power sums of the values as integers in units of 2**-1074."""
    units = [(lambda n, d: n << (1074 - d.bit_length() + 1))(*x.as_integer_ratio()) for x in xs]
    n = len(xs)
    s = [sum(units)] + [sum(u**k for u in units) for k in (2, 3, 4)]
    s = [Fraction(v, 2**(1074 * k)) for k, v in enumerate(s, 1)]
    mean = s[0] / n
    m2 = s[1] - n * mean**2                                       # sums of powers of the deviations
    m3 = s[2] - 3 * mean * s[1] + 2 * n * mean**3
    m4 = s[3] - 4 * mean * s[2] + 6 * mean**2 * s[1] - 3 * n * mean**4
    return {"mean": mean, "pvariance": m2 / n, "variance": m2 / (n - 1),
            "skew2": n * m3 * m3 / m2**3 * (1 if m3 >= 0 else -1), "excess": n * m4 / m2**2 - 3}


def signed_sqrt(q):
    """The signed square root of |q| to about 120 bits (isqrt), then rounded: a reference for skewness."""
    a = abs(q)
    k = max(0, (240 - a.numerator.bit_length() + a.denominator.bit_length()) // 2)
    return math.copysign(float(Fraction(math.isqrt(a.numerator * 4**k // a.denominator), 2**k)), q)


def ulps(got, want):
    """Number of binary64 values between got and the correctly rounded want (0 when equal)."""
    def key(x):
        k = struct.unpack("<q", struct.pack("<d", float(x)))[0]
        return k if k >= 0 else -(k & 0x7FFF_FFFF_FFFF_FFFF)
    return abs(key(got) - key(want))


def outcome(f):
    """A statistic's value, or the name of the error it raised."""
    try:
        return f()
    except ValueError as e:
        return str(e)


def fed(cls, xs):
    m = cls()
    add = m.add
    for x in xs:
        add(x)
    return m


np.seterr(all="ignore")    # the peers' overflows show in their results
rng = random.Random(SEED)
results = {}
for kind in ["standard-normal", "wide-range", "1e-60..1e60"]:
    xs = data(kind, rng)
    ex = exact(xs)
    m, m4 = fed(MomentsF64, xs), fed(Moments4F64, xs)
    arr = np.array(xs)
    skew = signed_sqrt(ex["skew2"])
    check(f"{kind}: MomentsF64 variance is the exact value rounded once", m.variance(), float(ex["pvariance"]))
    if kind == "wide-range":   # cubes of values near 1e-140 underflow
        check(f"{kind}: Moments4F64 excess_kurtosis raises ExactnessLost", outcome(m4.excess_kurtosis), "ExactnessLost")
    else:
        check(f"{kind}: Moments4F64 excess_kurtosis rounded once", m4.excess_kurtosis(), float(ex["excess"]))
    print(f"\n{kind}: distance in ulps from the correctly rounded exact result")
    for label, got, want in [
        ("MomentsF64.mean", m.mean(), ex["mean"]), ("statistics.fmean", statistics.fmean(xs), ex["mean"]),
        ("numpy.mean", float(np.mean(arr)), ex["mean"]),
        ("MomentsF64.sample_variance", m.sample_variance(), ex["variance"]),
        ("statistics.variance", statistics.variance(xs), ex["variance"]),
        ("MomentsF64.variance", m.variance(), ex["pvariance"]), ("numpy.var", float(np.var(arr)), ex["pvariance"]),
        ("Moments4F64.excess_kurtosis", outcome(m4.excess_kurtosis), ex["excess"]),
        ("scipy.stats.kurtosis", float(scipy.stats.kurtosis(arr)), ex["excess"]),
        ("Moments4F64.skewness", outcome(m4.skewness), skew),
        ("scipy.stats.skew", float(scipy.stats.skew(arr)), skew),
    ]:
        shown = got if isinstance(got, str) or not math.isfinite(got) else format(ulps(got, want), ",")
        print(f"  {label:<32}{shown:>14}")   # an error name, or a peer's overflow
    if kind == "1e-60..1e60":
        calls = [lambda: [m4.kurtosis() for _ in repeat(None, CALLS)],
                 lambda: [m4.skewness() for _ in repeat(None, CALLS)]]
        t = medians(calls, REPEATS)
        results["kurtosis() on 1e-60..1e60"], results["skewness() on 1e-60..1e60"] = (x / CALLS * 1e6 for x in t)
        continue
    results[f"variance() on {kind}"] = medians([lambda: [m.variance() for _ in repeat(None, CALLS)]],
                                               REPEATS)[0] / CALLS * 1e6

    def append_loop():
        append = [].append
        for x in xs:
            append(x)

    t_add, t_append, t_loop, t_stats = medians(
        [lambda: fed(MomentsF64, xs), append_loop, lambda: fed(MomentsF64, xs).variance(),
         lambda: statistics.pvariance(xs)], 3)
    results[f"add / append on {kind}"] = t_add / t_append
    results[f"statistics.pvariance / (add loop + variance()) on {kind}"] = t_stats / t_loop
    print(f"  add {t_add / N * 1e9:.1f} ns/value, append {t_append / N * 1e9:.1f} ns/value, "
          f"add loop + variance() {t_loop:.3f} s, statistics.pvariance {t_stats:.3f} s")

print(f"\nmedians of {REPEATS} rounds of {CALLS} calls (statistics), 3 rounds (loops over {N:,} values)")
print(f"{'measure':<68}{'measured':>10}{'target':>10}")
for label, limit, below in [
    ("add / append on standard-normal", 1.3, True), ("add / append on wide-range", 1.3, True),
    ("statistics.pvariance / (add loop + variance()) on standard-normal", 10, False),
    ("statistics.pvariance / (add loop + variance()) on wide-range", 30, False),
    ("variance() on standard-normal", 5, True), ("variance() on wide-range", 5, True),
    ("kurtosis() on 1e-60..1e60", 25, True), ("skewness() on 1e-60..1e60", None, True),
]:
    v = results[label]
    unit = "us" if "()" in label and "/" not in label else "x"
    verdict = "" if limit is None else "ok" if (v <= limit if below else v >= limit) else "MISSED"
    target = "" if limit is None else ("<= " if below else ">= ") + f"{limit}{unit}"
    print(f"{label:<68}{v:>8.2f}{unit:<2}{target:>10}  {verdict}")
