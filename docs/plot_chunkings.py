"""Draws docs/chunkings.png: dask.array.sum and numpy.sum of 10**6 wide-magnitude floats, across chunkings and
repeated runs, against the one exact answer that varnix_arrays.dask.sum gives for all of them.

Run from the repository root after installing the package with its dask extra and matplotlib:
    .venv/bin/python docs/plot_chunkings.py [--cluster]
With --cluster the Dask sums run on a LocalCluster of 2 worker processes.
"""
import argparse
import math
import pathlib

import dask.array as da
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import varnix_arrays.dask as vd  # noqa: E402

N = 10**6
CHUNKS = [1_000, 3_000, 10_000, 30_000, 100_000, 300_000]
RUNS = 3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cluster", action="store_true", help="compute on a 2-process LocalCluster")
    parser.add_argument("--out", default=str(pathlib.Path(__file__).with_name("chunkings.png")))
    args = parser.parse_args()
    client = None
    if args.cluster:
        from distributed import Client, LocalCluster
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None))

    rng = np.random.default_rng(1)
    x = np.copysign(np.ldexp(rng.random(N), rng.integers(-30, 30, N)), rng.random(N) - 0.5)
    exact = vd.sum(da.from_array(x, chunks=CHUNKS[0])).value()
    ulp = math.ulp(exact)

    fig, ax = plt.subplots(figsize=(7, 4), dpi=90)
    for k, chunk in enumerate(CHUNKS):
        arr = da.from_array(x, chunks=chunk)
        dask_sums = [arr.sum().compute() for _ in range(RUNS)]
        numpy_sum = float(np.sum([np.sum(x[i:i + chunk]) for i in range(0, N, chunk)]))
        exact_sums = {vd.sum(arr).value() for _ in range(RUNS)}
        assert exact_sums == {exact}, "the exact sum must not depend on the chunking"
        ax.scatter([k] * RUNS, [(s - exact) / ulp for s in dask_sums], marker="o", color="tab:blue",
                   label="dask.array.sum" if k == 0 else None, alpha=0.6)
        ax.scatter([k], [(numpy_sum - exact) / ulp], marker="x", color="tab:orange", s=60,
                   label="numpy.sum of the chunk sums" if k == 0 else None)
    ax.scatter([-0.4], [(float(np.sum(x)) - exact) / ulp], marker="s", color="tab:green", label="numpy.sum")
    ax.axhline(0, color="black", linewidth=1.5, label="varnix_arrays.dask.sum (every chunking, every run)")
    ax.set_xticks(range(len(CHUNKS)), [f"{c:,}" for c in CHUNKS])
    ax.set_xlabel("chunk size (10**6 values, magnitudes 2**-30 to 2**30, both signs)")
    ax.set_ylabel("error in units in the last place")
    ax.set_title("Float sums depend on the chunking; the exact sum does not")
    ax.legend(fontsize=8, loc="best")
    fig.tight_layout()
    fig.savefig(args.out)
    print(f"wrote {args.out}; exact sum {exact!r}")
    if client is not None:
        client.close()


if __name__ == "__main__":
    main()
