"""varnix_arrays.groupby and merge: every cell is the varnix class fed the group's values one by one, the keys
and their order are pandas', and the table does not depend on the row order, the input library, the
splitting into merged parts or the Dask partitioning."""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import varnix
import varnix_arrays as va
from varnix_arrays import _native

pa = pytest.importorskip("pyarrow")

STATS = ["count", "sum", "mean", "variance", "sample_variance", "stddev", "var", "std",
         "skewness", "kurtosis", "excess_kurtosis", "min", "max"]
# Each statistic as the class computes it from values added one at a time.
CLASS_OF = {"count": varnix.SumF64, "sum": varnix.SumF64, "min": varnix.ExtremaF64, "max": varnix.ExtremaF64,
            "skewness": varnix.Moments4F64, "kurtosis": varnix.Moments4F64, "excess_kurtosis": varnix.Moments4F64}
READ = {"sum": lambda s: s.value(), "count": lambda s: s.count(), "var": lambda m: m.sample_variance(),
        "std": lambda m: math.sqrt(m.sample_variance())}
HARD = [1e16, 1.0, -1e16, 5e-324, -0.0, 0.1, 3.0, 1e300, -1e-300, 2.0 ** 600]


def oracle(values, stat):
    """The statistic of the class fed `values` by its own add, or None where the class refuses it."""
    s = CLASS_OF.get(stat, varnix.MomentsF64)()
    for v in values:
        s.add(float(v))
    try:
        return READ.get(stat, lambda o: getattr(o, stat)())(s)
    except ValueError:
        return None


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or np.float64(a).tobytes() == np.float64(b).tobytes()


def make(n, rng, nan=0.05):
    x = np.where(rng.random(n) < 0.3, rng.choice(HARD, n), rng.standard_normal(n) * 10.0 ** rng.integers(-5, 5, n))
    x[rng.random(n) < nan] = np.nan
    return pd.DataFrame({"k": rng.choice(["b", "a", "c", "é", "", None], n), "i": rng.integers(-2, 2, n),
                         "t": rng.random(n) < 0.5, "x": x, "y": rng.integers(-5, 5, n).astype(np.int64)})


def assert_cells(table, df, by, aggs, skipna):
    """Every cell against the oracle, the index against pandas' group keys (values and order)."""
    expected_index = df.groupby(by, sort=True).size().index
    assert list(table.index) == list(expected_index)
    for key in expected_index:
        rows = df[np.logical_and.reduce([df[c].to_numpy() == v for c, v in zip(by, key if len(by) > 1 else [key])])]
        for col, stats in aggs.items():
            vals = rows[col].dropna().to_numpy() if skipna else rows[col].to_numpy()
            for stat in stats:
                want, got = oracle(vals, stat), table.loc[key, (col, stat)]
                assert (want is None and math.isnan(got)) or same(got, want), (key, col, stat, got, want)


@settings(max_examples=15, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(1, 120), st.booleans(),
       st.sampled_from([["k"], ["i"], ["t"], ["k", "i"], ["t", "k", "i"]]))
def test_cells_are_the_class_states_rounded(seed, n, skipna, by):
    df = make(n, np.random.default_rng(seed))
    aggs = {"x": STATS, "y": ["sum", "var", "max"]}
    table = va.groupby(df, by=by if len(by) > 1 else by[0], aggs=aggs, skipna=skipna)
    assert_cells(table, df, by, aggs, skipna)
    shuffled = df.sample(frac=1.0, random_state=seed % 1000)    # the row order changes no bit
    assert va.groupby(shuffled, by=by, aggs=aggs, skipna=skipna).equals(table)


