"""CovF64, WeightedMomentsF64 and PnMomentsF64 against exact rational oracles written from the formulas."""
import hashlib
import math
import random
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import F64, INF, MIN_NORMAL, NAN, UNIT, any_f64, bits, counts, encode_state, round_to, state_ints
from varnix import CovF64, PnMomentsF64, WeightedMomentsF64

UNDEFINED = "undefined (insufficient data or invalid input)"
COV_STATS = ("covariance", "slope", "intercept", "r_squared", "correlation")


def product_flag(a, b):
    """Why a·b cannot be held exactly as rounded product plus residual (in units of 2**-1074), or None."""
    p = a * b
    if not math.isfinite(p):
        return "NonFinite"
    if a and b and (abs(p) < MIN_NORMAL or (Fraction(a) * Fraction(b) * UNIT).denominator != 1):
        return "ExactnessLost"


def dot_flag(pairs):
    flags = {product_flag(a, b) for a, b in pairs}
    return "ExactnessLost" if "ExactnessLost" in flags else "NonFinite" if "NonFinite" in flags else None


def first(*checks):
    return next((c for c in checks if c), None)


def fdot(pairs):
    return sum((Fraction(a) * Fraction(b) for a, b in pairs), Fraction(0))


def image(*parts):
    """Encoding of flag-free accumulators given as (exact value, count, 1 for a product accumulator)."""
    return b"".join(encode_state(int(v * UNIT), 0, n) + b"\0" * dot for v, n, dot in parts)


def rnd(q):
    return bits(round_to(q, *F64))


# The statistics as exact formulas of the readings (real values of the accumulators), rounded once, or the error
def weighted_stats(err, reads):
    W, WX, WXX = reads if not err else (1, 0, 0)
    err = err or W <= 0 and "Degenerate"
    return dict(mean=err, variance=err) if err else dict(mean=rnd(WX / W), variance=rnd((W * WXX - WX ** 2) / W ** 2))


def pn_stats(err, m, reads):
    if err:
        return dict(mean=err, variance=err)
    SA, QA, SR, QR = reads
    S, Q = SA - SR, QA - QR
    return dict(mean=rnd(S / m), variance=rnd((m * Q - S * S) / m ** 2))


def cov_stats(err, n, reads):
    if err:
        return dict.fromkeys(COV_STATS, err)
    X, Y, XX, YY, XY = reads
    bxy, bxx, byy = n * XY - X * Y, n * XX - X * X, n * YY - Y * Y
    out = dict.fromkeys(COV_STATS, "Degenerate") | {"covariance": rnd(bxy / n ** 2)}
    if bxx:
        out |= dict(slope=rnd(bxy / bxx), intercept=rnd((Y * bxx - X * bxy) / (n * bxx)))
    if bxx * byy:
        r2 = round_to(bxy ** 2 / (bxx * byy), *F64)
        out["r_squared"] = bits(r2)
        if math.copysign(1, r2) > 0:                         # a negative r² has no square root
            out["correlation"] = bits(math.copysign(math.sqrt(r2), -1 if bxy < 0 else 1))
    return out


def weighted_oracle(ops):
    xs, ws, n = [x for _, x, _ in ops], [w for _, _, w in ops], len(ops)
    # x·x = p + e, p rounded; e exact unless x·x has bits below 2**-1074 (then the state is refused first)
    terms = [(w, t) for x, w in zip(xs, ws) for p in [x * x]
             for t in (p, float(Fraction(x) ** 2 - Fraction(p)) if math.isfinite(p) else NAN)]
    err = first(not n and "Empty", dot_flag((x, x) for x in xs) == "ExactnessLost" and "ExactnessLost",
                not all(map(math.isfinite, ws)) and "NonFinite", dot_flag(zip(xs, ws)), dot_flag(terms))
    reads = None if err else [fdot((w, 1) for w in ws), fdot(zip(xs, ws)), fdot((Fraction(x) ** 2, w) for x, w in
                                                                                   zip(xs, ws))]
    img = None if err else image(*zip(reads, (n, 2 * n, 4 * n), (0, 1, 1))) + b"\0"
    return weighted_stats(err, reads) | {"count": n}, img


