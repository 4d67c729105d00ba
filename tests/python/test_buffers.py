"""Float sequences read straight from a buffer (exact memoryview, array.array or
numpy.ndarray, one-dimensional, native 'd' or 'f') must give exactly what iterating them
gives: the same states, counts, values and errors.  Everything else is iterated."""
import array
import ctypes
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import any_f64
from varnix import DotF64, FastSumF64, dot


def fast_sum(xs):
    fs = FastSumF64()
    fs.add(0.75)
    before = (fs.finish().to_bytes(), fs.count())
    try:
        fs.extend(xs)
    except BaseException:
        assert (fs.finish().to_bytes(), fs.count()) == before
        raise
    return fs.finish().to_bytes(), fs.count()


def dot_state(xs, ys):
    d = DotF64()
    d.push(3.0, 0.5)
    before = d.state_hash()
    try:
        d.extend(xs, ys)
    except BaseException:
        assert d.state_hash() == before
        raise
    return d.state_hash()


def dot_value(xs, ys):
    return struct.pack("<d", dot(xs, ys))


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except AssertionError:
        raise
    except Exception as e:
        return "error", type(e), str(e)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return "panic", str(e)


def iterated(fn, names, *args):
    """Outcome of fn when each argument is first iterated into a list, the way the
    element-wise conversion sees it (a TypeError gains the argument's name)."""
    lists = []
    for name, arg in zip(names, args):
        try:
            lists.append(list(arg))
        except TypeError as e:
            return "error", TypeError, f"argument '{name}': {e}"
        except Exception as e:
            return "error", type(e), str(e)
    return outcome(fn, *lists)


def make(kind, vals, fmt):
    """A container of kind `kind` whose elements are vals, stored with format fmt."""
    raw = array.array(fmt, vals)
    data = raw.tobytes()
    if kind == "list":
        return raw.tolist()
    if kind == "array":
        return raw
    if kind == "ndarray":
        return np.array(raw)
    if kind == "readonly":
        a = np.array(raw)
        a.flags.writeable = False
        return a
    if kind == "strided":
        return np.repeat(np.array(raw), 2)[::2]
    if kind == "reversed":
        return np.array(raw)[::-1].copy()[::-1]
    if kind == "frombuffer":
        return np.frombuffer(data, dtype=fmt)
    if kind == "unaligned":
        return np.frombuffer(b"\0" + data, dtype=fmt, offset=1)
    if kind == "memoryview":
        return memoryview(raw)
    if kind == "mv_cast":
        return memoryview(data).cast(fmt)
    if kind == "mv_strided":
        return memoryview(np.repeat(np.array(raw), 3))[::3]
    if kind == "mv_reversed":
        return memoryview(array.array(fmt, vals[::-1]))[::-1]
    if kind == "mv_of_reversed_ndarray":
        return memoryview(np.array(raw)[::-1].copy()[::-1])
    raise AssertionError(kind)


KINDS = ["list", "array", "ndarray", "readonly", "strided", "reversed", "frombuffer", "unaligned",
         "memoryview", "mv_cast", "mv_strided", "mv_reversed", "mv_of_reversed_ndarray"]
ELEMENTS = {
    "d": st.one_of(any_f64, st.floats(-4.0, 4.0), st.sampled_from([0.0, 2.0 ** -1022, 1e-200])),
    "f": st.floats(width=32),
}


@st.composite
def sequences(draw, size=None):
    fmt = draw(st.sampled_from("df"))
    n = draw(st.integers(0, 24)) if size is None else size
    vals = draw(st.lists(ELEMENTS[fmt], min_size=n, max_size=n))
    reference = array.array(fmt, vals).tolist()  # float32 storage rounds; doubles stay as given
    return make(draw(st.sampled_from(KINDS)), vals, fmt), reference


@settings(max_examples=300, deadline=None)
@given(sequences())
def test_fastsum_reads_buffers_like_lists(seq):
    container, reference = seq
    assert outcome(fast_sum, container) == outcome(fast_sum, reference)


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_dot_reads_buffers_like_lists(data):
    n = data.draw(st.integers(0, 16))
    m = data.draw(st.one_of(st.just(n), st.integers(0, 16)))
    (xs, xref), (ys, yref) = data.draw(sequences(n)), data.draw(sequences(m))
    for fn in (dot_state, dot_value):
        assert outcome(fn, xs, ys) == outcome(fn, xref, yref)


