"""Exact sums stay identical under shuffling and merging; float sums do not.

Four "workers" each sum a share of the same data, ship their states as
bytes, and a collector merges them in some order.  The plain float total
changes with the order of the data and the grouping of the partial sums;
the varnix state, its bytes, its SHA-256 receipt and its correctly rounded
value do not.
"""
import math
import random

import varnix

rng = random.Random(2026)
data = [rng.uniform(-1, 1) * 10.0 ** rng.randint(-20, 20) for _ in range(100_000)]
data += [1e16, 1.0, -1e16]  # a classic cancellation


def partial_states(values, workers):
    """Each worker sums its share and ships the 281-byte encoding."""
    shares = [values[w::workers] for w in range(workers)]
    states = []
    for share in shares:
        s = varnix.SumF64()
        for x in share:
            s.add(x)
        states.append(s.to_bytes())
    return states


def collect(messages):
    total = varnix.SumF64()
    for message in messages:
        total.merge(varnix.SumF64.from_bytes(message))
    return total


receipts, values, float_sums = set(), set(), set()
for trial in range(5):
    shuffled = data[:]
    rng.shuffle(shuffled)
    workers = rng.randint(1, 8)
    messages = partial_states(shuffled, workers)
    rng.shuffle(messages)
    total = collect(messages)
    receipts.add(total.state_hash().hex())
    values.add(total.value())
    float_sums.add(sum(shuffled))
    print(f"trial {trial}: {workers} workers  float sum {sum(shuffled)!r:<24}"
          f"varnix {total.value()!r:<24} receipt {total.state_hash().hex()[:16]}")

print()
print(f"distinct plain float sums: {len(float_sums)}")
print(f"distinct varnix values:    {len(values)}  receipts: {len(receipts)}")
assert len(values) == 1 and len(receipts) == 1
assert values.pop() == math.fsum(data)  # the correctly rounded exact sum

fast = varnix.FastSumF64()
fast.extend(data)
print(f"FastSumF64 reaches the same state: {fast.finish().state_hash().hex() in receipts}")
a, b = [1e16, 1.0, -1e16], [1.0, 1.0, 1.0]
print(f"exact dot product of {a} and {b}: {varnix.dot(a, b)} (plain floats: {sum(x * y for x, y in zip(a, b))})")

# A distributed mean and variance: 563-byte states merge exactly, and each
# statistic is the exact value rounded once.
moments = []
for share in (data[w::3] for w in range(3)):
    m = varnix.MomentsF64()
    for x in share:
        m.add(x)
    moments.append(m.to_bytes())
total = varnix.MomentsF64.from_bytes(moments[0])
for message in moments[1:]:
    total.merge(varnix.MomentsF64.from_bytes(message))
print(f"mean {total.mean()!r}, variance {total.variance()!r}, receipt {total.state_hash().hex()[:16]}")
