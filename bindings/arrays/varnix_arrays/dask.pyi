# Type stubs for varnix_arrays.dask.
from collections.abc import Sequence
from typing import Any, Literal, overload

from dask.delayed import Delayed

from varnix import CovF64, ExtremaF64, HistogramF64, Moments4F64, MomentsF64, SumF64

__all__ = ["sum", "moments", "moments4", "cov", "histogram", "extrema", "groupby_sum", "groupby_moments", "groupby"]

@overload
def sum(x: Any, *, skipna: bool = False, split_every: int | None = None, compute: Literal[True] = True) -> SumF64:
    """The exact SumF64 of every value of a Dask array, the same for any chunking and scheduler."""
@overload
def sum(x: Any, *, skipna: bool = False, split_every: int | None = None, compute: Literal[False]) -> Delayed:
    """The reduction as a Delayed that computes to the SumF64."""
@overload
def moments(x: Any, *, skipna: bool = False, split_every: int | None = None,
            compute: Literal[True] = True) -> MomentsF64:
    """The exact MomentsF64 of every value of a Dask array."""
@overload
def moments(x: Any, *, skipna: bool = False, split_every: int | None = None, compute: Literal[False]) -> Delayed:
    """The reduction as a Delayed that computes to the MomentsF64."""
@overload
def moments4(x: Any, *, skipna: bool = False, split_every: int | None = None,
             compute: Literal[True] = True) -> Moments4F64:
    """The exact Moments4F64 of every value of a Dask array."""
@overload
def moments4(x: Any, *, skipna: bool = False, split_every: int | None = None, compute: Literal[False]) -> Delayed:
    """The reduction as a Delayed that computes to the Moments4F64."""
@overload
def cov(x: Any, y: Any, *, skipna: bool = False, split_every: int | None = None,
        compute: Literal[True] = True) -> CovF64:
    """The exact CovF64 of the pairs of two Dask arrays of one shape; ValueError when the shapes differ."""
@overload
def cov(x: Any, y: Any, *, skipna: bool = False, split_every: int | None = None,
        compute: Literal[False]) -> Delayed:
    """The reduction as a Delayed that computes to the CovF64."""
@overload
def histogram(x: Any, edges: Sequence[float], split_every: int | None = None,
              compute: Literal[True] = True) -> HistogramF64:
    """The HistogramF64 over the edges of every value of a Dask array; ValueError for unusable edges."""
@overload
def histogram(x: Any, edges: Sequence[float], split_every: int | None = None, *,
              compute: Literal[False]) -> Delayed:
    """The reduction as a Delayed that computes to the HistogramF64."""
@overload
def extrema(x: Any, *, skipna: bool = False, split_every: int | None = None,
            compute: Literal[True] = True) -> ExtremaF64:
    """The ExtremaF64 of every value of a Dask array."""
@overload
def extrema(x: Any, *, skipna: bool = False, split_every: int | None = None, compute: Literal[False]) -> Delayed:
    """The reduction as a Delayed that computes to the ExtremaF64."""
def groupby_sum(df: Any, by: Any, column: str, *, skipna: bool = False, compute: bool = True) -> Any:
    """Exact SumF64 of a column per group: a pandas Series of SumF64 (a Dask Series when compute=False)."""
def groupby_moments(df: Any, by: Any, column: str, *, skipna: bool = False, compute: bool = True) -> Any:
    """Exact MomentsF64 of a column per group: a pandas Series of MomentsF64 (a Dask Series when compute=False)."""
def groupby(ddf: Any, by: Any, aggs: dict[Any, str | Sequence[str]], *, skipna: bool = False,
            errors: Literal["coerce", "raise"] = "coerce", states: bool = False, split_every: int = 8,
            compute: bool = True) -> Any:
    """varnix_arrays.groupby of a whole Dask DataFrame, identical for any partitioning (a Delayed when compute=False)."""