def test_float32_buffers_hold_rounded_values():
    vals = [0.1, 1 / 3, 16777217.0, 1e-45, 3.4e38, -2.5]
    rounded = array.array("f", vals).tolist()
    assert rounded != vals
    for kind in KINDS:
        got = outcome(fast_sum, make(kind, vals, "f"))
        assert got == outcome(fast_sum, rounded), kind
        assert got != outcome(fast_sum, vals), kind
        assert outcome(dot_state, make(kind, vals, "f"), vals) == outcome(dot_state, rounded, vals)


@pytest.mark.parametrize("n", [4095, 4096, 4097, 10000])
@pytest.mark.parametrize("kind", ["array", "ndarray", "strided", "reversed", "memoryview", "mv_strided"])
def test_long_buffers(n, kind):
    rng = np.random.default_rng(n)
    vals = np.frombuffer(rng.bytes(8 * n), dtype="<f8").copy()
    vals[rng.random(n) < 0.3] = 0.0
    vals = vals.tolist()
    assert outcome(fast_sum, make(kind, vals, "d")) == outcome(fast_sum, vals)
    moderate = (rng.standard_normal(n) * 1e3).tolist()
    for fn in (dot_state, dot_value):
        assert outcome(fn, make(kind, moderate, "d"), moderate[::-1]) == outcome(fn, moderate, moderate[::-1])


class DoublingArray(array.array):
    def __iter__(self):
        return (2.0 * x for x in array.array.__iter__(self))


class DoublingNd(np.ndarray):
    def __iter__(self):
        return (2.0 * float(x) for x in self.view(np.ndarray))


def released():
    m = memoryview(array.array("d", [1.0, 2.0]))
    m.release()
    return m


# Objects that must be iterated.  `raw` is the native format their buffer would be read
# with by mistake; where it is given the test also checks that such a read would be caught.
ITERATED = [
    ("array subclass", lambda: DoublingArray("d", [1.0, 2.5, -3.0]), "d"),
    ("ndarray subclass", lambda: np.array([1.0, 2.5, -3.0]).view(DoublingNd), "d"),
    ("masked array", lambda: np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=[0, 1, 0, 0]), "d"),
    ("2-D column", lambda: np.arange(1.0, 4.0).reshape(3, 1), "d"),
    ("2-D no rows", lambda: np.empty((0, 3)), None),
    ("2-D no columns", lambda: np.empty((2, 0)), None),
    ("2-D float32", lambda: np.ones((2, 2), dtype="f"), "f"),
    ("big-endian d", lambda: np.array([1.0, 2.5, 1e-310, -7.0], dtype=">d"), "d"),
    ("big-endian f", lambda: np.array([1.0, 2.5, -7.0], dtype=">f"), "f"),
    ("0-d", lambda: np.array(2.0), "d"),
    ("0-d float32", lambda: np.array(2.0, dtype="f"), "f"),
    ("2-D memoryview", lambda: memoryview(array.array("d", range(6))).cast("B").cast("d", [2, 3]), "d"),
    ("big-endian memoryview", lambda: memoryview(np.array([1.0, 2.0], dtype=">d")), "d"),
    ("released memoryview", released, None),
    # memoryview iterates only native '@' formats; an explicit byte order is refused
    ("'<d' memoryview", lambda: memoryview((ctypes.c_double * 3)(1.0, 2.0, 3.5)), "d"),
    ("'<f' memoryview", lambda: memoryview((ctypes.c_float * 2)(1.0, -0.5)), "f"),
    ("ctypes double array", lambda: (ctypes.c_double * 2)(1.0, 2.5), None),
    # eligible for the buffer read, but with unusual strides
    ("broadcast ndarray", lambda: np.broadcast_to(np.array([2.5]), 5), None),
    ("single column of 2-D", lambda: np.arange(12.0).reshape(4, 3)[:, 1], None),
    ("float32 view of doubles", lambda: np.array([1.0, -2.5, 1e300]).view(np.float32)[::3], None),
    ("int64 ndarray", lambda: np.arange(-3, 5), None),
    ("float16 ndarray", lambda: np.array([0.1, 65504.0, -2.0], dtype=np.float16), None),
    ("longdouble ndarray", lambda: np.array([0.1, 1e-320, 3.0], dtype=np.longdouble), None),
    ("bool ndarray", lambda: np.array([True, False, True]), None),
    ("int array", lambda: array.array("i", [1, -2, 3]), None),
    ("int64 memoryview", lambda: memoryview(array.array("q", [2 ** 60, -5])), None),
    ("bytes memoryview", lambda: memoryview(b"\x01\x02\x03"), None),
    ("float32 reinterpreted doubles", lambda: memoryview(array.array("d", [1.0, -2.5, 1e300])).cast("B").cast("f"), None),
]


