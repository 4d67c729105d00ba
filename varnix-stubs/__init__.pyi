# Type stubs for the varnix extension module.
from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, TypeAlias

_Real: TypeAlias = SupportsFloat | SupportsIndex

class _Array(Protocol):
    """A numpy array: on Python 3.11 numpy declares no __buffer__, so it is matched by __array__."""
    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...

_Floats: TypeAlias = Sequence[_Real] | Buffer | _Array

__all__ = ["SumF64", "SumF32", "FastSumF64", "DotF64", "MomentsF64", "Moments4F64", "CovF64", "WeightedMomentsF64",
           "PnMomentsF64", "CovMatrixF64", "HistogramF64", "ExtremaF64", "SumMap", "MomentsMap", "ReplicatedSum",
           "DeltasSum", "dot"]

@final
class SumF64:
    """Exact sum of binary64 values: one 2176-bit integer in units of 2**-1074, a count and NaN/infinity flags.
    The state, its 281 bytes and its state_hash are the same for any order or grouping of adds and merges."""
    def __new__(cls) -> SumF64:
        """A new, empty sum."""
    def add(self, x: _Real) -> None:
        """Adds x (any object with a float value) exactly; NaN and infinities set sticky flags."""
    def merge(self, other: SumF64) -> None:
        """Adds the state of another SumF64 into this one."""
    def try_unmerge(self, other: SumF64) -> bool:
        """Exactly remove a previously merged contribution (group subtraction).
        Returns False (state untouched) if `other` carries NaN/infinity flags
        or a larger count. Kani-verified: the borrow chain inverts merge's
        carry chain for all valid states."""
    def count(self) -> int:
        """The number of values added, merged states included (saturating at 2**64 - 1)."""
    def value(self) -> float:
        """The exact sum rounded once to the nearest float (NaN or an infinity when flagged)."""
    def to_bytes(self) -> bytes:
        """The 281-byte encoding of the state."""
    @staticmethod
    def from_bytes(b: bytes) -> SumF64:
        """Decodes 281 bytes; ValueError "wrong byte length" or "undefined (insufficient data or invalid input)"."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding: equal for equal states, whatever the order of inputs."""

