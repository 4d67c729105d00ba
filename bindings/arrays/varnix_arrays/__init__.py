"""Bulk constructors, merges and pickling for the varnix accumulators.

Every function here returns the ``varnix`` object whose state is bit-identical
to adding the values one by one; the states travel as the classes' public
byte encodings.
"""
import copyreg as _copyreg
import importlib as _importlib
import operator as _operator

import varnix as _vx

from . import _native
from ._version import __version__

__all__ = [
    "sum", "moments", "moments4", "weighted_moments", "cov", "cov_matrix", "histogram", "extrema",
    "sum_by_key", "moments_by_key",
    "dot_state", "merge_dot_states", "dot_value",
    "merge_histograms", "merge_extrema", "merge_all", "enable_pickling", "describe",
    "groupby", "merge",
]

DOT_STATE_BYTES = 282


def __getattr__(name):
    # The group-by needs numpy and pandas: it is imported on first use, so that the rest of the package needs
    # neither (a column may be any sequence).
    if name in ("groupby", "merge", "_groupby"):
        module = _importlib.import_module("._groupby", __name__)
        return module if name == "_groupby" else getattr(module, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _threads(threads):
    """The native thread limit: 0 for one thread per CPU the process may use."""
    if threads is None:
        return 0
    n = _operator.index(threads)
    if n < 1:
        raise ValueError("threads must be at least 1")
    return n


def _same_length(x, y):
    if len(x) != len(y):
        raise ValueError("x and y differ in length")


_FLOAT32_NAMES = ("float32", "f4", "<f4", "=f4", "single")


def _is_float32(dtype):
    if dtype is None:
        return False
    name = getattr(dtype, "__name__", None) or str(getattr(dtype, "name", dtype))
    if name in _FLOAT32_NAMES:
        return True
    if name in ("float64", "f8", "<f8", "=f8", "double", "float"):
        return False
    raise TypeError(f"dtype must be float64 or float32, not {dtype!r}")


def sum(x, *, skipna=False, dtype=None, threads=None):
    """SumF64 of the values of x (NaNs and missing values left out when skipna); SumF32 with dtype=float32."""
    if _is_float32(dtype):
        return _vx.SumF32.from_bytes(_native.sum_f32(x, bool(skipna), _threads(threads)))
    return _vx.SumF64.from_bytes(_native.sum(x, bool(skipna), _threads(threads)))


def moments(x, *, skipna=False, threads=None):
    """MomentsF64 of the values of x (NaNs left out when skipna)."""
    return _vx.MomentsF64.from_bytes(_native.moments(x, bool(skipna), _threads(threads)))


def moments4(x, *, skipna=False, threads=None):
    """Moments4F64 of the values of x (NaNs left out when skipna)."""
    return _vx.Moments4F64.from_bytes(_native.moments4(x, bool(skipna), _threads(threads)))


def weighted_moments(x, w, *, skipna=False, threads=None):
    """WeightedMomentsF64 of the pairs (x[i], w[i]) (pairs holding a NaN left out when skipna)."""
    return _vx.WeightedMomentsF64.from_bytes(_native.weighted_moments(x, w, bool(skipna), _threads(threads)))


def cov(x, y, *, skipna=False, threads=None):
    """CovF64 of the pairs (x[i], y[i]) (pairs holding a NaN left out when skipna)."""
    return _vx.CovF64.from_bytes(_native.cov(x, y, bool(skipna), _threads(threads)))


def cov_matrix(X, y, *, skipna=False, threads=None):
    """CovMatrixF64 of the rows of the 2-D X with responses y (rows holding a NaN left out when skipna)."""
    return _vx.CovMatrixF64.decode(_native.cov_matrix(X, y, bool(skipna), _threads(threads)))


def histogram(x, edges, *, skipna=False, threads=None):
    """HistogramF64 over the edges holding every value of x (NaNs in its NaN count, or left out when skipna)."""
    return _vx.HistogramF64.decode(_native.histogram(x, edges, bool(skipna), _threads(threads)))


def extrema(x, *, skipna=False, threads=None):
    """ExtremaF64 of the values of x (NaNs left out when skipna)."""
    return _vx.ExtremaF64.from_bytes(_native.extrema(x, bool(skipna), _threads(threads)))


def _by_key(m, keys, x, skipna):
    """Fills a keyed map. The maps have an encoding but no decoding, so their
    states are built by their own add, one call per value; x is read in bulk."""
    values = _native.values(x, bool(skipna))
    keys = list(keys)
    if len(keys) != len(values):
        raise ValueError("keys and x differ in length")
    add = m.add
    for k, v in zip(keys, values):
        if not (skipna and v != v):
            add(k, v)
    return m


def sum_by_key(keys, x, *, skipna=False):
    """SumMap of the values x[i] under the str keys[i] (NaNs left out when skipna)."""
    return _by_key(_vx.SumMap(), keys, x, skipna)


def moments_by_key(keys, x, *, skipna=False):
    """MomentsMap of the values x[i] under the str keys[i] (NaNs left out when skipna)."""
    return _by_key(_vx.MomentsMap(), keys, x, skipna)


def dot_state(x, y, *, skipna=False, threads=None):
    """The 282-byte exact state of the dot product of x and y (pairs with a NaN left out when skipna)."""
    return _native.dot_state(x, y, bool(skipna), _threads(threads))


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


# The classes merge_all merges: those with a merge of their own, and those merged through their encodings.
_MERGED = tuple(n for n in _vx.__all__ if hasattr(getattr(_vx, n), "merge") or n in _BYTE_MERGES)


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
    if getattr(_vx, klass.__name__, None) is not klass or klass.__name__ not in _MERGED:
        raise TypeError(f"merge_all merges states of {', '.join(_MERGED)} (or their encodings), "
                        f"not {klass.__name__}")
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


# The statistics each class answers without arguments, in the order describe lists them.
_STATISTICS = {
    "SumF64": ("value",), "SumF32": ("value",), "DotF64": ("value",),
    "MomentsF64": ("mean", "variance", "sample_variance", "stddev"),
    "Moments4F64": ("mean", "variance", "skewness", "skewness_squared", "kurtosis", "excess_kurtosis"),
    "WeightedMomentsF64": ("mean", "variance"), "PnMomentsF64": ("mean", "variance"),
    "CovF64": ("covariance", "slope", "intercept", "r_squared", "correlation"),
    "CovMatrixF64": ("regression", "regression_exact"), "ExtremaF64": ("min", "max", "range"),
    "HistogramF64": (), "ReplicatedSum": ("value",), "DeltasSum": ("value",),
}


def _answer(statistic, *args):
    """The statistic's value, or the name of the error it raises (such as "Empty" or "Degenerate")."""
    try:
        return statistic(*args)
    except (ValueError, OverflowError) as e:
        return str(e)


def _histogram_parts(h):
    import numpy as np
    counts = np.array(h.counts(), dtype=np.uint64)       # underflow, the bins, overflow
    nans = int.from_bytes(h.encode()[-8:], "little")     # the encoding ends with the NaN count
    return {"edges": np.array(h.edges(), dtype=np.float64), "counts": counts[1:-1],
            "flow": counts[[0, -1]], "nan_count": np.array(nans, dtype=np.uint64)}


def describe(state):
    """A dict of every statistic the state answers (the error's name where one raises), its count and its receipt.

    Keys: "class", "count" (values held; live values of a PnMomentsF64), each statistic of the class by its
    method's name, and "receipt" (the state hash, hex) where the class has one. A HistogramF64 gives "edges",
    "counts" (per bin), "flow" (below the first edge, from the last edge up) and "nan_count" as numpy arrays; a
    CovMatrixF64 its d x d "covariance" as a numpy array. A FastSumF64 is described by the SumF64 it finishes to.
    """
    name = type(state).__name__
    if name == "FastSumF64":
        state, name = state.finish(), "SumF64"
    if name not in _STATISTICS or type(state) is not getattr(_vx, name, None):
        raise TypeError(f"describe takes a varnix state ({', '.join(_STATISTICS)}), not {type(state).__name__}")
    out = {"class": name}
    count = getattr(state, "count", None) or getattr(state, "live_count", None) or getattr(state, "total", None)
    if count is not None:
        out["count"] = count()
    elif name == "ExtremaF64":                          # the encoding ends with the count
        out["count"] = int.from_bytes(state.to_bytes()[-8:], "little")
    for statistic in _STATISTICS[name]:
        value = _answer(getattr(state, statistic))
        if isinstance(value, list):                     # a regression's coefficients
            import numpy as np
            value = np.array(value, dtype=np.float64)
        out[statistic] = value
    if name == "HistogramF64":
        out.update(_histogram_parts(state))
    elif name == "CovMatrixF64":
        import numpy as np
        d = int.from_bytes(state.encode()[:4], "little")
        try:
            out["covariance"] = np.array([[state.covariance(i, j) for j in range(d)] for i in range(d)],
                                         dtype=np.float64).reshape(d, d)
        except (ValueError, OverflowError) as e:
            out["covariance"] = str(e)
    if hasattr(state, "state_hash"):
        out["receipt"] = state.state_hash().hex()
    return out
