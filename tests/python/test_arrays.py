"""varnix_arrays: every bulk constructor leaves the state that adding the values one by one leaves, for every
dtype, byte order and stride, with and without skipna; byte-state merges are order independent; pickling is
opt-in."""
import hashlib
import math
import pickle
import re
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


def image(state):
    return state.encode() if hasattr(state, "encode") else state.to_bytes()


def nan_in(row):
    return any(nan_in(v) if isinstance(v, list) else isinstance(v, float) and math.isnan(v) for v in row)


def one_by_one(cls, rows, skipna, push="add"):
    """cls fed the rows one call each; with skipna, rows holding a NaN are left out (a histogram takes all)."""
    keep = [r for r in rows if cls is None or not (skipna and nan_in(r))]
    return run(cls or (lambda: varnix.HistogramF64(EDGES)), [(push, *r) for r in keep])


def values_for(dtype):
    kind = np.dtype(dtype)
    if kind.kind in "iu":
        return st.integers(int(np.iinfo(kind).min), int(np.iinfo(kind).max))
    return st.booleans() if kind.kind == "b" else any_f64


@st.composite
def columns(draw, n=None):
    """A 1-D numpy array of any dtype, byte order and stride, with the Python floats its items convert to."""
    dtype = draw(st.sampled_from(DTYPES))
    order, step = draw(st.sampled_from("<>")) if dtype != "g" else "=", draw(st.sampled_from([1, 2, -1, -3]))
    n = draw(st.integers(0, 40)) if n is None else n
    raw = draw(st.lists(values_for(dtype), min_size=n, max_size=n))
    with np.errstate(over="ignore", invalid="ignore"):
        base = np.array(raw, dtype=np.dtype(dtype).newbyteorder(order))
    wide = np.repeat(base, abs(step))[:: abs(step)] if step > 0 else np.repeat(base[::-1], abs(step))[::step]
    return wide, [float(v) for v in wide]


@given(st.data(), st.booleans())
def test_bulk_states_are_the_one_by_one_states(data, skipna):
    (x, xv) = data.draw(columns())
    (y, yv) = data.draw(columns(len(xv)))
    for bulk, cls, arity in BULK:
        rows = list(zip(xv, yv)) if arity == 2 else [(v,) for v in xv]
        assert image(bulk(*(x, y)[:arity], skipna=skipna)) == image(one_by_one(cls, rows, skipna))
    dot, state = one_by_one(varnix.DotF64, list(zip(xv, yv)), skipna, "push"), va.dot_state(x, y, skipna=skipna)
    assert hashlib.sha256(state).digest() == dot.state_hash()
    assert outcome(lambda: va.dot_value(state)) == outcome(dot.value)
    keys = data.draw(st.lists(st.sampled_from(["a", "b", "é", "aa", ""]), min_size=len(xv), max_size=len(xv)))
    for bulk, cls in [(va.sum_by_key, varnix.SumMap), (va.moments_by_key, varnix.MomentsMap)]:
        want, half = one_by_one(cls, list(zip(keys, xv)), skipna).encode(), len(keys) // 2
        assert bulk(np.array(keys, dtype=str) if keys else keys, x, skipna=skipna).encode() == want
        parts = [bulk(keys[half:], xv[half:], skipna), bulk(keys[:half], xv[:half], skipna)]
        assert va.merge_all(parts).encode() == want


@given(st.data(), st.booleans())
def test_cov_matrix_is_the_row_by_row_state(data, skipna):
    d, n = data.draw(st.integers(0, 4)), data.draw(st.integers(0, 12))
    (flat, values), (y, yv) = data.draw(columns(n * d)), data.draw(columns(n))
    layout = data.draw(st.sampled_from(["C", "F", "transposed", "list"] if n and d else ["C"]))  # [] has no width
    X = flat.reshape(n, d)
    X = {"C": X, "F": np.asfortranarray(X), "transposed": X.T.copy().T, "list": X.tolist()}[layout]
    grid = [(values[r * d:(r + 1) * d], v) for r, v in enumerate(yv)]
    want = one_by_one(lambda: varnix.CovMatrixF64(d), grid, skipna)
    assert va.cov_matrix(X, y, skipna=skipna).encode() == want.encode()


@pytest.mark.parametrize("n", [2047, 2049, 9000])
def test_long_arrays_cross_block_boundaries(n):
    rng = np.random.default_rng(n)
    x = np.ldexp(rng.random(n) - 0.5, rng.integers(-80, 80, n))
    x[::97] = np.nan
    rows = [(v,) for v in x.tolist()]
    for view, skipna in [(x, False), (np.repeat(x, 2)[::2], True), (x.astype(">f8"), True)]:
        for bulk, cls, arity in BULK:
            pairs = [(a, b) for (a,), (b,) in zip(rows, rows[::-1])]
            want = one_by_one(cls, pairs if arity == 2 else rows, skipna)
            assert image(bulk(*(view, view[::-1])[:arity], skipna=skipna)) == image(want)


@pytest.mark.parametrize("arg, want", [
    ([1.5, -2.0, 1e300], [1.5, -2.0, 1e300]), ((1, True), [1.0, 1.0]), (np.array([7, 0.5], dtype=object), [7.0, 0.5]),
    (memoryview(np.array([3.0, -1.0])), [3.0, -1.0]), (b"\x01\xff", [1.0, 255.0]),
    *[(arg, TypeError) for arg in (np.zeros(3, dtype=complex), np.zeros((2, 2)), ["a"], "abc",
                                   np.array(["2024-01-01"], dtype="datetime64[D]"))],
])
def test_sequences_and_buffers_of_every_kind(arg, want):
    if want is TypeError:
        with pytest.raises(TypeError):
            va.moments(arg)
    else:
        assert va.moments(arg).to_bytes() == run(varnix.MomentsF64, [("add", v) for v in want]).to_bytes()


