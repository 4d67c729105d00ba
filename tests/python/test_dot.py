"""DotF64 and dot: every pair is stored as its rounded product p plus the residual
a*b - p, so the state is checked against an exact model of those two addends."""
import hashlib
import math
import random
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from conftest import MAXF as MAX, MIN_NORMAL, encode_state, exact_sum, round_f64, same_float
from varnix import DotF64, dot

INF, NAN = math.inf, math.nan
LOST = "ExactnessLost"


def sum_image(values):
    """281-byte encoding of a SumF64 fed `values`."""
    flags = any(map(math.isnan, values)) | 2 * (INF in values) | 4 * (-INF in values)
    return encode_state(int(exact_sum(values) * 2 ** 1074), flags, len(values))


def pair_parts(a, b):
    """The two addends of one pair and whether the pair loses exactness.  The residual is
    a*b - p rounded once, which is what a fused multiply-add returns."""
    p = a * b
    if math.isinf(p):
        return (p, 0.0), False  # infinity counted twice, limbs untouched
    if math.isnan(p):
        return (p, p), False
    exact = Fraction(a) * Fraction(b)
    lost = a != 0 and b != 0 and (abs(p) < MIN_NORMAL or (exact * 2 ** 1074).denominator != 1)
    return (p, float(exact - Fraction(p))), lost


def model(xs, ys):
    """(state hash, value or LOST) of a DotF64 fed the pairs (xs[i], ys[i])."""
    parts, lost = [], False
    for a, b in zip(xs, ys):
        pe, l = pair_parts(a, b)
        parts += pe
        lost |= l
    image = sum_image(parts) + bytes([lost])
    flags = image[272]
    if lost:
        value = LOST
    elif flags & 1 or flags & 6 == 6:
        value = NAN
    elif flags:
        value = INF if flags & 2 else -INF
    else:
        value = round_f64(sum((Fraction(a) * Fraction(b) for a, b in zip(xs, ys)), Fraction(0)))
    return hashlib.sha256(image).digest(), value


def result(fn, *args):
    try:
        return fn(*args)
    except ValueError as e:
        return str(e)


def same(x, y):
    if isinstance(x, str) or isinstance(y, str):
        return x == y
    return same_float(x, y)  # a NaN result is the one quiet NaN


def fed(xs, ys):
    d = DotF64()
    d.extend(xs, ys)
    return d


def check_panic(info, left, right):
    e = info.value
    assert type(e).__name__ == "PanicException"
    assert not issubclass(type(e), Exception)
    assert str(e) == ("assertion `left == right` failed: dot product requires equal-length "
                      f"slices\n  left: {left}\n right: {right}")


def band(lo, hi):
    """Full 53-bit significands in [2^lo, 2^hi): products land near the smallest normal
    and usually carry bits below 2^-1074."""
    return st.builds(lambda m, e, s: s * math.ldexp(m, e - 52),
                     st.integers(2 ** 52, 2 ** 53 - 1), st.integers(lo, hi), st.sampled_from([1, -1]))


VALUES = st.one_of(
    st.floats(),
    st.floats(-1e3, 1e3),
    st.integers(-8, 8).map(float),
    band(-545, -470),
    st.sampled_from([0.0, -0.0, INF, -INF, NAN, MAX, -MAX, 5e-324, MIN_NORMAL, 2.0 ** -511]),
)
PAIRS = st.lists(st.tuples(VALUES, VALUES), max_size=10)


@settings(max_examples=300, deadline=None)
@given(PAIRS)
def test_matches_exact_model(pairs):
    xs, ys = [a for a, _ in pairs], [b for _, b in pairs]
    digest, value = model(xs, ys)
    extended = fed(xs, ys)
    assert extended.state_hash() == digest
    pushed = DotF64()
    for a, b in pairs:
        pushed.push(a, b)
    assert pushed.state_hash() == digest
    assert same(result(extended.value), value)
    assert same(result(dot, xs, ys), value)


@settings(max_examples=100, deadline=None)
@given(PAIRS, st.randoms(use_true_random=False))
def test_state_independent_of_order_and_grouping(pairs, rnd):
    digest, _ = model([a for a, _ in pairs], [b for _, b in pairs])
    rnd.shuffle(pairs)
    cuts = sorted(rnd.choices(range(len(pairs) + 1), k=3))
    states = []
    for lo, hi in zip([0] + cuts, cuts + [len(pairs)]):
        d = DotF64()
        if rnd.random() < 0.5:
            d.extend([a for a, _ in pairs[lo:hi]], [b for _, b in pairs[lo:hi]])
        else:
            for a, b in pairs[lo:hi]:
                d.push(a, b)
        states.append(d)
    while len(states) > 1:
        i, j = rnd.sample(range(len(states)), 2)
        states[i].merge(states[j])
        del states[j]
    assert states[0].state_hash() == digest