@final
class SumF32:
    """The exact sum, fed and read in binary32: each x is rounded to binary32 before it is added."""
    def __new__(cls) -> SumF32:
        """A new, empty sum."""
    def add(self, x: _Real) -> None:
        """Rounds x to binary32 and adds it exactly."""
    def merge(self, other: SumF32) -> None:
        """Adds the state of another SumF32 into this one."""
    def count(self) -> int:
        """The number of values added, merged states included."""
    def value(self) -> float:
        """The exact sum rounded once to the nearest binary32 value."""
    def to_bytes(self) -> bytes:
        """The 281-byte encoding, shared with SumF64."""
    @staticmethod
    def from_bytes(b: bytes) -> SumF32:
        """Decodes 281 bytes (also those of a SumF64)."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class FastSumF64:
    """A faster exact sum for long runs of values; finish() gives the SumF64 of the same values."""
    def __new__(cls) -> FastSumF64:
        """A new, empty sum."""
    def add(self, x: _Real) -> None:
        """Adds one value."""
    def extend(self, xs: _Floats) -> None:
        """Adds every value of a float sequence or numeric buffer (numpy arrays are read in place)."""
    def count(self) -> int:
        """The number of values added."""
    def finish(self) -> SumF64:
        """The exact state so far, as a new SumF64; this object is unchanged."""

@final
class DotF64:
    """Exact sum of products a*b, each kept as its rounded value plus the rounding error.
    A product below 2**-1022 makes value() raise ValueError "ExactnessLost"."""
    def __new__(cls) -> DotF64:
        """A new, empty dot product."""
    def push(self, a: _Real, b: _Real) -> None:
        """Adds the product a*b exactly."""
    def extend(self, xs: _Floats, ys: _Floats) -> None:
        """Adds xs[i]*ys[i] for every i; unequal lengths raise PanicException (a BaseException)."""
    def merge(self, other: DotF64) -> None:
        """Adds the state of another DotF64 into this one."""
    def value(self) -> float:
        """The exact sum of products rounded once; ValueError "ExactnessLost" after a product below the normal range."""
    def state_hash(self) -> bytes:
        """SHA-256 of the 282-byte state."""

@final
class MomentsF64:
    """Exact mean and variance: exact sums of x and x*x, read as rational numbers and rounded once."""
    def __new__(cls) -> MomentsF64:
        """A new, empty state."""
    def add(self, x: _Real) -> None:
        """Adds one value."""
    def merge(self, o: MomentsF64) -> None:
        """Adds the state of another MomentsF64 into this one."""
    def count(self) -> int:
        """The number of values added."""
    def mean(self) -> float:
        """The correctly rounded mean; ValueError "Empty" or "NonFinite"."""
    def variance(self) -> float:
        """The correctly rounded population variance (divisor n); ValueError "Empty", "NonFinite" or "ExactnessLost"."""
    def sample_variance(self) -> float:
        """The correctly rounded sample variance (divisor n - 1); ValueError "Empty" below two values."""
    def stddev(self) -> float:
        """The square root of the rounded variance."""
    def to_bytes(self) -> bytes:
        """The 563-byte encoding of the state."""
    @staticmethod
    def from_bytes(b: bytes) -> MomentsF64:
        """Decodes 563 bytes; ValueError "wrong byte length" or "undefined (insufficient data or invalid input)"."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class Moments4F64:
    """Exact moments up to the fourth: mean, variance, skewness and kurtosis, each rounded once."""
    def __new__(cls) -> Moments4F64:
        """A new, empty state."""
    def add(self, x: _Real) -> None:
        """Adds one value."""
    def merge(self, o: Moments4F64) -> None:
        """Adds the state of another Moments4F64 into this one."""
    def count(self) -> int:
        """The number of values added."""
    def mean(self) -> float:
        """The correctly rounded mean."""
    def variance(self) -> float:
        """The correctly rounded population variance."""
    def kurtosis(self) -> float:
        """The correctly rounded kurtosis; ValueError "Degenerate" without spread."""
    def excess_kurtosis(self) -> float:
        """The kurtosis minus 3, rounded once."""
    def skewness(self) -> float:
        """The signed square root of the rounded squared skewness."""
    def skewness_squared(self) -> float:
        """The squared skewness with the sign of the third moment, rounded once."""
    def to_bytes(self) -> bytes:
        """The 1128-byte encoding of the state."""
    @staticmethod
    def from_bytes(b: bytes) -> Moments4F64:
        """Decodes 1128 bytes; ValueError "wrong byte length" or "undefined (insufficient data or invalid input)"."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class CovF64:
    """Exact covariance, correlation and least-squares line of pairs (x, y): exact sums of x, y, x*x, y*y, x*y."""
    def __new__(cls) -> CovF64:
        """A new, empty state."""
    def add(self, x: _Real, y: _Real) -> None:
        """Adds the pair (x, y)."""
    def merge(self, o: CovF64) -> None:
        """Adds the state of another CovF64 into this one."""
    def count(self) -> int:
        """The number of pairs added."""
    def covariance(self) -> float:
        """The correctly rounded population covariance; ValueError "Empty", "NonFinite" or "ExactnessLost"."""
    def slope(self) -> float:
        """The least-squares slope of y on x, rounded once; ValueError "Degenerate" when x has no spread."""
    def intercept(self) -> float:
        """The least-squares intercept, rounded once; ValueError "Degenerate" when x has no spread."""
    def r_squared(self) -> float:
        """The squared correlation, rounded once; ValueError "Degenerate" when x or y has no spread."""
    def correlation(self) -> float:
        """The signed square root of the rounded r_squared."""
    def to_bytes(self) -> bytes:
        """The 1408-byte encoding of the state."""
    @staticmethod
    def from_bytes(b: bytes) -> CovF64:
        """Decodes 1408 bytes; ValueError "wrong byte length" or "undefined (insufficient data or invalid input)"."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class WeightedMomentsF64:
    """Exact weighted mean and variance of pairs (x, w): exact sums of w, w*x and w*x*x."""
    def __new__(cls) -> WeightedMomentsF64:
        """A new, empty state."""
    def add(self, x: _Real, w: _Real) -> None:
        """Adds x with weight w (any weight, zero and negative included)."""
    def merge(self, o: WeightedMomentsF64) -> None:
        """Adds the state of another WeightedMomentsF64 into this one."""
    def count(self) -> int:
        """The number of pairs added."""
    def mean(self) -> float:
        """The correctly rounded weighted mean; ValueError "Degenerate" unless the total weight is positive."""
    def variance(self) -> float:
        """The correctly rounded weighted population variance; ValueError "ExactnessLost" after a tiny x."""
    def to_bytes(self) -> bytes:
        """The 846-byte encoding of the state."""
    @staticmethod
    def from_bytes(b: bytes) -> WeightedMomentsF64:
        """Decodes 846 bytes; ValueError "wrong byte length" or "undefined (insufficient data or invalid input)"."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class PnMomentsF64:
    """Mean and variance of a window of values: exact moments of the values added minus those removed."""
    def __new__(cls) -> PnMomentsF64:
        """A new, empty state."""
    def add(self, x: _Real) -> None:
        """Adds one value."""
    def remove(self, x: _Real) -> None:
        """Removes one value added before (exactly: the moments of the rest remain)."""
    def merge(self, o: PnMomentsF64) -> None:
        """Adds the additions and removals of another PnMomentsF64 into this one."""
    def live_count(self) -> int:
        """The number of values added minus the number removed."""
    def mean(self) -> float:
        """The correctly rounded mean of the live values; ValueError "Degenerate" after more removals than additions."""
    def variance(self) -> float:
        """The correctly rounded population variance of the live values."""
    def to_bytes(self) -> bytes:
        """The 1126-byte encoding of the state."""
    @staticmethod
    def from_bytes(b: bytes) -> PnMomentsF64:
        """Decodes 1126 bytes; ValueError "wrong byte length" or "undefined (insufficient data or invalid input)"."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class CovMatrixF64:
    """Exact covariance matrix of d explanatory variables and a response: exact sums of every x_i and y and of
    every product x_i*x_j and x_i*y, with a fast and an exact least-squares regression."""
    def __new__(cls, d: SupportsIndex) -> CovMatrixF64:
        """A new, empty state of dimension d."""
    def count(self) -> int:
        """The number of rows added."""
    def add(self, x: _Floats, y: _Real) -> None:
        """Adds one row x of d values with response y; a row of another length raises PanicException."""
    def merge(self, o: CovMatrixF64) -> None:
        """Adds the state of another CovMatrixF64 into this one (another dimension poisons this state)."""
    def covariance(self, i: SupportsIndex, j: SupportsIndex) -> float:
        """The correctly rounded population covariance of x_i and x_j."""
    def regression(self) -> list[float]:
        """Least-squares coefficients computed in binary64 from the exact state."""
    def regression_exact(self) -> list[float]:
        """Exact tier: correctly rounded coefficients — the normal equations are
        solved in exact integer arithmetic and each coefficient rounded once.
        Bit-identical on any machine by mathematical definition."""
    def sub(self, o: CovMatrixF64) -> None:
        """Exactly remove a previously merged contribution (downdating /
        unlearning). All-or-nothing; raises on dimension mismatch, on
        non-finite-flagged subtrahends, or on count underflow."""
    def encode(self) -> bytes:
        """The encoding: a 5-byte header, then the exact sums and product sums."""
    @staticmethod
    def decode(b: bytes) -> CovMatrixF64:
        """Decodes an encoding; ValueError "undefined (insufficient data or invalid input)" otherwise."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class HistogramF64:
    """Counts of values in the bins of fixed edges, exact and saturating, with quantile bounds.
    Bin 0 holds values below edges[0], bin i values in [edges[i-1], edges[i]), the last bin the rest; NaNs
    are counted apart. It has no merge of its own: varnix_arrays.merge_histograms merges two histograms."""
    def __new__(cls, edges: _Floats) -> HistogramF64:
        """A histogram over the edges; ValueError "edges must be sorted, finite, len>=2" otherwise."""
    def add(self, x: _Real) -> None:
        """Counts x in its bin (a NaN only in the NaN count)."""
    def edges(self) -> list[float]:
        """The edges."""
    def counts(self) -> list[int]:
        """The n + 1 bin counts; ValueError "undefined (insufficient data or invalid input)" for a flagged state."""
    def total(self) -> int:
        """The number of values counted in the bins (NaNs excluded), saturating."""
    def quantile_bounds(self, q: _Real) -> tuple[float, float]:
        """The edges around the bin holding quantile q; ValueError "undefined (insufficient data or invalid input)"
        when q is outside [0, 1], nothing was counted, or the quantile lies in an open-ended bin."""
    def encode(self) -> bytes:
        """The 21 + 16 n byte encoding."""
    @staticmethod
    def decode(b: bytes) -> HistogramF64:
        """Decodes an encoding; ValueError "undefined (insufficient data or invalid input)" otherwise."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class ExtremaF64:
    """Minimum and maximum in the IEEE 754 total order (-0.0 below +0.0), the same for any order of values.
    It has no merge of its own: varnix_arrays.merge_extrema merges two states."""
    def __new__(cls) -> ExtremaF64:
        """A new, empty state."""
    def add(self, x: _Real) -> None:
        """Takes x into the extremes; a NaN poisons them."""
    def min(self) -> float:
        """The smallest value; ValueError "undefined (insufficient data or invalid input)" when empty or after a NaN."""
    def max(self) -> float:
        """The largest value; the same errors as min."""
    def range(self) -> float:
        """max - min, rounded once; the same errors as min."""
    def to_bytes(self) -> bytes:
        """The 25-byte encoding."""
    @staticmethod
    def from_bytes(b: bytes) -> ExtremaF64:
        """Decodes 25 bytes; ValueError "wrong byte length" or "undefined (insufficient data or invalid input)"."""
    def state_hash(self) -> bytes:
        """SHA-256 of the encoding."""

