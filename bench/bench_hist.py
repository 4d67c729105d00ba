"""Per-call cost of HistogramF64.add (10, 101 and 10,000 edges, at random, and 101 equally spaced) and ExtremaF64.add, against list.append in
the same loop and against bisect.bisect_right over the same edges.

Run from the repository root:  .venv/bin/python bench/bench_hist.py
"""
import random
from bisect import bisect_right

from varnix import ExtremaF64, HistogramF64

from _timing import call_each, check, medians

SEED = 20240611
N = 10**6
REPEATS = 7

rng = random.Random(SEED)
xs = [rng.uniform(-1.2, 1.2) for _ in range(N)]
EDGES = {n: sorted(rng.uniform(-1.0, 1.0) for _ in range(n)) for n in (10, 101, 10_000)}
EDGES["101 spaced"] = [k / 50 - 1 for k in range(101)]


def bisect_loop(edges):
    def run():
        bisect = bisect_right
        for x in xs:
            bisect(edges, x)
    return run


# Like-for-like checks, outside the timed region.
for n, edges in EDGES.items():
    h, counts = HistogramF64(edges), [0] * (len(edges) + 1)
    for x in xs:
        h.add(x)
        counts[bisect_right(edges, x)] += 1
    check(f"HistogramF64 counts == bisect_right counts, {n} edges", h.counts(), counts)
e = ExtremaF64()
for x in xs:
    e.add(x)
check("ExtremaF64 min, max == min(xs), max(xs)", (e.min(), e.max()), (min(xs), max(xs)))

cases = [("list.append(x), same loop", call_each(lambda: [].append, xs)),
         ("ExtremaF64.add(x)", call_each(lambda: ExtremaF64().add, xs))]
for n, edges in EDGES.items():
    cases += [(f"HistogramF64.add(x), {n} edges", call_each(lambda edges=edges: HistogramF64(edges).add, xs)),
              (f"bisect_right, {n} edges", bisect_loop(edges))]
# All cases are timed interleaved, so every ratio sees the same machine load.
ns = {name: t / N * 1e9 for (name, _), t in zip(cases, medians([c[1] for c in cases], REPEATS))}

print(f"\nmedian of {REPEATS} runs over {N:,} floats")
print(f"{'case':<46}{'ns/call':>10}")
for name, v in ns.items():
    print(f"{name:<46}{v:>10.1f}")
print(f"\n{'ratio':<46}{'measured':>10}{'target':>10}")
append = ns["list.append(x), same loop"]
rows = [("ExtremaF64.add / append", ns["ExtremaF64.add(x)"] / append, 1.5)]
for n in EDGES:
    rows.append((f"HistogramF64.add / append, {n} edges", ns[f"HistogramF64.add(x), {n} edges"] / append,
                 1.1 if n in (101, "101 spaced") else None))
    rows.append((f"HistogramF64.add / bisect_right, {n}", ns[f"HistogramF64.add(x), {n} edges"] /
                 ns[f"bisect_right, {n} edges"], None))
for label, r, limit in rows:
    verdict = "" if limit is None else ("  ok" if r <= limit else "  MISSED")
    print(f"{label:<46}{r:>10.2f}{'' if limit is None else '<= ' + str(limit):>10}{verdict}")
