"""Bulk constructors, merges and pickling for the varnix accumulators.

Every function here returns the ``varnix`` object whose state is bit-identical
to adding the values one by one; the states travel as the classes' public
byte encodings.
"""
import copyreg as _copyreg

import varnix as _vx

from . import _native
from ._groupby import groupby, merge

__all__ = [
    "sum", "moments", "moments4", "weighted_moments", "cov", "cov_matrix", "histogram", "extrema",
    "sum_by_key", "moments_by_key",
    "dot_state", "merge_dot_states", "dot_value",
    "merge_histograms", "merge_extrema", "merge_all", "enable_pickling",
    "groupby", "merge",
]

DOT_STATE_BYTES = 282


def _same_length(x, y):
    if len(x) != len(y):
        raise ValueError("x and y differ in length")


def sum(x, skipna=False):
    """SumF64 of the values of x (NaNs left out when skipna)."""
    return _vx.SumF64.from_bytes(_native.sum(x, bool(skipna)))


def moments(x, skipna=False):
    """MomentsF64 of the values of x (NaNs left out when skipna)."""
    return _vx.MomentsF64.from_bytes(_native.moments(x, bool(skipna)))


def moments4(x, skipna=False):
    """Moments4F64 of the values of x (NaNs left out when skipna)."""
    return _vx.Moments4F64.from_bytes(_native.moments4(x, bool(skipna)))


def weighted_moments(x, w, skipna=False):
    """WeightedMomentsF64 of the pairs (x[i], w[i]) (pairs holding a NaN left out when skipna)."""
    return _vx.WeightedMomentsF64.from_bytes(_native.weighted_moments(x, w, bool(skipna)))


def cov(x, y, skipna=False):
    """CovF64 of the pairs (x[i], y[i]) (pairs holding a NaN left out when skipna)."""
    return _vx.CovF64.from_bytes(_native.cov(x, y, bool(skipna)))


def cov_matrix(X, y, skipna=False):
    """CovMatrixF64 of the rows of the 2-D X with responses y (rows holding a NaN left out when skipna)."""
    return _vx.CovMatrixF64.decode(_native.cov_matrix(X, y, bool(skipna)))


def histogram(x, edges):
    """HistogramF64 over the edges holding every value of x (NaNs in its NaN count)."""
    return _vx.HistogramF64.decode(_native.histogram(x, edges))


def extrema(x, skipna=False):
    """ExtremaF64 of the values of x (NaNs left out when skipna)."""
    return _vx.ExtremaF64.from_bytes(_native.extrema(x, bool(skipna)))


def _by_key(m, keys, x, skipna):
    """Fills a keyed map. The maps have an encoding but no decoding, so their
    states are built by their own add, one call per value; x is read in bulk."""
    values = _native.values(x)
    keys = list(keys)
    if len(keys) != len(values):
        raise ValueError("keys and x differ in length")
    add = m.add
    for k, v in zip(keys, values):
        if not (skipna and v != v):
            add(k, v)
    return m


def sum_by_key(keys, x, skipna=False):
    """SumMap of the values x[i] under the str keys[i] (NaNs left out when skipna)."""
    return _by_key(_vx.SumMap(), keys, x, skipna)


def moments_by_key(keys, x, skipna=False):
    """MomentsMap of the values x[i] under the str keys[i] (NaNs left out when skipna)."""
    return _by_key(_vx.MomentsMap(), keys, x, skipna)


def dot_state(x, y, skipna=False):
    """The 282-byte exact state of the dot product of x and y (pairs with a NaN left out when skipna)."""
    return _native.dot_state(x, y, bool(skipna))


def merge_dot_states(*states):
    """The dot state holding every product of the given 282-byte states."""
    acc = bytes(DOT_STATE_BYTES)
    for s in states:
        acc = _native.merge_dot(acc, s)
    return acc


