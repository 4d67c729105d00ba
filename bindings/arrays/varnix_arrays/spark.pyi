# Type stubs for varnix_arrays.spark.
from collections.abc import Mapping, Sequence

from pyspark.sql import DataFrame

from varnix import CovF64, CovMatrixF64, ExtremaF64, HistogramF64, Moments4F64, MomentsF64, SumF64

__all__ = ["sum", "moments", "moments4", "extrema", "cov", "histogram", "cov_matrix", "groupby"]

def sum(sdf: DataFrame, column: str, *, skipna: bool = False) -> SumF64:
    """The exact SumF64 of a column, the same for any partitioning, executor count and task order."""
def moments(sdf: DataFrame, column: str, *, skipna: bool = False) -> MomentsF64:
    """The exact MomentsF64 of a column."""
def moments4(sdf: DataFrame, column: str, *, skipna: bool = False) -> Moments4F64:
    """The exact Moments4F64 of a column."""
def extrema(sdf: DataFrame, column: str, *, skipna: bool = False) -> ExtremaF64:
    """The ExtremaF64 of a column."""
def cov(sdf: DataFrame, x: str, y: str, *, skipna: bool = False) -> CovF64:
    """The exact CovF64 of the pairs of two columns."""
def histogram(sdf: DataFrame, column: str, edges: Sequence[float], *, skipna: bool = False) -> HistogramF64:
    """The HistogramF64 over the edges of a column (NaNs left out when skipna); ValueError for unusable edges."""
def cov_matrix(sdf: DataFrame, columns: str | Sequence[str], y: str, *, skipna: bool = False) -> CovMatrixF64:
    """The exact CovMatrixF64 of the rows of the columns with the responses of column y."""
def groupby(sdf: DataFrame, by: str | Sequence[str], aggs: Mapping[str, str | Sequence[str]], *,
            skipna: bool = False, states: bool = False) -> DataFrame:
    """Exact statistics per group of keys as a Spark DataFrame sorted by key (with states=True, the states too)."""
