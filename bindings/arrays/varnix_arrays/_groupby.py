"""Exact per-key statistics of tables: groupby, and merge of group-by tables carrying their states.

Keys are factorised by pandas (sorted as pandas sorts group keys); each value
column's groups are then fed to their varnix states in one native pass, with
the interpreter lock released.  Every cell is the statistic of the state its
class reaches by adding the group's values, rounded once.
"""
import json

import numpy as np

from . import _native

_LAYOUT = b"varnix.groupby"

# The statistics, by the names the classes give them, and their codes in the
# native pass.  pandas' var and std (ddof=1) are the sample variance and its
# root.
STATISTICS = {
    "count": 0, "sum": 1, "mean": 2, "variance": 3, "sample_variance": 4, "stddev": 5,
    "skewness": 7, "kurtosis": 8, "excess_kurtosis": 9, "min": 10, "max": 11,
    "var": 4, "std": 6,
}
_EXTREMA_CODES = (10, 11)
# pandas names whose definitions differ from every varnix statistic.
_REFUSED = {
    "skew": "pandas' skew is the bias-corrected sample skewness; varnix computes the population "
            "'skewness'",
    "kurt": "pandas' kurt is the bias-corrected sample excess kurtosis; varnix computes the population "
            "'kurtosis' and 'excess_kurtosis'",
}
_CLASSES = {1: "SumF64", 2: "MomentsF64", 3: "Moments4F64", 4: "ExtremaF64"}
_CLASS_CODES = {v: k for k, v in _CLASSES.items()}
_REASONS = {1: "Empty", 2: "NonFinite", 3: "ExactnessLost", 4: "Degenerate"}
_ERRORS = ("coerce", "raise")


# ------------------------------------------------------------------ inputs

def _module_of(obj):
    return type(obj).__module__.split(".", 1)[0]


def _library(*objs):
    """The library the result is given in: that of the first table or column given."""
    for o in objs:
        m = _module_of(o)
        if m == "polars":
            return "polars"
        if m == "pandas" or isinstance(o, np.ndarray):
            return "pandas"
        if m == "pyarrow" or hasattr(o, "__arrow_c_stream__") or hasattr(o, "__arrow_c_array__"):
            return "arrow"
    return "pandas"


def _arrow(obj):
    """An Arrow array or chunked array of a polars Series or any Arrow-exporting column."""
    import pyarrow as pa
    if _module_of(obj) == "polars":
        return obj.to_arrow()
    if isinstance(obj, (pa.Array, pa.ChunkedArray)):
        return obj
    if hasattr(obj, "__arrow_c_stream__"):
        return pa.chunked_array(obj)
    return pa.array(obj)


def _is_arrow_column(obj):
    """A column read through Arrow: polars, pyarrow, or any other Arrow exporter that is not numpy or pandas
    (pandas objects export Arrow too, but by converting their values)."""
    m = _module_of(obj)
    return m in ("polars", "pyarrow") or (m not in ("pandas", "numpy") and (
        hasattr(obj, "__arrow_c_stream__") or hasattr(obj, "__arrow_c_array__")))


def _column(data, name):
    """Column `name` of a table (pandas, polars, pyarrow or anything Arrow-shaped) or of a mapping."""
    if data is None:
        raise TypeError(f"column {name!r} named, but no table given")
    m = _module_of(data)
    if m == "pyarrow" and hasattr(data, "column"):
        return data.column(name)
    if m == "polars":
        return data.get_column(name)
    if m != "pandas" and not hasattr(data, "__getitem__") and hasattr(data, "__arrow_c_stream__"):
        import pyarrow as pa
        return pa.table(data).column(name)
    return data[name]


def _name(col):
    """The name a key column carries (a pandas or polars Series' name), else None."""
    n = getattr(col, "name", None)
    return n if isinstance(n, (str, int)) and not isinstance(n, bool) else None


def _keys(data, by):
    """The key columns and their names: `by` is a name, a column, or a list of both."""
    if isinstance(by, (list, tuple)):
        items = list(by)
    else:
        items = [by]
    if not items:
        raise ValueError("by names no key")
    cols, names = [], []
    for k in items:
        if isinstance(k, (str, int)) and not isinstance(k, bool):
            cols.append(_column(data, k))
            names.append(k)
        else:
            cols.append(k)
            names.append(_name(k))
    return cols, names