A30 = 1 + 2.0 ** -30


@pytest.mark.parametrize("xs, ys, expected", [
    ([1e16, 1.0, -1e16], [1.0, 1.0, 1.0], 1.0),
    ([A30, -1.0], [A30, A30 * A30], 2.0 ** -60),
    ([0.1], [0.1], 0.010000000000000002),
    ([1e-200], [1e-200], LOST),
    ([1e-160], [1e-160], LOST),  # rounds to a subnormal
    ([0.0], [1e-320], 0.0),
    ([-1e-320], [0.0], 0.0),
    ([1e200], [1e200], INF),
    ([-1e200], [1e200], -INF),
    ([INF], [-2.0], -INF),
    ([1e200, -1e200], [1e200, 1e200], NAN),
    ([NAN], [1e-200], NAN),
    ([NAN, 1e-200], [1.0, 1e-200], LOST),  # the flag outranks NaN
    ([1e-200, 1e200], [1e-200, 1e200], LOST),  # ... and infinities
    ([0.0], [INF], NAN),
    ([2.0 ** -511], [2.0 ** -511], MIN_NORMAL),
    ([MIN_NORMAL], [0.5], LOST),
    ([], [], 0.0),
])
def test_worked_examples(xs, ys, expected):
    assert same(result(dot, xs, ys), expected)
    assert same(result(fed(xs, ys).value), expected)
    assert model(xs, ys)[0] == fed(xs, ys).state_hash()


@pytest.mark.parametrize("a, b, lost", [
    (float.fromhex("0x1.d7210076ce2efp-500"), float.fromhex("0x1.c6a5377330bdbp-500"), True),
    (float.fromhex("0x1.0000000000001p-511"), float.fromhex("0x1.0000000000001p-511"), True),
    (float.fromhex("0x1.0000000000001p-485"), float.fromhex("0x1.0000000000001p-486"), True),
    (float.fromhex("0x1.0000000000001p-1000"), float.fromhex("0x1.0000000000001p-20"), True),
    (float.fromhex("0x1.fffffffffffffp-485"), float.fromhex("0x1.fffffffffffffp-485"), False),
    (float.fromhex("0x1.8p-1022"), 1.5, False),
    (2.0 ** -511, 2.0 ** -511, False),
    (2.0 ** -1021, 0.5, False),
    (float.fromhex("0x1.0000000000001p-400"), float.fromhex("0x1.0000000000001p-500"), False),
])
def test_residual_below_smallest_subnormal_is_flagged(a, b, lost):
    p = a * b
    assert abs(p) >= MIN_NORMAL and pair_parts(a, b)[1] == lost
    residual = float(Fraction(a) * Fraction(b) - Fraction(p))
    expected = LOST if lost else residual
    assert same(result(dot, [a, -1.0], [b, p]), expected)
    d = DotF64()
    d.push(a, b)
    assert same(result(d.value), LOST if lost else p)
    assert d.state_hash() == model([a], [b])[0]


def test_mended_example_no_longer_returns_a_rounded_residual():
    a = float.fromhex("0x1.d7210076ce2efp-500")
    b = float.fromhex("0x1.c6a5377330bdbp-500")
    p = a * b
    with pytest.raises(ValueError, match=f"^{LOST}$"):
        dot([a, a, -1.0, -1.0], [b, b, p, p])


@settings(max_examples=200, deadline=None)
@given(band(-535, -480), band(-535, -480))
def test_products_near_smallest_normal(a, b):
    p = a * b
    digest, value = model([a, -1.0], [b, p])
    got = result(dot, [a, -1.0], [b, p])
    assert same(got, value)
    if abs(p) >= 2.0 ** -968:
        assert got == float(Fraction(a) * Fraction(b) - Fraction(p))
    assert fed([a, -1.0], [b, p]).state_hash() == digest


MENDED = (float.fromhex("0x1.d7210076ce2efp-500"), float.fromhex("0x1.c6a5377330bdbp-500"))
HEAVY = float.fromhex("0x1.fffffffffffffp+941")  # loads one bank digit the most


