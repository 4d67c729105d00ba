# Type stubs for varnix_arrays.
from collections.abc import Iterable, Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeVar, overload

from numpy import float32 as _float32, float64 as _float64
from typing_extensions import Buffer, TypeAlias

from varnix import (CovF64, CovMatrixF64, DeltasSum, DotF64, ExtremaF64, FastSumF64, HistogramF64, Moments4F64,
                    MomentsF64, MomentsMap, PnMomentsF64, ReplicatedSum, SumF32, SumF64, SumMap, WeightedMomentsF64)

class _Array(Protocol):
    """Anything numpy can turn into an array (an ndarray, a pandas Series or Index)."""
    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...

class _ArrowArray(Protocol):
    """An Arrow array exported through the Arrow PyCapsule interface (pyarrow.Array, ...)."""
    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]: ...

class _ArrowStream(Protocol):
    """A stream of Arrow arrays (pyarrow.ChunkedArray, polars.Series, ...)."""
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...

_Column: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer | _Array | _ArrowArray | _ArrowStream
_Mergeable = TypeVar("_Mergeable", SumF64, SumF32, DotF64, MomentsF64, Moments4F64, WeightedMomentsF64,
                     PnMomentsF64, CovF64, CovMatrixF64, HistogramF64, ExtremaF64)

__all__ = [
    "sum", "moments", "moments4", "weighted_moments", "cov", "cov_matrix", "histogram", "extrema",
    "sum_by_key", "moments_by_key",
    "dot_state", "merge_dot_states", "dot_value",
    "merge_histograms", "merge_extrema", "merge_all", "enable_pickling", "describe",
    "groupby", "merge",
]

DOT_STATE_BYTES: int

@overload
def sum(x: _Column, *, skipna: bool = False, dtype: None | Literal["float64"] | type[_float64] = None) -> SumF64:
    """The SumF64 holding every value of x, as if added one by one.

    x is a column: a one-dimensional numeric buffer or sequence (numpy arrays
    of every float, integer and bool dtype, in either byte order and with any
    stride, are read without a Python loop), a pandas Series or Index of any
    numeric dtype (nullable and ArrowDtype included), or any object exporting
    the Arrow PyCapsule interface (pyarrow arrays and chunked arrays, polars
    Series, ...), read in place; an n-dimensional numpy array is summed over
    all its elements. Missing values (NA, null) raise ValueError unless
    skipna=True, which leaves them out with the NaNs (not counted). A table
    or bytes is a TypeError."""
@overload
def sum(x: _Column, *, skipna: bool = False, dtype: Literal["float32", "f4", "single"] | type[_float32]) -> SumF32:
    """The SumF32 of the values of x, each rounded to binary32 as SumF32.add rounds it: the binary32 sum
    correctly rounded (value()), for a float32 column without a Python loop."""
def moments(x: _Column, *, skipna: bool = False) -> MomentsF64:
    """The MomentsF64 holding every value of x, as if added one by one (NaNs left out with skipna)."""
def moments4(x: _Column, *, skipna: bool = False) -> Moments4F64:
    """The Moments4F64 holding every value of x, as if added one by one (NaNs left out with skipna)."""
def weighted_moments(x: _Column, w: _Column, *, skipna: bool = False) -> WeightedMomentsF64:
    """The WeightedMomentsF64 of the pairs (x[i], w[i]), as if added one by one.

    ValueError when x and w differ in length; with skipna, pairs holding a NaN are left out."""
def cov(x: _Column, y: _Column, *, skipna: bool = False) -> CovF64:
    """The CovF64 of the pairs (x[i], y[i]), as if added one by one.

    ValueError when x and y differ in length; with skipna, pairs holding a NaN are left out."""
def cov_matrix(X: Sequence[Sequence[SupportsFloat | SupportsIndex]] | Buffer | _Array, y: _Column,
               *, skipna: bool = False) -> CovMatrixF64:
    """The CovMatrixF64 of the rows of X (n rows of d values) with responses y, as if added row by row.

    X is a two-dimensional numeric array or a sequence of equal-length rows;
    ValueError when X and y differ in the number of rows. With skipna, rows
    holding a NaN (in X or y) are left out."""
