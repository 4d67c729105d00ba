"""Exactness, rounding, merging and unmerging of SumF64 and SumF32."""
import math
import struct
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from varnix import SumF32, SumF64
from conftest import (COUNT_MAX, F32_MAX, F32_TINY, INF, MAXF, MIN_NORMAL, NAN, TINY, UNIT_EXP, WIDTH,
                      any_f64, decode_state, encode_state, exact_sum, expected_value, f32_inputs,
                      finite_f64, merged_parts, round_f32, round_f64, same_float, state_ints, sum_of,
                      to_f32)

CLASSES = [SumF64, SumF32]


def units(xs):
    """The accumulator integer holding the exact sum of the finite values in xs."""
    return int(exact_sum(xs) * 2**UNIT_EXP)


@st.composite
def cancelling(draw):
    """Values, their exact or nearly exact negations and small leftovers, shuffled: long carry runs."""
    big = draw(st.lists(finite_f64, max_size=8))
    out = big + [-math.nextafter(x, 0) if draw(st.booleans()) else -x for x in big]
    out += draw(st.lists(finite_f64, max_size=6))
    draw(st.randoms()).shuffle(out)
    return out


@given(st.one_of(st.lists(finite_f64, max_size=30), cancelling()))
def test_sum_f64_exact_and_correctly_rounded(xs):
    s = sum_of(xs)
    assert decode_state(s.to_bytes()) == (units(xs), 0, len(xs))
    assert same_float(s.value(), round_f64(exact_sum(xs)))


@given(st.lists(st.one_of(f32_inputs, st.sampled_from([NAN, INF, -INF, 1e40, -1e40])), max_size=20))
def test_sum_f32_rounds_inputs_then_result(xs):
    s = sum_of(xs, SumF32)
    assert s.to_bytes() == sum_of([to_f32(x) for x in xs]).to_bytes()
    assert same_float(s.value(), expected_value(xs, f32=True))


@pytest.mark.parametrize("cls", CLASSES)
@given(xs=st.lists(any_f64, max_size=25), rnd=st.randoms(), parts=st.integers(1, 6))
def test_order_and_grouping_do_not_matter(cls, xs, rnd, parts):
    whole = sum_of(xs, cls)
    ys = list(xs)
    rnd.shuffle(ys)
    merged = merged_parts(ys, cls, rnd, parts)
    assert sum_of(ys, cls).to_bytes() == merged.to_bytes() == whole.to_bytes()
    assert merged.state_hash() == whole.state_hash()
    assert same_float(merged.value(), expected_value(xs, f32=cls is SumF32))


@given(a=st.lists(any_f64, max_size=15), b=st.lists(any_f64, max_size=15))
def test_merge_equals_adding_one_by_one(a, b):
    s, t = sum_of(a), sum_of(b)
    s.merge(t)
    assert s.to_bytes() == sum_of(a + b).to_bytes()
    assert t.to_bytes() == sum_of(b).to_bytes()


@given(na=state_ints(), nb=state_ints(), fa=st.integers(0, 7), fb=st.integers(0, 7),
       ca=st.integers(0, COUNT_MAX), cb=st.integers(0, COUNT_MAX))
def test_merge_then_unmerge(na, nb, fa, fb, ca, cb):
    a = SumF64.from_bytes(encode_state(na, fa, ca))
    b = SumF64.from_bytes(encode_state(nb, fb, cb))
    a.merge(b)
    assert a.to_bytes() == encode_state(na + nb, fa | fb, min(ca + cb, COUNT_MAX))
    assert a.try_unmerge(b) is (fb == 0)          # the merged count is never below cb
    if fb == 0:
        c = min(ca + cb, COUNT_MAX) - cb          # == ca unless the merge saturated
        assert a.to_bytes() == encode_state(na, fa, c)
        # unmerging a state that was never merged still subtracts, unless its count is larger
        assert a.try_unmerge(b) is (cb <= c)
        assert a.to_bytes() == (encode_state(na - nb, fa, c - cb) if cb <= c else encode_state(na, fa, c))


