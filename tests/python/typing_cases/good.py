# Calls that mypy and pyright must accept: each function of varnix_arrays, with numpy arrays, sequences and buffers.
import numpy as np

import varnix
import varnix_arrays as va
import varnix_arrays.spark as vs
from pyspark.sql import DataFrame



def frame() -> DataFrame:
    raise NotImplementedError


sdf = frame()
x = np.linspace(0.0, 1.0, 5)
m: varnix.MomentsF64 = va.merge_all([va.moments(x.astype(np.float32)), va.moments(x)])
m4: varnix.Moments4F64 = va.moments4(memoryview(b"\x01\x02"))
total: float = va.dot_value(va.merge_dot_states(va.dot_state(x, x.astype(np.int32))))
s: varnix.SumF64 = va.sum([1, 2.5, np.float32(3)], skipna=True, threads=2)
merged: bytes = va.merge_all([s.to_bytes()], cls=varnix.SumF64)
h: varnix.HistogramF64 = va.merge_histograms(va.histogram(x, [0.0, 0.5]), va.histogram([1], x))
e: varnix.ExtremaF64 = va.merge_extrema(va.extrema(x, skipna=True), va.extrema(x))
c: varnix.CovF64 = va.cov(x, x[::-1], skipna=True)
w: varnix.WeightedMomentsF64 = va.weighted_moments([1.0, 2.0], np.ones(2, dtype=np.int8))
cm: varnix.CovMatrixF64 = va.cov_matrix(np.ones((5, 2)), x)
by_key: varnix.SumMap = va.sum_by_key(["a", "b"], np.arange(2))
mm: varnix.MomentsMap = va.moments_by_key(np.array(["a"]).tolist(), [1.0])
va.enable_pickling()
v: float = varnix.dot(x, [1.0, 2.0, 3.0, 4.0, 5.0])
table = va.groupby({"k": ["a", "b"], "x": x[:2]}, by="k", aggs={"x": ["sum", "var"]}, errors="raise", states=True)
merged = va.merge(table, table, errors="coerce")
vs_mean: float = vs.moments(sdf, "x", skipna=True).mean()
per_key: DataFrame = vs.groupby(sdf, by=["k"], aggs={"x": ["sum", "var"]}, states=True)
f32: varnix.SumF32 = va.sum(x.astype(np.float32), dtype=np.float32, skipna=True)
summary: dict[str, object] = va.describe(va.histogram(x, [0.0, 1.0], skipna=True))
