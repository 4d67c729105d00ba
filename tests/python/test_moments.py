"""The exact statistics against one model: a state is a row of exact accumulators fed each call's addends, and a
statistic is its power-sum formula over the readings in rationals, rounded once, or the first error in the order
of checks; for added states in any order and merge grouping, and for decoded states with arbitrary fields."""
import hashlib
import math
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import MIN_NORMAL, NAN, any_f64, counts, dot_parts, state_ints
from oracles import UNDEFINED, canon, dot_acc, encode_accs, fma, outcome, reading, rnd, run, sum_acc
from varnix import CovF64, Moments4F64, MomentsF64, PnMomentsF64, SumF32, SumF64, WeightedMomentsF64

EMPTY, NONFINITE, LOST, DEGENERATE = "Empty", "NonFinite", "ExactnessLost", "Degenerate"
# each state's fields in order: s an exact sum, d an exact product sum, t the tiny-square byte
FIELDS = {MomentsF64: "sd", Moments4F64: "sdddt", WeightedMomentsF64: "sddt", PnMomentsF64: "sdsd", CovF64: "ssddd"}
STATS = {MomentsF64: ["variance", "sample_variance", "stddev"],
         Moments4F64: ["variance", "kurtosis", "excess_kurtosis", "skewness", "skewness_squared"],
         WeightedMomentsF64: ["mean", "variance"], PnMomentsF64: ["mean", "variance"],
         CovF64: ["covariance", "slope", "intercept", "r_squared", "correlation"]}
CLASSES = pytest.mark.parametrize("cls", FIELDS, ids=lambda c: c.__name__)


def addends(cls, op, x, w=None):
    """What one call adds to each field (values to a sum, factor pairs to a product sum), and whether it sets the
    tiny-square flag. Higher powers are products of x, its rounded square p and the square's residual e."""
    p, e = x * x, fma(x, x, -x * x)
    if cls is MomentsF64:
        return [[x], [(x, x)]], None
    if cls is PnMomentsF64:
        return ([[x], [(x, x)], [], []] if op == "add" else [[], [], [x], [(x, x)]]), None
    if cls is Moments4F64:
        return [[x], [(x, x)], [(x, p), (x, e)], [(p, p), (p, e), (p, e), (e, e)]], x != 0 and 0 <= p < MIN_NORMAL
    if cls is WeightedMomentsF64:               # the square itself must be exact: p + e holds it only then
        return [[w], [(x, w)], [(w, p), (w, e)]], dot_parts([(x, x)])[1]
    return [[x], [w], [(x, x)], [(w, w)], [(x, w)]], None       # CovF64, w being y


def model(cls, ops):
    """The accumulators (in field order) and tiny-square flag that the calls must build."""
    parts, tiny = [[] for _ in FIELDS[cls].rstrip("t")], False if "t" in FIELDS[cls] else None
    for op in ops:
        more, sets = addends(cls, *op)
        tiny = tiny or sets
        for field, new in zip(parts, more):
            field += new
    return [sum_acc(f) if kind == "s" else dot_acc(f) for kind, f in zip(FIELDS[cls], parts)], tiny


def first(*checks):
    """The first error name among checks (falsy values and exact readings pass)."""
    return next((c for c in checks if isinstance(c, str)), None)


