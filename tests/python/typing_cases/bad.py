# Each line below the imports is one call that mypy and pyright must reject.
import numpy as np

import varnix
import varnix_arrays as va

x = np.linspace(0.0, 1.0, 5)
va.sum("abc")
va.sum(x, skipna="no")
wrong_class: varnix.MomentsF64 = va.sum(x)
va.dot_state(x)
va.dot_value(x)
va.merge_dot_states(x)
varnix.FastSumF64().extend("abc")
varnix.dot(x, ["a"])
varnix.SumF64().add("1.0")
number: int = va.dot_value(b"")
va.histogram(x)
va.merge_extrema(va.extrema(x), va.histogram(x, x))
va.cov_matrix(x, x, x)
va.sum_by_key([1, 2], x)
