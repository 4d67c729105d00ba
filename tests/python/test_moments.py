"""MomentsF64 and Moments4F64: exact power sums, read as rationals and rounded once. The state is checked
byte for byte against a model built from the values; each statistic against the textbook central moments
(for added values) or the power-sum formulas (for decoded states), with the errors and their order of checks
from a model of the flags."""
import hashlib
import math
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import (F64, INF, MIN_NORMAL, NAN, UNIT, any_f64, bits, counts, dot_parts, encode_state,
                      exact_sum, flag_byte, regrouped, round_to, state_ints)
from varnix import Moments4F64, MomentsF64

EMPTY, NONFINITE, LOST, DEGENERATE = "Empty", "NonFinite", "ExactnessLost", "Degenerate"
UNDEFINED = "undefined (insufficient data or invalid input)"
STATS = {MomentsF64: ["mean", "variance", "sample_variance", "stddev"],
         Moments4F64: ["mean", "variance", "kurtosis", "excess_kurtosis", "skewness", "skewness_squared"]}
CLASSES = pytest.mark.parametrize("cls", [MomentsF64, Moments4F64])


class Fail(Exception):
    """A statistic without a value; the message names the reason."""


def rnd(q):
    return round_to(q, *F64)


def fma(a, b, c):
    """a*b + c rounded once, with IEEE-754's infinities and NaN."""
    if all(map(math.isfinite, (a, b, c))):
        return rnd(Fraction(a) * Fraction(b) + Fraction(c))
    return c if math.isfinite(a) and math.isfinite(b) else a * b + c


def accumulator(parts, lost=None):
    """(integer in units of 2**-1074, flag byte, count, inexact-product flag or None for a plain sum)."""
    return int(exact_sum(parts) * UNIT), flag_byte(parts), len(parts), lost


def model(cls, xs):
    """The state (accumulators in field order, tiny-square flag or None) that adding xs must build. The
    powers of x are product terms of x, its rounded square p and the square's residual e."""
    if cls is MomentsF64:
        return [accumulator(xs), accumulator(*dot_parts((x, x) for x in xs))], None
    terms, tiny = [[], [], []], False
    for x in xs:
        p = x * x
        e = fma(x, x, -p)
        tiny |= x != 0 and 0 <= p < MIN_NORMAL
        for k, pairs in enumerate([[(x, x)], [(x, p), (x, e)], [(p, p), (p, e), (p, e), (e, e)]]):
            terms[k] += pairs
    return [accumulator(xs)] + [accumulator(*dot_parts(t)) for t in terms], tiny


def encode(accs, tiny):
    """Accumulator encodings in field order (a product accumulator with its 0/1 byte), then the tiny byte."""
    out = b"".join(encode_state(n, f, c) + (b"" if lost is None else bytes([lost])) for n, f, c, lost in accs)
    return out + (b"" if tiny is None else bytes([tiny]))


def reading(n, flags, count, lost):
    if lost:
        raise Fail(LOST)
    if flags:
        raise Fail(NONFINITE)
    return Fraction(n, UNIT)


def power_sums(accs, tiny):
    """n and the exact sums of x, x**2, ...: the count first, then the tiny-square flag, then each
    accumulator in field order, its inexact-product flag before its other flags."""
    n = accs[0][2]
    if n == 0:
        raise Fail(EMPTY)
    if tiny:
        raise Fail(LOST)
    return n, [reading(*a) for a in accs]


def from_power_sums(n, s):
    """n*M2, n**2*M3, n**3*M4, where M_k is the sum of the k-th powers of the deviations from the mean."""
    s1, s2 = s[:2]
    if len(s) == 2:
        return n * s2 - s1**2, None, None
    return (n * s2 - s1**2, n * n * s[2] - 3 * n * s1 * s2 + 2 * s1**3,
            n**3 * s[3] - 4 * n * n * s1 * s[2] + 6 * n * s1 * s1 * s2 - 3 * s1**4)


