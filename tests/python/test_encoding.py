"""The 281-byte state encoding of SumF64/SumF32 and its SHA-256 state hash."""
import hashlib
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from varnix import SumF32, SumF64
from conftest import (COUNT_MAX, INF, NAN, UNIT_EXP, any_f64, decode_state, encode_state, round_f32,
                      round_f64, same_float, sum_of, valid_encodings)

CLASSES = [SumF64, SumF32]


@pytest.mark.parametrize("cls", CLASSES)
@given(b=valid_encodings)
def test_decode_encode_round_trip_and_hash(cls, b):
    s = cls.from_bytes(b)
    assert type(s.to_bytes()) is bytes and s.to_bytes() == b
    n, flags, count = decode_state(b)
    assert s.count() == count
    h = s.state_hash()
    assert type(h) is bytes and h == hashlib.sha256(b).digest()
    if flags & 1 or flags & 6 == 6:
        expected = NAN
    elif flags:
        expected = INF if flags == 2 else -INF
    else:
        expected = (round_f32 if cls is SumF32 else round_f64)(Fraction(n, 2**UNIT_EXP))
    assert same_float(s.value(), expected)


@pytest.mark.parametrize("src, dst", [(SumF64, SumF64), (SumF32, SumF32), (SumF64, SumF32), (SumF32, SumF64)])
@given(xs=st.lists(any_f64, max_size=20))
def test_built_states_round_trip_within_and_across_classes(src, dst, xs):
    s = sum_of(xs, src)
    t = dst.from_bytes(s.to_bytes())
    assert type(t) is dst and t.to_bytes() == s.to_bytes()
    assert (t.count(), t.state_hash()) == (len(xs), hashlib.sha256(s.to_bytes()).digest())
    assert s.state_hash() == t.state_hash()
    if src is dst:
        assert same_float(t.value(), s.value())
    t.add(1.0)                                    # decoded objects are independent
    assert s.count() == len(xs)


@pytest.mark.parametrize("cls", CLASSES)
def test_rejected_encodings(cls):
    for length in (0, 1, 280, 282, 562):
        with pytest.raises(ValueError) as e:
            cls.from_bytes(bytes(length))
        assert str(e.value) == "wrong byte length"
    for flag_byte in (0x08, 0x09, 0x10, 0x80, 0xFF):
        with pytest.raises(ValueError) as e:
            cls.from_bytes(encode_state(1, flag_byte, 1))
        assert str(e.value) == "undefined (insufficient data or invalid input)"
    for arg, tname in [(bytearray(281), "bytearray"), (memoryview(bytes(281)), "memoryview"),
                       ("\0" * 281, "str"), (None, "NoneType")]:
        with pytest.raises(TypeError) as e:
            cls.from_bytes(arg)
        assert str(e.value) == f"argument 'b': '{tname}' object cannot be converted to 'PyBytes'"


@pytest.mark.parametrize("cls", CLASSES)
def test_unusual_but_valid_encodings(cls):
    top = bytes(264) + (0x7FFFFFFFFFFFFFFF).to_bytes(8, "little")      # limb 33, unreachable by adds
    assert cls.from_bytes(top + bytes(9)).value() == INF
    assert cls.from_bytes(bytes(264) + (2**63).to_bytes(8, "little") + bytes(9)).value() == -INF
    s = cls.from_bytes(top + bytes([7]) + b"\xff" * 8)
    assert s.count() == COUNT_MAX and same_float(s.value(), NAN)
    assert s.state_hash() == hashlib.sha256(s.to_bytes()).digest()
    b = encode_state(2**UNIT_EXP, 0, 1)
    assert cls.from_bytes(type("B", (bytes,), {})(b)).to_bytes() == b   # bytes subclasses are accepted


def test_state_hash_worked_values():
    assert SumF64().state_hash() == hashlib.sha256(bytes(281)).digest()
    one = bytearray(281)
    one[134], one[273] = 0x04, 0x01
    assert sum_of([1.0], SumF32).state_hash() == hashlib.sha256(one).digest()
