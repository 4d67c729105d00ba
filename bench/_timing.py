"""Median wall-clock timing and result checks shared by the bench scripts."""
import math
import os
import statistics
import time

# VX_BENCH_CLOCK=cpu times by the process's CPU time (all its threads together) instead of the wall clock: a
# loaded machine disturbs it far less, but it only compares work done on one thread (run under taskset -c N).
_clock = time.process_time if os.environ.get("VX_BENCH_CLOCK") == "cpu" else time.perf_counter


def medians(fns, repeats=5, warmup=1):
    """Median seconds of `repeats` timed calls of each function, after `warmup` untimed calls.

    The functions are timed in turn, round after round, so a change of machine load during
    the run affects all of them alike and their ratios stay meaningful.
    """
    for _ in range(warmup):
        for fn in fns:
            fn()
    times = [[] for _ in fns]
    for _ in range(repeats):
        for fn, ts in zip(fns, times):
            t0 = _clock()
            fn()
            ts.append(_clock() - t0)
    return [statistics.median(ts) for ts in times]


def call_each(make, xs):
    """A timed function: make() once, then one call of what it returned per value of xs, in a for-loop."""
    def run():
        f = make()
        for x in xs:
            f(x)
    return run


def same_float(a, b):
    """Bitwise equality of two floats: -0.0 differs from 0.0, NaN equals NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def check(label, got, want):
    """Print whether a result equals its reference; a mismatch only warns."""
    ok = same_float(got, want) if isinstance(want, float) else got == want
    print(f"check ok: {label}" if ok else f"WARNING: {label}: got {got!r}, expected {want!r}")