def from_values(xs):
    mu = exact_sum(xs) / len(xs)
    return tuple(len(xs)**(k - 1) * sum((Fraction(x) - mu)**k for x in xs) for k in (2, 3, 4))


def expected(cls, state, xs=None):
    """Each statistic's float or error name; a set where either of two outcomes is sound."""
    accs, tiny = state
    n = accs[0][2]
    try:
        out = {"mean": EMPTY if n == 0 else rnd(reading(*accs[0]) / n)}
    except Fail as f:
        out = {"mean": str(f)}
    try:
        n, s = power_sums(accs, tiny)
    except Fail as f:
        return out | dict.fromkeys(STATS[cls][1:], str(f))
    a2, a3, a4 = from_power_sums(n, s) if xs is None else from_values(xs)
    out["variance"] = var = rnd(a2 / n**2)
    if cls is MomentsF64:   # a negative variance (decoded bytes only) has no square root
        out["sample_variance"] = rnd(a2 / (n * (n - 1))) if n > 1 else EMPTY
        out["stddev"] = DEGENERATE if var < 0 else {math.sqrt(var), DEGENERATE} if a2 < 0 else math.sqrt(var)
        return out
    if a2 == 0:
        return out | dict.fromkeys(STATS[cls][2:], DEGENERATE)
    sq = -rnd(a3**2 / a2**3) if a3 < 0 else rnd(a3**2 / a2**3)
    skew = -math.sqrt(-sq) if sq < 0 else math.sqrt(sq)
    higher = {"kurtosis": rnd(a4 / a2**2), "excess_kurtosis": rnd((a4 - 3 * a2**2) / a2**2),
              "skewness_squared": sq, "skewness": skew}
    # a negative spread (decoded bytes only) may be refused as a denominator of the wrong sign
    return out | {k: {v, DEGENERATE} if a2 < 0 else v for k, v in higher.items()}


def key(v):
    return v if isinstance(v, str) else bits(v)


def check(obj, want):
    """Every statistic of obj is what want says, bit for bit; failures change nothing."""
    before = obj.to_bytes()
    for name, w in want.items():
        try:
            got = key(getattr(obj, name)())
        except ValueError as e:
            got = str(e)
        assert got in ({key(v) for v in w} if isinstance(w, set) else {key(w)}), (name, got, w)
    assert obj.to_bytes() == before


def fed(cls, xs):
    s = cls()
    for x in xs:
        s.add(x)
    return s


@st.composite
def value_lists(draw):
    """Values sharing a scale (so their powers often stay exact) at any scale from the subnormals to near
    overflow, biased to where squares and fourth powers stop being exact; in some lists, values of any kind."""
    top = draw(st.one_of(st.integers(-1126, 970), st.integers(-200, 200), st.integers(-560, -470),
                         st.integers(-300, -230), st.integers(240, 520)))
    near = st.builds(lambda m, s, e: math.ldexp(m >> s, e), st.integers(1 - 2**53, 2**53 - 1),
                     st.integers(0, 52), st.integers(top - 60, top))
    return draw(st.lists(near | any_f64 if draw(st.integers(0, 3)) == 0 else near, max_size=10))


@CLASSES
@given(xs=value_lists(), rng=st.randoms(use_true_random=False), parts=st.integers(1, 4))
def test_added_values_any_order_and_grouping(cls, xs, rng, parts):
    state = model(cls, xs)
    image = encode(*state)
    s = fed(cls, xs)
    check(s, expected(cls, state, xs))
    assert s.to_bytes() == image and s.count() == len(xs) and s.state_hash() == hashlib.sha256(image).digest()
    assert cls.from_bytes(image).to_bytes() == image
    t = regrouped(cls, xs, rng, parts)
    assert t.to_bytes() == image and t.state_hash() == s.state_hash()