def dot_value(state):
    """The correctly rounded dot product of a 282-byte state; ValueError "ExactnessLost" when a product underflowed."""
    return _native.dot_value(state)


def merge_histograms(a, b):
    """The HistogramF64 holding the counts of both; their edges must be identical."""
    return _vx.HistogramF64.decode(_native.merge_histograms(a.encode(), b.encode()))


def merge_extrema(a, b):
    """The ExtremaF64 of the values of both."""
    return _vx.ExtremaF64.from_bytes(_native.merge_extrema(a.to_bytes(), b.to_bytes()))


# How the states of each class are merged when the class cannot do it itself.
_BYTE_MERGES = {"HistogramF64": _native.merge_histograms, "ExtremaF64": _native.merge_extrema}
# Fixed encoding lengths that name one class.
_FIXED_LENGTHS = {
    281: "SumF64", 282: None, 563: "MomentsF64", 1128: "Moments4F64", 846: "WeightedMomentsF64",
    1126: "PnMomentsF64", 1408: "CovF64", 25: "ExtremaF64",
}


def _class_for_bytes(b):
    n = len(b)
    if n in _FIXED_LENGTHS:
        return _FIXED_LENGTHS[n]
    if n >= 37 and (n - 21) % 16 == 0:
        return "HistogramF64"
    return "CovMatrixF64"


def _codec(cls):
    if hasattr(cls, "to_bytes"):
        return cls.to_bytes, cls.from_bytes
    return cls.encode, cls.decode


def merge_all(items, cls=None):
    """Merges states of one class, given as objects or as their byte encodings.

    Objects give a new object of their class; bytes give the bytes of the
    merged state, of the class `cls` (a varnix class or its name, or None to
    tell it from the length; 282 bytes are dot states). The inputs are not
    changed.
    """
    items = list(items)
    if not items:
        raise ValueError("merge_all needs at least one state")
    if isinstance(items[0], bytes):
        name = _class_for_bytes(items[0]) if cls is None else getattr(cls, "__name__", cls)
        if name is None or name == "DotF64":
            return merge_dot_states(*items)
        if name in _BYTE_MERGES:
            merge = _BYTE_MERGES[name]
            acc = items[0]
            for b in items[1:]:
                acc = merge(acc, b)
            return acc
        klass = getattr(_vx, name)
        to_bytes, from_bytes = _codec(klass)
        return to_bytes(merge_all([from_bytes(b) for b in items]))
    klass = type(items[0])
    if klass.__name__ in _BYTE_MERGES:
        to_bytes, from_bytes = _codec(klass)
        return from_bytes(merge_all([to_bytes(o) for o in items], cls=klass.__name__))
    if klass.__name__ in _PICKLABLE:  # a copy of the first, through its encoding
        to_bytes, from_bytes = _codec(klass)
        acc, rest = from_bytes(to_bytes(items[0])), items[1:]
    else:
        acc, rest = klass(), items
    for o in rest:
        acc.merge(o)
    return acc


def _restore(name, data):
    klass = getattr(_vx, name)
    return _codec(klass)[1](data)


def _reducer(name):
    to_bytes = _codec(getattr(_vx, name))[0]
    return lambda obj: (_restore, (name, to_bytes(obj)))


# The classes whose state is reachable through a public encoding both ways.
_PICKLABLE = ("SumF64", "SumF32", "MomentsF64", "Moments4F64", "CovF64", "WeightedMomentsF64",
              "PnMomentsF64", "CovMatrixF64", "HistogramF64", "ExtremaF64")


def enable_pickling():
    """Lets pickle (and so multiprocessing, joblib and Dask) carry varnix objects as their encodings.

    Registers copyreg reducers for every varnix class with an encoding and a
    decoding; `import varnix` alone leaves the classes unpicklable.
    """
    for name in _PICKLABLE:
        klass = getattr(_vx, name, None)
        if klass is not None:
            _copyreg.pickle(klass, _reducer(name))
