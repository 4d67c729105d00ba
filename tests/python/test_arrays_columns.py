"""varnix_arrays columns from pandas, pyarrow and polars: every source gives the state of its non-missing values
(as a numpy array of them gives, itself checked against one add per value), with offsets, chunks, validity bitmaps
and masks; missing values are refused without skipna; tables and bytes are refused; Arrow arrays are released."""
import math

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given
from hypothesis import strategies as st

import varnix
import varnix_arrays as va
from conftest import any_f64
from oracles import canon, outcome
from test_arrays import image

MISSING = "the column holds missing values (NA or null); skipna=True leaves them out"
EDGES = [-2.5, 0.0, 1.0, 2.0**70]
WHOLE = [va.sum, va.moments, va.moments4, va.extrema, lambda x, **kw: va.histogram(x, EDGES, **kw),
         lambda x, **kw: va.sum(x, dtype="float32", **kw)]
INTS = {"int8": (-128, 127), "int16": (-2**15, 2**15 - 1), "int32": (-2**31, 2**31 - 1), "int64": (-2**63, 2**63 - 1),
        "uint8": (0, 255), "uint16": (0, 2**16 - 1), "uint32": (0, 2**32 - 1), "uint64": (0, 2**64 - 1)}
PAIRS = [va.cov, va.weighted_moments,    # X of cov_matrix a DataFrame of ones (NaN where y is missing)
         lambda x, y, **kw: va.cov_matrix(pd.DataFrame({"a": np.asarray(y) * 0 + 1}), x, **kw)]


def sources(values, cuts, lead):
    """The same column (None for missing) from each source; `lead` values in front are sliced off again."""
    padded, bounds = [1.5] * lead + values, [0, *sorted(cuts), len(values)]
    chunks = [pa.array(values[a:b], pa.float64()) for a, b in zip(bounds, bounds[1:])]
    mask = np.array([v is None for v in values], dtype=bool)
    masked = pd.arrays.FloatingArray(np.array([0.0 if v is None else v for v in values], dtype=np.float64), mask)
    return {"pandas Float64": pd.Series(masked),     # built from values and mask: a NaN stays a value, not NA
            "pandas Float64, strided": pd.Series(masked.repeat(2))[::2], "pandas Index": pd.Index(masked),
            "pandas ArrowDtype": pd.Series(pd.arrays.ArrowExtensionArray(pa.array(values, pa.float64()))),
            "pyarrow sliced": pa.array(padded, pa.float64())[lead:], "pyarrow chunked": pa.chunked_array(chunks),
            "polars": pl.Series(values, dtype=pl.Float64, strict=False),
            "polars sliced": pl.Series(padded, dtype=pl.Float64, strict=False)[lead:]}


@given(st.lists(st.one_of(any_f64, st.none()), max_size=40), st.lists(st.integers(0, 40), max_size=3),
       st.integers(0, 9))
def test_every_source_gives_the_state_of_its_present_values(values, cuts, lead):
    cuts = [c for c in cuts if c <= len(values)]
    kept = np.array([v for v in values if v is not None], dtype=np.float64)
    both = [i for i, v in enumerate(values) if v is not None]
    # pairs across unequal chunkings, a pair with either value missing left out; keyed values keep their own keys
    y = pa.array([None if v is None else float(i) for i, v in enumerate(values)], pa.float64())
    ky, keys = np.array(both, dtype=float), [str(i % 3) for i in range(len(values))]
    kept_keys = [keys[i] for i in both]
    calls = [(f, f) for f in WHOLE] + \
        [(lambda c, f=f, **kw: f(c, y, **kw), lambda c, f=f, **kw: f(c, ky, **kw)) for f in PAIRS + [va.dot_state]] + \
        [(lambda c, **kw: va.sum_by_key(keys, c, **kw), lambda c, **kw: va.sum_by_key(kept_keys, c, **kw))]
    for name, col in sources(values, cuts, lead).items():
        for on_col, on_kept in calls:
            assert image(on_col(col, skipna=True)) == image(on_kept(kept, skipna=True)), name
            assert outcome(lambda: image(on_col(col))) == (MISSING if len(both) < len(values) else
                                                            image(on_kept(kept))), name