@pytest.mark.filterwarnings("ignore::UserWarning")  # masked elements convert to NaN
@pytest.mark.parametrize("build, raw", [case[1:] for case in ITERATED], ids=[case[0] for case in ITERATED])
def test_other_objects_give_what_iteration_gives(build, raw):
    expected = iterated(fast_sum, ["xs"], build())
    assert outcome(fast_sum, build()) == expected
    if raw is not None:
        wrong = np.frombuffer(memoryview(build()).tobytes(), dtype=raw).tolist()
        assert outcome(fast_sum, wrong) != expected
    try:
        n = len(list(build()))
    except Exception:
        n = 1
    ones = [1.0] * n
    for fn in (dot_state, dot_value):
        assert outcome(fn, build(), ones) == iterated(fn, ["xs", "ys"], build(), ones)
        assert outcome(fn, ones, build()) == iterated(fn, ["xs", "ys"], ones, build())


EMPTIES = [
    lambda: array.array("d"),
    lambda: array.array("f"),
    lambda: np.empty(0),
    lambda: np.empty(0, dtype="f"),
    lambda: np.arange(3.0)[3:],
    lambda: np.arange(3.0)[::-1][3:],
    lambda: memoryview(b"").cast("d"),
    lambda: memoryview(array.array("f")),
]


@pytest.mark.parametrize("empty", EMPTIES)
def test_empty_buffers_change_nothing(empty):
    fs = FastSumF64()
    for x in [1.0, math.nan, 2.0 ** -1074]:
        fs.add(x)
    before = (fs.finish().to_bytes(), fs.count())
    fs.extend(empty())
    assert (fs.finish().to_bytes(), fs.count()) == before
    d = DotF64()
    d.push(1e-200, 1e-200)
    before = d.state_hash()
    d.extend(empty(), empty())
    d.extend([], empty())
    assert d.state_hash() == before
    assert dot_value(empty(), []) == struct.pack("<d", 0.0)


@pytest.mark.parametrize("xs, ys, left, right", [
    (lambda: np.zeros(1), lambda: array.array("d", [1.0, 2.0]), 1, 2),
    (lambda: np.arange(6.0)[::3], lambda: memoryview(array.array("f", [1.0])), 2, 1),
    (lambda: memoryview(array.array("d", [1.0, 2.0, 3.0]))[::-2], lambda: np.ones(5, dtype="f"), 2, 5),
])
def test_length_mismatch_of_buffers_panics(xs, ys, left, right):
    msg = ("assertion `left == right` failed: dot product requires equal-length slices"
           f"\n  left: {left}\n right: {right}")
    assert outcome(dot_state, xs(), ys()) == ("panic", msg)
    assert outcome(dot_value, xs(), ys()) == ("panic", msg)


@pytest.mark.parametrize("xs, ys, msg", [
    (lambda: np.zeros(2), lambda: [1.0, "a"], "argument 'ys': must be real number, not str"),
    (lambda: [1.0, "a"], lambda: np.zeros(5), "argument 'xs': must be real number, not str"),
    (lambda: "ab", lambda: array.array("d", [1.0, 2.0]), "argument 'xs': Can't extract `str` to `Vec`"),
    (lambda: array.array("d", [1.0]), lambda: {1.0}, "argument 'ys': 'set' object cannot be converted to 'Sequence'"),
])
def test_errors_beside_buffers(xs, ys, msg):
    assert outcome(dot_state, xs(), ys()) == ("error", TypeError, msg)
    assert outcome(dot_value, xs(), ys()) == ("error", TypeError, msg)
