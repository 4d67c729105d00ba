"""Every varnix class and varnix_arrays from an installed wheel, with the standard library alone: the run that shows
the wheel stands alone where GMP and OpenSSL are absent (scripts/check-standalone.sh). GMP carries the exact
quotients and libcrypto the receipts: results are checked against exact rationals, receipts against hashlib."""
import bisect
import hashlib
import importlib.metadata
import struct
from fractions import Fraction as F

import varnix as vx
import varnix_arrays as va

XS, YS, EDGES = [1e16, 1.0, -1e16, 0.5, 3.25, -2.0, 0.1, 7.0], [2.0, -1.0, 0.25, 4.0, 1e16, 3.0, -5.0, 0.125], \
    [-1.0, 0.0, 1.0, 1e17]
N, SUM, MEAN_Y = len(XS), sum(map(F, XS)), sum(map(F, YS)) / len(YS)
MEAN = SUM / N
VAR, M4 = (sum((F(x) - MEAN) ** k for x in XS) / N for k in (2, 4))
COV = sum((F(x) - MEAN) * (F(y) - MEAN_Y) for x, y in zip(XS, YS)) / N
HIST = [sum(bisect.bisect_right(EDGES, x) == i for x in XS) for i in range(len(EDGES) + 1)]   # under, bins, over
MOMENTS = (lambda m: (m.mean(), m.variance()), (MEAN, VAR))
CASES = {   # class: constructor arguments, add(state, i, x), codec, results, their exact values
    "SumF64": ((), None, "to_bytes", lambda s: s.value(), SUM),
    "SumF32": ((), None, "to_bytes", lambda s: s.value(), struct.unpack("f", struct.pack("f", SUM))[0]),
    "FastSumF64": ((), lambda s, i, x: s.extend([x]), None, lambda s: s.finish().value(), SUM),
    "DotF64": ((), lambda d, i, x: d.push(x, YS[i]), None, lambda d: (d.value(), vx.dot(XS, YS)),
               (sum(F(x) * F(y) for x, y in zip(XS, YS)),) * 2),
    "MomentsF64": ((), None, "to_bytes") + MOMENTS,
    "Moments4F64": ((), None, "to_bytes", lambda m: (m.mean(), m.variance(), m.kurtosis()), (MEAN, VAR, M4 / VAR**2)),
    "CovF64": ((), lambda c, i, x: c.add(x, YS[i]), "to_bytes", lambda c: c.covariance(), COV),
    "WeightedMomentsF64": ((), lambda w, i, x: w.add(x, 2.0), "to_bytes") + MOMENTS,
    "PnMomentsF64": ((), lambda p, i, x: (p.add(x), p.add(1e10), p.remove(1e10)), "to_bytes") + MOMENTS,
    "CovMatrixF64": ((1,), lambda c, i, x: c.add([x], YS[i]), "encode", lambda c: c.covariance(0, 0), VAR),
    "HistogramF64": ((EDGES,), None, "encode", lambda h: tuple(h.counts()), tuple(HIST)),
    "ExtremaF64": ((), None, "to_bytes", lambda e: (e.min(), e.max()), (min(XS), max(XS))),
    "SumMap": ((), lambda m, i, x: m.add("ab"[i % 2], x), None, lambda m: (m.value("a"), m.value("b")),
               (sum(map(F, XS[::2])), sum(map(F, XS[1::2])))),
    "MomentsMap": ((), lambda m, i, x: m.add("k", x), None, lambda m: (m.mean("k"), m.variance("k")), (MEAN, VAR)),
    "ReplicatedSum": ((), lambda r, i, x: r.add(i % 3, x), None, lambda r: r.value(), SUM),
    "DeltasSum": ((), None, None, lambda d: d.value(), SUM),
}

assert set(CASES) | {"dot"} == set(vx.__all__), set(CASES) ^ set(vx.__all__)
print(f"varnix {importlib.metadata.version('varnix')} from {vx.__file__}")
for name, (args, add, codec, results, exact) in CASES.items():
    cls = getattr(vx, name)
    state = cls(*args)
    for i, x in enumerate(XS):
        add(state, i, x) if add else state.add(x)
    if codec:       # the receipt is SHA-256 of the encoding, and decoding gives the same state back
        image = getattr(state, codec)()
        assert state.state_hash() == hashlib.sha256(image).digest(), name
        state = getattr(cls, {"to_bytes": "from_bytes", "encode": "decode"}[codec])(image)
    rounded = (lambda v: float(v) if isinstance(v, F) else v)
    want = tuple(map(rounded, exact)) if isinstance(exact, tuple) else rounded(exact)
    assert results(state) == want, (name, results(state), want)
    print(f"  {name:<20} {want}")
assert va.sum(XS).value() == float(SUM) and va.__version__ == importlib.metadata.version("varnix")
print(f"  varnix_arrays {va.__version__}: sum {va.sum(XS).value()}")
print(f"smoke: {len(CASES) + 1} passed, 0 failed")