@pytest.mark.parametrize("type_name", [*INTS, "float16", "float32", "float64", "bool", "null"])
@pytest.mark.parametrize("offset", [0, 1, 7, 9])
def test_every_arrow_primitive_type_reads_as_float_of_its_items(type_name, offset):
    type = getattr(pa, {"bool": "bool_"}.get(type_name, type_name))()
    lo, hi = INTS.get(type_name, (0, 1))
    if type_name == "bool":
        values = [bool(i % 3) for i in range(40)]
    elif type_name in INTS:    # the extremes round (2**63 - 1 to 2**63) as float(int) rounds them
        values = [lo, hi, hi - 1, lo + 1, 0, *range(lo, lo + 30), hi // 3]
    else:
        values = [0.1 * i - 1.7 for i in range(40)] + [math.inf, -0.0, math.nan]
    values = [None if i % 5 == 3 or type_name == "null" else v for i, v in enumerate(values)]
    arr = pa.array([None] * offset + values, type=type)[offset:]
    want = varnix.SumF64()
    [want.add(float(v)) for v in arr.to_pylist() if v is not None and float(v) == float(v)]
    for col in (arr, pa.chunked_array([arr[:11], arr[11:]]), pd.Series(arr, dtype=pd.ArrowDtype(type))):
        assert va.sum(col, skipna=True).to_bytes() == want.to_bytes()
    if type_name not in ("float16", "null"):    # pandas' nullable dtypes, read from values and mask
        dtype = {"bool": "boolean"}.get(type_name, type_name.capitalize().replace("Uint", "UInt"))
        masked = pd.Series(arr.to_pylist(), dtype=dtype)
        assert va.sum(masked, skipna=True).to_bytes() == want.to_bytes()


@pytest.mark.parametrize("shape, index", [((3, 4), ()), ((3, 4), (slice(None), slice(None, None, 2))),
                                          ((2, 3, 4), (slice(None, None, -1), 1)), ((2, 3, 4), "T"),
                                          ((5, 4, 3), (slice(1, 4), slice(None, None, 3), slice(None, None, -2))),
                                          ((), ()), ((0, 3), ())])
def test_whole_array_reductions_take_every_element_as_numpy_axis_none(shape, index):
    n = int(np.prod(shape))
    base = np.ldexp(np.arange(1.0, n + 1), np.arange(n) % 90 - 45).reshape(shape)
    x = base.T if index == "T" else np.asarray(base[index])
    for f in WHOLE:
        assert image(f(x.astype(">f4"))) == image(f(np.ravel(x.astype(">f4")).tolist()))
    assert va.sum(x).value() == math.fsum(x.ravel().tolist())
    if x.ndim != 1:
        for f in (va.cov, va.weighted_moments, va.dot_state):
            pytest.raises(TypeError, f, x, x)


@pytest.mark.parametrize("column, message", [
    (pd.DataFrame({"a": [1.0]}), "select one of its columns"), (pl.DataFrame({"a": [1.0]}), "select one of its columns"),
    (pa.table({"a": [1.0]}), "select one of its columns"), (pa.record_batch({"a": [1.0]}), "select one of its columns"),
    (b"\x00" * 281, "got bytes"), (bytearray(8), "got bytes"),
    (pa.array(["a"]), "unsupported Arrow type 'u'"), (pa.array([1.0]).dictionary_encode(), "dictionary-encoded"),
    (pa.array([0], pa.timestamp("s")), "unsupported Arrow type 'tss:'"),
    (pd.Series([1, 2], dtype="datetime64[ns]"), "must be real number"),
])
def test_tables_bytes_and_other_types_are_refused(column, message):
    for f in WHOLE + [lambda x, **kw: va.sum_by_key(["k"] * 1, x, **kw)]:
        pytest.raises(TypeError, f, column).match(message)


def test_arrow_arrays_are_released_on_every_path():
    before = pa.total_allocated_bytes()
    for _ in range(3):
        va.sum(pa.chunked_array([pa.array(np.arange(1000.0)), pa.array([1.0, None])]), skipna=True)
        pytest.raises(ValueError, va.moments, pa.array([1.0, None]))
        pytest.raises(TypeError, va.sum, pa.chunked_array([pa.array(["x"] * 100)]))
        pytest.raises(TypeError, va.sum, pa.table({"a": np.arange(100.0)}))
        pytest.raises(ValueError, va.cov, pa.array(np.arange(10.0)), pa.array(np.arange(11.0)))
    assert pa.total_allocated_bytes() == before


@pytest.mark.parametrize("state", [
    va.sum([]), va.sum([1e308, 1e308]), va.moments([2.0]), va.moments4([1.0, 2.0, 4.0]), va.cov([1.0, 2.0], [3.0, 1.0]),
    va.weighted_moments([1.0, 3.0], [1.0, 0.0]), varnix.PnMomentsF64(), va.extrema([]), va.extrema([-0.0, 3.0]),
    va.cov_matrix([[1.0, 2.0], [3.0, 1.0], [0.0, 0.0]], [1.0, 2.0, 3.0]), va.cov_matrix(np.zeros((0, 2)), []),
    va.histogram([math.nan, -3.0, 0.5, 0.5, 2.0**80, 1.0], EDGES), varnix.HistogramF64([0.0, 1.0]),
    va.sum(np.float32([0.1, 0.2]), dtype="float32"), varnix.DotF64(), varnix.FastSumF64(), varnix.DeltasSum(),
])
def test_describe_answers_each_statistic_or_names_its_error(state):
    d = va.describe(state)
    state = state.finish() if isinstance(state, varnix.FastSumF64) else state
    assert d["class"] == type(state).__name__
    hist = {"edges", "counts", "flow", "nan_count"} if d["class"] == "HistogramF64" else set()
    matrix = d["class"] == "CovMatrixF64"
    for name in set(d) - {"class", "count", "receipt", "covariance" if matrix else ""} - hist:
        got = outcome(getattr(state, name))
        assert canon(d[name].tolist() if isinstance(d[name], np.ndarray) else d[name]) == got, name
    if hasattr(state, "state_hash"):
        assert d["receipt"] == state.state_hash().hex()
    if hist:     # counts apart from the flow on either side, and the NaN apart from the total
        values = state.counts()
        assert [d[k].tolist() for k in ("edges", "counts", "flow")] == [state.edges(), values[1:-1],
                                                                        values[::len(values) - 1]]
        assert int(d["nan_count"]) + d["count"] == (6 if d["count"] else 0) and d["count"] == sum(values)
    if matrix:
        assert canon(d["covariance"].tolist()) == [[canon(state.covariance(i, j)) for j in range(2)] for i in range(2)] \
            if state.count() else d["covariance"] == "Empty"
    pytest.raises(TypeError, va.describe, varnix.SumMap())


def test_float32_sum_is_the_sumf32_of_the_same_values():
    x = np.concatenate([np.float32([3e38, 3e38, -3e38, 1e-45, np.nan]), np.ldexp(np.float32(1.5), np.arange(-149, 128))])
    for col, skipna in [(x, True), (x[:4], False), (x.astype(np.float64) * 1.0000001, True), (pa.array(x), True)]:
        want = varnix.SumF32()           # binary64 values are rounded to binary32 by add, as by the bulk sum
        [want.add(v) for v in np.asarray(col).tolist() if not (skipna and math.isnan(v))]
        assert va.sum(col, dtype=np.float32, skipna=skipna).to_bytes() == want.to_bytes()
    pytest.raises(TypeError, va.sum, x, dtype="int32")