@final
class SumMap:
    """Exact sums under text keys; maps built from different parts of the data merge key by key.
    It has an encoding but no decoding, so a SumMap does not pickle; move SumF64 states per key instead."""
    def __new__(cls) -> SumMap:
        """A new, empty map."""
    def add(self, key: str, x: _Real) -> None:
        """Adds x to the sum under key (the key is created when absent)."""
    def value(self, key: str) -> float:
        """The correctly rounded sum under key; ValueError "undefined (insufficient data or invalid input)" when absent."""
    def merge(self, other: SumMap) -> None:
        """Merges another map in, key by key."""
    def len(self) -> int:
        """The number of keys."""
    def count(self) -> int:
        """The number of values added under all keys, saturating."""
    def encode(self) -> bytes:
        """The encoding: the keys in byte order, each with its 281-byte sum."""

@final
class MomentsMap:
    """Exact MomentsF64 states under text keys, merged key by key; encode only, like SumMap."""
    def __new__(cls) -> MomentsMap:
        """A new, empty map."""
    def add(self, key: str, x: _Real) -> None:
        """Adds x to the moments under key."""
    def mean(self, key: str) -> float:
        """The correctly rounded mean under key; ValueError "undefined (insufficient data or invalid input)" when absent."""
    def variance(self, key: str) -> float:
        """The correctly rounded population variance under key."""
    def merge(self, other: MomentsMap) -> None:
        """Merges another map in, key by key."""
    def len(self) -> int:
        """The number of keys."""
    def encode(self) -> bytes:
        """The encoding: the keys in byte order, each with its 563-byte MomentsF64 state."""

@final
class ReplicatedSum:
    """Per-replica exact sums that converge under join: each replica's state with the larger count wins."""
    def __new__(cls) -> ReplicatedSum:
        """A new, empty state."""
    def add(self, replica: SupportsIndex, x: _Real) -> None:
        """Adds x to the sum of the replica (a non-negative integer)."""
    def join(self, other: ReplicatedSum) -> None:
        """Joins another state in, replica by replica."""
    def value(self) -> float:
        """The correctly rounded total of all replicas."""
    def encode(self) -> bytes:
        """The encoding: 4 + 293 bytes per replica."""

@final
class DeltasSum:
    """A plain exact total of the values added."""
    def __new__(cls) -> DeltasSum:
        """A new, empty total."""
    def add(self, x: _Real) -> None:
        """Adds x exactly."""
    def value(self) -> float:
        """The correctly rounded total."""

def dot(xs: _Floats, ys: _Floats) -> float:
    """The exact dot product rounded once; ValueError "ExactnessLost", PanicException on unequal lengths."""
