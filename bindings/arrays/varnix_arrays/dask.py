"""Exact reductions of Dask arrays and exact group-by statistics of Dask dataframes.

Each chunk is reduced to its byte state by varnix_arrays, the byte states are
merged in any tree, and the result is the varnix object, so that every
chunking, scheduler and repetition gives the same state and state hash.
"""
from functools import partial

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np

import varnix_arrays as _va
from . import _native

__all__ = ["sum", "moments", "moments4", "cov", "histogram", "extrema", "groupby_sum", "groupby_moments", "groupby"]


def _holder(state, ndim):
    """A one-element object array holding the bytes (np.full would strip trailing NUL bytes)."""
    out = np.empty((1,) * ndim, dtype=object)
    out[(0,) * ndim] = state
    return out


def _flat(parts):
    """The byte states of a chunk output or of the nested lists Dask hands to combine."""
    if isinstance(parts, bytes):
        yield parts
    elif isinstance(parts, np.ndarray):
        for p in parts.ravel():
            yield from _flat(p)
    else:
        for p in parts:
            yield from _flat(p)


# The task functions are module functions, bound to their arguments by functools.partial: Dask tokenizes every
# task function, and a closure is tokenized by pickling what it captures (for a persisted array, its data), which
# made building the graph of a reduction cost more than computing it.
def _merge(parts, cls):
    return _va.merge_all(list(_flat(parts)), cls=cls)


def _chunk(block, axis=None, keepdims=True, computing_meta=False, *, state, cls):
    """A block's byte state: state(values, *args) of its values, or, for blocks of byte states, their merge."""
    if computing_meta:
        return np.empty((0,) * block.ndim, dtype=object)
    if state is None:
        return _holder(_merge(block, cls), block.ndim)
    fn, args = state
    return _holder(fn(np.ascontiguousarray(block).reshape(-1), *args), block.ndim)


def _combine(parts, axis=None, keepdims=True, *, ndim, cls):
    return _holder(_merge(parts, cls), ndim)


def _aggregate(parts, axis=None, keepdims=False, *, cls):
    out = np.empty((), dtype=object)
    out[()] = _merge(parts, cls)
    return out


def _reduce(x, state, cls, split_every):
    """Tree reduction of a Dask array of any shape to one byte state of the class `cls`, a 0-d Dask array of one
    object.

    state is (fn, args): a block's byte state is fn(values, *args); without one, the blocks are object arrays of
    byte states already, and are merged as they are.
    """
    x = da.asarray(x)
    return da.reduction(x, partial(_chunk, state=state, cls=cls), partial(_aggregate, cls=cls),
                        combine=partial(_combine, ndim=x.ndim, cls=cls), axis=tuple(range(x.ndim)),
                        keepdims=False, dtype=object, concatenate=False, split_every=split_every,
                        meta=np.empty((), dtype=object))


def _finisher(name):
    """The last task: decodes the merged state into an object of the varnix class `name`.

    It may run in a worker process, which then has to pickle the object back,
    so it enables pickling where it runs.  Tasks name the classes instead of
    holding them, since a class is pickled by reference to its module.
    """
    def finish(state):
        _va.enable_pickling()
        return _va._restore(name, state[()] if isinstance(state, np.ndarray) else state)
    return finish


def _result(r, name, compute):
    """The varnix object of the reduced state r: with compute, r is computed and decoded here, so that no task
    pickles the object back; otherwise a Delayed whose last task decodes it where it runs."""
    finish = _finisher(name)
    return finish(r.compute()) if compute else dask.delayed(finish)(r)


# Each task reduces its chunk on one thread: the workers already share the CPUs.
def _fixed(native, name):
    def reduce(x, *, skipna=False, split_every=None, compute=True):
        flag = bool(skipna)
        r = _reduce(x, (native, (flag, 1)), name, split_every)
        return _result(r, name, compute)
    return reduce


sum = _fixed(_native.sum, "SumF64")
sum.__doc__ = "Exact SumF64 of every value of a Dask array (a Delayed when compute=False)."
moments = _fixed(_native.moments, "MomentsF64")
moments.__doc__ = "Exact MomentsF64 of every value of a Dask array (a Delayed when compute=False)."
moments4 = _fixed(_native.moments4, "Moments4F64")
moments4.__doc__ = "Exact Moments4F64 of every value of a Dask array (a Delayed when compute=False)."
extrema = _fixed(_native.extrema, "ExtremaF64")
extrema.__doc__ = "ExtremaF64 of every value of a Dask array (a Delayed when compute=False)."


