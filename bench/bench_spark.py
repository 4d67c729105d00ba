"""varnix_arrays.spark against Spark's own aggregates on local[2]: a group-by of 10**7 rows and 1,000 keys with
sum, mean and population variance of two float64 columns, and the whole-column sum.

Run from the repository root after bash scripts/run-tests.sh (which installs pyspark and a Java runtime):
    .venv/bin/python bench/bench_spark.py [--rows 10000000] [--keys 1000] [--repeats 3]
The frame is cached in Spark's memory first, so both sides read the same cached partitions; each side runs
to a collected result. Times are medians of calls alternated round by round: wall-clock seconds, and CPU
seconds of this process and all it started (the JVM and its Python workers), which a loaded machine disturbs
less. The ratios are ours / Spark's.
"""
import argparse
import os
import sys

import statistics
import time

import psutil

import varnix_arrays.spark as vs


def cpu_seconds():
    """User and system CPU seconds of this process and of every process it started that still runs."""
    total = 0.0
    for p in [psutil.Process()] + psutil.Process().children(recursive=True):
        try:
            t = p.cpu_times()
            total += t.user + t.system
        except psutil.NoSuchProcess:
            pass
    return total


def medians(fns, repeats):
    """(wall, cpu) median seconds of each function, timed in turn round after round after one warm-up call."""
    for fn in fns:
        fn()
    runs = [[] for _ in fns]
    for _ in range(repeats):
        for fn, out in zip(fns, runs):
            w, c = time.perf_counter(), cpu_seconds()
            fn()
            out.append((time.perf_counter() - w, cpu_seconds() - c))
    return [tuple(statistics.median(r[i] for r in out) for i in (0, 1)) for out in runs]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10**7)
    parser.add_argument("--keys", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession, functions as F
    spark = (SparkSession.builder.master("local[2]").appName("bench_spark").config("spark.driver.memory", "4g")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    df = (spark.range(args.rows, numPartitions=8)
          .select((F.hash("id") % args.keys).alias("k"), (F.randn(1) * 1e3).alias("a"),
                  (F.exp(F.randn(2) * 20)).alias("b"))
          .cache())
    df.count()

    def theirs_groupby():
        return df.groupBy("k").agg(*[f(c) for c in ("a", "b") for f in (F.sum, F.avg, F.var_pop)]).collect()

    def ours_groupby():
        return vs.groupby(df, by="k", aggs={"a": ["sum", "mean", "variance"], "b": ["sum", "mean", "variance"]}) \
            .collect()

    def theirs_sum():
        return df.agg(F.sum("a")).collect()

    def ours_sum():
        return vs.sum(df, "a")

    assert len(ours_groupby()) == len(theirs_groupby())
    print(f"local[2], {args.rows} rows, {args.keys} keys, median of {args.repeats} alternated runs")
    for label, ours, theirs in [("groupby sum/mean/var x2", ours_groupby, theirs_groupby),
                                ("whole-column sum", ours_sum, theirs_sum)]:
        (w_ours, c_ours), (w_theirs, c_theirs) = medians([ours, theirs], args.repeats)
        print(f"{label:<26} wall: varnix {w_ours:7.3f} s  Spark {w_theirs:7.3f} s  ratio {w_ours / w_theirs:5.2f}"
              f"   cpu: varnix {c_ours:7.3f} s  Spark {c_theirs:7.3f} s  ratio {c_ours / c_theirs:5.2f}")
    spark.stop()


if __name__ == "__main__":
    main()
