"""varnix_arrays.dask: the state of a reduction does not depend on the chunking, the scheduler, the process or
the repetition, and equals the bulk state computed in one piece."""
import math

import numpy as np
import pandas as pd
import pytest

import varnix_arrays as va

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
vd = pytest.importorskip("varnix_arrays.dask")

rng = np.random.default_rng(20261206)
N = 30_000
X = np.copysign(np.ldexp(rng.random(N), rng.integers(-40, 40, N)), rng.random(N) - 0.5)
X[::1001] = np.nan
KEYS = rng.choice(["a", "b", "c", "d"], N)
CHUNKINGS = [1000, 7001, (N // 3, N - N // 3)]
EDGES = [-1e6, -1.0, 0.0, 1e-3, 2.0, 1e9]
REDUCTIONS = [(vd.sum, va.sum), (vd.moments, va.moments),
              (lambda x, skipna, **kw: vd.histogram(x, EDGES, **kw), lambda x, skipna: va.histogram(x, EDGES)),
              (vd.moments4, va.moments4), (vd.extrema, va.extrema)]


def frame(partitions):
    return dd.from_pandas(pd.DataFrame({"k": KEYS, "v": X}), npartitions=partitions)


def by_key(bulk, skipna):
    return {k: bulk(X[KEYS == k], skipna=skipna).state_hash() for k in sorted(set(KEYS))}


def hashes(series):
    return {k: s.state_hash() for k, s in sorted(series.items())}


@pytest.mark.parametrize("skipna", [False, True])
@pytest.mark.parametrize("reduce, bulk", REDUCTIONS)
def test_array_reductions_match_the_bulk_state(reduce, bulk, skipna):
    expected = bulk(X, skipna=skipna).state_hash()
    for chunks in CHUNKINGS:
        assert reduce(da.from_array(X, chunks=chunks), skipna=skipna, split_every=3).state_hash() == expected
    grid = da.from_array(X.reshape(100, 300), chunks=(33, 70))
    assert reduce(grid, skipna=skipna, compute=False).compute(scheduler="sync").state_hash() == expected


def test_cov_of_two_arrays_of_any_chunking():
    y = X[::-1].copy()
    expected = va.cov(X, y, skipna=True).state_hash()
    for cx, cy in [(1000, 7001), (7001, 1000), (N, 999)]:
        assert vd.cov(da.from_array(X, chunks=cx), da.from_array(y, chunks=cy), skipna=True).state_hash() == expected
    grid = vd.cov(da.from_array(X.reshape(300, 100), chunks=(70, 33)), da.from_array(y.reshape(300, 100), chunks=50))
    assert grid.to_bytes() == va.cov(X, y).to_bytes()
    with pytest.raises(ValueError, match="x and y differ in shape"):
        vd.cov(da.from_array(X, chunks=1000), da.from_array(X[1:], chunks=1000))


def test_histogram_edges_are_checked_before_any_task():
    with pytest.raises(ValueError, match="edges must be sorted, finite, len>=2"):
        vd.histogram(da.from_array(X, chunks=1000), [1.0, 0.0], compute=False)


def test_empty_chunks_and_arrays():
    assert vd.sum(da.from_array(np.zeros(0), chunks=5)).to_bytes() == va.sum([]).to_bytes()
    with_empty = da.concatenate([da.from_array(X[:10], chunks=5), da.from_array(np.zeros(0), chunks=1)])
    assert vd.moments(with_empty).to_bytes() == va.moments(X[:10]).to_bytes()
    objects = da.from_array(np.array([1.5, -2.0, 7.25], dtype=object), chunks=2)
    assert vd.sum(objects).to_bytes() == va.sum([1.5, -2.0, 7.25]).to_bytes()


@pytest.mark.parametrize("skipna", [False, True])
def test_groupby_matches_the_bulk_state_per_key(skipna):
    for group, bulk in [(vd.groupby_sum, va.sum), (vd.groupby_moments, va.moments)]:
        expected = by_key(bulk, skipna)
        for parts in (1, 4, 9):
            assert hashes(group(frame(parts), "k", "v", skipna=skipna)) == expected


def test_local_cluster_is_deterministic():
    """Two worker processes: three chunkings computed twice each give one state, the one computed locally."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        for reduce, bulk in REDUCTIONS[:3]:
            expected = bulk(X, skipna=True).state_hash()
            seen = set()
            for chunks in CHUNKINGS:
                graph = reduce(da.from_array(X, chunks=chunks), skipna=True, compute=False)
                for _ in range(2):
                    seen.add(client.compute(graph).result(timeout=60).state_hash())
            assert seen == {expected}
        expected = by_key(va.moments, True)
        for parts in (2, 5, 7):
            lazy = vd.groupby_moments(frame(parts), "k", "v", skipna=True, compute=False)
            for _ in range(2):
                assert hashes(client.compute(lazy).result(timeout=60)) == expected
        workers = client.run(lambda: __import__("os").getpid())
        assert len(set(workers.values())) == 2 and math.isfinite(va.moments(X, skipna=True).mean())
