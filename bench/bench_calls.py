"""Per-call cost of short calls, where fixed overheads show: a one-element extend and dot (the
folds of empty banks), a list argument while numpy is not imported (the look-up of its array
type), the floating-point environment probe of push, and the bit-assembled rounding and binary32
conversions. Run against another build with PYTHONPATH=<dir holding varnix.abi3.so>."""
import sys

import time

import varnix
from varnix import DotF64, FastSumF64, SumF32, SumF64

assert "numpy" not in sys.modules
N = 20_000
f, d, s, t = FastSumF64(), DotF64(), SumF64(), SumF32()
s.add(0.1), t.add(0.1)
one, rng = [1.0], range(3)
CASES = {
    "FastSumF64.extend([1.0])": lambda: f.extend(one),
    "dot([1.0], [1.0])": lambda: varnix.dot(one, one),
    "FastSumF64.extend(range(3))": lambda: f.extend(rng),
    "DotF64.push(1.5, 2.5)": lambda: d.push(1.5, 2.5),
    "SumF64.value()": s.value,
    "SumF32.add(0.1)": lambda: t.add(0.1),
    "SumF32.value()": t.value,
}


def fastest(fn, rounds=15):
    """The fastest of several timed loops: on a shared machine, the one least disturbed."""
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(N):
            fn()
        best = min(best, time.perf_counter() - t0)
    return best


print(f"varnix from {varnix.__file__}")
for name, fn in CASES.items():
    print(f"{name:30s} {fastest(fn) / N * 1e9:7.0f} ns")