@pytest.mark.parametrize("other_flags, other_count", [(1, 1), (2, 1), (4, 1), (7, 0), (0, 4), (0, COUNT_MAX)])
def test_try_unmerge_refusals_leave_state_untouched(other_flags, other_count):
    a, b = sum_of([1.0, -2.5, 1e300]), SumF64.from_bytes(encode_state(5, other_flags, other_count))
    before = a.to_bytes(), b.to_bytes()
    assert a.try_unmerge(b) is False
    assert (a.to_bytes(), b.to_bytes()) == before


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("xs, flag_byte, value", [
    ([NAN], 1, NAN), ([INF], 2, INF), ([-INF], 4, -INF), ([INF, -INF], 6, NAN), ([INF, NAN, -INF], 7, NAN),
    ([-INF, F32_MAX, F32_MAX], 4, -INF), ([INF, -5.0], 2, INF), ([NAN, 2.0, -INF], 5, NAN),
])
def test_flags_decide_value_and_limbs_keep_finite_sum(cls, xs, flag_byte, value):
    s = sum_of(xs, cls)
    assert decode_state(s.to_bytes()) == (units(xs), flag_byte, len(xs))
    assert same_float(s.value(), value)
    s.add(1.0)
    assert decode_state(s.to_bytes())[1] == flag_byte         # sticky


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("xs", [[], [-0.0], [0.0, -0.0], [1.0, -1.0], [-TINY, TINY], [F32_MAX, F32_MAX, -F32_MAX, -F32_MAX]])
def test_zero_sums_are_positive_zero_and_count_every_value(cls, xs):
    s = sum_of(xs, cls)
    assert s.to_bytes() == encode_state(0, 0, len(xs)) and s.count() == len(xs)
    assert same_float(s.value(), 0.0)


@pytest.mark.parametrize("cls", CLASSES)
def test_count_saturates(cls):
    s = cls.from_bytes(encode_state(0, 0, COUNT_MAX))
    for x in (1.0, NAN, 0.0):
        s.add(x)
    assert decode_state(s.to_bytes()) == (2**UNIT_EXP, 1, COUNT_MAX)
    t = cls.from_bytes(encode_state(0, 0, COUNT_MAX - 2))
    t.merge(sum_of([1.0, 2.0, 3.0], cls))
    assert t.count() == COUNT_MAX


P53 = 2.0**53


@pytest.mark.parametrize("xs, expected", [
    ([0.1, 0.2], 0.30000000000000004),
    ([1e16, 1.0, -1e16], 1.0),
    ([P53, 1.0], P53),                            # tie, stays even
    ([P53, 3.0], P53 + 4),                        # tie, up to even
    ([-P53, -3.0], -P53 - 4),
    ([P53, 1.0, TINY], P53 + 2),                  # sticky bit 1074 places below the round bit
    ([P53, 1.0, -TINY], P53),
    ([2.0 - 2.0**-52, 2.0**-53], 2.0),            # carry into the next binade
    ([1e308, 1e308], INF),
    ([1e40], 1e40),                               # finite here, +inf for SumF32
    ([MAXF, 2.0**970], INF),                      # half an ulp over the top: tie to even overflows
    ([MAXF, 2.0**970, -TINY], MAXF),
    ([-MAXF, -2.0**970], -INF),
    ([-TINY], -TINY),
    ([MIN_NORMAL, -TINY], MIN_NORMAL - TINY),     # largest subnormal, exact
    ([MIN_NORMAL - TINY, TINY], MIN_NORMAL),
])
def test_sum_f64_rounding_examples(xs, expected):
    assert same_float(round_f64(exact_sum(xs)), expected)
    assert same_float(sum_of(xs).value(), expected) and same_float(sum_of(xs[::-1]).value(), expected)


@given(state_ints())
def test_value_of_any_decoded_integer_is_correctly_rounded(n):
    assert same_float(SumF64.from_bytes(encode_state(n)).value(), round_f64(Fraction(n, 2**UNIT_EXP)))


@given(state_ints(top=1210))
def test_sum_f32_value_of_any_decoded_integer_is_correctly_rounded(n):
    assert same_float(SumF32.from_bytes(encode_state(n)).value(), round_f32(Fraction(n, 2**UNIT_EXP)))