def _pair_state(a, b, skipna):
    return _holder(_native.cov(np.ascontiguousarray(a).reshape(-1), np.ascontiguousarray(b).reshape(-1),
                               skipna, 1), a.ndim)


def cov(x, y, *, skipna=False, split_every=None, compute=True):
    """Exact CovF64 of the pairs of two Dask arrays of one shape (a Delayed when compute=False)."""
    x, y = da.asarray(x), da.asarray(y)
    if x.shape != y.shape:
        raise ValueError("x and y differ in shape")
    y = y.rechunk(x.chunks)
    flag = bool(skipna)

    states = da.map_blocks(_pair_state, x, y, flag, dtype=object, chunks=tuple((1,) * len(c) for c in x.chunks),
                           meta=np.empty((0,) * x.ndim, dtype=object))
    r = _reduce(states, None, "CovF64", split_every)
    return _result(r, "CovF64", compute)


def histogram(x, edges, split_every=None, compute=True):
    """HistogramF64 over the edges of every value of a Dask array (a Delayed when compute=False)."""
    edges = [float(e) for e in edges]
    _native.histogram([], edges, False, 1)  # refuses unusable edges before any task runs
    r = _reduce(x, (_native.histogram, (edges, False, 1)), "HistogramF64", split_every)
    return _result(r, "HistogramF64", compute)


# ---------------------------------------------------------------- group-by

def _groupby(df, by, column, chunk_state, name, skipna):
    flag = bool(skipna)

    def chunk(grouped):
        return grouped.agg(lambda s: chunk_state(s.to_numpy(dtype=np.float64), flag, 1))

    def agg(grouped):
        return grouped.agg(lambda s: _va.merge_all(list(s), cls=name))

    decode = _finisher(name)

    def finalize(states):
        return states.map(decode)

    aggregation = dd.Aggregation(f"varnix_{name}", chunk, agg, finalize)
    return df.groupby(by)[column].agg(aggregation)


def groupby_sum(df, by, column, *, skipna=False, compute=True):
    """Exact SumF64 of `column` per group of `by`: a pandas Series of SumF64 (a Dask Series when compute=False)."""
    r = _groupby(df, by, column, _native.sum, "SumF64", skipna)
    return r.compute() if compute else r


def groupby_moments(df, by, column, *, skipna=False, compute=True):
    """Exact MomentsF64 of `column` per group of `by`: a pandas Series of MomentsF64 (a Dask Series when compute=False)."""
    r = _groupby(df, by, column, _native.moments, "MomentsF64", skipna)
    return r.compute() if compute else r


def _finish_groupby(table, errors, states):
    """The merged table read again (raising on a refused cell with errors="raise"), its states kept or dropped."""
    table = _va.merge(table, errors=errors)
    if states:
        return table
    keep = [c for c in table.columns if c[1] not in _va._groupby._CLASS_CODES]
    return table[keep]


def groupby(ddf, by, aggs, *, skipna=False, errors="coerce", states=False, split_every=8, compute=True):
    """The table varnix_arrays.groupby gives for the whole Dask DataFrame, for any partitioning.

    Each partition is grouped with its states, the tables are merged in a tree of `split_every`
    (their states merged as bytes), and the last task reads the statistics: a pandas DataFrame, or a
    Delayed when compute=False.
    """
    _va._groupby._check_errors(errors)
    _va._groupby._plan(aggs)  # refuses unknown statistics before any task runs
    if split_every < 2:
        raise ValueError("split_every must be at least 2")
    tables = [dask.delayed(_va.groupby)(part, by=by, aggs=aggs, skipna=skipna, states=True)
              for part in ddf.to_delayed()]
    while len(tables) > 1:
        tables = [dask.delayed(_va.merge)(*tables[i:i + split_every]) for i in range(0, len(tables), split_every)]
    final = dask.delayed(_finish_groupby)(tables[0], errors, states)
    return final.compute() if compute else final