def _factorize(col):
    """(codes, uniques) of one key column: codes -1 for a missing key, uniques sorted as pandas sorts keys."""
    import pandas as pd
    if _is_arrow_column(col):
        col = _arrow(col).to_pandas()
        if isinstance(col.dtype, pd.CategoricalDtype) and not col.dtype.ordered:
            # A dictionary's order is an accident of its encoding: its keys sort by value.
            col = col.cat.reorder_categories(sorted(col.cat.categories))
    elif not isinstance(col, (pd.Series, pd.Index, pd.Categorical, np.ndarray)):
        col = np.asarray(col)
    if isinstance(getattr(col, "dtype", None), pd.CategoricalDtype):
        # A categorical's codes are its factorisation already (and need no hash table, which does not survive
        # exhausted memory): the categories in use are kept, in their order, as pandas' factorize keeps them.
        cat = getattr(col, "array", col)
        codes = np.asarray(cat.codes, dtype=np.int64)
        used = np.bincount(codes[codes >= 0], minlength=len(cat.categories)) > 0
        rank = np.cumsum(used) - 1
        return (np.ascontiguousarray(np.where(codes >= 0, rank[codes], -1)),
                pd.Categorical.from_codes(np.flatnonzero(used), dtype=cat.dtype))
    codes, uniques = pd.factorize(col, sort=True, use_na_sentinel=True)
    return np.ascontiguousarray(codes, dtype=np.int64), uniques


