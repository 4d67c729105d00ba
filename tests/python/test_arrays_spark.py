"""varnix_arrays.spark: states and group-by tables of a Spark DataFrame do not depend on its partitioning or on
the executor cores, and are those of the same rows reduced locally in one piece."""
import os
import pathlib
import shutil
import sys

import numpy as np
import pandas as pd
import pytest

import varnix_arrays as va
from test_arrays import image

pa = pytest.importorskip("pyarrow")
pytest.importorskip("pyspark")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs a Java runtime (Debian: openjdk-17-jre-headless)", allow_module_level=True)
import varnix_arrays.spark as vs  # noqa: E402

N = 3000
rng = np.random.default_rng(20261207)
X = np.copysign(np.ldexp(rng.random(N), rng.integers(-60, 60, N)), rng.random(N) - 0.5)
X[::71] = np.nan
X[[5, 6, 9]] = [-0.0, 5e-324, 0.0]         # Spark carries the sign of zero and subnormals through
Y = rng.standard_normal(N) * 1e3
K = rng.integers(-3, 9, N)                  # 12 integer keys; partitioned by K, 31 partitions leave most empty
S = rng.choice(["", "a", "ä", "b", "Z", "zz"], N)
NULL_X, NULL_K, NULL_S = rng.random(N) < 0.05, rng.random(N) < 0.03, rng.random(N) < 0.03
TABLE = pa.table({"x": pa.array(X, mask=NULL_X), "y": Y, "k": pa.array(K, mask=NULL_K),
                  "s": pa.array(S, mask=NULL_S), "b": K % 3 == 0})
XV, YV = X[~NULL_X], Y[~NULL_X]             # the rows without a null in x (y has none)
EDGES = [-1e9, -1.0, 0.0, 1e-6, 3.0, 1e12]
AGGS = {"x": ["count", "sum", "mean", "var", "min", "max"], "y": ["sample_variance", "skewness", "kurtosis"]}
ROWS = ~NULL_X & ~NULL_K                    # cov_matrix reads k too: rows with a null there go
CALLS = {   # each reduction's arguments after the frame, and locally over the rows Spark's reads
    "sum": (["x"], [XV]), "moments4": (["x"], [XV]), "extrema": (["x"], [XV]), "cov": (["x", "y"], [XV, YV]),
    "cov_matrix": ([["y", "k"], "x"], [np.column_stack([Y[ROWS], K[ROWS]]), X[ROWS]]),
    "histogram": (["x", EDGES], [XV, EDGES]),
}


@pytest.fixture(scope="session")
def spark():
    """A local Spark session of the cores asked for: another number stops it and starts one in the same JVM. Python
    workers run this interpreter and import varnix_arrays from where it does."""
    from pyspark.sql import SparkSession
    os.environ["PYSPARK_PYTHON"] = os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(pathlib.Path(va.__file__).parents[1]),
                                                             os.environ.get("PYTHONPATH")]))
    live = {}

    def session(cores):
        if cores not in live:
            [s.stop() for s in live.values()]
            live.clear()
            live[cores] = (SparkSession.builder.master(f"local[{cores}]").appName("varnix-tests")
                           .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
                           .config("spark.sql.shuffle.partitions", "5").getOrCreate())
            live[cores].sparkContext.setLogLevel("ERROR")
        return live[cores]
    yield session
    [s.stop() for s in live.values()]


@pytest.mark.parametrize("by, skipna, partitionings", [("s", False, (1, 7, 31)), (["k", "s"], True, (31,)),
                                                       (["b", "k"], False, (7,))])
def test_groupby_table_is_the_local_groupby_for_any_partitioning(spark, by, skipna, partitionings):
    sdf = spark(2).createDataFrame(TABLE)
    expected = va.groupby(TABLE, by=by, aggs=AGGS, skipna=skipna, states=True).to_pandas()
    for parts in partitionings:            # by k: 31 partitions leave most of them empty
        got = vs.groupby(sdf.repartition(parts, "k"), by=by, aggs=AGGS, skipna=skipna, states=True).toPandas()
        got = got.map(lambda v: bytes(v) if isinstance(v, bytearray) else v)   # states byte for byte, NaN where NaN
        pd.testing.assert_frame_equal(got, expected, check_dtype=False, check_exact=True)
    assert vs.groupby(sdf, by=by, aggs={"x": "sum"}).columns == ([by] if isinstance(by, str) else by) + ["x_sum"]
    with pytest.raises(ValueError, match="'skewness'"):
        vs.groupby(sdf, by=by, aggs={"x": ["skew"]})


@pytest.mark.parametrize("cores", [2, 1])
def test_reductions_are_the_local_state_for_any_partitioning_and_cores(spark, cores):
    """Every reduction on 31 partitions by key (most empty); the one- and several-column paths on 1 and 7."""
    sdf = spark(cores).createDataFrame(TABLE)
    plan = [(31, ("k",), list(CALLS), True), (31, ("k",), ["sum", "cov_matrix", "histogram"], False),
            (1, (), ["moments4", "cov"], False), (7, (), ["sum", "cov_matrix"], True)]
    for parts, by, names, skipna in (plan if cores == 2 else [plan[1], plan[3]]):
        d = sdf.repartition(parts, *by)
        for name in names:
            on_spark, local = CALLS[name]
            assert image(getattr(vs, name)(d, *on_spark, skipna=skipna)) == \
                image(getattr(va, name)(*local, skipna=skipna)), (name, parts, skipna)
    if cores == 2:
        assert vs.moments(sdf.filter("y > 1e300"), "x").to_bytes() == va.moments([]).to_bytes()
        assert vs.sum(sdf, "k").to_bytes() == va.sum(K[~NULL_K]).to_bytes()     # integers, as float(v)
        with pytest.raises(ValueError, match="edges must be sorted"):
            vs.histogram(sdf, "x", [1.0, 0.0])