def stats(cls, accs, tiny):
    """Each statistic's float or error name; only A2 = 0 and the root of a value below zero (decoded bytes only) are
    Degenerate. Roots are IEEE square roots of rounded values: of -0.0 it is -0.0."""
    r, n = [reading(a) for a in accs], accs[0][2]
    if cls is PnMomentsF64:
        n -= accs[2][2]
        out = {"live_count": n if n >= 0 else UNDEFINED}
        err = first(n < 0 and DEGENERATE, n == 0 and EMPTY, *r[::2], *r[1::2])  # sums, then squares
        r = r if err else [r[0] - r[2], r[1] - r[3]]          # the net Σx and Σx² of n values
    else:
        out, err = {"count": n}, first(not n and EMPTY, tiny and LOST, *r)
    if cls in (MomentsF64, Moments4F64):                     # the mean reads Σx only
        out["mean"] = first(not n and EMPTY, r[0]) or rnd(r[0] / n)
    err = err or cls is WeightedMomentsF64 and r[0] <= 0 and DEGENERATE
    if err:
        return out | dict.fromkeys(STATS[cls], err)
    if cls is CovF64:
        X, Y, XX, YY, XY = r
        bxy, bxx, byy = n * XY - X * Y, n * XX - X * X, n * YY - Y * Y
        out |= dict.fromkeys(STATS[cls], DEGENERATE) | {"covariance": rnd(bxy / n**2)}
        if bxx:
            out |= {"slope": rnd(bxy / bxx), "intercept": rnd((Y * bxx - X * bxy) / (n * bxx))}
        if bxx * byy:
            out["r_squared"] = r2 = rnd(bxy**2 / (bxx * byy))
            out["correlation"] = DEGENERATE if r2 < 0 else -math.sqrt(r2) if bxy < 0 else math.sqrt(r2)
        return out
    w, s1, s2 = r[:3] if cls is WeightedMomentsF64 else [n, *r[:2]]      # the total weight, Σx and Σx² weighted
    a2 = w * s2 - s1**2
    out |= {"mean": rnd(s1 / w), "variance": rnd(a2 / w**2)}
    if cls is MomentsF64:
        v = out["variance"]
        return out | {"sample_variance": rnd(a2 / (n * (n - 1))) if n > 1 else EMPTY,
                      "stddev": DEGENERATE if v < 0 else math.sqrt(v)}
    if cls is not Moments4F64:
        return out
    if a2 == 0:
        return out | dict.fromkeys(STATS[cls][1:], DEGENERATE)
    a3 = n * n * r[2] - 3 * n * s1 * s2 + 2 * s1**3
    a4 = n**3 * r[3] - 4 * n * n * s1 * r[2] + 6 * n * s1 * s1 * s2 - 3 * s1**4
    sq = -rnd(a3**2 / a2**3) if a3 < 0 else rnd(a3**2 / a2**3)
    higher = {"kurtosis": rnd(a4 / a2**2), "excess_kurtosis": rnd((a4 - 3 * a2**2) / a2**2),
              "skewness_squared": sq, "skewness": -math.sqrt(-sq) if sq < 0 else math.sqrt(sq)}
    return out | higher


def check(obj, want):
    """Every statistic named in want gives what it says, bit for bit; asking changes nothing."""
    before = obj.to_bytes()
    assert {name: outcome(getattr(obj, name)) for name in want} == {name: canon(w) for name, w in want.items()}
    assert obj.to_bytes() == before


# scales from the subnormals to near overflow, biased to where squares and fourth powers stop being exact
TOPS = st.one_of(st.integers(-1126, 970), st.integers(-200, 200), st.integers(-560, -470), st.integers(-300, -230),
                 st.integers(240, 520))