def _group_keys(cols):
    """(codes, per-key unique values for each group) of the key columns.

    Several keys combine as mixed-radix codes, re-factorised after each key so
    that they stay below the number of rows squared; sorted integers order the
    groups lexicographically, as pandas does.
    """
    import pandas as pd
    n = None
    codes, groups = None, []
    for col in cols:
        c, u = _factorize(col)
        if n is not None and len(c) != n:
            raise ValueError("key columns differ in length")
        n = len(c)
        if codes is None:
            codes, groups = c, [u]
            continue
        width = len(u)
        # A row missing any key is -1, which an integer factorisation takes as a value: sorted first, its
        # code is 0, so every code moves down by one and the row's becomes -1 again.
        combined = np.where((codes < 0) | (c < 0), -1, codes * width + c)
        codes, seen = pd.factorize(combined, sort=True, use_na_sentinel=True)
        codes = np.ascontiguousarray(codes, dtype=np.int64)
        if len(seen) and seen[0] < 0:
            codes, seen = codes - 1, seen[1:]
        groups = [g.take(seen // width) for g in groups] + [u.take(seen % width)]
    return codes, groups


def _is_pandas_array(col):
    return _module_of(col) == "pandas" and type(col).__name__.endswith("Array")


def _pandas_series(col):
    import pandas as pd
    return pd.Series(col, copy=False)


def _stat_codes(stats):
    if isinstance(stats, str):
        stats = [stats]
    codes = []
    for s in stats:
        if s in _REFUSED:
            raise ValueError(f"statistic {s!r} refused: {_REFUSED[s]}")
        if s not in STATISTICS:
            raise ValueError(f"unknown statistic {s!r}; varnix computes " +
                             ", ".join(k for k in STATISTICS if k not in ("var", "std")) +
                             ", and pandas' 'var' and 'std' (ddof=1)")
        codes.append(STATISTICS[s])
    return list(stats), codes


def _check_errors(errors):
    if errors not in _ERRORS:
        raise ValueError(f"errors must be 'coerce' or 'raise', not {errors!r}")


# ------------------------------------------------------------ native pass

class _Column:
    """The results of one value column: its statistics' names, cells and error codes, and its states."""

    def __init__(self, name, stats, codes):
        self.name, self.stats, self.codes = name, stats, codes
        power, extrema = _native.group_classes(bytes(codes))
        self.classes = [c for c in (power, extrema) if c]
        self.cells, self.errors, self.states = [], [], {}

    def take(self, raw, groups, codes, classes):
        """Reads a pass's bytes (k statistics in `codes`, states of `classes`) into the results."""
        k = len(codes)
        cells = np.frombuffer(raw, dtype=np.float64, count=k * groups).reshape(k, groups)
        errors = np.frombuffer(raw, dtype=np.uint8, count=k * groups, offset=8 * k * groups).reshape(k, groups)
        at = 9 * k * groups
        for c in classes:
            size = _STATE_BYTES[c]
            self.states[c] = [raw[at + g * size: at + (g + 1) * size] for g in range(groups)]
            at += groups * size
        return cells, errors

    def finish(self, parts):
        """Puts the statistics in the order asked, from the parts of one or two passes."""
        cells, errors = {}, {}
        for codes, (c, e) in parts:
            for i, code in enumerate(codes):
                cells.setdefault(code, c[i])
                errors.setdefault(code, e[i])
        self.cells = [cells[code] for code in self.codes]
        self.errors = [errors[code] for code in self.codes]


_STATE_BYTES = {1: 281, 2: 563, 3: 1128, 4: 25}


def _raise_first(columns, group_label):
    """ValueError naming the group, the column, the statistic and the reason of the first refused cell."""
    first = None
    for col in columns:
        for stat, err in zip(col.stats, col.errors):
            bad = np.flatnonzero(err)
            if bad.size and (first is None or bad[0] < first[0]):
                first = (int(bad[0]), col.name, stat, _REASONS[int(err[bad[0]])])
    if first is not None:
        g, name, stat, reason = first
        raise ValueError(f"group {group_label(g)!r}: {stat} of column {name!r} is undefined: {reason}")


# ----------------------------------------------------------------- output

def _pandas_index(groups, names):
    import pandas as pd
    if len(groups) == 1:
        return pd.Index(groups[0], name=names[0])
    return pd.MultiIndex.from_arrays(list(groups), names=names)


def _group_label(groups):
    def label(g):
        vals = tuple(v.item() if isinstance(v, np.generic) else v for v in (u[g] for u in groups))
        return vals[0] if len(vals) == 1 else vals
    return label


def _cell_array(code, cells):
    return cells.astype(np.int64) if code == STATISTICS["count"] else cells


def _objects(items):
    """An object array of the items (np.array would make fixed-width bytes and strip trailing NUL bytes)."""
    out = np.empty(len(items), dtype=object)
    out[:] = items
    return out


def _table(library, groups, names, columns, states):
    """The result table in the caller's library."""
    import pandas as pd
    cols = {}
    for col in columns:
        for stat, code, cells in zip(col.stats, col.codes, col.cells):
            cols[(col.name, stat)] = _cell_array(code, cells)
        if states:
            for c in col.classes:
                cols[(col.name, _CLASSES[c])] = col.states[c]
    if library == "pandas":
        index = _pandas_index(groups, names)
        out = pd.DataFrame({k: v if isinstance(v, np.ndarray) else _objects(v) for k, v in cols.items()},
                           index=index)
        out.columns = pd.MultiIndex.from_tuples(list(cols))
        return out
    import pyarrow as pa
    arrays, fields = [], []
    for i, (u, name) in enumerate(zip(groups, names)):
        arrays.append(pa.array(u))
        fields.append(str(name) if name is not None else f"key_{i}" if len(names) > 1 else "key")
    for (cname, stat), v in cols.items():
        arrays.append(pa.array(v, type=pa.binary()) if isinstance(v, list) else pa.array(v))
        fields.append(f"{cname}_{stat}")
    # The schema says which columns are keys and what each other one holds, so that a merge does not
    # have to read it back from the flat names (a column named a_sum could hold the sum of a or of a_).
    layout = {"keys": len(names), "cells": [list(k) for k in cols]}
    table = pa.table(arrays, names=fields).replace_schema_metadata({_LAYOUT: json.dumps(layout)})
    if library == "polars":
        import polars as pl
        return pl.from_arrow(table)
    return table


# --------------------------------------------------------------- groupby

def _plan(aggs):
    if not isinstance(aggs, dict) or not aggs:
        raise TypeError("aggs must be a dict mapping each value column to a statistic or a list of them")
    return [(name, *_stat_codes(stats)) for name, stats in aggs.items()]


def groupby(data, by, aggs, *, skipna=False, errors="coerce", states=False):
    """Exact statistics of value columns per group of keys, as a table in the caller's library.

    data: a pandas, polars or pyarrow table, or a mapping of names to columns (numpy, pandas, Arrow,
    polars or sequences).  by: a key column's name in data, a key column itself, or a list of them
    (strings, integers, booleans or categoricals).  aggs: {value column name: statistic or [statistic,
    ...]}.  Rows whose key or value is missing (NA, null) are left out of that cell; a NaN is a value
    unless skipna=True.  A refused cell is NaN, or with errors="raise" a ValueError naming its group.
    states=True adds each group's encoded state per value column and class.
    """
    _check_errors(errors)
    plan = _plan(aggs)
    key_cols, names = _keys(data, by)
    value_cols = [_column(data, name) for name, _, _ in plan]
    library = _library(data, *key_cols, *value_cols) if data is not None else _library(*key_cols, *value_cols)
    codes, groups = _group_keys(key_cols)
    order = _native.group_order(codes, len(groups[0]) if groups else 0)
    ngroups = len(groups[0])
    columns = []
    for (name, stats, stat_codes), col in zip(plan, value_cols):
        if len(col) != len(codes):
            raise ValueError(f"column {name!r} and the keys differ in length")
        out = _Column(name, stats, stat_codes)
        if _is_pandas_array(col):
            col = _pandas_series(col)    # the column reader reads pandas arrays inside a Series
        raw = _native.group_values(order, col, bool(skipna), bytes(stat_codes), bool(states))
        out.finish([(stat_codes, out.take(raw, ngroups, stat_codes, out.classes if states else []))])
        columns.append(out)
    if errors == "raise":
        _raise_first(columns, _group_label(groups))
    return _table(library, groups, names, columns, states)


# ------------------------------------------------------------------ merge

def _parse_flat(name, known):
    """(column, statistic or class) of a flat column name such as a_sample_variance, or None."""
    best = None
    for s in known:
        if name.endswith("_" + s) and len(name) > len(s) + 1 and (best is None or len(s) > len(best)):
            best = s
    return None if best is None else (name[: -len(best) - 1], best)


def _read_table(t):
    """(library, key columns, key names, {column: {statistic: cells}}, {column: {class: states}}) of a
    group-by table made with states=True."""
    m = _module_of(t)
    known = list(STATISTICS) + list(_CLASS_CODES)
    stats, states = {}, {}
    if m == "pandas":
        keys = [t.index.get_level_values(i) for i in range(t.index.nlevels)]
        names = list(t.index.names)
        for (col, what) in t.columns:
            (states if what in _CLASS_CODES else stats).setdefault(col, {})[what] = t[(col, what)]
        return "pandas", keys, names, stats, states
    if m == "polars":
        import polars as pl
        t = t.to_arrow() if isinstance(t, pl.DataFrame) else t
        library = "polars"
    else:
        library = "arrow"
    keys, names = [], []
    layout = (t.schema.metadata or {}).get(_LAYOUT)
    if layout is not None:
        layout = json.loads(layout)
        nkeys = layout["keys"]
        keys, names = [t.column(i) for i in range(nkeys)], t.schema.names[:nkeys]
        for i, (col, what) in enumerate(layout["cells"]):
            (states if what in _CLASS_CODES else stats).setdefault(col, {})[what] = t.column(nkeys + i)
        return library, keys, names, stats, states
    for i, field in enumerate(t.schema.names):
        parsed = _parse_flat(field, known)
        if parsed is None and not stats and not states:
            keys.append(t.column(i))
            names.append(field)
            continue
        if parsed is None:
            raise ValueError(f"column {field!r} is neither a key nor a statistic or state of a group-by table")
        col, what = parsed
        (states if what in _CLASS_CODES else stats).setdefault(col, {})[what] = t.column(i)
    return library, keys, names, stats, states


def _concat(parts):
    import pandas as pd
    first = parts[0]
    if _is_arrow_column(first):
        import pyarrow as pa
        return pa.chunked_array([c for p in parts for c in _arrow(p).chunks])
    return pd.concat([pd.Series(p) for p in parts], ignore_index=True)


def _state_bytes(col):
    if _is_arrow_column(col):
        return b"".join(_arrow(col).to_pylist())
    return b"".join(col)


def merge(*tables, errors="coerce"):
    """Merges group-by tables made with states=True (of separate runs, files or machines) exactly.

    The result is the table groupby would give for all their rows at once, states included: the
    groups of every table, sorted, with each column's states merged and its statistics read again.
    """
    _check_errors(errors)
    if len(tables) == 1 and isinstance(tables[0], (list, tuple)):
        tables = tuple(tables[0])
    if not tables:
        raise ValueError("merge needs at least one table")
    read = [_read_table(t) for t in tables]
    library, _, names, stats0, states0 = read[0]
    for r in read[1:]:
        if list(r[3]) != list(stats0) or [list(v) for v in r[3].values()] != [list(v) for v in stats0.values()] \
                or [list(v) for v in r[4].values()] != [list(v) for v in states0.values()] or len(r[1]) != len(names):
            raise ValueError("tables differ in their keys, columns, statistics or states")
    key_cols = [_concat([r[1][i] for r in read]) for i in range(len(names))]
    codes, groups = _group_keys(key_cols)
    ngroups = len(groups[0])
    order = _native.group_order(codes, ngroups)
    columns = []
    for name, stat_cells in stats0.items():
        stat_names, stat_codes = _stat_codes(list(stat_cells))
        held = states0.get(name, {})
        out = _Column(name, stat_names, stat_codes)
        if sorted(_CLASS_CODES[c] for c in held) != sorted(out.classes):
            raise ValueError(f"column {name!r} has no states for its statistics; make the tables with states=True")
        parts = []
        for c in out.classes:
            codes_c = [s for s in stat_codes if (s in _EXTREMA_CODES) == (c == 4)]
            blob = b"".join(_state_bytes(r[4][name][_CLASSES[c]]) for r in read)
            raw = _native.group_merge(order, c, blob, bytes(codes_c), True)
            parts.append((codes_c, out.take(raw, ngroups, codes_c, [c])))
        out.finish(parts)
        columns.append(out)
    if errors == "raise":
        _raise_first(columns, _group_label(groups))
    return _table(library, groups, names, columns, True)
