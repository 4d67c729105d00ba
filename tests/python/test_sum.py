"""SumF64 and SumF32: the exact state, the correctly rounded value, merging, unmerging and the encoding."""
import hashlib
import math
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import (COUNT_MAX, F32, F32_MAX, F32_TINY, F64, INF, MAXF, MIN_NORMAL, NAN, TINY, UNIT, WIDTH, any_f64,
                      bits, counts, encode_state, expected_value, f32, flagged_value, regrouped, round_to, state_ints,
                      sum_image, sum_of)
from varnix import SumF32, SumF64

# per class: the values to add, the input conversion, the value's format, decodable state integers
KIND = {SumF64: (any_f64, float, F64, state_ints()),
        SumF32: (st.floats(width=32) | any_f64, f32, F32, state_ints(24, 1210))}


@pytest.mark.parametrize("cls", [SumF64, SumF32])
@given(data=st.data(), rnd=st.randoms(use_true_random=False), parts=st.integers(1, 5))
def test_exact_state_rounded_value_and_any_grouping(cls, data, rnd, parts):
    values, conv, fmt, _ = KIND[cls]
    xs = data.draw(st.lists(values, max_size=30))
    k = data.draw(st.integers(0, len(xs)))        # cancel some values exactly or to one ulp: long carry runs
    xs += [-x if i % 2 else -math.nextafter(x, 0) for i, x in enumerate(xs[:k])]
    image = sum_image([conv(x) for x in xs])
    s = sum_of(xs, cls)
    assert s.to_bytes() == image and s.count() == len(xs)
    assert bits(s.value()) == bits(expected_value([conv(x) for x in xs], fmt))
    assert s.state_hash() == hashlib.sha256(image).digest()
    assert [c.from_bytes(image).to_bytes() for c in (SumF64, SumF32)] == [image, image]
    t = regrouped(cls, xs, rnd, parts)
    assert t.to_bytes() == image and t.state_hash() == s.state_hash()


@pytest.mark.parametrize("cls", [SumF64, SumF32])
@given(data=st.data(), flags=st.integers(0, 7), count=counts)
def test_decoded_states(cls, data, flags, count):
    n = data.draw(KIND[cls][3])
    b = encode_state(n, flags, count)
    s = cls.from_bytes(b)
    assert s.to_bytes() == b and s.count() == count and s.state_hash() == hashlib.sha256(b).digest()
    assert bits(s.value()) == bits(flagged_value(flags, Fraction(n, UNIT), KIND[cls][2]))
    s.add(-0.0)
    assert s.count() == min(count + 1, COUNT_MAX)          # the count saturates


@given(na=state_ints(), nb=state_ints(), fa=st.integers(0, 7), fb=st.integers(0, 7), ca=counts, cb=counts)
def test_try_unmerge_undoes_merge(na, nb, fa, fb, ca, cb):
    a, b = SumF64.from_bytes(encode_state(na, fa, ca)), SumF64.from_bytes(encode_state(nb, fb, cb))
    a.merge(b)
    c = min(ca + cb, COUNT_MAX)
    assert a.to_bytes() == encode_state(na + nb, fa | fb, c)
    assert a.try_unmerge(b) is (fb == 0)          # refused when other has flags; the merged count is >= cb
    assert a.to_bytes() == (encode_state(na, fa, c - cb) if fb == 0 else encode_state(na + nb, fa | fb, c))
    if fb == 0:                                   # once more: refused when other's count is the larger
        c -= cb
        assert a.try_unmerge(b) is (cb <= c)
        assert a.to_bytes() == (encode_state(na - nb, fa, c - cb) if cb <= c else encode_state(na, fa, c))


P53, P24, U150 = 2.0**53, 2.0**24, 2**(1074 - 150)       # U150: 2**-150 in units
F32_TOP = 2**(1074 + 128) - 2**(1074 + 103)             # the largest binary32 plus half its ulp, in units


@pytest.mark.parametrize("cls, xs, value", [             # xs: values to add, or an int: a decoded state
    (SumF64, [0.1, 0.2], 0.30000000000000004),
    (SumF64, [P53, 1.0], P53),                           # ties to even: stays
    (SumF64, [P53, 3.0], P53 + 4),                       # ties to even: goes up
    (SumF64, [P53, 1.0, TINY], P53 + 2),                 # a sticky bit 1074 places below the round bit
    (SumF64, [2.0 - 2.0**-52, 2.0**-53], 2.0),           # rounding carries into the next binade
    (SumF64, [MAXF, 2.0**970], INF),                     # largest finite + half an ulp: the tie overflows
    (SumF64, [MAXF, 2.0**970, -TINY], MAXF),
    (SumF64, [MIN_NORMAL, -TINY], MIN_NORMAL - TINY),    # subnormals are exact
    (SumF64, [-0.0, -TINY, TINY], 0.0),                  # an exact zero is +0.0
    (SumF64, -2**(WIDTH - 1), -INF),
    (SumF32, [P24, 3.0], P24 + 4),
    (SumF32, [P24 + 1], P24),                            # each input is rounded to binary32 first: a tie
    (SumF32, [0.1, 0.2], 0.30000001192092896),
    (SumF32, [F32_MAX, F32_MAX], INF),                   # a finite state whose value overflows
    (SumF32, [-1e40, 1.0], -INF),                        # an input that overflows adds -inf
    (SumF32, [math.nextafter(2.0**-150, 1)], F32_TINY),  # just above half the smallest binary32
    (SumF32, -U150, -0.0),                               # a negative sum rounding to zero keeps its sign
    (SumF32, -U150 - 1, -F32_TINY),
    (SumF32, 5 * U150, 2 * F32_TINY),                    # 2.5 ulp: ties to even
    (SumF32, F32_TOP, INF),
    (SumF32, F32_TOP - 1, F32_MAX),
])
def test_worked_rounding(cls, xs, value):
    conv, fmt = KIND[cls][1:3]
    if isinstance(xs, int):
        s, oracle = cls.from_bytes(encode_state(xs)), round_to(Fraction(xs, UNIT), *fmt)
    else:
        s, oracle = sum_of(xs, cls), expected_value([conv(x) for x in xs], fmt)
    assert bits(s.value()) == bits(value) == bits(oracle)


@pytest.mark.parametrize("x, limbs", [
    (1.0, {16: 2**50}), (-1.0, {16: 2**64 - 2**50, **dict.fromkeys(range(17, 34), 2**64 - 1)}), (TINY, {0: 1}),
    (MAXF, {31: 0xE000000000000000, 32: 0x0003FFFFFFFFFFFF}),
])
def test_limb_layout(x, limbs):
    image = b"".join(limbs.get(i, 0).to_bytes(8, "little") for i in range(34)) + b"\0\1" + bytes(7)
    assert image == sum_image([x]) == sum_of([x]).to_bytes()


@pytest.mark.parametrize("cls", [SumF64, SumF32])
@pytest.mark.parametrize("arg, message", [
    (bytes(280), "wrong byte length"), (bytes(282), "wrong byte length"),
    (encode_state(1, 8, 1), "undefined (insufficient data or invalid input)"),
    (encode_state(1, 0x80, 1), "undefined (insufficient data or invalid input)"),
    (bytearray(281), "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"),
    (None, "argument 'b': 'NoneType' object cannot be converted to 'PyBytes'"),
])
def test_rejected_encodings(cls, arg, message):
    with pytest.raises(ValueError if isinstance(arg, bytes) else TypeError) as e:
        cls.from_bytes(arg)
    assert str(e.value) == message
