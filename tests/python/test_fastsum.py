"""FastSumF64 must reach exactly the state of a SumF64 fed the same values, whatever the
split between add and extend and whatever the bank/fold schedule did on the way."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import MAXF as MAX, any_f64, encode_state, exact_sum
from varnix import FastSumF64, SumF64

INF, NAN = math.inf, math.nan
# Exponent field 2016: s mod 32 = 31, so the high increment is 2^52 - 1, the largest
# any value puts into one digit.  2048 of them fill a digit up to just below 2^63.
HEAVY = float.fromhex("0x1.fffffffffffffp+941")
SPECIALS = [0.0, -0.0, 5e-324, -5e-324, 2.0 ** -1022, MAX, -MAX, HEAVY, -HEAVY, 1.0, INF, -INF, NAN]


def sum_image(values):
    """281-byte encoding of a SumF64 fed `values`, built from exact rationals."""
    flags = any(map(math.isnan, values)) | 2 * (INF in values) | 4 * (-INF in values)
    return encode_state(int(exact_sum(values) * 2 ** 1074), flags, len(values))


def reference(values):
    s = SumF64()
    for x in values:
        s.add(x)
    return s.to_bytes()


def wide(rng, n, zeros=0.2):
    """Random bit patterns (every exponent, both signs, occasional NaN), with zeros and
    the special values mixed in."""
    xs = np.frombuffer(rng.bytes(8 * n), dtype="<f8").copy()
    xs[rng.random(n) < zeros] = 0.0
    picks = rng.random(n) < 0.05
    xs[picks] = rng.choice(SPECIALS, picks.sum())
    return xs


def state(fs):
    return fs.finish().to_bytes(), fs.count()


FLOATS = st.one_of(any_f64, st.floats(-1.0, 1.0), st.sampled_from(SPECIALS))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["add", "list", "tuple", "ndarray"]),
                          st.lists(FLOATS, max_size=24)), max_size=8))
def test_any_split_matches_sumf64(ops):
    fs, seen = FastSumF64(), []
    for how, chunk in ops:
        if how == "add":
            for x in chunk:
                fs.add(x)
        elif how == "list":
            fs.extend(list(chunk))
        elif how == "tuple":
            fs.extend(tuple(chunk))
        else:
            fs.extend(np.array(chunk, dtype=float))
        seen += chunk
        assert fs.count() == len(seen)
    assert fs.finish().to_bytes() == reference(seen) == sum_image(seen)


@pytest.mark.parametrize("n", [1, 3, 4, 5, 2047, 2048, 2049, 4095, 4096, 4097, 4097 + 511, 4097 + 512, 8193])
def test_extend_lengths_around_chunks_and_blocks(n):
    rng = np.random.default_rng(n)
    xs = wide(rng, n).tolist()
    fs = FastSumF64()
    fs.add(1.5)
    fs.extend(xs)
    assert state(fs) == (reference([1.5] + xs), n + 1)
    assert fs.finish().to_bytes() == sum_image([1.5] + xs)


@pytest.mark.parametrize("x", [MAX, -MAX, HEAVY, -HEAVY])
@pytest.mark.parametrize("how", ["add", "extend", "ndarray"])
def test_5000_copies_of_extreme_values(x, how):
    fs = FastSumF64()
    if how == "add":
        for _ in range(5000):
            fs.add(x)
    else:
        fs.extend([x] * 5000 if how == "extend" else np.full(5000, x))
    expected = reference([x] * 5000)
    assert expected == sum_image([x] * 5000)
    assert state(fs) == (expected, 5000)
    assert fs.finish().value() == x * 5000  # one exact-then-rounded product


@pytest.mark.parametrize("x", [HEAVY, -HEAVY])
@pytest.mark.parametrize("n", [0, 1, 4096, 4097, 8192, 8193, 16387])
def test_pending_adds_then_long_extend_of_heaviest_value(x, n):
    """511 pending adds, then an extend, then more adds: no digit may overflow."""
    fs = FastSumF64()
    for _ in range(511):
        fs.add(x)
    fs.extend([x] * n)
    for _ in range(1100):
        fs.add(x)
    assert state(fs) == (sum_image([x] * (1611 + n)), 1611 + n)


def test_finish_is_exact_after_every_add():
    rng = np.random.default_rng(1)
    xs = wide(rng, 1100).tolist()
    xs[::3] = [HEAVY] * len(xs[::3])
    fs, ref = FastSumF64(), SumF64()
    for i, x in enumerate(xs):
        fs.add(x)
        ref.add(x)
        assert fs.finish().to_bytes() == ref.to_bytes(), i
    assert fs.count() == 1100


def test_extend_empty_keeps_pending_values():
    """An empty extend must neither drop nor forget the values pending from add: seven
    rounds of 511 heaviest adds overflow a digit unless they are folded on schedule."""
    fs, n = FastSumF64(), 0
    for _ in range(7):
        for _ in range(511):
            fs.add(HEAVY)
        n += 511
        before = state(fs)
        fs.extend([])
        fs.extend(())
        fs.extend(np.empty(0))
        assert state(fs) == before
    assert state(fs) == (sum_image([HEAVY] * n), n)


def test_new_object_finishes_empty():
    done = FastSumF64().finish()
    assert type(done) is SumF64
    assert done.to_bytes() == SumF64().to_bytes() == bytes(281)
    assert FastSumF64().count() == 0


def test_finish_never_changes_the_object():
    fs = FastSumF64()
    for x in [1.0, NAN, 2.5]:
        fs.add(x)
    fs.extend([3.0] * 10)
    first = fs.finish()
    snapshot = first.to_bytes()
    assert fs.finish().to_bytes() == snapshot
    assert fs.count() == 13
    fs.add(INF)
    fs.extend([-INF, 0.25])
    assert state(fs) == (sum_image([1.0, NAN, 2.5] + [3.0] * 10 + [INF, -INF, 0.25]), 16)
    assert first.to_bytes() == snapshot  # earlier results are independent objects
    first.add(7.0)
    assert fs.count() == 16
    assert math.isnan(fs.finish().value())


@pytest.mark.parametrize("arg, exc, msg", [
    ("123", TypeError, "argument 'xs': Can't extract `str` to `Vec`"),
    ({1.0}, TypeError, "argument 'xs': 'set' object cannot be converted to 'Sequence'"),
    (None, TypeError, "argument 'xs': 'NoneType' object cannot be converted to 'Sequence'"),
    (2.0, TypeError, "argument 'xs': 'float' object cannot be converted to 'Sequence'"),
    ([1.0, "a"], TypeError, "argument 'xs': must be real number, not str"),
    ([1.0] * 5000 + [None], TypeError, "argument 'xs': must be real number, not NoneType"),
    ([1.0, 10 ** 400], OverflowError, None),
])
def test_extend_conversion_errors_add_nothing(arg, exc, msg):
    fs = FastSumF64()
    fs.add(1.5)
    fs.extend([2.0, 3.0])
    before = state(fs)
    with pytest.raises(exc) as info:
        fs.extend(arg)
    if msg is not None:
        assert str(info.value) == msg
    assert state(fs) == before


def test_generators_are_rejected():
    fs = FastSumF64()
    with pytest.raises(TypeError) as info:
        fs.extend(x for x in [1.0, 2.0])
    assert str(info.value) == "argument 'xs': 'generator' object cannot be converted to 'Sequence'"
    assert fs.count() == 0


def test_add_conversion_errors():
    fs = FastSumF64()
    with pytest.raises(TypeError) as info:
        fs.add("a")
    assert str(info.value) == "argument 'x': must be real number, not str"
    with pytest.raises(OverflowError):
        fs.add(10 ** 400)
    assert state(fs) == (bytes(281), 0)


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("arg, values", [
    (b"\x01\x02", [1.0, 2.0]),
    (bytearray(b"\x03"), [3.0]),
    (range(4), [0.0, 1.0, 2.0, 3.0]),
    ((0.5, True, Floaty()), [0.5, 1.0, 2.5]),
])
def test_extend_accepts_sequences(arg, values):
    fs = FastSumF64()
    fs.extend(arg)
    assert state(fs) == (sum_image(values), len(values))


def test_large_wide_range_array_matches_sumf64():
    rng = np.random.default_rng(5)
    xs = wide(rng, 10 ** 5)
    fs = FastSumF64()
    fs.extend(xs.tolist())
    expected = reference(xs.tolist())
    assert state(fs) == (expected, 10 ** 5)
    fs2 = FastSumF64()
    fs2.extend(xs)
    assert fs2.finish().to_bytes() == expected


@pytest.mark.parametrize("seed", range(3))
def test_large_random_splits(seed):
    rng = np.random.default_rng(100 + seed)
    fs, seen = FastSumF64(), []
    for size in rng.choice([0, 1, 3, 511, 512, 513, 2048, 4096, 4097, 6000], size=8):
        chunk = wide(rng, int(size), zeros=rng.random())
        how = rng.integers(3)
        if how == 0:
            for x in chunk.tolist():
                fs.add(x)
        else:
            fs.extend(chunk if how == 1 else chunk.tolist())
        seen += chunk.tolist()
    assert state(fs) == (reference(seen), len(seen))


def test_million_finite_values_match_fsum():
    rng = np.random.default_rng(9)
    n = 10 ** 6
    xs = rng.standard_normal(n) * np.exp2(rng.integers(-300, 300, n))
    xs[n // 2:] = -rng.permutation(xs[: n // 2])  # cancel the big ones, leave the rest
    xs[::1000] = rng.standard_normal(n // 1000) * 1e-300
    fs = FastSumF64()
    fs.extend(xs)
    got = fs.finish().value()
    assert got == math.fsum(xs)
    assert got != 0.0
    fs2 = FastSumF64()
    fs2.extend(xs.tolist())
    assert fs2.finish().to_bytes() == fs.finish().to_bytes()
