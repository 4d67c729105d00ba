"""Every mutating call and every varnix_arrays constructor and merge under a sweep of address-space limits: each run
ends with the unlimited run's result and states, or with MemoryError and every state it touches unchanged, and the
process lives. Children (this file run as a script) run the rows; a new class joins by one row in rows()."""
import ctypes
import functools
import gc
import json
import os
import resource
import subprocess
import sys
import threading

import pytest

import varnix as vx

AS, PAGE = resource.RLIMIT_AS, resource.getpagesize()
LIMITS = resource.getrlimit(AS)
LIBC = ctypes.CDLL(None)
LIBC.malloc.restype, LIBC.malloc.argtypes, LIBC.free.argtypes = ctypes.c_void_p, [ctypes.c_size_t], [ctypes.c_void_p]
VX = tuple(c for c in vars(vx).values() if isinstance(c, type) and c.__module__ == "builtins")
KEYS = ["k%05d" % i for i in range(0, 4000, 2)]   # a map's keys; the other map's are half shared, half new
OTHER = KEYS[::2] + ["k%05d" % i for i in range(4001, 6000, 2)]


def values(n, shift=0):
    return [((i * 7919 + shift) % 1009 - 504) * 2.0 ** (i % 61 - 30) for i in range(n)]


def filled(cls, n=50, shift=0, arity=1, add="add"):
    s, xs = cls(), values(n + arity, shift)
    for i in range(n):
        getattr(s, add)(*xs[i:i + arity])
    return s


def keyed(cls, keys, shift=0, times=1):
    m = cls()
    for k, x in zip(keys * times, values(len(keys) * times, shift)):
        m.add(int(k[1:]) if cls is vx.ReplicatedSum else k, x)
    return m


def covmat(d, n, shift=0):
    m, xs = vx.CovMatrixF64(d), values(n + d + 1, shift)
    for i in range(n):
        m.add(xs[i:i + d], xs[i + d])
    return m


def hist(n, shift=0):
    h = vx.HistogramF64([float(i) for i in range(n + 1)])
    for x in values(200, shift):
        h.add(abs(x) % n)
    return h


def call(fn, *args):
    """The call, and the states it may change or must leave alone (merge_all's arrive in a list)."""
    objs = [getattr(fn, "__self__", None), *args, *(args[0] if args and isinstance(args[0], list) else ())]
    return fn, args, [o for o in objs if isinstance(o, VX)]


def first_on_new_thread(fn, *args):
    """A call() of fn(*args) on a thread started now, before any limit, that runs nothing else: its own blocks (digest
    context, GMP reserve) are taken under the limit, and again on a retry, as a refusal leaves the thread unprepared.
    The thread runs the whole attempt(): its malloc arena grows in a reservation no limit bounds, so it hoards it."""
    ask, done, box = threading.Event(), threading.Event(), [None]

    def body():
        while ask.wait():
            ask.clear()
            box[0] = attempt(fn, args, box[0])
            done.set()

    def on_thread(spare):
        box[0] = spare
        done.clear(), ask.set(), done.wait()
        return box[0]
    threading.Thread(target=body, daemon=True).start()
    on_thread.attempt = on_thread
    return on_thread, (), call(fn, *args)[2]


