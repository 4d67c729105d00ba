"""Exact reductions and group-by statistics of Spark DataFrames.

Each partition is reduced to byte states in the Python worker, reading the
partition's Arrow batches through ``mapInArrow`` (no row becomes a Python
object); the states travel as bytes and are merged exactly, so that every
partitioning, executor count and task order gives the same state and state
hash as the same rows reduced in one piece by varnix_arrays.

The group-by runs varnix_arrays.groupby on each partition with its states,
shuffles those states by key as bytes and merges each key's states with
varnix_arrays.merge, so its table is the one varnix_arrays.groupby gives for
all the rows at once.

Null cells are left out (for pairs and rows, a row holding a null in any of
the columns read); a NaN is a value unless ``skipna=True``.
"""
import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import varnix_arrays as _va
from . import _native

__all__ = ["sum", "moments", "moments4", "extrema", "cov", "histogram", "cov_matrix", "groupby"]

_STATE_SCHEMA = "state binary"


def _names(columns):
    return [columns] if isinstance(columns, str) else list(columns)


def _valid_rows(batch):
    """The batch without the rows that hold a null in any column."""
    return batch if not any(c.null_count for c in batch.columns) else pc.drop_null(batch)


def _numpy(column):
    """A null-free Arrow column as numpy: zero copy for the primitive types."""
    return column.to_numpy(zero_copy_only=False)


def _partition_states(state_of, name):
    """The mapInArrow function: each partition's batches reduced to one merged state row.

    A partition without rows gives no row, so an empty partition changes
    nothing; the driver merges what the partitions give.
    """
    def reduce(batches):
        states = [state_of(*(_numpy(c) for c in _valid_rows(b).columns)) for b in batches if b.num_rows]
        if states:
            merged = states[0] if len(states) == 1 else _va.merge_all(states, cls=name)
            yield pa.RecordBatch.from_arrays([pa.array([merged], pa.binary())], names=["state"])
    return reduce


def _reduce(sdf, columns, state_of, name, empty):
    """The merged varnix object of `name` over the rows of `columns` of sdf.

    state_of maps the partition's column arrays (nulls left out) to a byte
    state; `empty` is the state of no rows, for a frame without any.
    """
    parts = sdf.select(*columns).mapInArrow(_partition_states(state_of, name), _STATE_SCHEMA).collect()
    states = [bytes(r.state) for r in parts]
    merged = _va.merge_all(states, cls=name) if states else empty
    return _va._restore(name, merged)


# Each task reduces its partition on one thread: the executors already share the CPUs.
def _fixed(native, name):
    def reduce(sdf, column, *, skipna=False):
        flag = bool(skipna)
        return _reduce(sdf, [column], lambda v: native(v, flag, 1), name, native(np.zeros(0), flag, 1))
    return reduce


sum = _fixed(_native.sum, "SumF64")
sum.__doc__ = "Exact SumF64 of the column of a Spark DataFrame (nulls left out; NaNs too when skipna)."
moments = _fixed(_native.moments, "MomentsF64")
moments.__doc__ = "Exact MomentsF64 of the column of a Spark DataFrame (nulls left out; NaNs too when skipna)."
moments4 = _fixed(_native.moments4, "Moments4F64")
moments4.__doc__ = "Exact Moments4F64 of the column of a Spark DataFrame (nulls left out; NaNs too when skipna)."
extrema = _fixed(_native.extrema, "ExtremaF64")
extrema.__doc__ = "ExtremaF64 of the column of a Spark DataFrame (nulls left out; NaNs too when skipna)."


def cov(sdf, x, y, *, skipna=False):
    """Exact CovF64 of the pairs of two columns (rows with a null left out; pairs with a NaN too when skipna)."""
    flag = bool(skipna)
    return _reduce(sdf, [x, y], lambda a, b: _native.cov(a, b, flag, 1), "CovF64",
                   _native.cov(np.zeros(0), np.zeros(0), flag, 1))


