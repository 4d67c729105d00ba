"""ExtremaF64: minimum and maximum in the IEEE 754 total order, NaN poisoning, the 25-byte encoding."""
import hashlib
import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import COUNT_MAX, INF, MAXF, NAN, any_f64, bits
from test_hist import NAN_PAYLOADS, UNDEFINED, key, raises_undefined
from varnix import ExtremaF64


def image(lo, hi, flags, count):
    return struct.pack("<ddBQ", lo, hi, flags, count)


def extrema_of(xs):
    e = ExtremaF64()
    for x in xs:
        e.add(x)
    return e


@given(xs=st.lists(any_f64 | st.sampled_from(NAN_PAYLOADS + [0.0, -0.0, INF, -INF]), max_size=30),
       rnd=st.randoms(use_true_random=False))
def test_extremes_in_the_total_order_in_any_order(xs, rnd):
    values = sorted((x for x in xs if not math.isnan(x)), key=key)
    poisoned = len(values) < len(xs)
    lo, hi = (values[0], values[-1]) if values else (0.0, 0.0)
    want = image(lo, hi, poisoned | 2 * bool(values), len(xs))
    for _ in range(2):
        e = extrema_of(xs)
        assert e.to_bytes() == want and e.state_hash() == hashlib.sha256(want).digest()
        assert ExtremaF64.from_bytes(want).to_bytes() == want
        rnd.shuffle(xs)
    if poisoned or not values:
        assert all(raises_undefined(f) for f in (e.min, e.max, e.range))
    else:
        span = hi - lo if lo != hi or math.isfinite(lo) else NAN       # the one NaN of every machine: 0x7FF8...0
        assert [bits(v) for v in (e.min(), e.max(), e.range())] == [bits(v) for v in (lo, hi, span)]


@pytest.mark.parametrize("xs, lo, hi, span, flags", [
    ([0.0, -0.0], -0.0, 0.0, 0.0, 2), ([-0.0, 0.0], -0.0, 0.0, 0.0, 2),
    ([3.0, -2.0, 7.5], -2.0, 7.5, 9.5, 2),
    ([INF], INF, INF, NAN, 2), ([-INF, -INF], -INF, -INF, NAN, 2), ([-INF, 5.0, INF], -INF, INF, INF, 2),
    ([-1e308, 1e308], -1e308, 1e308, INF, 2), ([-MAXF, MAXF], -MAXF, MAXF, INF, 2),
    ([1.0, NAN, 2.0], 1.0, 2.0, None, 3), ([NAN], 0.0, 0.0, None, 1), ([-NAN, NAN], 0.0, 0.0, None, 1),
    ([], 0.0, 0.0, None, 0),
])
def test_worked_extremes(xs, lo, hi, span, flags):
    e = extrema_of(xs)
    assert e.to_bytes() == image(lo, hi, flags, len(xs))
    if span is None:
        assert all(raises_undefined(f) for f in (e.min, e.max, e.range))
    else:
        assert [bits(v) for v in (e.min(), e.max(), e.range())] == [bits(v) for v in (lo, hi, span)]


@pytest.mark.parametrize("b, message", [
    (bytes(24), "wrong byte length"), (bytes(26), "wrong byte length"),
    (image(0.0, 0.0, 4, 0), UNDEFINED), (image(0.0, 0.0, 0xFF, 1), UNDEFINED),
    (image(1.0, 0.0, 0, 1), UNDEFINED), (image(0.0, -0.0, 1, 1), UNDEFINED),    # extremes without a value
])
def test_rejected_encodings(b, message):
    with pytest.raises(ValueError) as e:
        ExtremaF64.from_bytes(b)
    assert str(e.value) == message


def test_decoded_states_as_stored():
    nan_min, inverted = image(NAN, 1.0, 2, 5), image(2.0, -1.0, 2, 2)      # accepted as stored
    got = (ExtremaF64.from_bytes(inverted).range(), ExtremaF64.from_bytes(nan_min).max(),
           ExtremaF64.from_bytes(image(1.0, -NAN, 2, 1)).range())
    assert [bits(v) for v in got] == [bits(-3.0), bits(1.0), bits(NAN)]
    e = ExtremaF64.from_bytes(b=image(-1.0, 1.0, 2, COUNT_MAX))
    for x in (0.5, -2.0, NAN):                                                # the count saturates
        e.add(x)
    assert e.to_bytes() == image(-2.0, 1.0, 3, COUNT_MAX)
    with pytest.raises(TypeError) as err:
        ExtremaF64.from_bytes(bytearray(25))
    assert str(err.value) == "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"
    fresh = ExtremaF64()
    with pytest.raises(TypeError):
        fresh.add("1.0")
    assert fresh.to_bytes() == bytes(25)                                      # a failed conversion counts nothing
