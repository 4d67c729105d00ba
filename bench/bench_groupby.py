"""varnix_arrays.groupby against pandas' groupby(...).agg(...) for the same statistics: time and peak memory.

10**7 rows, two float64 columns, sum, mean and var of each, under 1,000 string keys (object and categorical)
and under 10**6 distinct string keys.  Times are medians of alternated runs in one process (their ratio is
what counts on a shared machine); peak memory is measured in a fresh subprocess per job, as the resident-set
high-water mark during the job (reset once the data are built) and the job's rise over the data alone.

Run from the repository root after `pip install -r bench/requirements.txt`:
    .venv/bin/python bench/bench_groupby.py [--rows N] [--repeats R] [--case I ...]
"""
import argparse
import json
import subprocess
import sys

import numpy as np
import pandas as pd

import varnix_arrays as va

from _timing import medians

AGGS = {"a": ["sum", "mean", "var"], "b": ["sum", "mean", "var"]}
CASES = [("1,000 keys, object", 1000, False), ("1,000 keys, categorical", 1000, True),
         ("10^6 keys, object", 10**6, False)]


def frame(rows, keys, categorical, seed=20261207):
    rng = np.random.default_rng(seed)
    names = np.array([f"user-{i:09d}" for i in rng.permutation(keys)], dtype=object)
    k = names[rng.integers(0, keys, rows)]
    df = pd.DataFrame({"k": pd.Categorical(k) if categorical else pd.Series(k, dtype=object),
                       "a": rng.standard_normal(rows) * 10.0 ** rng.integers(-3, 6, rows),
                       "b": rng.random(rows)})
    return df


def jobs(df):
    return {"pandas": lambda: df.groupby("k", observed=True).agg(AGGS),
            "varnix": lambda: va.groupby(df, by="k", aggs=AGGS)}


def _rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def child(rows, keys, categorical, which):
    """In a fresh process: builds the frame, resets the high-water mark, runs one job; prints JSON."""
    df = frame(rows, keys, categorical)
    run = jobs(df)[which]
    base = _rss("VmRSS:")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")          # resets VmHWM to the current resident set
    out = run()
    assert len(out) > 0
    print(json.dumps({"base": base, "peak": _rss("VmHWM:")}))


def peak(rows, keys, categorical, which):
    out = subprocess.run([sys.executable, __file__, "--child", which, "--rows", str(rows), "--keys", str(keys)] +
                         (["--categorical"] if categorical else []), capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def check_same(df):
    """The cells agree with pandas' to the last bits pandas loses (its sums are not exact)."""
    ours, theirs = va.groupby(df, by="k", aggs=AGGS), df.groupby("k", observed=True).agg(AGGS)
    assert list(ours.index) == list(theirs.index)
    np.testing.assert_allclose(ours.to_numpy(), theirs.to_numpy(), rtol=1e-9, atol=1e-9)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", type=int, default=10**7)
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--keys", type=int)
    p.add_argument("--categorical", action="store_true")
    p.add_argument("--child")
    p.add_argument("--case", type=int, action="append", help="run only these cases (0, 1, 2)")
    args = p.parse_args()
    if args.child:
        return child(args.rows, args.keys, args.categorical, args.child)
    print(f"{args.rows:,} rows, columns a and b: sum, mean, var; median of {args.repeats} alternated runs")
    for label, keys, categorical in [CASES[i] for i in (args.case or range(len(CASES)))]:
        df = frame(args.rows, keys, categorical)
        check_same(df)
        t_pandas, t_varnix = medians(list(jobs(df).values()), repeats=args.repeats, warmup=0)
        del df
        m = {w: peak(args.rows, keys, categorical, w) for w in ("pandas", "varnix")}
        rise = {w: (m[w]["peak"] - m[w]["base"]) / 2**20 for w in m}
        print(f"{label:26s} pandas {t_pandas:6.2f} s  varnix {t_varnix:6.2f} s  ratio {t_varnix / t_pandas:4.2f}"
              f" | peak RSS pandas {m['pandas']['peak'] / 2**20:6.0f} MiB varnix {m['varnix']['peak'] / 2**20:6.0f}"
              f" MiB ratio {m['varnix']['peak'] / m['pandas']['peak']:4.2f}; rise over the data pandas"
              f" {rise['pandas']:5.0f} MiB varnix {rise['varnix']:5.0f} MiB", flush=True)


if __name__ == "__main__":
    main()
