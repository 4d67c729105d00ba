"""ExtremaF64: minimum and maximum in the IEEE 754 total order, NaN poisoning, the 25-byte encoding."""
import hashlib
import math
import struct

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import COUNT_MAX, INF, MAXF, NAN, any_f64, bits
from test_hist import NAN_PAYLOADS, UNDEFINED, key, raises_undefined
from varnix import ExtremaF64


def image(lo, hi, flags, count):
    return struct.pack("<ddBQ", lo, hi, flags, count)


@given(xs=st.lists(any_f64 | st.sampled_from(NAN_PAYLOADS + [0.0, -0.0, INF, -INF]), max_size=30),
       rnd=st.randoms(use_true_random=False))
@example(xs=[0.0, -0.0], rnd=None).via("-0.0 below +0.0")
@example(xs=[3.0, -2.0, 7.5], rnd=None).via("worked")
@example(xs=[INF, INF], rnd=None).via("inf - inf")
@example(xs=[-MAXF, MAXF], rnd=None).via("overflowing range")
@example(xs=[1.0, NAN, 2.0], rnd=None).via("poisoned")
@example(xs=[], rnd=None).via("empty")
def test_extremes_in_the_total_order_in_any_order(xs, rnd):
    values = sorted((x for x in xs if not math.isnan(x)), key=key)
    poisoned = len(values) < len(xs)
    lo, hi = (values[0], values[-1]) if values else (0.0, 0.0)
    want = image(lo, hi, poisoned | 2 * bool(values), len(xs))
    for order in (xs, xs[::-1], (rnd.sample(xs, len(xs)) if rnd else sorted(xs, key=key))):
        e = ExtremaF64()
        for x in order:
            e.add(x=x)
        assert e.to_bytes() == want and e.state_hash() == hashlib.sha256(want).digest()
        assert ExtremaF64.from_bytes(want).to_bytes() == want
    if poisoned or not values:
        assert all(raises_undefined(f) for f in (e.min, e.max, e.range))
    else:                                         # inf - inf gives the one NaN of every machine, 0x7FF8...0
        span = hi - lo if lo != hi or math.isfinite(lo) else NAN
        assert [bits(v) for v in (e.min(), e.max(), e.range())] == [bits(v) for v in (lo, hi, span)]


@pytest.mark.parametrize("b, message", [
    (bytes(24), "wrong byte length"), (bytes(26), "wrong byte length"), (image(0.0, 0.0, 4, 0), UNDEFINED),
    (image(1.0, 0.0, 0, 1), UNDEFINED), (image(0.0, -0.0, 1, 1), UNDEFINED),    # extremes without a value
])
def test_rejected_encodings(b, message):
    with pytest.raises(ValueError) as e:
        ExtremaF64.from_bytes(b)
    assert str(e.value) == message


def test_decoded_states_as_stored():
    got = [ExtremaF64.from_bytes(b=image(*args)).range() for args in [(2.0, -1.0, 2, 2), (1.0, -NAN, 2, 1)]]
    assert [bits(v) for v in got] == [bits(-3.0), bits(NAN)]                 # min above max, NaN extreme
    e = ExtremaF64.from_bytes(image(-1.0, 1.0, 2, COUNT_MAX))
    for x in (0.5, -2.0, NAN):                                                # the count saturates
        e.add(x)
    assert e.to_bytes() == image(-2.0, 1.0, 3, COUNT_MAX)
    fresh = ExtremaF64()
    with pytest.raises(TypeError):
        fresh.add("1.0")
    assert fresh.to_bytes() == bytes(25)                                      # a failed conversion counts nothing