def pn_oracle(ops):
    added, removed = ([x for op, x in ops if op == kind] for kind in ("add", "remove"))
    a, r = len(added), len(removed)
    err = first(a < r and "Degenerate", a == r and "Empty", *(not all(map(math.isfinite, h)) and "NonFinite"
                                                              for h in (added, removed)),
                *(dot_flag((x, x) for x in h) for h in (added, removed)))
    out = {"live_count": a - r if a >= r else UNDEFINED}
    if any(product_flag(x, x) for x in added + removed):     # a non-finite x flags its square too
        return out | pn_stats(err, 0, None), None
    reads = [f for h in (added, removed) for f in (fdot((x, 1) for x in h), fdot((x, x) for x in h))]
    return out | pn_stats(err, a - r, reads), image(*zip(reads, (a, 2 * a, r, 2 * r), (0, 1, 0, 1)))


def cov_oracle(ops):
    xs, ys, n = [x for _, x, _ in ops], [y for _, _, y in ops], len(ops)
    err = first(not n and "Empty", not all(map(math.isfinite, xs + ys)) and "NonFinite",
                *(dot_flag(zip(u, v)) for u, v in ((xs, xs), (ys, ys), (xs, ys))))
    reads = None if err else [fdot((x, 1) for x in xs), fdot((y, 1) for y in ys)] + \
        [fdot(zip(u, v)) for u, v in ((xs, xs), (ys, ys), (xs, ys))]
    img = None if err else image(*zip(reads, (n, n, 2 * n, 2 * n, 2 * n), (0, 0, 1, 1, 1)))
    return cov_stats(err, n, reads) | {"count": n}, img


def outcome(call):
    try:
        v = call()
    except ValueError as e:
        return str(e)
    return bits(v) if isinstance(v, float) else v


def run(cls, ops, rng=None):
    """The ops (method name, arguments), or with rng: shuffled over up to four objects merged in a random grouping."""
    ops = rng.sample(ops, len(ops)) if rng else ops
    objs = [cls() for _ in range(rng.randint(1, 4) if rng else 1)]
    for op, *args in ops:
        getattr(rng.choice(objs) if rng else objs[0], op)(*args)
    while len(objs) > 1:
        i, j = rng.sample(range(len(objs)), 2)
        objs[i].merge(objs[j])
        del objs[j]
    return objs[0]


def scaled(lo, hi):
    return st.builds(lambda m, e, s: s * math.ldexp(m, e), st.integers(0, 2**53 - 1), st.integers(lo, hi),
                     st.sampled_from([1, -1]))


# every magnitude: mostly values whose squares and products stay normal and exact (small integers, values near
# 1, values spanning 2**±250), some that reach the edges (squares down to 2**-1074, specials, anything)
clean = st.one_of(st.integers(-9, 9).map(float), scaled(-90, 10), scaled(-250, 250))
vals = st.one_of(clean, scaled(-537, 450), any_f64)
pair = st.one_of(*[st.tuples(clean, clean)] * 5, st.tuples(vals, vals))
ORACLES = {
    CovF64: (st.lists(pair.map(lambda p: ("add", *p)), max_size=8), cov_oracle),
    WeightedMomentsF64: (st.lists(pair.map(lambda p: ("add", *p)), max_size=8), weighted_oracle),
    PnMomentsF64: (st.lists(st.tuples(st.sampled_from(["add", "add", "remove"]), pair.map(lambda p: p[0])),
                            max_size=10), pn_oracle),
}