def draw_ops(data, cls):
    """Calls on cls: per argument, values of at most 53 bits, top bit in [top - 60, top] for a scale of its own (powers
    often exact), or in a quarter of lists of any kind; for PnMomentsF64 removals of values never added or added."""
    columns = [st.builds(lambda m, s, e: math.ldexp(m >> s, e), st.integers(1 - 2**53, 2**53 - 1), st.integers(0, 52),
                         st.integers(top - 60, top)) | (any_f64 if data.draw(st.integers(0, 3)) == 0 else st.nothing())
               for top in [data.draw(TOPS) for _ in range(2 if cls in (CovF64, WeightedMomentsF64) else 1)]]
    if cls is WeightedMomentsF64 and data.draw(st.booleans()):
        columns[1] = columns[1].map(abs)                      # weights of one sign: a positive total more often
    kind = st.sampled_from(["add", "add", "remove"]) if cls is PnMomentsF64 else st.just("add")
    ops = data.draw(st.lists(st.tuples(kind, *columns), max_size=8))
    if cls is PnMomentsF64 and data.draw(st.booleans()):
        ops += [("remove", x) for op, x in data.draw(st.permutations(ops))[:len(ops) // 2] if op == "add"]
    return ops


@CLASSES
@given(data=st.data())
def test_added_and_decoded_states(cls, data):
    """Calls in any order and merge grouping build the model's bytes; decoded with some fields replaced by arbitrary
    limbs, flags, counts or flag bytes, a state is taken as stored. Every statistic follows the formula and order."""
    ops = draw_ops(data, cls)
    accs, tiny = model(cls, ops)
    image = encode_accs(accs, tiny)
    s, t = run(cls, ops), run(cls, ops, random.Random(data.draw(st.integers(0, 2**32))))
    assert s.to_bytes() == t.to_bytes() == image and s.state_hash() == t.state_hash() == hashlib.sha256(image).digest()
    check(t, stats(cls, accs, tiny))
    fields = [st.integers(-3, 3) | state_ints(), st.sampled_from([0, 0, 0, 1, 2, 4, 7]),
              st.sampled_from([0, 1, 2, 3]) | counts, st.sampled_from([False] * 4 + [True])]
    accs = [tuple(data.draw(f) if v is not None and data.draw(st.integers(0, 3)) == 0 else v for f, v in zip(fields, a))
            for a in accs]
    tiny = data.draw(fields[3]) if tiny is not None and data.draw(st.booleans()) else tiny
    b = encode_accs(accs, tiny)
    s = cls.from_bytes(b)
    assert s.to_bytes() == b and s.state_hash() == hashlib.sha256(b).digest()
    check(s, stats(cls, accs, tiny))


def adds(*args):
    return [("add", *a) if isinstance(a, tuple) else ("add", a) for a in args]


def golden(size, nonzero):
    return bytes(nonzero.get(i, 0) for i in range(size))


@pytest.mark.parametrize("cls, source, want", [           # source: calls, or (accumulators, tiny) to decode
    (Moments4F64, adds(3.0), dict(to_bytes=golden(1128, {134: 0x0C, 273: 1, 415: 0x24, 554: 2, 697: 0x6C, 836: 4,
                                                         979: 0x44, 980: 1, 1118: 8}))),
    (PnMomentsF64, adds(2.0) + [("remove", 0.5)], dict(to_bytes=golden(1126, {134: 8, 273: 1, 415: 0x10, 554: 2,
                                                                              697: 2, 836: 1, 978: 1, 1117: 2}))),
    (CovF64, adds((1.0, 2.0)), dict(to_bytes=golden(1408, {134: 4, 273: 1, 415: 8, 554: 1, 696: 4, 835: 2, 978: 0x10,
                                                           1117: 2, 1260: 8, 1399: 2}))),
    (Moments4F64, adds(1, 2, 10), dict(mean=4.333333333333333, variance=16.22222222222222, kurtosis=1.5,
                                       excess_kurtosis=-1.5, skewness_squared=0.4550251017307727,
                                       skewness=0.6745554845457656)),
    (Moments4F64, adds(1e-160, NAN), dict(mean=NONFINITE, variance=LOST)),         # the tiny square is tested first
    (PnMomentsF64, adds(1) + [("remove", 1)] * 2, dict(live_count=UNDEFINED, mean=DEGENERATE)),
    (PnMomentsF64, adds(1e-160, 2.0) + [("remove", NAN)], dict(mean=NONFINITE)),   # Σx removed before an inexact Σx²
    (CovF64, adds((1, 2), (2, 3), (4, 7)), dict(covariance=2.6666666666666665, slope=1.7142857142857142,
                                                intercept=0.0, r_squared=0.9795918367346939,
                                                correlation=0.989743318610787)),
    # n = 1, Σx = Σy = 0, Σx² = -2**-1074, Σy² = Σxy = 2**-1074: b_xx < 0 < b_yy, so r² = -1 has no root
    (CovF64, ([(0, 0, 1, None)] * 2 + [(v, 0, 2, False) for v in (-1, 1, 1)], None),
     dict(r_squared=-1.0, correlation=DEGENERATE)),
    # n = 1, Σx = 1e16, Σx^k = 0 for k > 1: A2 = -S1² < 0 leaves every higher statistic defined
    (Moments4F64, ([(10**16 << 1074, 0, 1, None)] + [(0, 0, 0, False)] * 3, False),
     dict(variance=-1e32, skewness_squared=-4.0, skewness=-2.0, kurtosis=-3.0, excess_kurtosis=-6.0)),
    # n = 2**64 - 1, Σx = 2**-1074, Σx² = 0: the variance rounds to -0.0, which is not below zero
    (MomentsF64, ([(1, 0, 2**64 - 1, None), (0, 0, 0, False)], None), dict(variance=-0.0, stddev=-0.0)),
])
def test_worked_examples(cls, source, want):
    state = source if isinstance(source, tuple) else model(cls, source)
    s = cls.from_bytes(encode_accs(*state)) if isinstance(source, tuple) else run(cls, source)
    check(s, want)
    check(s, stats(cls, *state))


@pytest.mark.parametrize("cls", [*FIELDS, SumF64, SumF32], ids=lambda c: c.__name__)
def test_decoder_rejections(cls):
    good, offsets, at = cls().to_bytes(), [], 0
    for kind in FIELDS.get(cls, "s"):       # a flag byte takes 0 to 7; an inexact-product or tiny-square byte 0 or 1
        offsets += [(at + 272, 8), (at + 272, 0x80)] * (kind != "t") + [(at + 281 * (kind == "d"), 2)] * (kind != "s")
        at += {"s": 281, "d": 282, "t": 1}[kind]
    for offset, bad in offsets:
        assert outcome(lambda: cls.from_bytes(good[:offset] + bytes([bad]) + good[offset + 1:])) == UNDEFINED
    assert {outcome(lambda: cls.from_bytes(b)) for b in (good[:-1], good + b"\0", b"")} == {"wrong byte length"}
