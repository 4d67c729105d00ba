"""varnix_arrays.dask: the state of a reduction does not depend on the chunking, the scheduler, the process or
the repetition, and equals the bulk state computed in one piece."""
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
EDGES = [-1e6, -1.0, 0.0, 1e-3, 2.0, 1e9]
REDUCTIONS = [(vd.sum, va.sum), (vd.moments, va.moments),
              (lambda x, skipna, **kw: vd.histogram(x, EDGES, **kw), lambda x, skipna: va.histogram(x, EDGES)),
              (vd.moments4, va.moments4), (vd.extrema, va.extrema)]


def assert_by_key_is_bulk(group, bulk, parts, skipna, compute):
    """The group-by states of a frame in `parts` partitions, computed by compute(lazy), are the bulk ones."""
    lazy = group(dd.from_pandas(pd.DataFrame({"k": KEYS, "v": X}), npartitions=parts), "k", "v", skipna=skipna,
                 compute=False)
    assert {k: s.state_hash() for k, s in compute(lazy).items()} == \
        {k: bulk(X[KEYS == k], skipna=skipna).state_hash() for k in set(KEYS)}


@pytest.mark.parametrize("skipna", [False, True])
def test_reductions_match_the_bulk_state_for_any_chunking(skipna):
    for reduce, bulk in REDUCTIONS:     # chunks even, uneven, of objects, or with an empty one; a 2-D grid
        expected = bulk(X, skipna=skipna).state_hash()
        for x in (da.from_array(X, chunks=1000), da.from_array(X.astype(object), chunks=(N // 3, N - N // 3)),
                  da.concatenate([da.from_array(X, chunks=7001), da.from_array(np.zeros(0), chunks=1)])):
            assert reduce(x, skipna=skipna, split_every=3).state_hash() == expected
        grid = da.from_array(X.reshape(100, 300), chunks=(33, 70))
        assert reduce(grid, skipna=skipna, compute=False).compute(scheduler="sync").state_hash() == expected
    for group, bulk in [(vd.groupby_sum, va.sum), (vd.groupby_moments, va.moments)]:
        for parts in (1, 4, 9):
            assert_by_key_is_bulk(group, bulk, parts, skipna, lambda lazy: lazy.compute())
    y = X[::-1].copy()      # x and y chunked differently
    for shape, cx, cy in [(N, 1000, 7001), (N, N, 999), ((300, 100), (70, 33), 50)]:
        cov = vd.cov(da.from_array(X.reshape(shape), chunks=cx), da.from_array(y.reshape(shape), chunks=cy),
                     skipna=skipna)
        assert cov.to_bytes() == va.cov(X, y, skipna=skipna).to_bytes()
    assert vd.sum(da.from_array(np.zeros(0), chunks=5)).to_bytes() == va.sum([]).to_bytes()
    with pytest.raises(ValueError, match="x and y differ in shape"):
        vd.cov(da.from_array(X, chunks=1000), da.from_array(X[1:], chunks=1000))
    with pytest.raises(ValueError, match="edges must be sorted, finite, len>=2"):   # before any task runs
        vd.histogram(da.from_array(X, chunks=1000), [1.0, 0.0], compute=False)


def test_local_cluster_is_deterministic():
    """Two worker processes: the states that come back, computed twice, are the ones computed locally."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        for _ in range(2):
            for reduce, bulk in REDUCTIONS[:3]:
                lazy = reduce(da.from_array(X, chunks=1000), skipna=True, compute=False)
                assert client.compute(lazy).result(timeout=60).state_hash() == bulk(X, skipna=True).state_hash()
            assert_by_key_is_bulk(vd.groupby_moments, va.moments, 5, True,
                                  lambda lazy: client.compute(lazy).result(timeout=60))
        assert len(set(client.run(lambda: __import__("os").getpid()).values())) == 2