def test_inputs_from_pandas_polars_arrow_and_arrays_give_one_table():
    df = make(3000, np.random.default_rng(7), nan=0.0)
    df["k"] = df["k"].astype("category")
    aggs = {"x": ["sum", "mean", "var", "min"], "y": ["count", "sum"]}
    want = va.groupby(df, by=["k", "i"], aggs=aggs, states=True)
    arrow = va.groupby(pa.Table.from_pandas(df, preserve_index=False), by=["k", "i"], aggs=aggs, states=True)
    assert isinstance(arrow, pa.Table) and arrow.column_names[:4] == ["k", "i", "x_sum", "x_mean"]
    flat = want.reset_index()
    flat.columns = ["k", "i"] + [f"{a}_{b}" for a, b in want.columns]
    plain = lambda t: t.to_pandas().astype({"k": str})     # noqa: E731  (dictionary index widths differ)
    assert plain(arrow).equals(flat.astype({"k": str}))
    pl = pytest.importorskip("polars")
    polars = va.groupby(pl.from_pandas(df), by=["k", "i"], aggs=aggs, states=True)
    assert isinstance(polars, pl.DataFrame) and plain(polars).equals(plain(arrow))
    arrays = va.groupby({"x": df["x"].to_numpy(), "y": pa.array(df["y"])}, by=[df["k"], df["i"].to_numpy()],
                        aggs=aggs, states=True)
    assert list(arrays.index) == list(want.index) and arrays.set_axis(want.index).equals(want)


def test_missing_values_and_keys_are_left_out_and_nan_is_a_value():
    with_nan = pa.array([1.0, None, 2.0, 4.0, None, float("nan")])    # a NaN beside the nulls
    keys = pd.Series(["a", "a", None, "b", "b", "b"])
    aggs = {"x": ["count", "sum", "mean"]}
    # (column, group b's count and mean, and with skipna): the NaN is a value unless skipna leaves it out
    for x, b, b_skipna in [(with_nan, (2, math.nan), (1, 4.0)),
                           (pd.Series(pd.arrays.ArrowExtensionArray(with_nan)), (2, math.nan), (1, 4.0)),
                           (pd.array([1, None, 2, 4, None, 8], dtype="Int64"), (2, 6.0), (2, 6.0)),
                           (pd.array([True, None, True, False, None, True], dtype="boolean"), (2, 0.5), (2, 0.5))]:
        for skipna, (count, mean) in [(False, b), (True, b_skipna)]:
            t = va.groupby({"x": x}, by=keys, aggs=aggs, skipna=skipna)
            assert list(t.index) == ["a", "b"] and t[("x", "count")].tolist() == [1, count]
            assert t[("x", "mean")].iloc[0] == 1.0 and same(t[("x", "mean")].iloc[1], mean)
    with pytest.raises(ValueError, match=r"group 'b': mean of column 'x' is undefined: NonFinite"):
        va.groupby({"x": with_nan}, by=keys, aggs=aggs, errors="raise")
    with pytest.raises(ValueError, match=r"group \('a', 1\): sample_variance of column 'x' is undefined: Empty"):
        va.groupby({"x": [1.0, 2.0, 3.0]}, by=[["a", "a", "a"], [1, 2, 2]], aggs={"x": ["sample_variance"]},
                   errors="raise")


@pytest.mark.parametrize("aggs, errors, message", [
    ({"x": ["skew"]}, "coerce", "refused: pandas' skew .* 'skewness'"), ({}, "raise", "aggs must be a dict"),
    ({"x": "kurt"}, "coerce", "refused: .* 'excess_kurtosis'"), ({"x": "sum"}, "ignore", "errors must be 'coerce' or"),
    ({"x": ["median"]}, "raise", "unknown statistic 'median'; varnix computes count, sum"),
])
def test_refused_statistics_name_ours(aggs, errors, message):
    pytest.raises((ValueError, TypeError), va.groupby, {"x": [1.0]}, by=["a"], aggs=aggs, errors=errors).match(message)


