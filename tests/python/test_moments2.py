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


def run(cls, ops):
    s = cls()
    for op, *args in ops:
        getattr(s, op)(*args)
    return s


def adds(*pairs):
    return [("add", *p) if isinstance(p, tuple) else ("add", p) for p in pairs]


H = float.fromhex
ALL_COV = ("covariance", "slope", "intercept", "r_squared", "correlation")
EXAMPLES = [
    (CovF64, adds((1, 2), (2, 4), (3, 6)), dict(covariance=4 / 3, slope=2.0, intercept=0.0, r_squared=1.0,
                                                 correlation=1.0)),
    (CovF64, adds((1, -2), (2, -4), (3, -6)), dict(covariance=-4 / 3, slope=-2.0, intercept=0.0, correlation=-1.0)),
    (CovF64, adds((1, 2), (2, 3), (4, 7)), dict(covariance=2.6666666666666665, slope=1.7142857142857142,
                                                 intercept=0.0, r_squared=0.9795918367346939,
                                                 correlation=0.989743318610787)),
    (CovF64, adds((3, 5)), dict(covariance=0.0, slope="Degenerate", intercept="Degenerate", r_squared="Degenerate",
                                correlation="Degenerate")),
    (CovF64, adds((1, 5), (2, 5), (4, 5)), dict(covariance=0.0, slope=0.0, intercept=5.0, r_squared="Degenerate",
                                                 correlation="Degenerate")),
    (CovF64, adds((1e300, 1.0)), dict.fromkeys(ALL_COV, "NonFinite") | {"count": 1}),
    (CovF64, adds((1e-200, 1e-200), (1e300, 1.0)), dict.fromkeys(ALL_COV, "ExactnessLost")),
    (CovF64, [], dict.fromkeys(ALL_COV, "Empty") | {"count": 0}),
    (WeightedMomentsF64, adds((1, 1), (2, 1), (3, 2)), dict(mean=2.25, variance=0.6875, count=3)),
    (WeightedMomentsF64, adds((3.0, 2.0)), dict(mean=3.0, variance=0.0)),
    (WeightedMomentsF64, adds((1.0, 0.0)), dict(mean="Degenerate", variance="Degenerate", count=1)),
    (WeightedMomentsF64, adds((1.0, 1.0), (5.0, -1.0)), dict(mean="Degenerate", variance="Degenerate")),
    (WeightedMomentsF64, adds((1e-160, 0.0), (1.0, 1.0), (INF, 1.0)), dict(mean="ExactnessLost",
                                                                          variance="ExactnessLost")),
    (WeightedMomentsF64, adds((NAN, 1.0)), dict(mean="NonFinite", variance="NonFinite", count=1)),
    (WeightedMomentsF64, adds((1.0, 2.0), (3.0, -1.0)), dict(mean=-1.0, variance=-8.0)),   # negative weights
    # squares with bits below 2**-1074 although their rounded value is normal: the residual has rounded away
    (WeightedMomentsF64, adds((H("0x1.0000000000001p-500"), 1.0)), dict(mean="ExactnessLost",
                                                                        variance="ExactnessLost")),
    (WeightedMomentsF64, adds((H("0x1.35e1fd2f21c96p-500"), 2.0**62), (H("0x1.35e1fd2ead00ap-500"), 2.0**60)),
     dict(variance="ExactnessLost")),
    (WeightedMomentsF64, adds((2.0**-500, 1.0)), dict(mean=2.0**-500, variance=0.0)),
    (PnMomentsF64, adds(1, 2, 3, 4) + [("remove", 4)], dict(live_count=3, mean=2.0, variance=0.6666666666666666)),
    (PnMomentsF64, adds(1, 2) + [("remove", 3)], dict(live_count=1, mean=0.0, variance=-4.0)),
    (PnMomentsF64, adds(1) + [("remove", 1)] * 2, dict(live_count=UNDEFINED, mean="Degenerate",
                                                       variance="Degenerate")),
    (PnMomentsF64, adds(1) + [("remove", 1)], dict(live_count=0, mean="Empty", variance="Empty")),
    (PnMomentsF64, adds(1e300, 2.0) + [("remove", 1e300)], dict(live_count=1, mean="NonFinite",
                                                                variance="NonFinite")),
    (PnMomentsF64, adds(1e-160, INF) + [("remove", INF)] * 3, dict(mean="Degenerate")),  # removals first
    (PnMomentsF64, adds(1e-160, 2.0, INF) + [("remove", INF)], dict(mean="NonFinite")),   # then sums before squares
]


@pytest.mark.parametrize("cls, ops, expected", EXAMPLES)
def test_worked_examples(cls, ops, expected):
    s = run(cls, ops)
    before = s.to_bytes()
    want = {k: bits(v) if isinstance(v, float) else v for k, v in expected.items()}
    assert {k: outcome(getattr(s, k)) for k in expected} == want
    assert s.to_bytes() == before                        # a statistic, failed or not, changes nothing