@pytest.mark.parametrize("cls", ORACLES, ids=lambda c: c.__name__)
@settings(max_examples=400)
@given(data=st.data())
def test_statistics_bytes_and_hash_match_the_exact_oracle(cls, data):
    strategy, oracle = ORACLES[cls]
    ops = data.draw(strategy)
    if cls is PnMomentsF64 and data.draw(st.booleans()):     # remove some of what was added, interleaved
        ops += [("remove", x) for op, x in data.draw(st.permutations(ops))[:len(ops) // 2] if op == "add"]
    rng = random.Random(data.draw(st.integers(0, 2**32)))
    s, t = run(cls, ops, rng), run(cls, ops, rng)
    enc = s.to_bytes()
    assert t.to_bytes() == enc == cls.from_bytes(enc).to_bytes()
    assert s.state_hash() == t.state_hash() == hashlib.sha256(enc).digest()
    expected, img = oracle(ops)
    assert img is None or enc == img
    assert {name: outcome(getattr(s, name)) for name in expected} == expected


# Decoded states are taken as stored, whatever their counts and integers: every statistic still follows its
# formula, from readings of up to 2175 bits, counts that disagree, and sums of either sign.
PARTS = {CovF64: "ssddd", WeightedMomentsF64: "sdd", PnMomentsF64: "sdsd"}
stored = st.tuples(state_ints(), st.sampled_from([0] * 20 + [1, 2, 4, 7]), st.one_of(st.integers(0, 3), counts),
                   st.sampled_from([0] * 15 + [1]))


@pytest.mark.parametrize("cls", PARTS, ids=lambda c: c.__name__)
@given(data=st.data())
def test_decoded_states_follow_the_formulas(cls, data):
    kinds, tail = PARTS[cls], data.draw(st.sampled_from([b"\0", b"\0", b"\1"])) if cls is WeightedMomentsF64 else b""
    parts = data.draw(st.tuples(*[stored] * len(kinds)))
    b = b"".join(encode_state(v, f, c) + bytes([lost] * (k == "d")) for k, (v, f, c, lost) in zip(kinds, parts))
    s = cls.from_bytes(b + tail)
    assert s.to_bytes() == b + tail
    reads = ["ExactnessLost" if lost and k == "d" else "NonFinite" if f else Fraction(v, UNIT)
             for k, (v, f, c, lost) in zip(kinds, parts)]
    n, errors = parts[0][2], [r for r in reads if isinstance(r, str)]
    if cls is CovF64:
        expected = cov_stats(first(not n and "Empty", *errors), n, reads) | {"count": n}
    elif cls is WeightedMomentsF64:
        expected = weighted_stats(first(not n and "Empty", tail == b"\1" and "ExactnessLost", *errors), reads)
    else:
        a, r = n, parts[2][2]
        errors = [x for x in reads[::2] + reads[1::2] if isinstance(x, str)]       # both sums, then both squares
        expected = pn_stats(first(a < r and "Degenerate", a == r and "Empty", *errors), a - r, reads)
    assert {name: outcome(getattr(s, name)) for name in expected} == expected


def adds(*values):
    return [("add", *v) if isinstance(v, tuple) else ("add", v) for v in values]


def removes(*values):
    return [("remove", v) for v in values]


H = float.fromhex
EXAMPLES = [
    (CovF64, adds((1, 2), (2, 3), (4, 7)), dict(covariance=2.6666666666666665, slope=1.7142857142857142,
                                                 intercept=0.0, r_squared=0.9795918367346939,
                                                 correlation=0.989743318610787)),
    (CovF64, adds((1, -2), (2, -4), (3, -6)), dict(covariance=-4 / 3, slope=-2.0, intercept=0.0, correlation=-1.0)),
    (CovF64, adds((1, 5), (2, 5), (4, 5)), dict(covariance=0.0, slope=0.0, intercept=5.0, r_squared="Degenerate")),
    (CovF64, adds((1e-200, 1e-200), (1e300, 1.0)), dict(correlation="ExactnessLost", count=2)),
    (WeightedMomentsF64, adds((1, 1), (2, 1), (3, 2)), dict(mean=2.25, variance=0.6875, count=3)),
    (WeightedMomentsF64, adds((3.0, 2.0)), dict(mean=3.0, variance=0.0)),
    (WeightedMomentsF64, adds((1e-160, 0.0), (1.0, 1.0), (INF, 1.0)), dict(mean="ExactnessLost")),
    # squares with bits below 2**-1074 although their rounded value is normal: the residual has rounded away
    (WeightedMomentsF64, adds((H("0x1.0000000000001p-500"), 1.0)), dict(variance="ExactnessLost")),
    (WeightedMomentsF64, adds((H("0x1.35e1fd2f21c96p-500"), 2.0**62), (H("0x1.35e1fd2ead00ap-500"), 2.0**60)),
     dict(variance="ExactnessLost")),
    (WeightedMomentsF64, adds((2.0**-500, 1.0)), dict(mean=2.0**-500, variance=0.0)),
    (PnMomentsF64, adds(1, 2, 3, 4) + removes(4), dict(live_count=3, mean=2.0, variance=0.6666666666666666)),
    (PnMomentsF64, adds(1, 2) + removes(3), dict(live_count=1, mean=0.0, variance=-4.0)),
    (PnMomentsF64, adds(1) + removes(1, 1), dict(live_count=UNDEFINED, mean="Degenerate", variance="Degenerate")),
    (PnMomentsF64, adds(1e300, 2.0) + removes(1e300), dict(live_count=1, mean="NonFinite")),
]


@pytest.mark.parametrize("cls, ops, expected", EXAMPLES)
def test_worked_examples(cls, ops, expected):
    s = run(cls, ops)
    before = s.to_bytes()
    assert {k: outcome(getattr(s, k)) for k in expected} == \
        {k: bits(v) if isinstance(v, float) else v for k, v in expected.items()}
    assert s.to_bytes() == before                          # a statistic, failed or not, changes nothing


# length, offsets of the accumulator flag bytes, offsets of the 0/1 bytes (inexact-product flags, tiny_square)
LAYOUTS = {
    CovF64: (1408, [272, 553, 834, 1116, 1398], [843, 1125, 1407], adds((2.5, -1.0))),
    WeightedMomentsF64: (846, [272, 553, 835], [562, 844, 845], adds((2.5, -1.0))),
    PnMomentsF64: (1126, [272, 553, 835, 1116], [562, 1125], adds(2.5) + removes(1.0)),
}


@pytest.mark.parametrize("cls", LAYOUTS, ids=lambda c: c.__name__)
def test_decoder_accepts_valid_bytes_only(cls):
    size, flag_bytes, bool_bytes, ops = LAYOUTS[cls]
    good = run(cls, ops).to_bytes()
    assert len(good) == size
    for at, ok, bad in [(i, 7, 8) for i in flag_bytes] + [(i, 1, 2) for i in bool_bytes]:
        b = bytearray(good)
        b[at] = ok
        assert cls.from_bytes(bytes(b)).to_bytes() == b
        b[at] = bad
        with pytest.raises(ValueError, match=r"^undefined \(insufficient data or invalid input\)$"):
            cls.from_bytes(bytes(b))
    for wrong in (good[:-1], good + b"\0"):
        with pytest.raises(ValueError, match="^wrong byte length$"):
            cls.from_bytes(wrong)


def test_inconsistent_decoded_cov_refuses_a_correlation():
    # n = 1, Σx = Σy = 0, Σx² = -2**-1074, Σy² = Σxy = 2**-1074: b_xx < 0 < b_yy, so r² = -1
    c = CovF64.from_bytes(b"".join([encode_state(0, 0, 1)] * 2 + [encode_state(v, 0, 2) + b"\0" for v in (-1, 1, 1)]))
    assert (c.r_squared(), c.slope(), c.covariance()) == (-1.0, -1.0, 2.0**-1074)
    with pytest.raises(ValueError, match="^Degenerate$"):
        c.correlation()


@pytest.mark.parametrize("cls, kwargs", [(CovF64, dict(y=2.0, x=1.0)), (WeightedMomentsF64, dict(w=2.0, x=1.0)),
                                         (PnMomentsF64, dict(x=1.0))], ids=lambda v: getattr(v, "__name__", ""))
def test_keywords_self_merge_and_failed_conversion(cls, kwargs):
    args = sorted(kwargs.values())
    s, t = run(cls, [("add", *args)]), cls()
    t.add(**kwargs)
    b = s.to_bytes()
    for call, exc, message in [(lambda: s.merge(s), RuntimeError, "Already mutably borrowed"),
                               (lambda: s.add(*args[:-1], "a"), TypeError,
                                f"argument '{list(kwargs)[0]}': must be real number, not str")]:
        with pytest.raises(exc, match=f"^{message}$"):
            call()
        assert s.to_bytes() == t.to_bytes() == b          # nothing added, not even a converted first argument


@pytest.mark.parametrize("cls, flags", [(CovF64, {843: 0, 1125: 1, 1407: 1}),
                                        (WeightedMomentsF64, {562: 1, 844: 1, 845: 0})])
def test_a_normal_product_with_bits_below_the_unit_is_flagged(cls, flags):
    # x·y is about 2**-1000 (normal) but its lowest bit is 2**-1104; y·y and w·x·x underflow outright
    b = run(cls, adds((H("0x1.0000000000001p-300"), H("0x1.0000000000001p-700")))).to_bytes()
    assert {at: b[at] for at in flags} == flags
