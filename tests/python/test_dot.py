"""DotF64 and dot: each pair adds its rounded product p and the residual a*b - p to an exact sum; a flag
records a pair whose exact product is not a multiple of 2**-1074 or whose product is below 2**-1022."""
import hashlib
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import INF, MAXF, MIN_NORMAL, NAN, dot_parts, expected_value, sum_image
from oracles import canon, outcome, run
from varnix import DotF64, dot

LOST = "ExactnessLost"
A30, A, B = 1 + 2.0**-30, float.fromhex("0x1.d7210076ce2efp-500"), float.fromhex("0x1.c6a5377330bdbp-500")


def model(xs, ys):
    """(state hash, value or LOST) of a DotF64 fed the pairs (xs[i], ys[i])."""
    parts, lost = dot_parts(zip(xs, ys))
    return hashlib.sha256(sum_image(parts) + bytes([lost])).digest(), canon(LOST if lost else expected_value(parts))


VALUES = st.one_of(st.floats(), st.floats(-1e3, 1e3), st.sampled_from([0.0, -0.0, INF, -INF, NAN, MAXF, -MAXF,
                                                                         5e-324, MIN_NORMAL, 2.0**-511]),
                   st.builds(math.ldexp, st.integers(2**52, 2**53 - 1) | st.integers(1 - 2**53, -2**52),
                             st.integers(-597, -522)))    # products near the smallest normal, often flagged


@settings(max_examples=300)
@given(st.lists(st.tuples(VALUES, VALUES), max_size=12), st.randoms(use_true_random=False))
def test_exact_model_in_any_order_and_grouping(pairs, rnd):
    xs, ys = [a for a, _ in pairs], [b for _, b in pairs]
    digest, value = model(xs, ys)
    k = rnd.randint(0, len(pairs))                # the first k pairs pushed, the rest extended in three slices
    ops = [("push", a, b) for a, b in pairs[:k]] + [("extend", xs[k + i::3], ys[k + i::3]) for i in range(3)]
    d = run(DotF64, ops, rnd)                     # shuffled over objects merged in a random grouping
    assert d.state_hash() == digest and outcome(d.value) == outcome(lambda: dot(xs, ys)) == value


@pytest.mark.parametrize("xs, ys, expected", [
    ([A30, -1.0], [A30, A30 * A30], 2.0**-60),           # the residual of a rounded product
    ([MIN_NORMAL], [0.5], LOST),                         # exact, but below 2**-1022
    ([A, A, -1.0, -1.0], [B, B, A * B, A * B], LOST),    # a normal product whose residual is below 2**-1074
    ([2.0**-511], [2.0**-511], MIN_NORMAL),              # exact at the smallest normal: not flagged
    ([0.0, -1e-320], [1e-320, 0.0], 0.0),                # a zero factor: not flagged
    ([-1e200, INF], [1e200, -2.0], -INF),                # an overflowing product, an infinite factor
    ([1e200, -1e200], [1e200, 1e200], NAN),
    ([0.0], [INF], NAN),
    ([NAN, 1e-200], [1.0, 1e-200], LOST),                # the flag outranks NaN
])
def test_worked_examples(xs, ys, expected):
    d = DotF64()
    d.extend(xs, ys)
    assert outcome(lambda: dot(xs, ys)) == outcome(d.value) == canon(expected) == model(xs, ys)[1]
    d.push(0.0, 1.0)                              # value() released its borrow, even when it raised
    assert d.state_hash() == model(xs + [0.0], ys + [1.0])[0]


def test_unequal_lengths_panic_and_change_nothing():
    d = DotF64()
    d.push(3.0, 1e-200)
    for call, xs, ys in [(d.extend, [1.0], [1.0, 2.0]), (dot, [1.0, 2.0], [1.0]), (d.extend, [], [5.0, 6.0, 7.0])]:
        with pytest.raises(BaseException) as info:
            call(xs, ys)
        assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
        assert str(info.value) == ("assertion `left == right` failed: dot product requires equal-length slices"
                                   f"\n  left: {len(xs)}\n right: {len(ys)}")
    assert d.state_hash() == model([3.0], [1e-200])[0]