def histogram(x: _Column, edges: Sequence[SupportsFloat | SupportsIndex] | Buffer | _Array, *,
              skipna: bool = False) -> HistogramF64:
    """The HistogramF64 over the edges holding every value of x, as if added one by one.

    ValueError "edges must be sorted, finite, len>=2" for unusable edges. NaNs
    go to the histogram's NaN count; with skipna, NaNs and missing values are
    left out."""
def extrema(x: _Column, *, skipna: bool = False) -> ExtremaF64:
    """The ExtremaF64 of every value of x, as if added one by one (NaNs left out with skipna)."""
def sum_by_key(keys: Iterable[str], x: _Column, *, skipna: bool = False) -> SumMap:
    """The SumMap holding x[i] under keys[i], as if added one by one (NaNs left out with skipna).

    ValueError when keys and x differ in length. A SumMap has no decoding, so
    it is filled by its own add; to reduce across processes use
    varnix_arrays.dask.groupby_sum, which moves SumF64 states."""
def moments_by_key(keys: Iterable[str], x: _Column, *, skipna: bool = False) -> MomentsMap:
    """The MomentsMap holding x[i] under keys[i], as if added one by one (NaNs left out with skipna)."""
def dot_state(x: _Column, y: _Column, *, skipna: bool = False) -> bytes:
    """The 282-byte exact state of the sum of x[i]*y[i].

    ValueError when x and y differ in length; with skipna, pairs holding a NaN
    are left out. Merge states with merge_dot_states, read them with dot_value."""
def merge_dot_states(*states: bytes) -> bytes:
    """The 282-byte dot state holding the products of all the given states (in any order)."""
def dot_value(state: bytes) -> float:
    """The correctly rounded dot product of a 282-byte state.

    ValueError "ExactnessLost" when a product fell below the normal range,
    "wrong byte length" or "undefined (insufficient data or invalid input)"
    for bytes that are not a dot state."""
def merge_histograms(a: HistogramF64, b: HistogramF64) -> HistogramF64:
    """The histogram holding the counts of both; ValueError unless their edges are identical."""
def merge_extrema(a: ExtremaF64, b: ExtremaF64) -> ExtremaF64:
    """The extrema of the values of both."""
@overload
def merge_all(items: Iterable[bytes], cls: type | str | None = None) -> bytes:
    """Merges encoded states of one class into the encoding of the merged state."""
@overload
def merge_all(items: Iterable[_Mergeable], cls: None = None) -> _Mergeable:
    """Merges objects of one class into a new object of that class."""
def enable_pickling() -> None:
    """Registers pickle support, built on the byte encodings, for every varnix class that can be decoded."""
def describe(state: SumF64 | SumF32 | FastSumF64 | DotF64 | MomentsF64 | Moments4F64 | WeightedMomentsF64 |
             PnMomentsF64 | CovF64 | CovMatrixF64 | HistogramF64 | ExtremaF64 | ReplicatedSum | DeltasSum
             ) -> dict[str, Any]:
    """Every statistic the state answers, by its method's name (the error's name, such as "Empty", where it
    raises), with "class", "count" and "receipt" (the state hash in hex, where the class has one).

    A HistogramF64 gives "edges", "counts" (per bin), "flow" (below the first edge, from the last edge up)
    and "nan_count" as numpy arrays; a CovMatrixF64 its d x d "covariance" and regressions as numpy arrays."""
def groupby(data: Any, by: Any, aggs: dict[Any, str | Sequence[str]], *, skipna: bool = False,
            errors: Literal["coerce", "raise"] = "coerce", states: bool = False) -> Any:
    """Exact statistics of value columns per group of keys, as a table in the caller's library.

    A pandas DataFrame (keys as the sorted index, (column, statistic) columns)
    for pandas, numpy or mapping input; a polars DataFrame for polars input; a
    pyarrow Table (flat names such as a_sum) for Arrow input. Statistics:
    count, sum, mean, variance, sample_variance, stddev, skewness, kurtosis,
    excess_kurtosis, min, max, and pandas' var and std (ddof=1). NA and null
    are left out, NaN is a value unless skipna; a refused cell is NaN, or a
    ValueError naming its group with errors="raise". states=True adds each
    group's encoded state per column and class."""
def merge(*tables: Any, errors: Literal["coerce", "raise"] = "coerce") -> Any:
    """Merges group-by tables made with states=True into the table of all their rows, states included."""