U150 = 2**(UNIT_EXP - 150)                       # 2**-150 in accumulator units
F32_CASES = {
    "-2^-150": (-U150, -0.0),                     # negative, rounds to zero: keeps the sign
    "2^-150": (U150, 0.0),
    "-2^-150-unit": (-U150 - 1, -F32_TINY),
    "1.5ulp": (3 * U150, 2 * F32_TINY),
    "2.5ulp": (5 * U150, 2 * F32_TINY),
    "carry-to-min-normal": (2**(UNIT_EXP - 126) - U150, 2.0**-126),
    "max+half-ulp": (2**(UNIT_EXP + 128) - 2**(UNIT_EXP + 103), INF),
    "max+under-half-ulp": (2**(UNIT_EXP + 128) - 2**(UNIT_EXP + 103) - 1, F32_MAX),
    "most-negative": (-2**(WIDTH - 1), -INF),
}


@pytest.mark.parametrize("n, value", F32_CASES.values(), ids=F32_CASES.keys())
def test_sum_f32_rounding_of_decoded_states(n, value):
    assert same_float(round_f32(Fraction(n, 2**UNIT_EXP)), value)
    assert same_float(SumF32.from_bytes(encode_state(n)).value(), value)


P24 = 2.0**24


@pytest.mark.parametrize("xs, expected, flag_byte", [
    ([P24, 1.0], P24, 0),
    ([P24, 3.0], P24 + 4, 0),
    ([P24 + 1], P24, 0),                          # the input is rounded to binary32 first
    ([2**24 + 3], P24 + 4, 0),
    ([0.1, 0.2], 0.30000001192092896, 0),
    ([F32_MAX, F32_MAX], INF, 0),                 # finite state, value overflows
    ([F32_MAX, 2.0**102], F32_MAX, 0),
    ([1e40], INF, 2),                             # input overflow adds +inf
    ([-1e40, 1.0], -INF, 4),
    ([F32_MAX + 2.0**103 - 2.0**80], F32_MAX, 0),
    ([2.0**-150], 0.0, 0),
    ([math.nextafter(2.0**-150, 1.0)], F32_TINY, 0),
])
def test_sum_f32_examples(xs, expected, flag_byte):
    s = sum_of(xs, SumF32)
    assert same_float(s.value(), expected)
    assert decode_state(s.to_bytes())[1:] == (flag_byte, len(xs))


@pytest.mark.parametrize("xs, limbs", [
    ([1.0], {16: 0x0004000000000000}),
    ([-1.0], {16: 0xFFFC000000000000, **{i: 2**64 - 1 for i in range(17, 34)}}),
    ([TINY], {0: 1}),
    ([-TINY], {i: 2**64 - 1 for i in range(34)}),
    ([MAXF], {31: 0xE000000000000000, 32: 0x0003FFFFFFFFFFFF}),
    ([MAXF] * 4, {31: 0x8000000000000000, 32: 0x000FFFFFFFFFFFFF}),
])
def test_limb_layout(xs, limbs):
    expected = bytearray(281)
    for i, v in limbs.items():
        struct.pack_into("<Q", expected, 8 * i, v)
    struct.pack_into("<Q", expected, 273, len(xs))
    assert sum_of(xs).to_bytes() == expected
    if all(to_f32(x) == x for x in xs):
        assert sum_of(xs, SumF32).to_bytes() == expected


def test_every_exponent_lands_on_the_right_bits():
    for bits in range(1, 0x7FF << 52, (1 << 52) - 1):      # every exponent, varied fractions
        for x in struct.unpack("<2d", struct.pack("<2Q", bits, bits | 1 << 63)):
            s = sum_of([x])
            assert decode_state(s.to_bytes())[0] == units([x]), x
            s.add(-x)
            assert decode_state(s.to_bytes())[0] == 0, x


def test_carry_and_borrow_runs_cross_every_limb():
    for k in range(2098):
        x = math.ldexp(1.0, k - UNIT_EXP)
        s = SumF64.from_bytes(encode_state(-1))   # all bits set: the carry runs to the top and is dropped
        s.add(x)
        assert decode_state(s.to_bytes())[0] == 2**k - 1, k
        s = SumF64()
        s.add(-x)                                 # the borrow runs to the top
        assert decode_state(s.to_bytes())[0] == -2**k, k
    s = SumF64.from_bytes(encode_state(2**(WIDTH - 1) - 1))
    s.add(TINY)                                   # arithmetic is modulo 2**2176
    assert decode_state(s.to_bytes())[0] == -2**(WIDTH - 1)
