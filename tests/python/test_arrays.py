"""varnix_arrays: every bulk constructor leaves the state that adding the values one by one leaves, for every
dtype, byte order and stride, with and without skipna; byte-state merges are order independent; pickling is
opt-in."""
import hashlib
import math
import pickle
import re
import struct
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import varnix
import varnix_arrays as va
from conftest import any_f64
from varnix_arrays import _native

EDGES = [-1e300, -2.5, -0.0, 0.0, 1.0, 2.0**70]
BULK = [(va.sum, varnix.SumF64), (va.moments, varnix.MomentsF64), (va.moments4, varnix.Moments4F64),
        (va.extrema, varnix.ExtremaF64),
        (lambda x, skipna=False: va.histogram(x, EDGES), lambda: varnix.HistogramF64(EDGES))]
DTYPES = ["f2", "f4", "f8", "g", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?"]
UNDEFINED = "undefined (insufficient data or invalid input)"


def one_by_one(cls, values):
    s = cls()
    for v in values:
        s.add(v)
    return s


def image(state):
    return state.encode() if hasattr(state, "encode") else state.to_bytes()


def kept_by(bulk, values, skipna):
    """The values a bulk constructor adds: NaNs are left out with skipna, except by a histogram, which counts them."""
    return values if bulk is BULK[-1][0] else kept(values, skipna)


def values_for(dtype):
    kind = np.dtype(dtype)
    if kind.kind in "iu":
        info = np.iinfo(kind)
        return st.integers(int(info.min), int(info.max))
    if kind.kind == "b":
        return st.booleans()
    return any_f64


@st.composite
def columns(draw, n=None):
    """A 1-D numpy array of any dtype, byte order and stride, with the Python floats its items convert to."""
    dtype = draw(st.sampled_from(DTYPES))
    order = draw(st.sampled_from("<>")) if dtype != "g" else "="
    step = draw(st.sampled_from([1, 2, -1, -3]))
    n = draw(st.integers(0, 40)) if n is None else n
    raw = draw(st.lists(values_for(dtype), min_size=n, max_size=n))
    with np.errstate(over="ignore", invalid="ignore"):
        base = np.array(raw, dtype=np.dtype(dtype).newbyteorder(order) if dtype != "g" else dtype)
    wide = np.repeat(base, abs(step))[:: abs(step)] if step > 0 else np.repeat(base[::-1], abs(step))[::step]
    return wide, [float(v) for v in wide]


def kept(values, skipna):
    return [v for v in values if not (skipna and math.isnan(v))]


@given(columns(), st.booleans())
def test_bulk_state_is_the_one_by_one_state(column, skipna):
    arr, values = column
    assert len(arr) == len(values)
    for bulk, cls in BULK:
        assert image(bulk(arr, skipna=skipna)) == image(one_by_one(cls, kept_by(bulk, values, skipna)))


PAIRS = [(va.cov, varnix.CovF64), (va.weighted_moments, varnix.WeightedMomentsF64)]


@given(st.data(), st.booleans())
def test_pair_states_are_the_pushed_states(data, skipna):
    (xs, xv) = data.draw(columns())
    (ys, yv) = data.draw(columns(len(xs)))
    pairs = [(a, b) for a, b in zip(xv, yv) if not (skipna and (math.isnan(a) or math.isnan(b)))]
    for bulk, cls in PAIRS:
        s = cls()
        for a, b in pairs:
            s.add(a, b)
        assert bulk(xs, ys, skipna=skipna).to_bytes() == s.to_bytes()
    d = varnix.DotF64()
    for a, b in pairs:
        d.push(a, b)
    state = va.dot_state(xs, ys, skipna=skipna)
    assert hashlib.sha256(state).digest() == d.state_hash()
    try:
        expected = d.value()
    except ValueError as e:
        with pytest.raises(ValueError, match=str(e)):
            va.dot_value(state)
    else:
        assert struct.pack("<d", va.dot_value(state)) == struct.pack("<d", expected)


@given(st.data(), st.booleans())
def test_keyed_maps_are_the_one_by_one_maps(data, skipna):
    (x, values) = data.draw(columns())
    keys = data.draw(st.lists(st.sampled_from(["a", "b", "é", "aa", ""]), min_size=len(values), max_size=len(values)))
    for bulk, cls in [(va.sum_by_key, varnix.SumMap), (va.moments_by_key, varnix.MomentsMap)]:
        m = cls()
        for k, v in zip(keys, values):
            if not (skipna and math.isnan(v)):
                m.add(k, v)
        assert bulk(np.array(keys, dtype=str) if keys else keys, x, skipna=skipna).encode() == m.encode()
        half = len(keys) // 2
        parts = [bulk(keys[:half], values[:half], skipna), bulk(keys[half:], values[half:], skipna)]
        assert va.merge_all(parts[::-1]).encode() == m.encode()
    with pytest.raises(ValueError, match="keys and x differ in length"):
        va.sum_by_key(keys + ["z"], x)


@given(st.data(), st.booleans())
def test_cov_matrix_is_the_row_by_row_state(data, skipna):
    d = data.draw(st.integers(0, 4))
    (flat, values) = data.draw(columns(data.draw(st.integers(0, 12)) * d if d else 0))
    rows = len(values) // d if d else data.draw(st.integers(0, 3))
    layout = data.draw(st.sampled_from(["C", "F", "transposed", "list"] if rows else ["C"]))  # [] has no width
    X = flat.reshape(rows, d)
    X = {"C": X, "F": np.asfortranarray(X), "transposed": X.T.copy().T, "list": X.tolist()}[layout]
    (y, yv) = data.draw(columns(rows))
    grid = [values[r * d:(r + 1) * d] for r in range(rows)]
    m = varnix.CovMatrixF64(d)
    for row, v in zip(grid, yv):
        if not (skipna and any(map(math.isnan, row + [v]))):
            m.add(row, v)
    assert va.cov_matrix(X, y, skipna=skipna).encode() == m.encode()


@pytest.mark.parametrize("n", [2047, 2048, 2049, 9000])
@pytest.mark.parametrize("layout", ["contiguous", "strided", "swapped"])
def test_long_arrays_cross_block_boundaries(n, layout):
    rng = np.random.default_rng(n)
    x = np.ldexp(rng.random(n) - 0.5, rng.integers(-80, 80, n))
    x[::97] = np.nan
    view = {"contiguous": x, "strided": np.repeat(x, 2)[::2], "swapped": x.astype(">f8")}[layout]
    values = x.tolist()
    for skipna in (False, True):
        for bulk, cls in BULK:
            assert image(bulk(view, skipna)) == image(one_by_one(cls, kept_by(bulk, values, skipna)))
    assert va.sum(view).count() == n and va.sum(view, skipna=True).count() == n - len(x[::97])
    w = view[::-1]
    for bulk, cls in PAIRS:
        s = cls()
        for a, b in zip(values, values[::-1]):
            s.add(a, b)
        assert bulk(view, w).to_bytes() == s.to_bytes()


@pytest.mark.parametrize("source", [
    lambda v: v, tuple, lambda v: np.array(v, dtype=object), lambda v: memoryview(np.array(v)),
    lambda v: bytes(int(abs(x)) % 256 for x in v),
])
def test_sequences_and_buffers_of_every_kind(source):
    values = [1.5, -2.0, 1e300, 7.0, 0.0]
    arg = source(values)
    expected = [float(v) for v in arg]
    assert va.moments(arg).to_bytes() == one_by_one(varnix.MomentsF64, expected).to_bytes()


@pytest.mark.parametrize("arg, error", [
    (np.zeros(3, dtype=complex), TypeError), (np.zeros((2, 2)), TypeError), (["a"], TypeError),
    ("abc", TypeError), (np.array(["2024-01-01"], dtype="datetime64[D]"), TypeError),
])
def test_unreadable_columns_raise(arg, error):
    with pytest.raises(error):
        va.sum(arg)


def test_dot_state_errors():
    for pair in (va.dot_state, va.cov, va.weighted_moments):
        with pytest.raises(ValueError, match="x and y differ in length"):
            pair([1.0], [1.0, 2.0])
    with pytest.raises(ValueError, match="X and y differ in the number of rows"):
        va.cov_matrix(np.zeros((3, 2)), [1.0, 2.0])
    with pytest.raises(TypeError, match="expected a 2-dimensional array"):
        va.cov_matrix(np.zeros(3), [1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match="rows differ in length"):
        va.cov_matrix([[1.0], [1.0, 2.0]], [1.0, 2.0])
    with pytest.raises(ValueError, match="wrong byte length"):
        va.dot_value(bytes(281))
    with pytest.raises(ValueError, match="ExactnessLost"):
        va.dot_value(va.dot_state([1e-200], [1e-200]))
    for bad in (bytes(272) + b"\x08" + bytes(9), bytes(281) + b"\x02"):
        with pytest.raises(ValueError, match=re.escape(UNDEFINED)):
            va.merge_dot_states(bad)
    assert va.merge_dot_states() == bytes(282) and va.dot_value(bytes(282)) == 0.0


@given(st.lists(any_f64, max_size=60), st.randoms(use_true_random=False))
def test_merges_do_not_depend_on_order_or_grouping(values, rnd):
    cuts = sorted(rnd.sample(range(len(values) + 1), min(3, len(values) + 1)))
    spans = list(zip([0] + cuts, cuts + [len(values)]))
    rnd.shuffle(spans)
    ys = values[::-1]
    dots = [va.dot_state(values[a:b], ys[a:b]) for a, b in spans]
    whole_dot = varnix.DotF64()
    for a, b in zip(values, ys):
        whole_dot.push(a, b)
    assert hashlib.sha256(va.merge_dot_states(*dots)).digest() == whole_dot.state_hash()
    for bulk, cls in PAIRS:
        pieces, whole = [bulk(values[a:b], ys[a:b]) for a, b in spans], bulk(values, ys).to_bytes()
        assert va.merge_all(pieces).to_bytes() == whole == va.merge_all([o.to_bytes() for o in pieces])
    for bulk, cls in BULK:
        objects = [bulk(values[a:b]) for a, b in spans]
        whole = image(one_by_one(cls, values))
        assert image(va.merge_all(objects)) == whole
        assert va.merge_all([image(o) for o in reversed(objects)]) == whole
        if isinstance(cls, type):
            assert va.merge_all([image(o) for o in objects], cls=cls) == whole
    e, h = va.extrema(values[::2]), va.histogram(values[::2], EDGES)
    assert va.merge_extrema(e, va.extrema(values[1::2])).to_bytes() == va.extrema(values).to_bytes()
    assert va.merge_histograms(va.histogram(values[1::2], EDGES), h).encode() == va.histogram(values, EDGES).encode()


def key(bits):
    """The IEEE-754 total order of a binary64 bit pattern, as a Python int."""
    return -(bits & 0x7FFF_FFFF_FFFF_FFFF) - 1 if bits >> 63 else bits


def extrema_image(values):
    """The 25-byte extrema encoding of the values, from the total order of their bit patterns."""
    pats = [struct.unpack("<Q", struct.pack("<d", v))[0] for v in values]
    live = [p for p, v in zip(pats, values) if not math.isnan(v)]
    lo, hi = (min(live, key=key), max(live, key=key)) if live else (0, 0)
    flags = any(map(math.isnan, values)) | 2 * bool(live)
    return struct.pack("<QQBQ", lo, hi, flags, min(len(values), 2**64 - 1))


def histogram_image(edges, counts, nan_count, undefined=0):
    return (struct.pack("<IB", len(edges), undefined) + struct.pack(f"<{len(edges)}d", *edges)
            + struct.pack(f"<{len(counts)}Q", *counts) + struct.pack("<Q", nan_count))


@given(st.lists(any_f64, max_size=12), st.lists(any_f64, max_size=12))
def test_extrema_merge_of_encodings(a, b):
    assert _native.merge_extrema(extrema_image(a), extrema_image(b)) == extrema_image(a + b)


@given(st.lists(st.integers(0, 2**64 - 1), min_size=4, max_size=4),
       st.lists(st.integers(0, 2**64 - 1), min_size=4, max_size=4), st.integers(0, 1), st.integers(0, 1))
def test_histogram_merge_adds_counts_saturating(ca, cb, ua, ub):
    edges = [-1.0, 0.0, 2.5]
    merged = _native.merge_histograms(histogram_image(edges, ca[:3] + [0], ca[3], ua),
                                      histogram_image(edges, cb[:3] + [0], cb[3], ub))
    total = [min(x + y, 2**64 - 1) for x, y in zip(ca, cb)]
    assert merged == histogram_image(edges, total[:3] + [0], total[3], ua | ub)


@pytest.mark.parametrize("a, b, message", [
    (histogram_image([0.0, 1.0], [1, 2, 3], 0), histogram_image([0.0, 2.0], [1, 2, 3], 0), "different edges"),
    (histogram_image([0.0, 1.0], [1, 2, 3], 0), histogram_image([0.0], [1, 2], 0), "different edges"),
    (histogram_image([0.0, 1.0], [1, 2, 3], 0, 2), histogram_image([0.0, 1.0], [1, 2, 3], 0), UNDEFINED),
    (histogram_image([0.0, 1.0], [1, 2, 3], 0)[:-1], histogram_image([0.0, 1.0], [1, 2, 3], 0), UNDEFINED),
    (b"\0\0\0\0\0" + bytes(16), histogram_image([0.0], [1, 2], 0), UNDEFINED),
])
def test_histogram_merge_refuses(a, b, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        _native.merge_histograms(a, b)


@pytest.mark.parametrize("a, message", [
    (bytes(24), "wrong byte length"), (bytes(16) + b"\x04" + bytes(8), UNDEFINED),
    (struct.pack("<d", 1.0) + bytes(17), UNDEFINED),
])
def test_extrema_merge_refuses(a, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        _native.merge_extrema(a, extrema_image([1.0]))


def test_bulk_histogram_and_extrema_errors():
    for edges in ([], [1.0, 1.0], [0.0, math.inf], [2.0, 1.0]):
        with pytest.raises(ValueError, match="edges must be sorted, finite, len>=2"):
            va.histogram([1.0], edges)
    with pytest.raises(ValueError, match="histograms have different edges"):
        va.merge_histograms(va.histogram([1.0], [0.0, 1.0]), va.histogram([1.0], [0.0, 2.0]))
    with pytest.raises(ValueError, match=re.escape(UNDEFINED)):
        va.extrema([math.nan, 1.0]).min()


def test_pickling_is_opt_in():
    refused = subprocess.run([sys.executable, "-c", "import pickle, varnix, varnix_arrays\n"
                              "try:\n    pickle.dumps(varnix.SumF64())\nexcept TypeError as e:\n    print(e)"],
                             capture_output=True, text=True, check=True)
    assert refused.stdout.strip() == "cannot pickle 'builtins.SumF64' object"
    va.enable_pickling()
    for bulk in [b for b, _ in BULK] + [lambda v: va.cov(v, v[::-1]), lambda v: va.weighted_moments(v, v)]:
        s = bulk([1.0, -2.5, 1e300])
        t = pickle.loads(pickle.dumps(s))
        assert type(t) is type(s) and image(t) == image(s) and t is not s
    m = va.cov_matrix([[1.0, 2.0], [3.0, -4.0]], [0.5, 0.25])
    assert pickle.loads(pickle.dumps(m)).encode() == m.encode() == va.merge_all([m]).encode()


def _task(seed):
    rng = np.random.default_rng(seed)
    return va.moments(np.ldexp(rng.random(500), rng.integers(-30, 30, 500)))


def test_states_return_from_worker_processes():
    va.enable_pickling()
    with ProcessPoolExecutor(2) as pool:
        states = list(pool.map(_task, range(4)))
    assert va.merge_all(states).state_hash() == va.merge_all([_task(i) for i in range(4)]).state_hash()