@pytest.mark.parametrize("n, at, pair", [
    (255, None, None), (256, 255, (1e-200, 1e-200)), (257, 256, MENDED), (600, 599, MENDED),
    (600, 300, (INF, 2.0)), (600, 511, (NAN, 0.0)), (5000, None, None), (5000, 4999, (1e-160, 1e-160)),
    (5000, 0, (-MAX, 4.0)), (9000, None, (HEAVY, 1.0)), (9000, None, (-HEAVY, 1.0)),
])
def test_long_inputs_match_model(n, at, pair):
    rnd = random.Random(n + (at or 0))
    xs = [rnd.uniform(-1e3, 1e3) * 2.0 ** rnd.randint(-400, 400) for _ in range(n)]
    ys = [rnd.uniform(-1e3, 1e3) * 2.0 ** rnd.randint(-400, 400) for _ in range(n)]
    if at is not None:
        xs[at], ys[at] = pair
    elif pair is not None:
        xs, ys = [pair[0]] * n, [pair[1]] * n
    digest, value = model(xs, ys)
    assert fed(xs, ys).state_hash() == digest
    assert same(result(dot, xs, ys), value)


@pytest.mark.parametrize("into_flagged", [False, True])
def test_merging_a_flagged_state_poisons_value(into_flagged):
    flagged, clean = fed([1e-200], [1e-200]), fed([1.0, 2.0], [3.0, 4.0])
    assert clean.value() == 11.0
    dst, src = (flagged, clean) if into_flagged else (clean, flagged)
    dst.merge(src)
    with pytest.raises(ValueError, match=f"^{LOST}$"):
        dst.value()
    assert dst.state_hash() == model([1e-200, 1.0, 2.0], [1e-200, 3.0, 4.0])[0]
    dst.push(1.0, 1.0)
    with pytest.raises(ValueError, match=f"^{LOST}$"):
        dst.value()


def test_empty_state_hash():
    assert DotF64().state_hash() == hashlib.sha256(bytes(282)).digest()
    assert fed([], []).state_hash() == hashlib.sha256(bytes(282)).digest()


@pytest.mark.parametrize("xs, ys", [([1.0], [1.0, 2.0]), ([1.0, 2.0], [1.0]), ([], [5.0, 6.0, 7.0])])
def test_length_mismatch_panics_and_changes_nothing(xs, ys):
    d = fed([3.0, 1e-200], [0.5, 1e-200])
    before = d.state_hash()
    with pytest.raises(BaseException) as info:
        d.extend(xs, ys)
    check_panic(info, len(xs), len(ys))
    assert d.state_hash() == before
    with pytest.raises(BaseException) as info:
        dot(xs, ys)
    check_panic(info, len(xs), len(ys))


@pytest.mark.parametrize("xs, ys, exc, msg", [
    ([1.0, "a"], [1.0, 2.0], TypeError, "argument 'xs': must be real number, not str"),
    ([1.0, 2.0], [1.0, "a"], TypeError, "argument 'ys': must be real number, not str"),
    ([1.0, "a"], [1.0], TypeError, "argument 'xs': must be real number, not str"),
    ("ab", [1.0, 2.0], TypeError, "argument 'xs': Can't extract `str` to `Vec`"),
    ([1.0], "a", TypeError, "argument 'ys': Can't extract `str` to `Vec`"),
    ([1.0], {1.0}, TypeError, "argument 'ys': 'set' object cannot be converted to 'Sequence'"),
    (None, [1.0], TypeError, "argument 'xs': 'NoneType' object cannot be converted to 'Sequence'"),
    ([2.0, 10 ** 400], [1.0, 1.0], OverflowError, None),
])
def test_conversion_errors_change_nothing(xs, ys, exc, msg):
    d = fed([1.0, 3.0], [2.0, 0.25])
    before = d.state_hash()
    for call in (d.extend, dot):
        with pytest.raises(exc) as info:
            call(xs, ys)
        if msg is not None:
            assert str(info.value) == msg
    assert d.state_hash() == before
    assert d.value() == 2.75


def test_generators_are_not_sequences():
    with pytest.raises(TypeError) as info:
        dot((x for x in [1.0]), [1.0])
    assert str(info.value) == "argument 'xs': 'generator' object cannot be converted to 'Sequence'"


class Half:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize("xs, ys, expected", [
    (b"\x01\x02", (3.0, 4.0), 11.0),
    (range(3), [True, 2, Half()], 3.0),
    (bytearray(b"\x07"), [Fraction(1, 4)], 1.75),
])
def test_sequence_kinds(xs, ys, expected):
    assert dot(xs, ys) == expected
    assert fed(xs, ys).value() == expected