def rows():
    """name -> (make, allocates): make() builds the call afresh; a row that allocates must meet MemoryError. Each
    class has a maker of a filled state; every method of its that takes only self is a row of its own."""
    import numpy as np
    import pandas as pd
    import varnix_arrays as va
    a, b = np.array(values(300000)), np.array(values(300000, 5))
    makers = {c: lambda c=c: filled(c) for c in (vx.FastSumF64, vx.DeltasSum, vx.ExtremaF64)}
    makers |= {c: lambda c=c: keyed(c, KEYS) for c in (vx.SumMap, vx.MomentsMap, vx.ReplicatedSum)}
    makers |= {vx.HistogramF64: lambda: hist(1000), vx.CovMatrixF64: lambda: covmat(8, 40)}
    table = {}
    for cls, k in [(vx.SumF64, 1), (vx.SumF32, 1), (vx.MomentsF64, 1), (vx.Moments4F64, 1), (vx.CovF64, 2),
                   (vx.WeightedMomentsF64, 2), (vx.PnMomentsF64, 1), (vx.DotF64, 2)]:
        add = "push" if cls is vx.DotF64 else "add"
        makers[cls] = make = lambda n=50, shift=0, c=cls, k=k, h=add: filled(c, n, shift, k, h)
        table[f"{cls.__name__}.{add}"] = lambda m=make, k=k, h=add: call(getattr(m(), h), *values(k, 3))
        table[f"{cls.__name__}.merge"] = lambda m=make: call(m().merge, m(40, 9))
    assert set(makers) == set(VX), "every class has a maker"
    for cls, make in makers.items():
        for name in dir(cls):
            if getattr(getattr(cls, name), "__text_signature__", None) == "($self)":
                table[f"{cls.__name__}.{name}"] = lambda m=make, n=name: call(getattr(m(), n))
    for row, args in [("PnMomentsF64.remove", (0.75,)), ("FastSumF64.add", (2.5,)), ("DeltasSum.add", (1e300,)),
                      ("FastSumF64.extend", (values(30000),)), ("ExtremaF64.add", (-0.0,)),
                      ("HistogramF64.add", (3.5,)), ("HistogramF64.quantile_bounds", (0.3,)),
                      ("CovMatrixF64.covariance", (2, 5)), ("SumMap.add", (KEYS[7], 1.0)),
                      ("SumMap.add new key", ("k99999", 1.0)), ("SumMap.value", (KEYS[9],)),
                      ("MomentsMap.add new key", ("", 1.0)), ("MomentsMap.mean", (KEYS[9],)),
                      ("MomentsMap.variance", (KEYS[9],)), ("ReplicatedSum.add new replica", (2**64 - 1, 1.0))]:
        cls, method = row.split()[0].split(".")          # a call on the class's filled state
        table[row] = lambda m=makers[getattr(vx, cls)], f=method, a=args: call(getattr(m(), f), *a)
    table.update({
        "SumF64.try_unmerge": lambda: call(filled(vx.SumF64).try_unmerge, filled(vx.SumF64, 40)),
        "DotF64.extend": lambda: call(filled(vx.DotF64, 5, 0, 2, "push").extend, values(3000), values(3000, 1)),
        "Moments4F64.kurtosis first on a thread": lambda: first_on_new_thread(filled(vx.Moments4F64).kurtosis),
        "CovMatrixF64.add": lambda: call(covmat(30, 10).add, values(30, 2), 1.5),
        "CovMatrixF64.merge": lambda: call(covmat(30, 10).merge, covmat(30, 12, 3)),
        "CovMatrixF64.sub": lambda: call(covmat(30, 10).sub, covmat(30, 4)),
        "va.merge_dot_states": lambda: call(va.merge_dot_states, va.dot_state(a, b), va.dot_state(b, a[::-1])),
        "va.merge_extrema": lambda: call(va.merge_extrema, va.extrema(a), va.extrema(b)),
        # Split across threads that each make their exception data under the limit.
        "va.moments on 2 threads": lambda: call(functools.partial(va.moments, threads=2), a),
        "FastSumF64.extend on every CPU": lambda: call(vx.FastSumF64().extend, a),
    })
    for name in ("sum", "moments", "moments4", "extrema", "weighted_moments", "cov", "dot_state"):
        fn = getattr(va, name)
        table[f"va.{name}"] = lambda fn=fn: call(fn, *(a, b)[:fn.__code__.co_argcount - 1])
    table = {name: (make, False) for name, make in table.items()}
    table.update({name: (make, True) for name, make in {
        "HistogramF64()": lambda: call(vx.HistogramF64, np.arange(200001.0)),
        "HistogramF64.decode": lambda: call(vx.HistogramF64.decode, hist(100000).encode()),
        "CovMatrixF64()": lambda: call(vx.CovMatrixF64, 120),
        "CovMatrixF64() first on a thread": lambda: first_on_new_thread(vx.CovMatrixF64, 120),
        "CovMatrixF64.decode": lambda: call(vx.CovMatrixF64.decode, covmat(80, 3).encode()),
        "CovMatrixF64.regression_exact d=24": lambda: call(covmat(24, 60).regression_exact),
        **{f"{c.__name__}.merge": lambda c=c: call(keyed(c, KEYS).merge, keyed(c, OTHER, 1))
           for c in (vx.SumMap, vx.MomentsMap)},
        "ReplicatedSum.join": lambda: call(keyed(vx.ReplicatedSum, KEYS).join, keyed(vx.ReplicatedSum, OTHER, 1, 2)),
        "va.cov_matrix": lambda: call(va.cov_matrix, np.stack([a[:3000]] * 40, axis=1), b[:3000]),
        "va.histogram": lambda: call(va.histogram, a, np.arange(-300.0, 300.0, 0.01)),
        "va.sum_by_key": lambda: call(va.sum_by_key, OTHER, a[:len(OTHER)]),
        "va.moments_by_key": lambda: call(functools.partial(va.moments_by_key, skipna=True), OTHER, a[:len(OTHER)]),
        "va.merge_histograms": lambda: call(va.merge_histograms, hist(100000), hist(100000, 1)),
        "va.merge_all maps": lambda: call(va.merge_all, [keyed(vx.SumMap, KEYS), keyed(vx.SumMap, OTHER)]),
        "va.merge_all bytes": lambda: call(va.merge_all, [covmat(80, 2).encode(), covmat(80, 3).encode()]),
        # Categorical keys: pandas factorises other keys in a hash table that does not survive exhausted memory.
        "va.groupby": lambda: call(grouped, {"x": a[:30000]}, pd.Categorical(np.arange(30000) % 1000)),
        "va.merge": lambda: call(grouped, grouped({"x": a[:9000]}, pd.Categorical(np.arange(9000) % 900), False),
                                 grouped({"x": b[:9000]}, pd.Categorical(np.arange(9000) % 700), False)),
    }.items()})
    return table