@pytest.mark.parametrize("call, message", [
    *[(lambda f=f: f([1.0], [1.0, 2.0]), "x and y differ in length") for f in (va.dot_state, va.cov,
                                                                               va.weighted_moments)],
    (lambda: va.sum_by_key(["a", "b"], [1.0]), "keys and x differ in length"),
    (lambda: va.cov_matrix(np.zeros((3, 2)), [1.0, 2.0]), "X and y differ in the number of rows"),
    (lambda: va.cov_matrix([[1.0], [1.0, 2.0]], [1.0, 2.0]), "rows differ in length"),
    (lambda: va.dot_value(bytes(281)), "wrong byte length"),
    (lambda: va.dot_value(va.dot_state([1e-200], [1e-200])), "ExactnessLost"),
    (lambda: va.merge_dot_states(bytes(272) + b"\x08" + bytes(9)), UNDEFINED),
    (lambda: va.merge_dot_states(bytes(281) + b"\x02"), UNDEFINED),
    *[(lambda e=e: va.histogram([1.0], e), "edges must be sorted, finite, len>=2")
      for e in ([], [1.0, 1.0], [0.0, math.inf], [2.0, 1.0])],
    (lambda: va.merge_histograms(va.histogram([1.0], [0.0, 1.0]), va.histogram([1.0], [0.0, 2.0])),
     "histograms have different edges"),
    (lambda: va.extrema([math.nan, 1.0]).min(), UNDEFINED),
    (lambda: va.merge_all([]), "merge_all needs at least one state"),
])
def test_refusals(call, message):
    assert outcome(call) == message


def test_refusals_of_the_wrong_shape():
    with pytest.raises(TypeError, match="expected a 2-dimensional array"):
        va.cov_matrix(np.zeros(3), [1.0, 2.0, 3.0])
    assert va.merge_dot_states() == bytes(282) and va.dot_value(bytes(282)) == 0.0


@given(st.lists(any_f64, max_size=60), st.randoms(use_true_random=False))
def test_merges_do_not_depend_on_order_or_grouping(values, rnd):
    cuts = sorted(rnd.sample(range(len(values) + 1), min(3, len(values) + 1)))
    spans = list(zip([0] + cuts, cuts + [len(values)]))
    rnd.shuffle(spans)
    ys, rows = values[::-1], [(v,) for v in values]
    dots = [va.dot_state(values[a:b], ys[a:b]) for a, b in spans]
    whole_dot = one_by_one(varnix.DotF64, list(zip(values, ys)), False, "push")
    assert hashlib.sha256(va.merge_dot_states(*dots)).digest() == whole_dot.state_hash()
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


GOOD_H = histogram_image([0.0, 1.0], [1, 2, 3], 0)


@pytest.mark.parametrize("merge, a, b, message", [
    (_native.merge_histograms, GOOD_H, histogram_image([0.0, 2.0], [1, 2, 3], 0), "different edges"),
    (_native.merge_histograms, GOOD_H, histogram_image([0.0], [1, 2], 0), "different edges"),
    (_native.merge_histograms, histogram_image([0.0, 1.0], [1, 2, 3], 0, 2), GOOD_H, UNDEFINED),
    (_native.merge_histograms, GOOD_H[:-1], GOOD_H, UNDEFINED),
    (_native.merge_histograms, bytes(21), histogram_image([0.0], [1, 2], 0), UNDEFINED),
    (_native.merge_extrema, bytes(24), extrema_image([1.0]), "wrong byte length"),
    (_native.merge_extrema, bytes(16) + b"\x04" + bytes(8), extrema_image([1.0]), UNDEFINED),
    (_native.merge_extrema, extrema_image([1.0])[:16] + bytes(9), extrema_image([1.0]), UNDEFINED),
])
def test_byte_merges_refuse(merge, a, b, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        merge(a, b)


def _task(seed):
    rng = np.random.default_rng(seed)
    return va.moments(np.ldexp(rng.random(500), rng.integers(-30, 30, 500)))


def test_pickling_is_opt_in_and_states_return_from_worker_processes():
    refused = subprocess.run([sys.executable, "-c", "import pickle, varnix, varnix_arrays\n"
                              "try:\n    pickle.dumps(varnix.SumF64())\nexcept TypeError as e:\n    print(e)"],
                             capture_output=True, text=True, check=True)
    assert refused.stdout.strip() == "cannot pickle 'builtins.SumF64' object"
    va.enable_pickling()
    for s in [bulk(*([1.0, -2.5, 1e300], [3.0, 0.5, 1.0])[:arity]) for bulk, _, arity in BULK] + \
             [va.cov_matrix([[1.0, 2.0], [3.0, -4.0]], [0.5, 0.25])]:
        t = pickle.loads(pickle.dumps(s))
        assert type(t) is type(s) and image(t) == image(s) and t is not s
    with ProcessPoolExecutor(2) as pool:
        states = list(pool.map(_task, range(4)))
    assert va.merge_all(states).state_hash() == va.merge_all([_task(i) for i in range(4)]).state_hash()
