"""Throughput of FastSumF64.extend and dot against math.fsum, sum, numpy and xsum.

Run from the repository root:  PYTHONPATH=build/dev python bench/bench_fast.py
extend and dot on arrays split long runs across the CPUs the process may use; numpy.sum uses one.
Takes about a minute; math.fsum over 10**7 wide-range values dominates.
"""
import math
import os

import numpy as np

from varnix import DotF64, FastSumF64, dot

from _timing import check, medians

try:
    import xsum
except ImportError:
    xsum = None
    print("xsum is not installed (pip install -r bench/requirements.txt): its rows are skipped")
if "OPENBLAS_CORETYPE" in os.environ:
    print("note: OPENBLAS_CORETYPE is set, which can slow numpy.dot")

SEED = 20240607
REPEATS = 5
rng = np.random.default_rng(SEED)


def wide(n, max_exp):
    """n float64 values: random sign and significand, exponent uniform in [-max_exp, max_exp)."""
    mag = np.ldexp(rng.random(n), rng.integers(-max_exp, max_exp, n))
    return np.copysign(mag, rng.random(n) - 0.5)


def fast_sum(v):
    f = FastSumF64()
    f.extend(v)
    return f


def xsum_sum(v):
    acc = xsum.xsum_large()
    acc.add(v)
    return acc.round()


def dot_list(a, b):
    d = DotF64()
    d.extend(a, b)
    return d


def exact_dot(a, b):
    """Correctly rounded dot product: Dekker splits each a*b exactly into p + e, fsum rounds once.

    Exact as long as no product or partial product overflows or underflows, which holds for
    the exponent range used below.
    """
    p = a * b
    c = 134217729.0  # 2**27 + 1, Veltkamp splitting constant
    ah = a * c - (a * c - a)
    bh = b * c - (b * c - b)
    al, bl = a - ah, b - bh
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl
    return math.fsum(np.concatenate([p, e]).tolist())


list6 = wide(10**6, 1000).tolist()
arr7 = wide(10**7, 1000)
list7 = arr7.tolist()
xa, ya = wide(10**6, 100), wide(10**6, 100)  # products stay far from overflow and underflow
xl, yl = xa.tolist(), ya.tolist()
# Values of one scale, as most measured data are: uniform in [0, 1).
ulist6 = rng.random(10**6).tolist()
ua, ub = rng.random(10**6), rng.random(10**6)

# Like-for-like checks, outside the timed region.
fsum6, fsum7, dot_ref = math.fsum(list6), math.fsum(list7), exact_dot(xa, ya)
check("FastSumF64.extend(list 1e6) == math.fsum", fast_sum(list6).finish().value(), fsum6)
check("FastSumF64.extend(array 1e7) == math.fsum", fast_sum(arr7).finish().value(), fsum7)
check("dot(arrays) == exact dot", dot(xa, ya), dot_ref)
check("DotF64.extend(lists) == exact dot", dot_list(xl, yl).value(), dot_ref)
check("FastSumF64.extend(uniform list) == math.fsum", fast_sum(ulist6).finish().value(),
      math.fsum(ulist6))
check("dot(uniform arrays) == exact dot", dot(ua, ub), exact_dot(ua, ub))
if xsum:
    check("xsum(array 1e7) == math.fsum", xsum_sum(arr7), fsum7)

# title -> (repeats, rows); the rows of a section are timed interleaved, round after round.
sections = {
    "10**6 wide-range floats, Python list": (REPEATS, [
        ("FastSumF64().extend(list)", lambda: fast_sum(list6)),
        ("math.fsum(list)", lambda: math.fsum(list6)),
        ("sum(list)", lambda: sum(list6)),
        ("xsum_large.add(list)", lambda: xsum_sum(list6)),
    ]),
    # math.fsum over 10**7 wide-range values takes seconds: fewer rounds, no warm-up round.
    "10**7 wide-range floats, float64 array (fsum/sum on arr.tolist())": (3, [
        ("FastSumF64().extend(array)", lambda: fast_sum(arr7)),
        ("math.fsum(list)", lambda: math.fsum(list7)),
        ("sum(list)", lambda: sum(list7)),
        ("numpy.sum(array)", lambda: np.sum(arr7)),
        ("xsum_large.add(array)", lambda: xsum_sum(arr7)),
    ]),
    "dot product of two 10**6 wide-range vectors": (REPEATS, [
        ("varnix.dot(array, array)", lambda: dot(xa, ya)),
        ("numpy.dot(array, array)", lambda: np.dot(xa, ya)),
        ("DotF64().extend(list, list)", lambda: dot_list(xl, yl)),
    ]),
    "10**6 floats in [0, 1), Python list": (REPEATS, [
        ("FastSumF64().extend(list)", lambda: fast_sum(ulist6)),
        ("math.fsum(list)", lambda: math.fsum(ulist6)),
        ("sum(list)", lambda: sum(ulist6)),
    ]),
    "dot product of two 10**6 vectors in [0, 1)": (REPEATS, [
        ("varnix.dot(array, array)", lambda: dot(ua, ub)),
        ("numpy.dot(array, array)", lambda: np.dot(ua, ub)),
    ]),
}

ms = {}
for title, (repeats, rows) in sections.items():
    if xsum is None:
        rows = [row for row in rows if not row[0].startswith("xsum")]
    secs = medians([fn for _, fn in rows], repeats, warmup=1 if repeats == REPEATS else 0)
    print(f"\n{title}, median of {repeats} runs\n{'case':<36}{'ms':>10}{'time / first row':>18}")
    for (label, _), t in zip(rows, secs):
        ms[title, label] = t * 1e3
        print(f"{label:<36}{t * 1e3:>10.2f}{t / secs[0]:>18.2f}")

s6, s7, sd, u6, ud = list(sections)
extend, fsum, vdot, ndot = "FastSumF64().extend(list)", "math.fsum(list)", "varnix.dot(array, array)", "numpy.dot(array, array)"
targets = [
    ("math.fsum / extend, 10**6 wide list", (s6, fsum), (s6, extend), ">=", 4),
    ("math.fsum / extend, 10**6 [0,1) list", (u6, fsum), (u6, extend), ">=", 4),
    ("math.fsum / extend, 10**7 array", (s7, fsum), (s7, "FastSumF64().extend(array)"), ">=", 30),
    ("xsum / extend, 10**7 array", (s7, "xsum_large.add(array)"), (s7, "FastSumF64().extend(array)"), ">=", 1),
    ("extend / numpy.sum, 10**7 array", (s7, "FastSumF64().extend(array)"), (s7, "numpy.sum(array)"), "<=", 1.5),
    ("varnix.dot / numpy.dot, wide", (sd, vdot), (sd, ndot), "<=", 10),
    ("varnix.dot / numpy.dot, [0,1)", (ud, vdot), (ud, ndot), "<=", 2),
]
print(f"\n{'speed ratio (time / time)':<36}{'measured':>10}{'target':>10}")
for label, num, den, op, limit in targets:
    if num not in ms or den not in ms:
        print(f"{label:<36}{'skipped':>10}")
        continue
    r = ms[num] / ms[den]
    met = r >= limit if op == ">=" else r <= limit
    print(f"{label:<36}{r:>10.2f}{op + ' ' + str(limit):>10}  {'ok' if met else 'MISSED'}")
