"""SumF64 and SumF32: the exact state, the correctly rounded value, merging, unmerging and the encoding."""
import hashlib
import math
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import (COUNT_MAX, F32, F64, INF, MAXF, TINY, UNIT, any_f64, bits, counts, encode_state,
                      expected_value, f32, flagged_value, round_to, state_ints, sum_image)
from oracles import UNDEFINED, run
from varnix import SumF32, SumF64

# per class: the values to add, the input conversion, the value's format, decodable state integers
KIND = {SumF64: (any_f64, float, F64, state_ints()),
        SumF32: (st.floats(width=32) | any_f64, f32, F32, state_ints(24, 1210))}


@pytest.mark.parametrize("cls", [SumF64, SumF32])
@given(data=st.data(), rnd=st.randoms(use_true_random=False))
def test_exact_state_rounded_value_and_any_grouping(cls, data, rnd):
    values, conv, fmt, _ = KIND[cls]
    xs = data.draw(st.lists(values, max_size=30))
    k = data.draw(st.integers(0, len(xs)))        # cancel some values exactly or to one ulp: long carry runs
    xs += [-x if i % 2 else -math.nextafter(x, 0) for i, x in enumerate(xs[:k])]
    image = sum_image([conv(x) for x in xs])
    s = run(cls, [("add", x) for x in xs])
    assert s.to_bytes() == image and s.count() == len(xs) and s.state_hash() == hashlib.sha256(image).digest()
    assert bits(s.value()) == bits(expected_value([conv(x) for x in xs], fmt))
    assert run(cls, [("add", x) for x in xs], rnd).to_bytes() == image      # shuffled over merged objects


@pytest.mark.parametrize("cls", [SumF64, SumF32])
@given(data=st.data(), fa=st.integers(0, 7), fb=st.integers(0, 7), ca=counts, cb=counts)
def test_decoded_states_merge_and_unmerge(cls, data, fa, fb, ca, cb):
    na, nb = data.draw(KIND[cls][3]), data.draw(KIND[cls][3])
    a, b = cls.from_bytes(encode_state(na, fa, ca)), cls.from_bytes(encode_state(nb, fb, cb))
    assert a.to_bytes() == encode_state(na, fa, ca) and a.count() == ca
    assert a.state_hash() == hashlib.sha256(encode_state(na, fa, ca)).digest()
    assert bits(a.value()) == bits(flagged_value(fa, Fraction(na, UNIT), KIND[cls][2]))
    a.add(-0.0)                                   # adds nothing but one to the count
    a.merge(b)
    n, c = na + nb, min(ca + 1 + cb, COUNT_MAX)   # counts saturate
    assert a.to_bytes() == encode_state(n, fa | fb, c)
    for _ in range(2 if cls is SumF64 else 0):    # try_unmerge refuses another with flags or the larger count
        done = fb == 0 and cb <= c
        assert a.try_unmerge(b) is done
        n, c = (n - nb, c - cb) if done else (n, c)
        assert a.to_bytes() == encode_state(n, fa | fb, c)


P53, P24, U150 = 2.0**53, 2.0**24, 2**(1074 - 150)       # U150: 2**-150 in units


@pytest.mark.parametrize("cls, xs, value", [             # xs: values to add, or an int: a decoded state
    (SumF64, [P53, 1.0], P53),                           # ties to even: stays
    (SumF64, [P53, 3.0], P53 + 4),                       # ties to even: goes up
    (SumF64, [P53, 1.0, TINY], P53 + 2),                 # a sticky bit 1074 places below the round bit
    (SumF64, [2.0 - 2.0**-52, 2.0**-53], 2.0),           # rounding carries into the next binade
    (SumF64, [MAXF, 2.0**970], INF),                     # largest finite + half an ulp: the tie overflows
    (SumF64, [MAXF, 2.0**970, -TINY], MAXF),
    (SumF32, [P24 + 1], P24),                            # each input is rounded to binary32 first: a tie
    (SumF32, -U150, -0.0),                               # a negative sum rounding to zero keeps its sign
])
def test_worked_rounding(cls, xs, value):
    conv, fmt = KIND[cls][1:3]
    if isinstance(xs, int):
        s, oracle = cls.from_bytes(encode_state(xs)), round_to(Fraction(xs, UNIT), *fmt)
    else:
        s, oracle = run(cls, [("add", x) for x in xs]), expected_value([conv(x) for x in xs], fmt)
    assert bits(s.value()) == bits(value) == bits(oracle)


@pytest.mark.parametrize("cls", [SumF64, SumF32])
def test_encoding_layout_and_rejected_encodings(cls):
    for x, limbs in [(TINY, {0: 1}), (-1.0, {16: 2**64 - 2**50, **dict.fromkeys(range(17, 34), 2**64 - 1)}),
                     (MAXF, {31: 0xE000000000000000, 32: 0x0003FFFFFFFFFFFF})]:    # 34 limbs by hand, then 0, 1
        image = b"".join(limbs.get(i, 0).to_bytes(8, "little") for i in range(34)) + b"\0\1" + bytes(7)
        assert image == sum_image([x]) == run(SumF64, [("add", x)]).to_bytes()
    for arg, message in [
        (bytes(280), "wrong byte length"), (bytes(282), "wrong byte length"),
        (encode_state(1, 8, 1), UNDEFINED), (encode_state(1, 0x80, 1), UNDEFINED),     # unknown flag bits
        (bytearray(281), "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"),
        (None, "argument 'b': 'NoneType' object cannot be converted to 'PyBytes'"),
    ]:
        with pytest.raises(ValueError if isinstance(arg, bytes) else TypeError) as e:
            cls.from_bytes(arg)
        assert str(e.value) == message