@CLASSES
@given(data=st.data())
def test_decoded_states(cls, data):
    """Arbitrary limbs, flags and counts, or a real state with some fields replaced: the statistics follow
    the power-sum formulas and the order of checks; nothing is validated beyond the byte values."""
    accs, tiny = model(cls, data.draw(value_lists()))
    fields = [st.integers(-3, 3) | state_ints(), st.sampled_from([0, 0, 0, 1, 2, 4, 7]),
              st.sampled_from([0, 1, 2, 3]) | counts, st.sampled_from([False] * 4 + [True])]
    accs = [tuple(data.draw(f) if data.draw(st.integers(0, 3)) == 0 and (v is not None) else v
                  for f, v in zip(fields, a)) for a in accs]
    if tiny is not None:
        tiny = data.draw(fields[3]) if data.draw(st.booleans()) else tiny
    b = encode(accs, tiny)
    s = cls.from_bytes(b)
    assert s.to_bytes() == b and s.count() == accs[0][2] and s.state_hash() == hashlib.sha256(b).digest()
    check(s, expected(cls, (accs, tiny)))


P500, NEG1 = math.ldexp(1 + 2**-52, -500), (-UNIT, 0, 2, False)   # NEG1: a sum of squares of -1.0


@pytest.mark.parametrize("cls, xs, want", [
    (MomentsF64, [1, 2, 3, 4], dict(mean=2.5, variance=1.25, sample_variance=1.6666666666666667,
                                    stddev=1.118033988749895)),
    (MomentsF64, [0.1, 0.2, 0.3], dict(mean=0.2, variance=0.006666666666666665)),   # fsum/3 is 0.20000000000000004
    (MomentsF64, [7.0], dict(mean=7.0, variance=0.0, stddev=0.0, sample_variance=EMPTY)),
    (MomentsF64, [1e200], dict(mean=1e200, variance=NONFINITE, stddev=NONFINITE)),
    (MomentsF64, [1e-160], dict(mean=1e-160, variance=LOST)),
    (MomentsF64, [P500], dict(mean=P500, variance=LOST, stddev=LOST)),    # square not a multiple of 2**-1074
    (MomentsF64, [2.0**-500, 2.0**-500], dict(variance=0.0, stddev=0.0, sample_variance=0.0)),
    (MomentsF64, [1.3e154, -1.3e154], dict(mean=0.0, sample_variance=INF)),
    (MomentsF64, [NAN, 1e-160], dict(mean=NONFINITE, variance=NONFINITE)),
    (MomentsF64, [], dict(mean=EMPTY, variance=EMPTY, sample_variance=EMPTY, stddev=EMPTY)),
    (Moments4F64, [1, 2, 3, 4], dict(mean=2.5, variance=1.25, kurtosis=1.64, excess_kurtosis=-1.36,
                                     skewness_squared=0.0, skewness=0.0)),
    (Moments4F64, [1, 2, 10], dict(mean=4.333333333333333, variance=16.22222222222222, kurtosis=1.5,
                                   excess_kurtosis=-1.5, skewness_squared=0.4550251017307727,
                                   skewness=0.6745554845457656)),
    (Moments4F64, [-1, -2, -10], dict(variance=16.22222222222222, kurtosis=1.5,
                                      skewness_squared=-0.4550251017307727, skewness=-0.6745554845457656)),
    (Moments4F64, [5, 5, 5], dict(variance=0.0, kurtosis=DEGENERATE, excess_kurtosis=DEGENERATE,
                                  skewness=DEGENERATE, skewness_squared=DEGENERATE)),
    (Moments4F64, [1.2e77], dict(mean=1.2e77, variance=NONFINITE, kurtosis=NONFINITE)),
    (Moments4F64, [1e-100], dict(mean=1e-100, variance=LOST, skewness=LOST)),
    (Moments4F64, [1e-69, 1.0], dict(mean=0.5, variance=LOST)),            # only e*e underflows
    (Moments4F64, [1e-160, NAN], dict(mean=NONFINITE, variance=LOST)),     # the tiny square is tested first
    (Moments4F64, [2.0**-200, 0.0], dict(variance=2.0**-402, kurtosis=1.0, skewness=0.0)),
])
def test_worked_examples(cls, xs, want):
    s = fed(cls, xs)
    check(s, want)
    check(s, expected(cls, model(cls, xs), xs))


