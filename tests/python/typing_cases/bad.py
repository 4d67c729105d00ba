# Each line below the imports is one call that mypy and pyright must reject.
import numpy as np

import varnix
import varnix_arrays as va
import varnix_arrays.spark as vs
from pyspark.sql import DataFrame



def frame() -> DataFrame:
    raise NotImplementedError


sdf = frame()
x = np.linspace(0.0, 1.0, 5)
va.sum("abc")
va.sum(x, skipna="no")
wrong_class: varnix.MomentsF64 = va.sum(x)
va.dot_state(x)
va.histogram(x, x, threads="2")
varnix.dot(x, ["a"])
va.merge_extrema(va.extrema(x), va.histogram(x, x))
va.moments(x, True)
va.describe(x)
va.groupby({"x": x}, by=["a"], aggs={"x": "sum"}, errors="ignore")
va.merge(va.sum(x), errors="nan")
vs.sum(sdf, "x", True)
