"""One SHA-256 over the bytes and readings of every state built from a fixed corpus.

Speed work must not move one bit: run this before and after a change and
compare the digest it prints.  The corpus is drawn from a seeded
random.Random (whose stream is fixed across Python versions) and spans the
binary64 range: wide and narrow exponent spreads, subnormals, cancellation,
and the special values.  Every class is fed through each of its entry points
(add loops, extend, the varnix_arrays bulk functions at several lengths), and
every reading is recorded as its exact bits or its error name.

    python bench/corpus_digest.py            # prints the digest
    python bench/corpus_digest.py --verbose  # and one digest per section
"""
import hashlib
import random
import struct
import sys

import numpy as np
import varnix as vx
import varnix_arrays as va


def draw(rng, n, lo, hi):
    """n floats m * 2^e with a random 53-bit significand and e uniform in [lo, hi], random sign."""
    out = []
    for _ in range(n):
        m = rng.getrandbits(53) | 1
        x = m * 2.0 ** (rng.randint(lo, hi) - 52) if lo > -1074 else m * 2.0 ** -1074
        out.append(-x if rng.getrandbits(1) else x)
    return out


def corpora(rng):
    yield "normal", [rng.gauss(0.0, 1.0) for _ in range(20000)]
    yield "spread30", draw(rng, 20000, -100, 100)
    yield "spread300", draw(rng, 20000, -1000, 1000)
    yield "subnormal", [rng.getrandbits(52) * 2.0 ** -1074 * (-1) ** rng.getrandbits(1) for _ in range(5000)]
    big = draw(rng, 2000, 900, 1023)
    yield "cancel", big + [-x for x in big] + [1.0, 2.0 ** -1074]
    yield "ints", [float(rng.randint(-2 ** 53, 2 ** 53)) for _ in range(5000)]
    yield "specials", [1.0, float("nan"), 2.0, float("inf"), -0.0, 0.0] * 10
    yield "tiny", [5e-324, -5e-324, 1e-310]


class Digest:
    def __init__(self):
        self.h = hashlib.sha256()
        self.sections = {}

    def put(self, section, tag, data):
        rec = tag.encode() + b"\0" + data
        self.h.update(rec)
        self.sections.setdefault(section, hashlib.sha256()).update(rec)

    def reading(self, section, tag, fn, *args):
        try:
            r = fn(*args)
        except (ValueError, ArithmeticError) as e:
            self.put(section, tag, type(e).__name__.encode() + str(e).encode())
            return
        if isinstance(r, float):
            self.put(section, tag, struct.pack("<d", r))
        elif isinstance(r, (tuple, list)):
            self.put(section, tag, repr([struct.pack("<d", v).hex() if isinstance(v, float) else v for v in r]).encode())
        else:
            self.put(section, tag, repr(r).encode())


READINGS = {
    vx.SumF64: ["count", "value"], vx.SumF32: ["count", "value"],
    vx.MomentsF64: ["count", "mean", "variance", "sample_variance", "stddev"],
    vx.Moments4F64: ["count", "mean", "variance", "kurtosis", "excess_kurtosis", "skewness", "skewness_squared"],
    vx.CovF64: ["count", "covariance", "slope", "intercept", "r_squared", "correlation"],
    vx.WeightedMomentsF64: ["count", "mean", "variance"],
    vx.PnMomentsF64: ["live_count", "mean", "variance"],
    vx.ExtremaF64: ["min", "max", "range"],
    vx.HistogramF64: ["counts", "total"],
    vx.DotF64: ["value"],
}


def record(d, section, tag, obj):
    enc = obj.to_bytes() if hasattr(obj, "to_bytes") else obj.encode() if hasattr(obj, "encode") else b""
    d.put(section, tag + ":bytes", enc)
    d.put(section, tag + ":hash", obj.state_hash())
    for name in READINGS.get(type(obj), []):
        d.reading(section, tag + ":" + name, getattr(obj, name))
    if isinstance(obj, vx.HistogramF64):
        for q in (0.0, 0.1, 0.5, 0.9, 1.0):
            d.reading(section, f"{tag}:q{q}", obj.quantile_bounds, q)


def fed(cls, values, *args):
    s = cls(*args)
    for v in values:
        s.add(v)
    return s


def run(d, name, xs):
    rng = random.Random(len(xs))
    ys = xs[::-1]
    ws = [abs(v) if v == v else 1.0 for v in xs]
    arr, yarr = np.array(xs), np.array(ys)
    for cls in (vx.SumF64, vx.SumF32, vx.MomentsF64, vx.Moments4F64, vx.PnMomentsF64, vx.ExtremaF64):
        record(d, name, cls.__name__ + ".add", fed(cls, xs))
    cv = vx.CovF64()
    wm = vx.WeightedMomentsF64()
    dt = vx.DotF64()
    for x, y, w in zip(xs, ys, ws):
        cv.add(x, y)
        wm.add(x, w)
        dt.push(x, y)
    for tag, o in (("CovF64.add", cv), ("WeightedMomentsF64.add", wm), ("DotF64.push", dt)):
        record(d, name, tag, o)
    edges = sorted({v for v in rng.sample(xs, min(len(xs), 101)) if v == v and abs(v) != float("inf")})
    if len(edges) >= 2:
        record(d, name, "HistogramF64.add", fed(vx.HistogramF64, xs, edges))
        record(d, name, "va.histogram", va.histogram(arr, edges))
    fs = vx.FastSumF64()
    fs.extend(xs)
    record(d, name, "FastSumF64.extend(list)", fs.finish())
    fs = vx.FastSumF64()
    fs.extend(arr)
    record(d, name, "FastSumF64.extend(array)", fs.finish())
    d.reading(name, "dot(array)", vx.dot, arr, yarr)
    for n in sorted({1, 7, 100, 4097, len(xs)}):
        a, b = arr[:n], yarr[:n]
        for skipna in (False, True):
            t = f"n{n}s{int(skipna)}"
            record(d, name, "va.sum" + t, va.sum(a, skipna=skipna))
            record(d, name, "va.moments" + t, va.moments(a, skipna=skipna))
            record(d, name, "va.moments4" + t, va.moments4(a, skipna=skipna))
            record(d, name, "va.extrema" + t, va.extrema(a, skipna=skipna))
            record(d, name, "va.cov" + t, va.cov(a, b, skipna=skipna))
            record(d, name, "va.weighted" + t, va.weighted_moments(a, np.abs(b), skipna=skipna))
            d.put(name, "va.dot_state" + t, va.dot_state(a, b, skipna=skipna))
    X = np.stack([arr, yarr, arr * 0.5 + 1.0], axis=1)[:400]
    cm = va.cov_matrix(X, arr[:400])
    record(d, name, "va.cov_matrix", cm)
    d.reading(name, "regression", cm.regression)
    d.reading(name, "regression_exact", cm.regression_exact)
    keys = ["k%d" % (i % 17) for i in range(len(xs))]
    d.put(name, "SumMap", va.sum_by_key(keys, arr).encode())
    d.put(name, "MomentsMap", va.moments_by_key(keys, arr).encode())


def main():
    d = Digest()
    rng = random.Random(20261207)
    for name, xs in corpora(rng):
        run(d, name, xs)
    if "--verbose" in sys.argv:
        for k, h in d.sections.items():
            print(f"{k:10s} {h.hexdigest()}")
    print(d.h.hexdigest())


if __name__ == "__main__":
    main()