# length, offsets of the accumulator flag bytes, offsets of the 0/1 bytes (inexact-product flags, tiny_square)
LAYOUTS = {
    CovF64: (1408, [272, 553, 834, 1116, 1398], [843, 1125, 1407]),
    WeightedMomentsF64: (846, [272, 553, 835], [562, 844, 845]),
    PnMomentsF64: (1126, [272, 553, 835, 1116], [562, 1125]),
}


@pytest.mark.parametrize("cls", LAYOUTS, ids=lambda c: c.__name__)
def test_decoder_accepts_valid_bytes_only(cls):
    size, flag_bytes, bool_bytes = LAYOUTS[cls]
    s = run(cls, adds((2.5, -1.0) if cls is not PnMomentsF64 else 2.5))
    good = s.to_bytes()
    assert len(good) == size and good[-1] == 0
    for at, ok, bad in [(i, 7, 8) for i in flag_bytes] + [(i, 1, 2) for i in bool_bytes]:
        b = bytearray(good)
        b[at] = ok
        assert cls.from_bytes(bytes(b)).to_bytes() == b
        b[at] = bad
        with pytest.raises(ValueError, match=r"^undefined \(insufficient data or invalid input\)$"):
            cls.from_bytes(bytes(b))
    for wrong in (good[:-1], good + b"\0", b""):
        with pytest.raises(ValueError, match="^wrong byte length$"):
            cls.from_bytes(wrong)
    with pytest.raises(TypeError, match="'bytearray' object cannot be converted to 'PyBytes'"):
        cls.from_bytes(bytearray(good))


def test_inconsistent_decoded_cov_refuses_a_correlation():
    # n = 1, Σx = Σy = 0, Σx² = -2**-1074, Σy² = Σxy = 2**-1074: b_xx < 0 < b_yy, so r² = -1
    parts = [encode_state(0, 0, 1)] * 2 + [encode_state(v, 0, 2) + b"\0" for v in (-1, 1, 1)]
    c = CovF64.from_bytes(b"".join(parts))
    assert (c.r_squared(), c.slope(), c.covariance()) == (-1.0, -1.0, 2.0**-1074)
    with pytest.raises(ValueError, match="^Degenerate$"):
        c.correlation()


@pytest.mark.parametrize("cls, args, kwargs", [
    (CovF64, (1.0, 2.0), dict(y=2.0, x=1.0)),
    (WeightedMomentsF64, (1.0, 2.0), dict(w=2.0, x=1.0)),
    (PnMomentsF64, (1.0,), dict(x=1.0)),
], ids=["CovF64", "WeightedMomentsF64", "PnMomentsF64"])
def test_binding_borrows_and_failed_conversion(cls, args, kwargs):
    s, t, other = cls(), cls(), PnMomentsF64() if cls is CovF64 else CovF64()
    s.add(*args)
    t.add(**kwargs)
    b, name = s.to_bytes(), cls.__name__
    assert t.to_bytes() == b
    last = list(kwargs)[0]
    for call, exc, message in [
        (lambda: s.merge(s), RuntimeError, "Already mutably borrowed"),
        (lambda: s.merge(o=other), TypeError, f"argument 'o': '{type(other).__name__}' object cannot be converted "
                                              f"to '{name}'"),
        (lambda: s.add(*args[:-1], "a"), TypeError, f"argument '{last}': must be real number, not str"),
        (lambda: s.add(*args, 1.0), TypeError, f"{name}.add() takes {len(args)} positional arguments but "
                                               f"{len(args) + 1} were given"),
    ]:
        with pytest.raises(exc) as e:
            call()
        assert str(e.value) == message
        assert s.to_bytes() == b                     # nothing was added, not even the converted first argument
    if cls is PnMomentsF64:
        s.remove(x=1.0)
        assert (s.live_count(), s.to_bytes()[563:]) == (0, b[:563])


@pytest.mark.parametrize("cls, ops, same", [
    (WeightedMomentsF64, adds((3.0, 2.0)), adds((3.0, 1.0), (3.0, 1.0))),
    (PnMomentsF64, adds(1, 2, 3, 4) + [("remove", 4)], adds(1, 2, 3)),
    (PnMomentsF64, adds(0.1, 0.7) + [("remove", 1e-3), ("add", 1e-3)], adds(0.1, 0.7)),
])
def test_same_statistics_from_a_different_state(cls, ops, same):
    s, t = run(cls, ops), run(cls, same)
    assert (outcome(s.mean), outcome(s.variance)) == (outcome(t.mean), outcome(t.variance))
    assert s.to_bytes() != t.to_bytes()
