"""Per-call cost of SumF64.add and SumF64.state_hash, measured against Python baselines.

Run from the repository root:  PYTHONPATH=build/dev python bench/bench_sum.py
"""
import hashlib
import math
import random
from itertools import repeat

from varnix import SumF64

from _timing import call_each, check, medians

SEED = 20240607
N_ADD = 10**6
N_HASH = 10**5
REPEATS = 7

rng = random.Random(SEED)
# Signs, significands and exponents all vary, so add() touches limbs all over the accumulator.
xs = [math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-200, 200)) for _ in range(N_ADD)]


s = SumF64()
for x in xs:
    s.add(x)


def hash_loop():
    state_hash = s.state_hash
    for _ in repeat(None, N_HASH):
        state_hash()


def sha_loop():
    to_bytes, sha256 = s.to_bytes, hashlib.sha256
    for _ in repeat(None, N_HASH):
        sha256(to_bytes()).digest()


# Like-for-like checks, outside the timed region.
check("SumF64 value == math.fsum", s.value(), math.fsum(xs))
check("state_hash == sha256(to_bytes)", s.state_hash(), hashlib.sha256(s.to_bytes()).digest())

cases = [
    ("SumF64.add(x), for-loop over list", call_each(lambda: SumF64().add, xs), N_ADD),
    ("list.append(x), same loop", call_each(lambda: [].append, xs), N_ADD),
    ("s.state_hash()", hash_loop, N_HASH),
    ("sha256(s.to_bytes()).digest()", sha_loop, N_HASH),
]
# Each pair is timed interleaved, so the two sides of a ratio see the same machine load.
secs = medians([c[1] for c in cases[:2]], REPEATS) + medians([c[1] for c in cases[2:]], REPEATS)
ns = {name: t / calls * 1e9 for (name, _, calls), t in zip(cases, secs)}

names = list(ns)
print(f"\nmedian of {REPEATS} runs; add/append over {N_ADD:,} floats, hashes over {N_HASH:,} calls")
print(f"{'case':<40}{'ns/call':>10}")
for name in names:
    print(f"{name:<40}{ns[name]:>10.1f}")
print(f"\n{'ratio':<40}{'measured':>10}{'target':>10}")
for label, r, limit in [
    ("add / append", ns[names[0]] / ns[names[1]], 1.0),
    ("state_hash / sha256(to_bytes)", ns[names[2]] / ns[names[3]], 1.0),
]:
    verdict = "ok" if r <= limit else "MISSED"
    print(f"{label:<40}{r:>10.2f}{'<= ' + str(limit):>10}  {verdict}")