@pytest.mark.parametrize("cls, accs, tiny, want", [   # states that adds cannot build: a negative variance
    (MomentsF64, [(0, 0, 1, None), NEG1], None, dict(mean=0.0, variance=-1.0, stddev=DEGENERATE)),
    (MomentsF64, [(0, 0, 3, None), NEG1], None, dict(variance=-1 / 3, sample_variance=-0.5, stddev=DEGENERATE)),
    (MomentsF64, [(1, 0, 0, None), NEG1], None, dict(mean=EMPTY, variance=EMPTY, stddev=EMPTY)),
    (Moments4F64, [(0, 0, 1, None), NEG1, (0, 0, 4, False), (UNIT, 0, 8, False)], False,
     dict(variance=-1.0, kurtosis={1.0, DEGENERATE}, excess_kurtosis={-2.0, DEGENERATE})),
    (Moments4F64, [(0, 0, 1, None), (0, 4, 2, True), NEG1, NEG1], True, dict(mean=0.0, variance=LOST)),
])
def test_decoded_examples(cls, accs, tiny, want):
    s = cls.from_bytes(encode(accs, tiny))
    check(s, want)
    check(s, expected(cls, (accs, tiny)))


def sparse(size, nonzero):
    b = bytearray(size)
    for i, v in nonzero.items():
        b[i] = v
    return bytes(b)


@pytest.mark.parametrize("cls, xs, image", [
    (MomentsF64, [], bytes(563)),
    (MomentsF64, [-1.0, NAN], sparse(563, {134: 0xFC, **dict.fromkeys(range(135, 272), 0xFF), 272: 1, 273: 2,
                                           415: 0x04, 553: 1, 554: 4})),
    (MomentsF64, [1e-160], encode_state(int(Fraction(1e-160) * UNIT), 0, 1)      # a subnormal square; its
     + encode_state(int(Fraction(1e-160 * 1e-160) * UNIT), 0, 2) + b"\1"),     # residual rounds to 0
    (Moments4F64, [3.0], sparse(1128, {134: 0x0C, 273: 1, 415: 0x24, 554: 2, 697: 0x6C, 836: 4,
                                       979: 0x44, 980: 0x01, 1118: 8})),
])
def test_golden_bytes(cls, xs, image):
    s = fed(cls, xs)
    assert s.to_bytes() == image == encode(*model(cls, xs))
    assert s.state_hash() == hashlib.sha256(image).digest()


def altered(size, offset, value):
    b = bytearray(size)
    b[offset] = value
    return bytes(b)


@pytest.mark.parametrize("cls, arg, error", [
    *[(c, bytes(n), "wrong byte length") for c, n in [(MomentsF64, 562), (MomentsF64, 564), (MomentsF64, 0),
                                                      (Moments4F64, 1127), (Moments4F64, 1129), (Moments4F64, 563)]],
    *[(MomentsF64, altered(563, i, v), UNDEFINED) for i, v in [(272, 8), (553, 0x80), (562, 2), (562, 0xFF)]],
    *[(Moments4F64, altered(1128, i, v), UNDEFINED)
      for i, v in [(272, 8), (553, 0x10), (835, 8), (1117, 0xF8), (562, 2), (844, 2), (1126, 0x81), (1127, 2)]],
    *[(c, altered(n, i, v), None) for c, n, i, v in [(MomentsF64, 563, 272, 7), (MomentsF64, 563, 562, 1),
                                                     (Moments4F64, 1128, 1117, 7), (Moments4F64, 1128, 1127, 1)]],
    (MomentsF64, bytearray(563), "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"),
])
def test_decoder_rejections(cls, arg, error):
    if error is None:
        assert cls.from_bytes(arg).to_bytes() == arg
        return
    with pytest.raises(ValueError if isinstance(arg, bytes) else TypeError) as e:
        cls.from_bytes(arg)
    assert str(e.value) == error
