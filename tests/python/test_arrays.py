"""varnix_arrays: every bulk constructor leaves the state that adding the values one by one leaves, for every
dtype, byte order and stride, with and without skipna; byte-state merges are order independent; pickling is
opt-in."""
import hashlib
import math
import pickle
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import varnix
import varnix_arrays as va
from conftest import COUNT_MAX, any_f64
from oracles import UNDEFINED, extrema_image, histogram_image, outcome, run
from varnix_arrays import _native

EDGES = [-1e300, -2.5, -0.0, 0.0, 1.0, 2.0**70]
# (bulk constructor, class, arity); a histogram counts NaNs, so skipna leaves nothing out of it
BULK = [(va.sum, varnix.SumF64, 1), (va.moments, varnix.MomentsF64, 1), (va.moments4, varnix.Moments4F64, 1),
        (va.extrema, varnix.ExtremaF64, 1), (lambda x, skipna=False: va.histogram(x, EDGES), None, 1),
        (va.cov, varnix.CovF64, 2), (va.weighted_moments, varnix.WeightedMomentsF64, 2)]
DTYPES = ["f2", "f4", "f8", "g", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?"]
PART = 2**16   # the fewest values a thread takes: n values run on min(threads, n // PART) threads
GOOD_H = histogram_image([0.0, 1.0], [1, 2, 3], 0)


def image(state):
    return state if isinstance(state, bytes) else state.encode() if hasattr(state, "encode") else state.to_bytes()


def nan_in(row):
    return any(nan_in(v) if isinstance(v, list) else isinstance(v, float) and math.isnan(v) for v in row)


def one_by_one(cls, rows, skipna, push="add"):
    """cls fed the rows one call each; with skipna, rows holding a NaN are left out (a histogram takes all)."""
    keep = [r for r in rows if cls is None or not (skipna and nan_in(r))]
    return run(cls or (lambda: varnix.HistogramF64(EDGES)), [(push, *r) for r in keep])


def bulk_is_one_by_one(x, y, skipna):
    """Asserts that each bulk constructor fed x (and y) leaves the state of one call per value; gives x's floats."""
    xv, yv = [float(v) for v in x], [float(v) for v in y]
    for bulk, cls, arity in BULK:
        rows = list(zip(xv, yv)) if arity == 2 else [(v,) for v in xv]
        assert image(bulk(*(x, y)[:arity], skipna=skipna)) == image(one_by_one(cls, rows, skipna))
    dot, state = one_by_one(varnix.DotF64, list(zip(xv, yv)), skipna, "push"), va.dot_state(x, y, skipna=skipna)
    assert hashlib.sha256(state).digest() == dot.state_hash()
    assert outcome(lambda: va.dot_value(state)) == outcome(dot.value)
    return xv


@st.composite
def columns(draw, n):
    """A 1-D numpy array of n values of any dtype and byte order (long double native only), strided either way."""
    kind, step = np.dtype(draw(st.sampled_from(DTYPES))), draw(st.sampled_from([1, 2, -1, -3]))
    values = st.integers(int(np.iinfo(kind).min), int(np.iinfo(kind).max)) if kind.kind in "iu" else \
        st.booleans() if kind.kind == "b" else any_f64     # floats of every binade, NaN and inf, cast
    with np.errstate(over="ignore", invalid="ignore"):
        base = np.array(draw(st.lists(values, min_size=n, max_size=n)),
                        dtype=kind if kind.char == "g" else kind.newbyteorder(draw(st.sampled_from("<>"))))
    return np.repeat(base, abs(step))[:: abs(step)] if step > 0 else np.repeat(base[::-1], abs(step))[::step]


@given(st.data(), st.booleans(), st.integers(0, 40), st.integers(0, 4))
def test_bulk_states_are_the_one_by_one_states(data, skipna, n, d):
    x, y = data.draw(columns(n)), data.draw(columns(n))
    xv = bulk_is_one_by_one(x, y, skipna)
    keys = data.draw(st.lists(st.sampled_from(["a", "b", "é", "aa", ""]), min_size=n, max_size=n))
    for bulk, cls in [(va.sum_by_key, varnix.SumMap), (va.moments_by_key, varnix.MomentsMap)]:
        want, half = one_by_one(cls, list(zip(keys, xv)), skipna).encode(), n // 2
        assert bulk(np.array(keys, dtype=str) if keys else keys, x, skipna=skipna).encode() == want
        parts = [bulk(keys[half:], xv[half:], skipna=skipna), bulk(keys[:half], xv[:half], skipna=skipna)]
        assert va.merge_all(parts).encode() == want
    # cov_matrix: X (n by d) in any memory layout, or as a list of rows, against one add per row
    flat = data.draw(columns(n * d)).reshape(n, d)
    layout = data.draw(st.sampled_from(["C", "F", "transposed", "list"] if n and d else ["C"]))  # [] has no width
    X = {"C": flat, "F": np.asfortranarray(flat), "transposed": flat.T.copy().T, "list": flat.tolist()}[layout]
    grid = [([float(v) for v in row], float(v)) for row, v in zip(flat, y)]
    want = one_by_one(lambda: varnix.CovMatrixF64(d), grid, skipna)
    assert va.cov_matrix(X, y, skipna=skipna).encode() == want.encode()


def test_long_and_other_columns():
    rng = np.random.default_rng(9000)       # values of many scales, every 97th a NaN, over several bulk blocks
    x = np.ldexp(rng.random(9000) - 0.5, rng.integers(-80, 80, 9000))
    x[::97] = np.nan
    for col, skipna in [((1, True), False), (np.array([7, 0.5], dtype=object), True), (memoryview(b"\x01\xff"), False),
                        (memoryview(np.array([3.0, -1.0])), False), (x[:2047], False), (x[:2049], False),
                        (x, False), (np.repeat(x[:2049], 2)[::2], True), (x.astype(">f8"), True)]:
        bulk_is_one_by_one(col, col[::-1], skipna)


@pytest.mark.parametrize("n", [2 * PART - 1, 2 * PART, 3 * PART + 1, 7 * PART + 5])
def test_states_do_not_depend_on_the_number_of_threads(n):
    rng = np.random.default_rng(n)     # exponents across the whole range, subnormals, NaNs and one infinity
    x = np.copysign(np.ldexp(rng.random(n), rng.integers(-1076, 1000, n)), rng.random(n) - 0.5)
    y = np.ldexp(rng.standard_normal(n), rng.integers(-30, 30, n))
    x[::3001], y[7::5003], finite = np.nan, np.nan, x[np.isfinite(x)]
    calls = [lambda t, f=f, k=k: image(f(*(x, y)[:k], skipna=s, threads=t)) for f, _, k in BULK[:4] + BULK[5:]
             for s in (False, True)] + [
        lambda t: va.histogram(y[::-2].astype("f4"), EDGES, threads=t).encode(),     # read through conversion
        lambda t: va.dot_state(x, y, skipna=True, threads=t),
        lambda t: va.cov_matrix(np.stack([x, y[::-1]], 1)[: n // 2], y[: n // 2], skipna=True, threads=t).encode()]
    pa = pytest.importorskip("pyarrow")       # parts that start and end inside Arrow chunks, nulls in each
    cuts = sorted({0, 5, PART + 3, n // 2, n})
    chunked = pa.chunked_array([pa.array(x[a:b], mask=np.arange(a, b) % 997 == 0) for a, b in zip(cuts, cuts[1:])])
    calls += [lambda t: image(va.sum(chunked, skipna=True, threads=t)),
              lambda t: image(va.cov(chunked, y, skipna=True, threads=t)),
              lambda t: va.cov_matrix(np.stack([y, x], 1), chunked, skipna=True, threads=t).encode()]
    assert image(va.sum(chunked, skipna=True)) == image(va.sum(np.where(np.arange(n) % 997 == 0, np.nan, x), skipna=True))
    for call in calls:
        assert len({call(t) for t in (1, 2, 3, 7)}) == 1
    assert va.sum(finite, threads=3).value() == math.fsum(finite)
    # the module's own bulk paths split across every usable CPU
    whole, d, z = varnix.FastSumF64(), varnix.DotF64(), np.nan_to_num(y)[: len(finite)]
    whole.extend(finite)
    d.extend(finite, z)
    assert whole.finish().to_bytes() == va.sum(finite, threads=1).to_bytes()
    assert d.state_hash() == hashlib.sha256(va.dot_state(finite, z, threads=1)).digest()
    assert outcome(lambda: varnix.dot(finite, z)) == outcome(d.value)


@pytest.mark.parametrize("call, message", [      # TypeError: the argument's type is refused, with any message
    *[(lambda f=f: f([1.0], [1.0, 2.0]), "x and y differ in length") for f in (va.dot_state, va.cov,
                                                                               va.weighted_moments)],
    (lambda: va.sum_by_key(["a", "b"], [1.0]), "keys and x differ in length"),
    (lambda: va.cov_matrix(np.zeros((3, 2)), [1.0, 2.0]), "X and y differ in the number of rows"),
    (lambda: va.cov_matrix([[1.0], [1.0, 2.0]], [1.0, 2.0]), "rows differ in length"),
    *[(lambda x=x: va.moments(x), TypeError) for x in (np.zeros(3, dtype=complex), ["a"], "abc", b"\x01", bytearray(2),
                                                       np.array(["2024-01-01"], dtype="datetime64[D]"))],
    *[(lambda f=f: f(np.zeros((2, 2)), np.zeros((2, 2))), TypeError) for f in (va.cov, va.weighted_moments, va.dot_state)],
    (lambda: va.sum([1.0], True), TypeError),                                            # skipna is keyword-only
    (lambda: va.cov_matrix(np.zeros(3), [1.0, 2.0, 3.0]), TypeError),
    (lambda: va.dot_value(bytes(281)), "wrong byte length"),
    (lambda: va.dot_value(va.dot_state([1e-200], [1e-200])), "ExactnessLost"),
    (lambda: va.merge_dot_states(bytes(272) + b"\x08" + bytes(9)), UNDEFINED),     # undecodable: a flag byte of 8
    *[(lambda e=e: va.histogram([1.0], e), "edges must be sorted, finite, len>=2")
      for e in ([], [1.0, 1.0], [0.0, math.inf], [2.0, 1.0])],
    (lambda: va.merge_histograms(va.histogram([1.0], [0.0, 1.0]), va.histogram([1.0], [0.0, 2.0])),
     "histograms have different edges"),
    (lambda: _native.merge_histograms(GOOD_H, histogram_image([0.0], [1, 2], 0)), "histograms have different edges"),
    (lambda: _native.merge_histograms(histogram_image([0.0, 1.0], [1, 2, 3], 0, 2), GOOD_H), UNDEFINED),
    (lambda: _native.merge_histograms(GOOD_H, GOOD_H[:-1]), UNDEFINED),
    (lambda: _native.merge_extrema(bytes(24), extrema_image([1.0])), "wrong byte length"),
    (lambda: _native.merge_extrema(bytes(16) + b"\x04" + bytes(8), extrema_image([1.0])), UNDEFINED),
    (lambda: va.merge_all([]), "merge_all needs at least one state"),
    (lambda: va.cov_matrix([], []), "an empty sequence of rows has no width; pass a 2-D array of shape (0, d)"),
    (lambda: va.sum([1.0], threads=0), "threads must be at least 1"),
    (lambda: va.histogram([1.0], [0.0, 1.0], threads=1.0), TypeError),
])
def test_refusals(call, message):
    if message is TypeError:
        pytest.raises(TypeError, call)
    else:
        assert outcome(call) == message


def test_merge_all_names_what_it_merges():
    for o in (varnix.ReplicatedSum(), varnix.DeltasSum(), varnix.FastSumF64(), 1.0, type("SumF64", (), {})()):
        e = pytest.raises(TypeError, va.merge_all, [o])
        assert all(n in str(e.value) for n in ("SumF64", "CovMatrixF64", "HistogramF64", "ExtremaF64", "MomentsMap"))
        assert str(e.value).endswith("not " + type(o).__name__) and "ReplicatedSum," not in str(e.value)


@given(st.lists(any_f64, max_size=60), st.randoms(use_true_random=False))
def test_merges_do_not_depend_on_order_or_grouping(values, rnd):
    cuts = sorted(rnd.sample(range(len(values) + 1), min(3, len(values) + 1)))
    spans = list(zip([0] + cuts, cuts + [len(values)]))
    rnd.shuffle(spans)
    ys, rows = values[::-1], [(v,) for v in values]
    dots = [va.dot_state(values[a:b], ys[a:b]) for a, b in spans]
    whole_dot = one_by_one(varnix.DotF64, list(zip(values, ys)), False, "push")
    assert hashlib.sha256(va.merge_dot_states(*dots)).digest() == whole_dot.state_hash()
    assert va.merge_dot_states() == va.dot_state([], [])                 # no states: the empty one
    for bulk, cls, arity in BULK:
        pieces = [bulk(*(values[a:b], ys[a:b])[:arity]) for a, b in spans]
        whole = image(one_by_one(cls, list(zip(values, ys)) if arity == 2 else rows, False))
        assert image(va.merge_all(pieces)) == va.merge_all([image(o) for o in reversed(pieces)]) == whole
        if cls is not None:
            assert va.merge_all([image(o) for o in pieces], cls=cls) == whole
    assert _native.merge_extrema(extrema_image(values[::2]), extrema_image(values[1::2])) == extrema_image(values)


@given(*[st.lists(st.integers(0, 2**64 - 1), min_size=4, max_size=4)] * 2, st.integers(0, 1), st.integers(0, 1))
def test_histogram_merge_adds_counts_saturating(ca, cb, ua, ub):
    edges, total = [-1.0, 0.0, 2.5], [min(x + y, COUNT_MAX) for x, y in zip(ca, cb)]
    merged = _native.merge_histograms(histogram_image(edges, ca[:3] + [0], ca[3], ua),
                                      histogram_image(edges, cb[:3] + [0], cb[3], ub))
    assert merged == histogram_image(edges, total[:3] + [0], total[3], ua | ub)


def test_pickling_is_opt_in_and_states_return_from_worker_processes():
    # a fresh interpreter: pickling refused until enabled, and Arrow columns (from polars) read without pyarrow,
    # numpy or pandas
    code = ("import pickle, sys; sys.modules.update(pyarrow=None, numpy=None, pandas=None)\n"
            "import polars as pl, varnix, varnix_arrays as va\n"
            "print(va.sum(pl.Series([1e16, None, 1.0, -1e16]), skipna=True).value())\n"
            "try:\n    pickle.dumps(varnix.SumF64())\nexcept TypeError as e:\n    print(e)")
    fresh = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert fresh == "1.0\ncannot pickle 'builtins.SumF64' object\n"
    va.enable_pickling()
    for s in [bulk(*([1.0, -2.5, 1e300], [3.0, 0.5, 1.0])[:arity]) for bulk, _, arity in BULK] + \
             [va.cov_matrix([[1.0, 2.0], [3.0, -4.0]], [0.5, 0.25])]:
        t = pickle.loads(pickle.dumps(s))
        assert type(t) is type(s) and image(t) == image(s) and t is not s
    rng = np.random.default_rng(7)
    arrays = [np.ldexp(rng.random(500), rng.integers(-30, 30, 500)) for _ in range(4)]
    with ProcessPoolExecutor(2) as pool:
        states = list(pool.map(va.moments, arrays))
    assert va.merge_all(states).state_hash() == va.merge_all(list(map(va.moments, arrays))).state_hash()
