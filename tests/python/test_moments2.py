"""CovF64, WeightedMomentsF64 and PnMomentsF64 against exact rational oracles written from the formulas."""
import hashlib
import math
import random
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import INF, MIN_NORMAL, NAN, UNIT, any_f64, bits, encode_state, round_to, F64
from varnix import CovF64, PnMomentsF64, WeightedMomentsF64

UNDEFINED = "undefined (insufficient data or invalid input)"


def product_flag(a, b):
    """Why the product a·b cannot be held exactly as rounded product plus residual, or None."""
    p = a * b
    if not math.isfinite(p):
        return "NonFinite"
    if a and b and (abs(p) < MIN_NORMAL or (Fraction(a) * Fraction(b) * UNIT).denominator != 1):
        return "ExactnessLost"
    return None


def dot_flag(pairs):
    flags = {product_flag(a, b) for a, b in pairs}
    return "ExactnessLost" if "ExactnessLost" in flags else "NonFinite" if "NonFinite" in flags else None


def sum_flag(xs):
    return None if all(map(math.isfinite, xs)) else "NonFinite"


def first(*checks):
    return next((c for c in checks if c), None)


def rnd(q):
    return bits(round_to(q, *F64))


def fsum(xs):
    return sum(map(Fraction, xs), Fraction(0))


def image(*parts):
    """Encoding of flag-free accumulators given as (exact real value, count, is a product accumulator)."""
    return b"".join(encode_state(int(v * UNIT), 0, n) + b"\0" * dot for v, n, dot in parts)


def split_square(x):
    """x·x = p + e: the rounded square and its residual (exact whenever x·x is a multiple of 2**-1074)."""
    p = x * x
    return p, (float(Fraction(x) ** 2 - Fraction(p)) if math.isfinite(p) else -p if math.isinf(p) else NAN)


def weighted_oracle(ops):
    pairs = [args for _, args in ops]
    xs, ws = [x for x, _ in pairs], [w for _, w in pairs]
    terms = [(w, t) for x, w in pairs for t in split_square(x)]
    err = first(not pairs and "Empty", any(product_flag(x, x) == "ExactnessLost" for x in xs) and "ExactnessLost",
                sum_flag(ws), dot_flag(pairs), dot_flag(terms))
    if err:
        return dict(mean=err, variance=err, count=len(pairs)), None
    W, WX, WXX = fsum(ws), sum((Fraction(x) * Fraction(w) for x, w in pairs), Fraction(0)), \
        sum((Fraction(x) ** 2 * Fraction(w) for x, w in pairs), Fraction(0))
    n = len(pairs)
    img = image((W, n, 0), (WX, 2 * n, 1), (WXX, 4 * n, 1)) + b"\0"
    if W <= 0:
        return dict(mean="Degenerate", variance="Degenerate", count=n), img
    return dict(mean=rnd(WX / W), variance=rnd((W * WXX - WX ** 2) / W ** 2), count=n), img


def pn_oracle(ops):
    added = [x for op, (x,) in ops if op == "add"]
    removed = [x for op, (x,) in ops if op == "remove"]
    a, r = len(added), len(removed)
    err = first(a < r and "Degenerate", a == r and "Empty", sum_flag(added), sum_flag(removed),
                dot_flag((x, x) for x in added), dot_flag((x, x) for x in removed))
    live = a - r if a >= r else UNDEFINED
    if any(product_flag(x, x) for x in added + removed):      # a non-finite x flags its square too
        return dict(mean=err, variance=err, live_count=live), None
    halves = [(fsum(h), fsum(Fraction(x) ** 2 for x in h), len(h)) for h in (added, removed)]
    img = image(*[part for s, q, n in halves for part in ((s, n, 0), (q, 2 * n, 1))])
    if err:
        return dict(mean=err, variance=err, live_count=live), img
    S, Q, m = halves[0][0] - halves[1][0], halves[0][1] - halves[1][1], a - r
    return dict(mean=rnd(S / m), variance=rnd((m * Q - S * S) / m ** 2), live_count=live), img


