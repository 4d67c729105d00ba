"""SumMap.add and MomentsMap against dict, defaultdict(list) and a pandas groupby; SumMap.encode.

Run from the repository root after `pip install -r bench/requirements.txt`:
    .venv/bin/python bench/bench_maps.py
"""
import math
import random
import statistics
import time
from collections import defaultdict

import pandas as pd

from varnix import MomentsMap, SumMap

from _timing import check, medians

SEED = 20240607
N = 10**6
REPEATS = 5

rng = random.Random(SEED)
xs = [math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-30, 30)) for _ in range(N)]


def key_column(distinct):
    names = [f"user-{rng.getrandbits(48):012x}" for _ in range(distinct)]
    return [rng.choice(names) for _ in range(N)]


def sum_map(keys):
    m = SumMap()
    add = m.add
    for k, x in zip(keys, xs):
        add(k, x)
    return m


def dict_add(keys):
    d = defaultdict(float)
    for k, x in zip(keys, xs):
        d[k] += x
    return d


def dict_append(keys):
    d = defaultdict(list)
    for k, x in zip(keys, xs):
        d[k].append(x)
    return d


def moments_map(keys):
    m = MomentsMap()
    add = m.add
    for k, x in zip(keys, xs):
        add(k, x)
    return {k: (m.mean(k), m.variance(k)) for k in set(keys)}


def pandas_groupby(keys):
    return pd.DataFrame({"k": keys, "x": xs}).groupby("k")["x"].agg(["mean", "var"])


rows, ratios = [], []
for distinct in (10**3, 10**5):
    keys = key_column(distinct)
    m, lists = sum_map(keys), dict_append(keys)
    k0 = keys[0]
    check(f"{distinct} keys: SumMap value == fsum of the key's values", m.value(k0), math.fsum(lists[k0]))
    got, frame = moments_map(keys), pandas_groupby(keys)
    check(f"{distinct} keys: MomentsMap mean ~ pandas mean", round(got[k0][0], 9), round(frame.loc[k0, "mean"], 9))
    cases = [("SumMap.add", sum_map), ("defaultdict(float) +=", dict_add),
             ("defaultdict(list).append", dict_append)]
    secs = medians([lambda f=f: f(keys) for _, f in cases], REPEATS)
    secs += medians([lambda: moments_map(keys), lambda: pandas_groupby(keys)], 3)
    for (name, _), t in zip(cases + [("MomentsMap add + mean/variance", None),
                                     ("pandas DataFrame + groupby.agg", None)], secs):
        rows.append((distinct, name, t / N * 1e9, t))
    ratios.append((f"{distinct} keys: SumMap.add / dict +=", secs[0] / secs[1], 3.0))
    ratios.append((f"{distinct} keys: MomentsMap / pandas", secs[3] / secs[4], None))
    if distinct == 10**5:
        m.encode()
        wall, cpu = [], []                        # CPU time too: on a shared machine the wall clock
        for _ in range(REPEATS):                  # also counts the other processes' turns
            t0, c0 = time.perf_counter(), time.process_time()
            b = m.encode()
            wall.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
            del b
        ratios.append(("SumMap.encode of 10^5 keys, ms wall", statistics.median(wall) * 1e3, 50.0))
        ratios.append(("SumMap.encode of 10^5 keys, ms CPU", statistics.median(cpu) * 1e3, 50.0))

print(f"\nmedian of {REPEATS} runs (3 for the moments), {N:,} values; encode: {len(m.encode()) / 1e6:.1f} MB")
print(f"{'keys':>7}  {'case':<34}{'ns/value':>10}{'total s':>10}")
for distinct, name, ns, t in rows:
    print(f"{distinct:>7}  {name:<34}{'' if ns is None else f'{ns:.1f}':>10}{t:>10.3f}")
print(f"\n{'measure':<44}{'value':>8}{'target':>10}")
for label, r, limit in ratios:
    verdict = "" if limit is None else ("ok" if r <= limit else "MISSED")
    print(f"{label:<44}{r:>8.2f}{'' if limit is None else '<= ' + str(limit):>10}  {verdict}")
