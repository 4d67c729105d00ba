"""Float sequences: an exact memoryview, array.array or numpy.ndarray, one-dimensional with native 'd' or 'f'
items, is read from its buffer, which must give what iterating gives (states, counts, values and errors)."""
import array
import ctypes
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import any_f64
from oracles import outcome as result
from varnix import DotF64, FastSumF64, dot


def outcome(xs, *ys):
    """FastSumF64.extend(xs)'s state and count, or DotF64.extend(xs, ys)'s hash and dot(xs, ys); or the
    exception raised, which must leave the state as it was."""
    acc = DotF64() if ys else FastSumF64()
    acc.push(3.0, 0.5) if ys else acc.add(0.75)
    state = acc.state_hash if ys else lambda: (acc.finish().to_bytes(), acc.count())
    before = state()
    try:
        acc.extend(xs, *ys)
    except BaseException as e:                    # a panic is no Exception
        assert state() == before
        return type(e).__name__, str(e)
    return state(), ys and result(lambda: dot(xs, *ys))


KINDS = {
    "array": lambda a: a, "ndarray": np.array, "memoryview": memoryview,
    "strided": lambda a: np.repeat(np.array(a), 2)[::2], "reversed": lambda a: np.array(a)[::-1].copy()[::-1],
    "unaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=a.typecode, offset=1),
    "mv_strided": lambda a: memoryview(np.repeat(np.array(a), 3))[::3],
    "mv_reversed": lambda a: memoryview(array.array(a.typecode, a[::-1]))[::-1],
}


@st.composite
def sequences(draw, n):
    fmt = draw(st.sampled_from("df"))
    a = array.array(fmt, draw(st.lists(any_f64 if fmt == "d" else st.floats(width=32), min_size=n, max_size=n)))
    return KINDS[draw(st.sampled_from(sorted(KINDS)))](a), a.tolist()


@settings(max_examples=300)
@given(st.data())
def test_buffers_read_like_lists(data):
    n = data.draw(st.integers(0, 16))
    (xs, xlist), (ys, ylist) = data.draw(sequences(n)), data.draw(sequences(data.draw(st.sampled_from([n, n + 1]))))
    assert outcome(xs) == outcome(xlist) and outcome(xs, ys) == outcome(xlist, ylist)


@pytest.mark.filterwarnings("ignore::UserWarning")  # masked elements convert to NaN
@pytest.mark.parametrize("obj, raw", [        # raw: the item format a mistaken buffer read would use
    (type("Doubling", (array.array,), {"__iter__": lambda a: iter([2 * x for x in a.tolist()])})("d", [1.5]), "d"),
    (np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=[0, 1, 0, 0]), "d"),
    (np.ones((2, 2), dtype="f"), "f"),                                          # 2-D
    (np.array(2.0), "d"),                                                       # 0-D: iteration raises
    (np.array([1.0, 2.5, 1e-310, -7.0], dtype=">d"), "d"),                      # big-endian
    (memoryview((ctypes.c_double * 3)(1.0, 2.0, 3.5)), "d"),                    # format '<d': iteration raises
    (np.arange(-3, 5), "d"),                                                    # int64
    (b"\x01\x02", None), (range(3), None), ((True, 2**53 + 1, Fraction(1, 4)), None),   # plain sequences
    # refused, with the error of the argument named, whichever it is:
    ("ab", (TypeError, "Can't extract `str` to `Vec`")),
    ({1.0}, (TypeError, "'set' object cannot be converted to 'Sequence'")),
    (None, (TypeError, "'NoneType' object cannot be converted to 'Sequence'")),
    ((x for x in [1.0]), (TypeError, "'generator' object cannot be converted to 'Sequence'")),
    ([1.0, "a"], (TypeError, "must be real number, not str")),
    ([1.0] * 5000 + [None], (TypeError, "must be real number, not NoneType")),
    ([1.0, 10**400], (OverflowError, "int too large to convert to float")),    # not a TypeError: unchanged
])
def test_other_objects_are_iterated(obj, raw):
    if isinstance(raw, tuple):
        error, message = raw[0].__name__, "argument '{}': " * (raw[0] is TypeError) + raw[1]
        assert outcome(obj) == outcome(obj, np.ones(2)) == (error, message.format("xs"))
        assert outcome(np.ones(2), obj) == (error, message.format("ys"))
        return
    try:                                          # what iterating gives; a plain sequence's items as float(x)
        xs, error = list(obj) if raw else [float(x) for x in obj], None
    except Exception as e:                        # what the argument xs then raises
        xs, error = [], (type(e).__name__, "argument 'xs': " * isinstance(e, TypeError) + str(e))
    ones = [1.0] * max(len(xs), 1)
    assert outcome(obj) == (error or outcome(xs)) and outcome(obj, ones) == (error or outcome(xs, ones))
    assert raw is None or outcome(np.frombuffer(memoryview(obj).tobytes(), dtype=raw).tolist()) != outcome(obj)


SEQ = type("Seq", (), {"__init__": lambda s, items: setattr(s, "items", items),   # a sequence but no list
                      "__len__": lambda s: len(s.items), "__getitem__": lambda s, i: s.items[i]})


@pytest.mark.parametrize("view", [lambda a: a, np.frombuffer, memoryview], ids=["array", "ndarray", "memoryview"])
@pytest.mark.parametrize("seq", [list, SEQ])
def test_buffer_values_are_taken_before_later_arguments_run_code(view, seq):
    # Converting ys runs code that writes into xs's buffer: xs gives the values it held when it was converted.
    data = array.array("d", [1.0, 2.0])
    writer = type("Writer", (), {"__float__": lambda s: data.__setitem__(0, 100.0) or 1.0})()
    assert dot(view(data), seq([writer, 1.0])) == 3.0 and data[0] == 100.0