def cov_oracle(ops):
    pairs = [args for _, args in ops]
    xs, ys, n = [x for x, _ in pairs], [y for _, y in pairs], len(pairs)
    err = first(not pairs and "Empty", sum_flag(xs), sum_flag(ys), dot_flag((x, x) for x in xs),
                dot_flag((y, y) for y in ys), dot_flag(pairs))
    names = ("covariance", "slope", "intercept", "r_squared", "correlation")
    if err:
        return dict.fromkeys(names, err) | {"count": n}, None
    X, Y = fsum(xs), fsum(ys)
    XX, YY, XY = (sum((Fraction(a) * Fraction(b) for a, b in zip(u, v)), Fraction(0)) for u, v in ((xs, xs), (ys, ys), (xs, ys)))
    bxy, bxx, byy = n * XY - X * Y, n * XX - X * X, n * YY - Y * Y
    img = image((X, n, 0), (Y, n, 0), (XX, 2 * n, 1), (YY, 2 * n, 1), (XY, 2 * n, 1))
    out = dict(covariance=rnd(bxy / n ** 2), count=n, slope="Degenerate", intercept="Degenerate",
               r_squared="Degenerate", correlation="Degenerate")
    if bxx:
        out |= dict(slope=rnd(bxy / bxx), intercept=rnd((Y * bxx - X * bxy) / (n * bxx)))
    if bxx * byy:
        r2 = round_to(bxy ** 2 / (bxx * byy), *F64)
        out |= dict(r_squared=bits(r2), correlation=bits(math.copysign(math.sqrt(r2), -1 if bxy < 0 else 1)))
    return out, img


def outcome(call):
    try:
        v = call()
    except ValueError as e:
        return str(e)
    return bits(v) if isinstance(v, float) else v


def build(cls, ops, rng):
    """The ops in a random order over up to four objects, merged in a random grouping."""
    ops = rng.sample(ops, len(ops))
    objs = [cls() for _ in range(rng.randint(1, 4))]
    for op, args in ops:
        getattr(rng.choice(objs), op)(*args)
    while len(objs) > 1:
        i, j = rng.sample(range(len(objs)), 2)
        objs[i].merge(objs[j])
        del objs[j]
    return objs[0]


# every magnitude: mostly values whose squares and products stay normal and exact (small integers, 53-bit
# values near 1, values spanning 2**±250), some that reach the edges (squares down to 2**-1074, anything)
def scaled(lo, hi):
    return st.builds(lambda m, e, s: s * math.ldexp(m, e), st.integers(0, 2**53 - 1), st.integers(lo, hi),
                     st.sampled_from([1, -1]))


clean = st.one_of(st.integers(-9, 9).map(float), scaled(-90, 10), scaled(-250, 250))
vals = st.one_of(clean, scaled(-537, 450), any_f64)
pair = st.one_of(*[st.tuples(clean, clean)] * 5, st.tuples(vals, vals))
ORACLES = {
    CovF64: (st.lists(pair.map(lambda p: ("add", p)), max_size=8), cov_oracle),
    WeightedMomentsF64: (st.lists(pair.map(lambda p: ("add", p)), max_size=8), weighted_oracle),
    PnMomentsF64: (st.lists(st.tuples(st.sampled_from(["add", "add", "remove"]), pair.map(lambda p: p[:1])),
                            max_size=10), pn_oracle),
}


@pytest.mark.parametrize("cls", ORACLES, ids=lambda c: c.__name__)
@given(data=st.data())
def test_statistics_bytes_and_hash_match_the_exact_oracle(cls, data):
    strategy, oracle = ORACLES[cls]
    ops = data.draw(strategy)
    if cls is PnMomentsF64 and data.draw(st.booleans()):      # removals of exactly what was added
        ops += [("remove", args) for _, args in data.draw(st.permutations(ops))[:len(ops) // 2] if _ == "add"]
    rng = random.Random(data.draw(st.integers(0, 2**32)))
    s, t = build(cls, ops, rng), build(cls, ops, rng)
    enc = s.to_bytes()
    assert t.to_bytes() == enc == cls.from_bytes(enc).to_bytes()
    assert s.state_hash() == t.state_hash() == hashlib.sha256(enc).digest()
    expected, img = oracle(ops)
    assert img is None or enc == img
    assert {name: outcome(getattr(s, name)) for name in expected} == expected
