"""varnix_arrays bulk constructors against numpy and boost-histogram on 10**7 float64 values (one core), and
varnix_arrays.dask.sum against dask.array.sum on a LocalCluster of 2 worker processes.

Columns from other containers (--columns alone runs only these): va.sum on a polars Series and a pyarrow array
against va.sum on the same values as a numpy array (both read in place), and on a pandas Series (float64,
nullable Float64 without and with NA, float64[pyarrow]) against va.sum(series.to_numpy()).

Run from the repository root after bash scripts/run-tests.sh:
    .venv/bin/pip install -r bench/requirements.txt
    OMP_NUM_THREADS=1 .venv/bin/python bench/bench_arrays.py [--no-dask] [--columns]
"""
import argparse
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import boost_histogram as bh  # noqa: E402

import varnix  # noqa: E402
import varnix_arrays as va  # noqa: E402

from _timing import check, medians  # noqa: E402

N = 10**7
rng = np.random.default_rng(20261206)


def row(label, ours, peers):
    """ns per value of ours and of each peer, and the ratio ours / peer."""
    times = medians([ours] + [fn for _, fn in peers])
    ns = [t / N * 1e9 for t in times]
    cells = "  ".join(f"{name} {t:6.2f} ns  (ratio {ns[0] / t:4.2f})" for (name, _), t in zip(peers, ns[1:]))
    print(f"{label:<28} ours {ns[0]:6.2f} ns/value   {cells}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-dask", action="store_true", help="skip the LocalCluster benchmark")
    parser.add_argument("--columns", action="store_true", help="only the columns from pandas, pyarrow and polars")
    args = parser.parse_args()
    columns_bench(rng.standard_normal(N))
    if args.columns:
        return
    data = {"normal": rng.standard_normal(N),
            "wide": np.copysign(np.ldexp(rng.random(N), rng.integers(-300, 300, N)), rng.random(N) - 0.5)}
    for name, x in data.items():
        print(f"-- {name} data, {N:,} float64 values")
        check(f"bulk sum of {name} data equals the one-by-one sum", va.sum(x[:10000]).to_bytes(),
              _one_by_one_sum(x[:10000]))
        x32, strided = x.astype(np.float32) if name == "normal" else None, x[::2]
        row("sum vs numpy.sum", lambda: va.sum(x), [("numpy.sum", lambda: np.sum(x))])
        row("moments vs numpy.var", lambda: va.moments(x),
            [("numpy.var", lambda: np.var(x)), ("mean+var", lambda: (np.mean(x), np.var(x)))])
        row("moments4", lambda: va.moments4(x), [("numpy.var", lambda: np.var(x))])
        edges = np.quantile(x[:100_000], np.linspace(0, 1, 101))
        edges[0], edges[-1] = np.nextafter(edges[0], -np.inf), np.nextafter(edges[-1], np.inf)
        axis = bh.axis.Variable(edges)
        check(f"histogram of {name} data equals numpy.histogram inside the edges",
              va.histogram(x, edges).counts()[1:-1], np.histogram(x[(x >= edges[0]) & (x < edges[-1])], edges)[0].tolist())
        row("histogram, 101 edges", lambda: va.histogram(x, edges),
            [("numpy.histogram", lambda: np.histogram(x, edges)),
             ("boost-histogram Variable", lambda: bh.Histogram(axis).fill(x))])
        row("extrema vs min+max", lambda: va.extrema(x), [("numpy min+max", lambda: (np.min(x), np.max(x)))])
        row("dot_state vs numpy.dot", lambda: va.dot_state(x, x), [("numpy.dot", lambda: np.dot(x, x))])
        if name == "normal":  # wide values would mostly overflow binary32
            row("sum, float32 input", lambda: va.sum(x32), [("numpy.sum", lambda: np.sum(x32))])
        row("sum, stride 2", lambda: va.sum(strided), [("numpy.sum", lambda: np.sum(strided))])
    if not args.no_dask:
        dask_bench(data["wide"])


def columns_bench(x):
    """va.sum of one column held by polars, pyarrow and pandas, against the numpy array of the same values."""
    import pandas as pd
    import polars as pl
    import pyarrow as pa
    print(f"-- columns, {N:,} float64 values")
    series, arrow, polars = pd.Series(x), pa.array(x), pl.Series(x)
    exact = va.sum(x).to_bytes()
    for name, col in [("polars Series", polars), ("pyarrow array", arrow),
                      ("pyarrow chunked, 10 chunks", pa.chunked_array([arrow[i::10] for i in range(10)]))]:
        check(f"{name} sums to the state of the numpy array", va.sum(col).to_bytes(), exact)
        row(f"sum, {name}", lambda: va.sum(col), [("va.sum(numpy)", lambda: va.sum(x))])
    nullable = pd.Series(x, dtype="Float64")
    with_na = nullable.copy()
    with_na[::100] = pd.NA
    for name, s, skipna in [("pandas float64", series, False), ("pandas Float64", nullable, False),
                            ("pandas Float64, 1% NA", with_na, True),
                            ("pandas float64[pyarrow]", pd.Series(arrow, dtype=pd.ArrowDtype(pa.float64())), False)]:
        flat = s.to_numpy(dtype=np.float64, na_value=np.nan)
        check(f"{name} sums to the state of its to_numpy()", va.sum(s, skipna=skipna).to_bytes(),
              va.sum(flat, skipna=skipna).to_bytes())
        row(f"sum, {name}", lambda: va.sum(s, skipna=skipna),
            [("va.sum(to_numpy())", lambda: va.sum(s.to_numpy(dtype=np.float64, na_value=np.nan), skipna=skipna))])


def _one_by_one_sum(x):
    s = varnix.SumF64()
    for v in x.tolist():
        s.add(v)
    return s.to_bytes()


def dask_bench(x):
    import dask.array as da
    from distributed import Client, LocalCluster

    import varnix_arrays.dask as vd
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        arr = da.from_array(x, chunks=N // 20).persist()
        exact = vd.sum(arr)
        t_ours, t_dask = medians([lambda: vd.sum(arr), lambda: arr.sum().compute()], repeats=5)
        print(f"-- LocalCluster, 2 processes, {N:,} wide values in 20 chunks (persisted)")
        print(f"varnix_arrays.dask.sum {t_ours * 1e3:7.1f} ms   dask.array.sum {t_dask * 1e3:7.1f} ms   "
              f"(ratio {t_ours / t_dask:4.2f})")
        print(f"exact {exact.value()!r}; dask.array.sum {float(arr.sum().compute())!r}")


if __name__ == "__main__":
    main()