def grouped(data, by, cells=True):
    """va.groupby of the data (or va.merge of two such tables) with its states; with cells, the table as bytes, so
    that a run under a limit is compared bit for bit."""
    import varnix_arrays as va
    t = va.groupby(data, by=by, aggs={"x": ["sum", "var", "max"]}, states=True) if isinstance(data, dict) else \
        va.merge(data, by)
    return b"".join(t[c].to_numpy().tobytes() if t[c].dtype.kind == "f" else b"".join(t[c]) for c in t.columns) \
        if cells else t


def snap(o):
    """A state's bytes, or the closest public image of them."""
    for read in ("to_bytes", "encode", "state_hash"):
        if hasattr(o, read):
            return getattr(o, read)()
    return o.finish().to_bytes() if isinstance(o, vx.FastSumF64) else o.value().hex()


def outcome(result, error):
    if error is not None:
        return ["raise", type(error).__name__, str(error)]
    return [type(result).__name__, snap(result).hex()] if isinstance(result, VX) else \
        result.hex() if isinstance(result, (bytes, float)) else repr(result)


def attempt(fn, args, spare=None):
    """fn(*args) with the address space limited to its present size plus `spare` bytes. The free blocks of malloc and
    of the interpreter's pools are taken first, under no spare, so that the call's own allocations meet the limit;
    nothing else is built while a limit holds. A call that runs on a thread of its own runs its attempt there."""
    if hasattr(fn, "attempt"):
        return fn.attempt(spare)
    result = error = None
    blocks, objects = [], []
    if spare is not None:
        with open("/proc/self/status") as f:
            size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
        resource.setrlimit(AS, (size, LIMITS[1]))
        try:
            for n in (1 << 16, 4096, 512, 64, 16):
                while p := LIBC.malloc(n):
                    blocks.append(p)
            while True:
                objects.append(bytearray(64))
        except MemoryError:
            pass
        resource.setrlimit(AS, (size + spare, LIMITS[1]))
    try:
        result = fn(*args)
    except Exception as e:
        error = e
    finally:
        resource.setrlimit(AS, LIMITS)
    for p in blocks:
        LIBC.free(p)
    return result, error


