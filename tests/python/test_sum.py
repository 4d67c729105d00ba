"""Exact sums of values (SumF64, SumF32) and of products (DotF64, dot: each pair adds its rounded product p and the
residual a*b - p; a flag marks a product below 2**-1022 or not a multiple of 2**-1074)."""
import hashlib
import math
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import (COUNT_MAX, F32, F32_MAX, F64, INF, MAXF, MIN_NORMAL, NAN, TINY, UNIT, any_f64, bits, counts,
                      dot_parts, encode_state, expected_value, f32, flagged_value, round_to, state_ints, sum_image)
from oracles import canon, dot_acc, encode_accs, outcome, run, sum_acc
from varnix import CovF64, DotF64, MomentsF64, SumF32, SumF64, dot

# per class: the values to add, the input conversion, the value's format, decodable state integers
KIND = {SumF64: (any_f64, float, F64, state_ints()),
        SumF32: (st.floats(width=32) | any_f64, f32, F32, state_ints(24, 1210))}
LOST = "ExactnessLost"
P53, P24, U150 = 2.0**53, 2.0**24, 2**(1074 - 150)       # U150: 2**-150 in units
A30, A, B = 1 + 2.0**-30, float.fromhex("0x1.d7210076ce2efp-500"), float.fromhex("0x1.c6a5377330bdbp-500")
VALUES = st.one_of(st.floats(), st.floats(-1e3, 1e3), st.sampled_from([0.0, -0.0, INF, -INF, NAN, MAXF, -MAXF,
                                                                         5e-324, MIN_NORMAL, 2.0**-511]),
                   st.builds(math.ldexp, st.integers(2**52, 2**53 - 1) | st.integers(1 - 2**53, -2**52),
                             st.integers(-597, -522)))    # products near the smallest normal, often flagged


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


@pytest.mark.parametrize("cls, xs, value", [             # xs: values to add, or an int: a decoded state
    (SumF64, [P53, 1.0], P53),                           # ties to even: stays
    (SumF64, [P53, 3.0], P53 + 4),                       # ties to even: goes up
    (SumF64, [P53, 1.0, TINY], P53 + 2),                 # a sticky bit 1074 places below the round bit
    (SumF64, [2.0 - 2.0**-52, 2.0**-53], 2.0),           # rounding carries into the next binade
    (SumF64, [MAXF, 2.0**970], INF),                     # largest finite + half an ulp: the tie overflows
    (SumF64, [MAXF, 2.0**970, -TINY], MAXF),
    (SumF32, [P24 + 1], P24),                            # each input is rounded to binary32 first: a tie
    (SumF32, -U150, -0.0),                               # a negative sum rounding to zero keeps its sign
    (SumF32, 2**1202 - 2**1177, INF),                    # largest binary32 + half an ulp: the tie overflows
    (SumF32, 2**1202 - 2**1177 - 1, F32_MAX),
])
def test_worked_rounding(cls, xs, value):
    conv, fmt = KIND[cls][1:3]
    s = cls.from_bytes(encode_state(xs)) if isinstance(xs, int) else run(cls, [("add", x) for x in xs])
    exact = Fraction(xs, UNIT) if isinstance(xs, int) else sum(Fraction(conv(x)) for x in xs)
    assert bits(s.value()) == bits(value) == bits(round_to(exact, *fmt))


@pytest.mark.parametrize("x, limbs", [              # 34 limbs by hand, then flags 0 and count 1
    (TINY, {0: 1}), (-1.0, {16: 2**64 - 2**50, **dict.fromkeys(range(17, 34), 2**64 - 1)}),
    (MAXF, {31: 0xE000000000000000, 32: 0x0003FFFFFFFFFFFF})])
def test_encoding_layout(x, limbs):
    image = b"".join(limbs.get(i, 0).to_bytes(8, "little") for i in range(34)) + b"\0\1" + bytes(7)
    assert image == sum_image([x]) == run(SumF64, [("add", x)]).to_bytes()


def model(xs, ys):
    """(state hash, value or LOST) of a DotF64 fed the pairs (xs[i], ys[i])."""
    parts, lost = dot_parts(zip(xs, ys))
    return hashlib.sha256(sum_image(parts) + bytes([lost])).digest(), canon(LOST if lost else expected_value(parts))


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
    ([-1e200, INF], [1e200, -2.0], -INF),                # an overflowing product, an infinite factor
    ([1e200, -1e200], [1e200, 1e200], NAN),              # opposite infinite products
    ([NAN, 1e-200], [1.0, 1e-200], LOST),                # the flag outranks NaN
])
def test_worked_examples(xs, ys, expected):
    d = run(DotF64, [("extend", xs, ys)])
    assert outcome(lambda: dot(xs, ys)) == outcome(d.value) == canon(expected) == model(xs, ys)[1]
    assert d.state_hash() == model(xs, ys)[0]    # value() released its borrow, even when it raised


@settings(max_examples=15, deadline=None)
@given(n=st.sampled_from([1, 64, 65, 1100, 2100]), rnd=st.randoms(use_true_random=False))
def test_adds_wait_in_runs_that_every_read_sees(n, rnd):
    """SumF64, MomentsF64 and CovF64 hold adds back in runs of 64 calls and banks folded after 1024 calls; any other
    use (a method, a merge into or from it) takes them in first: the state is the model's whatever the reads."""
    pool = [0.0, -0.0, INF, -INF, NAN, MAXF, -MAXF, TINY, MIN_NORMAL, 2.0**-511, 1.5]
    xs, ys = ([rnd.choice(pool) if rnd.random() < 0.2 else math.ldexp(rnd.uniform(-1, 1), rnd.randint(-1074, 1023))
               for _ in range(n)] for _ in range(2))
    sums, dots = [sum_acc(xs), sum_acc(ys)], [dot_acc(zip(a, b)) for a, b in ((xs, xs), (ys, ys), (xs, ys))]
    images = {SumF64: encode_accs(sums[:1]), MomentsF64: encode_accs(sums[:1] + dots[:1]),
              CovF64: encode_accs(sums + dots)}
    for cls, image in images.items():
        s = cls()
        for i, (x, y) in enumerate(zip(xs, ys)):
            s.add(x, y) if cls is CovF64 else s.add(x)
            read, t = rnd.randrange(100), cls()
            if read == 0:
                assert s.count() == i + 1
            elif read == 1:
                t.merge(s)                        # s borrowed as the argument
                assert t.to_bytes() == s.to_bytes()
            elif read == 2:
                s.merge(t)                        # an empty state merged into s
        assert s.to_bytes() == image and s.count() == n