@pytest.mark.parametrize("cuts", [[0, 1], [500, 501, 2999], [1000, 2000]])
def test_merged_parts_are_the_whole(cuts):
    df = make(3000, np.random.default_rng(len(cuts)))
    aggs = {"x": ["sum", "std", "kurtosis", "min", "max"], "y": ["mean"]}
    whole = va.groupby(df, by=["k", "t"], aggs=aggs, states=True)
    pieces = [df.iloc[a:b] for a, b in zip([0] + cuts, cuts + [len(df)])]
    parts = [va.groupby(p, by=["k", "t"], aggs=aggs, states=True) for p in pieces]
    assert va.merge(*parts[::-1]).equals(whole) and va.merge(parts).equals(whole)
    arrow = lambda p: va.groupby(pa.Table.from_pandas(p).rename_columns({"x": "x_", "k": "k_sum"}),  # noqa: E731
                                 by=["k_sum", "t"], aggs={"x_": aggs["x"], "y": aggs["y"]}, states=True)  # alike names
    assert va.merge(*map(arrow, pieces)).to_pandas().equals(arrow(df).to_pandas())
    states = whole[("x", "Moments4F64")]
    for key in whole.index[:3]:      # the states are the classes' encodings
        vals = df.set_index(["k", "t"]).loc[key, "x"].to_numpy()
        assert states[key] == va.moments4(vals).to_bytes()
    with pytest.raises(ValueError, match="no states for its statistics"):
        va.merge(va.groupby(df, by="k", aggs=aggs))


def test_native_pass_refuses_hostile_groupings():
    codes = np.array([0, 2, 1, -1, 2], dtype=np.int64)
    order = _native.group_order(codes, 3)
    raw = _native.group_values(order, [1.0, 2.0, 3.0, 4.0, 5.0], False, bytes([1]), False)
    assert np.frombuffer(raw, dtype=np.float64, count=3).tolist() == [1.0, 3.0, 7.0]
    for call, message in [
        (lambda: _native.group_order(codes, 2), "not below the number of groups"),
        (lambda: _native.group_order(codes.astype(np.int32), 3), "contiguous array of native int64"),
        (lambda: _native.group_values(order, [1.0] * 4, False, bytes([1]), False), "not a grouping"),
        (lambda: _native.group_values(order[:-1], [1.0] * 5, False, bytes([1]), False), "not a grouping"),
        (lambda: _native.group_values(order, [1.0] * 5, False, bytes([12]), False), "undefined"),
        (lambda: _native.group_merge(order, 1, bytes(281 * 4), bytes([1]), False), "not a grouping"),
        (lambda: _native.group_merge(order, 4, b"\xff" * 25 * 5, bytes([10]), False), "undefined"),
        (lambda: _native.group_merge(order, 5, b"", bytes([1]), False), "undefined"),
    ]:
        pytest.raises((ValueError, TypeError), call).match(message)


def test_dask_groupby_is_the_same_for_any_partitioning():
    dd = pytest.importorskip("dask.dataframe")
    vd = pytest.importorskip("varnix_arrays.dask")
    df = make(4000, np.random.default_rng(3))
    aggs = {"x": ["sum", "var", "min", "count"], "y": ["mean", "skewness"]}
    want = va.groupby(df, by=["k", "i"], aggs=aggs)
    for parts in (1, 4, 9):
        lazy = vd.groupby(dd.from_pandas(df, npartitions=parts), by=["k", "i"], aggs=aggs, compute=False)
        assert lazy.compute(scheduler="sync").equals(want)
    with_states = vd.groupby(dd.from_pandas(df, npartitions=3), by="k", aggs=aggs, states=True, split_every=2)
    assert with_states.equals(va.groupby(df, by="k", aggs=aggs, states=True))
    with pytest.raises(ValueError, match="refused"):
        vd.groupby(dd.from_pandas(df, npartitions=2), by="k", aggs={"x": ["skew"]})


def test_keyboard_interrupt_stops_the_native_pass():
    import signal
    codes = np.random.default_rng(0).integers(0, 10**6, 3 * 10**6)
    order = _native.group_order(codes, 10**6)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:     # the pass runs without the interpreter lock and takes it back to poll for signals between groups
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            _native.group_values(order, np.ones(len(codes)), False, bytes(range(12)), False)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