def histogram(sdf, column, edges, *, skipna=False):
    """HistogramF64 over the edges of the column (nulls left out; NaNs in its NaN count, or left out when skipna)."""
    edges, flag = [float(e) for e in edges], bool(skipna)
    empty = _native.histogram(np.zeros(0), edges, flag, 1)   # refuses unusable edges before any task runs
    return _reduce(sdf, [column], lambda v: _native.histogram(v, edges, flag, 1), "HistogramF64", empty)


def cov_matrix(sdf, columns, y, *, skipna=False):
    """Exact CovMatrixF64 of the rows of `columns` with the responses of column `y` (rows with a null left out)."""
    columns, flag = _names(columns), bool(skipna)

    def state_of(*arrays):
        return _native.cov_matrix(np.column_stack(arrays[:-1]), arrays[-1], flag, 1)

    return _reduce(sdf, columns + [y], state_of, "CovMatrixF64",
                   _native.cov_matrix(np.zeros((0, len(columns))), np.zeros(0), flag, 1))


# ---------------------------------------------------------------- group-by

def _table(batches):
    """The partition's non-empty batches as one Arrow table, or None."""
    batches = [b for b in batches if b.num_rows]
    return pa.Table.from_batches(batches) if batches else None


def _keyed_as(out, source, keys):
    """The group-by table `out` with its key columns cast back to their types in `source`.

    The keys come back from factorising in the types pandas gives them; the
    frame's schema names the Arrow types Spark expects.
    """
    fields = [source.schema.field(k) for k in keys] + list(out.schema)[len(keys):]
    return out.cast(pa.schema(fields))


def _spark_type(arrow_type):
    from pyspark.sql import types as T
    if pa.types.is_binary(arrow_type):
        return T.BinaryType()
    return T.LongType() if pa.types.is_integer(arrow_type) else T.DoubleType()


def groupby(sdf, by, aggs, *, skipna=False, states=False):
    """Exact statistics of value columns per group of key columns of a Spark DataFrame.

    by: a key column's name or a list of them; aggs: {value column name: [statistic, ...]} as
    varnix_arrays.groupby takes.  The result is a Spark DataFrame of the keys, sorted, then one column
    per statistic named like varnix_arrays.groupby's flat names (``a_sum``), and with states=True each
    group's encoded state per column and class (``a_MomentsF64``); its toPandas() equals
    varnix_arrays.groupby of the same rows collected as an Arrow table.  Rows with a null key and null
    values are left out; a NaN is a value unless skipna=True; an undefined statistic is NaN.
    """
    from pyspark.sql import types as T
    keys = _names(by)
    if not keys:
        raise ValueError("by names no key")
    if not isinstance(aggs, dict) or not aggs:
        raise TypeError("aggs must be a dict mapping each value column to a statistic or a list of them")
    aggs = {name: _names(stats) for name, stats in aggs.items()}
    flag = bool(skipna)
    # The layout of the tables, and a refusal of unknown statistics before any task runs: a group-by of one row.
    layout = _va.groupby(pa.table({**{k: [0] for k in keys}, **{c: [0.0] for c in aggs}}), by=keys, aggs=aggs,
                         states=True).schema
    value_fields = [T.StructField(f.name, _spark_type(f.type)) for f in list(layout)[len(keys):]]
    rows = sdf.select(*keys, *aggs)
    schema = T.StructType([rows.schema[k] for k in keys] + value_fields)

    def partial(batches):
        table = _table(batches)
        if table is not None:
            out = _va.groupby(table, by=keys, aggs=aggs, skipna=flag, states=True)
            yield from _keyed_as(out, table, keys).to_batches()

    def merged(batches):
        table = _table(batches)
        if table is not None:
            yield from _keyed_as(_va.merge(table), table, keys).to_batches()

    # The partial tables hold one row per group and partition: one merge task per core is enough.
    tasks = sdf.sparkSession.sparkContext.defaultParallelism
    out = rows.mapInArrow(partial, schema).repartition(tasks, *keys).mapInArrow(merged, schema).orderBy(*keys)
    if not states:
        out = out.select(*keys, *(f.name for f in value_fields if not isinstance(f.dataType, T.BinaryType)))
    return out