def sweep(make):
    """Limits of the current VmSize plus a spare: doubling from none until the call succeeds, a bisection of the last
    step, then an even grid below the first success. Spent fixtures are kept: freed, their memory would serve later
    calls under any limit. Returns (limits tried, MemoryErrors met, faults)."""
    fn, args, watched = make()
    result, error = attempt(fn, args)
    want = [outcome(result, error), [snap(w) for w in watched]]
    fixture, tried, refused, faults, spent = make(), 0, 0, [], [fn, args, result]

    def probe(spare):
        nonlocal fixture, tried, refused
        fn, args, watched = fixture
        before = [snap(w) for w in watched]
        gc.collect()
        result, error = attempt(fn, args, spare)
        got, tried = [outcome(result, error), [snap(w) for w in watched]], tried + 1
        refused += isinstance(error, MemoryError)
        if isinstance(error, MemoryError) and got[1] == before:
            return False
        if isinstance(error, MemoryError) or got != want:
            what = "MemoryError, and a state changed" if isinstance(error, MemoryError) else \
                f"{got[0]!r:.80}" + (", states differ" if got[1] != want[1] else "") + f" instead of {want[0]!r:.80}"
            faults.append(f"{spare} bytes spare: {what}")
        spent.append(fixture)
        fixture = make()
        return not isinstance(error, MemoryError)

    low, high = None, 0
    while not probe(high):
        low, high = high, max(PAGE, 2 * high)
        if high > 1 << 32:
            return tried, refused, faults + ["no limit up to 4 GiB spare lets it succeed"]
    while low is not None and high - low > max(PAGE, high >> 4):
        mid = (low + high) // 2 // PAGE * PAGE
        low, high = (low, mid) if probe(mid) else (mid, high)
    for k in range(1, 8 if high else 1):
        probe(high * k // 8 // PAGE * PAGE)
    return tried, refused, faults


def run_rows(names):
    """The child: one JSON line as each row starts, and one with its sweep's counts and faults."""
    table = rows()
    for name in names:
        print(json.dumps({"start": name}), flush=True)
        tried, refused, faults = sweep(table[name][0])
        print(json.dumps({"row": name, "tried": tried, "refused": refused, "faults": faults}), flush=True)


def run_children(groups):
    """Each group of rows in a child; a child that dies is noted against the row it was running, and the group's
    other rows run in a fresh child. A fixed mmap threshold maps every large block afresh, so that no block freed
    earlier serves a call under any limit."""
    env, done = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.mmap_threshold=131072"), {}
    for names in groups:
        while names:
            child = subprocess.run([sys.executable, __file__, *names], capture_output=True, text=True, env=env)
            started = None
            for record in map(json.loads, child.stdout.splitlines()):
                started = record.get("start")
                if not started:
                    done[record["row"]] = record
            assert started or not child.returncode, child.stderr[-2000:]
            if started:
                done[started] = {"died": f"exit {child.returncode}: " + " | ".join(child.stderr.splitlines()[-3:])}
            names = [n for n in names if n not in done]
    return done


def test_every_call_under_every_limit():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer maps its shadow memory past any address-space limit")
    table = rows()   # the rows that must meet MemoryError each run in a fresh process, the others in one
    done = run_children([[n for n, (_, alloc) in table.items() if not alloc]] + [[n] for n, r in table.items() if r[1]])
    print(f"\nmemory-pressure table: {len(done)} calls, {sum(r.get('tried', 0) for r in done.values())} limits")
    bad = {n: r for n, r in done.items() if r.get("died") or r["faults"] or (table[n][1] and not r["refused"])}
    assert not bad, "\n".join(f"{n}: {r}" for n, r in bad.items())


if __name__ == "__main__":
    run_rows(sys.argv[1:])
