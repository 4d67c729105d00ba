"""Every class and function of the module under hostile use: no reference or memory leak on any path; re-entrant,
raising or self-destroying conversions and sequences lying about their length give an exception or the right result
and leave the state as it was; no floating-point environment changes a result.
A class joins by one Row: `feed` puts a value x into a sample, `snap` tells its whole state, `calls` its methods with
arguments (those without and the decoder are found on the class) on the placeholders x (a float), xs (three floats),
i (an index), o (another instance), b (an encoding), "=" marking one that borrows the object shared; `extra` holds
(call, exception or (exception, message), values fed first or None) for other error paths; `make` builds an empty
instance when cls() does not."""
import array
import ctypes
import importlib
import os
import re
import subprocess
import sys
from collections import namedtuple

import numpy as np
import pytest

import varnix
import varnix_arrays as va
from conftest import NAN, bits
from oracles import UNDEFINED, canon
from varnix import (CovF64, CovMatrixF64, DeltasSum, DotF64, ExtremaF64, FastSumF64, HistogramF64, Moments4F64,
                    MomentsF64, MomentsMap, PnMomentsF64, ReplicatedSum, SumF32, SumF64, SumMap, WeightedMomentsF64)


def params(call):
    return set(re.findall(r"\w+", call.split("(", 1)[1]))


def calls_of(row):
    """The row's calls, then each method of no argument and the static decoder, as the class declares them."""
    found = [(m, getattr(row.cls, m).__text_signature__) for m in dir(row.cls) if not m.startswith("_")]
    return re.findall(r"=?\w+\([^)]*\)", row.calls) + [m + sig.replace("$self", "") for m, sig in found
                                                       if sig in ("($self)", "(b)")]


# BaseException: a PanicException (it escapes `except Exception`), here from a length check naming both lengths
PANIC, DOT = "assertion `left == right` failed: {}\n  left: {}\n right: {}", "dot product requires equal-length slices"
Row = namedtuple("Row", "cls feed snap calls extra make", defaults=((), None))
ROWS = [
    Row(SumF64, "add(x)", SumF64.to_bytes, "add(x) merge(o) try_unmerge(o)"),
    Row(SumF32, "add(x)", SumF32.to_bytes, "add(x) merge(o)"),
    Row(FastSumF64, "add(x)", lambda s: (s.finish().to_bytes(), s.count()), "add(x) extend(xs)"),
    Row(DotF64, "push(x, x)", DotF64.state_hash, "push(x, x) extend(xs, xs) merge(o)",
        [("value()", ValueError, [1e-200]), ("extend(xs, [1.0])", (BaseException, PANIC.format(DOT, 3, 1)), None),
         ("extend([], xs)", (BaseException, PANIC.format(DOT, 0, 3)), None)]),
    Row(MomentsF64, "add(x)", MomentsF64.to_bytes, "add(x) merge(o)", [("sample_variance()", ValueError, [1.0])]),
    Row(Moments4F64, "add(x)", Moments4F64.to_bytes, "add(x) merge(o)", [("skewness()", ValueError, [])]),
    Row(CovF64, "add(x, x)", CovF64.to_bytes, "add(x, x) merge(o)", [("slope()", ValueError, [2.0])]),
    Row(WeightedMomentsF64, "add(x, 2.0)", WeightedMomentsF64.to_bytes, "add(x, x) merge(o)",
        [("mean()", ValueError, [])]),
    Row(PnMomentsF64, "add(x)", PnMomentsF64.to_bytes, "add(x) remove(x) merge(o)", [("mean()", ValueError, [])]),
    Row(CovMatrixF64, "add([x, abs(x), min(x, 1.0)], x)", CovMatrixF64.encode,
        "add(xs, x) merge(o) sub(o) =covariance(i, 0)",
        [("add([1.0], 1.0)", (BaseException, PANIC.format("row length must equal dim()", 1, 3)), None),
         ("sub(type(s)(2))", ValueError, None),
         ("regression_exact()", ValueError, [])], lambda: CovMatrixF64(3)),
    Row(HistogramF64, "add(x)", HistogramF64.encode, "add(x) =quantile_bounds(x)",
        [("__class__([2.0, 1.0])", ValueError, None)], lambda: HistogramF64([-1.0, 0.0, 2.0])),
    Row(ExtremaF64, "add(x)", ExtremaF64.to_bytes, "add(x)", [("min()", ValueError, [])]),
    Row(SumMap, "add('k', x)", SumMap.encode, "add('k', x) value('k') merge(o)",
        [("value('absent')", (ValueError, UNDEFINED), None), ("add('\\ud800', 1.0)", UnicodeEncodeError, None),
         ("add(1, 1.0)", (TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"), None)]),
    Row(MomentsMap, "add('k', x)", MomentsMap.encode, "add('k', x) mean('k') variance('k') merge(o)",
        [("mean('absent')", (ValueError, UNDEFINED), None), ("variance('k')", (ValueError, "NonFinite"), [NAN])]),
    Row(ReplicatedSum, "add(7, x)", ReplicatedSum.encode, "add(i, x) join(o)"),
    Row(DeltasSum, "add(x)", lambda s: bits(s.value()), "add(x)"),
    Row(varnix, None, None, "dot(xs, xs)", [("dot(xs, [1.0])", (BaseException, PANIC.format(DOT, 3, 1)), [])]),
]
SHARED = {(row.cls, call.lstrip("=")) for row in ROWS for call in calls_of(row) if call.startswith("=")}
CALLS = [(row, call.lstrip("=")) for row in ROWS for call in calls_of(row)]
CONVERTED = {"x", "xs", "i"}     # the placeholders whose conversion runs Python code
HELD = [(row, call) for row, call in CALLS if row.snap and (row.cls, call) not in SHARED]    # conversions run held


def sample(row, values=(1.5, -2.25, 0.375)):
    if row.feed is None:
        return row.cls
    s = (row.make or row.cls)()
    for x in values:
        eval("s." + row.feed, {"s": s, "x": x})
    return s


def run(obj, call, **space):
    return eval("s." + call, {"s": obj, **space})


def encoding(s):
    return s.to_bytes() if hasattr(s, "to_bytes") else s.encode() if hasattr(s, "encode") else b""


def result(s, call, **space):
    """What the call returns (an object by its state hash, floats by their bits), or what it raises."""
    try:
        v = run(s, call, **space)
    except BaseException as e:
        return type(e), str(e)
    return v.state_hash() if hasattr(v, "state_hash") else canon(v)


class Converts:
    """Runs `action(target)` when converted, then converts like 0.5 (as a float) or 1 (as an index)."""
    def __init__(self, action, target=None):
        self.action, self.target = action, target

    def __float__(self):
        return self.__index__() / 2

    def __index__(self):
        self.action(self.target)
        return 1


def reads(t):
    return next(getattr(t, m)() for m in ("count", "len", "value", "state_hash") if hasattr(t, m))


def refused_twice(t):
    """A read inside a call holding the object is refused, keeping the call's borrow: a second read is refused too."""
    try:
        reads(t)
    except RuntimeError as e:
        assert str(e) == "Already mutably borrowed"
        reads(t)


class StrReads:
    """A TypeError's text that reads the object: built once the call has released its borrows, the read succeeds."""
    def __init__(self, target):
        self.target = target

    def __str__(self):
        return f"read {reads(self.target)!r:.12}"


def raise_str_reads(t):
    raise TypeError(StrReads(t))


class Seq:
    """A sequence by __getitem__, with a chosen __len__, and an action when item `at` is fetched."""
    def __init__(self, items, length=None, at=None, action=None):
        self.items, self.length, self.at, self.action = items, length, at, action

    def __len__(self):
        return len(self.items) if self.length is None else 1 // 0 if self.length < 0 else self.length

    def __getitem__(self, i):
        if i == self.at:
            self.action(self)
        return self.items[i]


def changed(change):
    """A list changed by converting its second element: a call reads what Python's own list iterator reads."""
    xs = [1.0, None, 2.0, 4.0]
    xs[1] = Converts(change, xs)
    return xs


# Placeholders replacing the defaults: a function of (object, row, call) makes a fresh one for each case.
CONVERSIONS = [  # (name, what converting does to the object, exception, message; StrReads: the text it gives)
    ("reads", lambda s, row, call: Converts(refused_twice, s), RuntimeError, "Already mutably borrowed"),
    ("mutates", lambda s, row, call: Converts(lambda t: run(t, call, x=1.0, xs=[1.0], i=1, o=sample(row)), s),
     RuntimeError, "Already borrowed"),
    ("raises", lambda s, row, call: Converts(lambda t: 1 / 0), ZeroDivisionError, "division by zero"),
    ("message reads", lambda s, row, call: Converts(raise_str_reads, s), TypeError, StrReads),
]
SEQUENCES = [  # (name, a hostile sequence, the values a call must read from it, or the exception it raises)
    # a length is a capacity hint only: none may reserve it, fail on it, or stop iteration early (-1 raises)
    *[(f"len {n}", lambda *_, n=n: Seq([1.0, 2.0, 4.0], n), [1.0, 2.0, 4.0])
      for n in (2**61, 2**40, sys.maxsize, 0, -1)],
    ("shrinks", lambda *_: Seq([1.0, 2.0, 4.0, 8.0], at=3, action=lambda q: (q.items.pop(), setattr(q, "at", None))),
     [1.0, 2.0, 4.0]),
    ("stops half-way", lambda *_: Seq([1.0, 2.0, 4.0], at=1, action=lambda q: {}.pop("half-way")), KeyError),
    ("list appended", lambda *_: changed(lambda xs: len(xs) == 4 and xs.append(8.0)), [1.0, 0.5, 2.0, 4.0, 8.0]),
    ("list cleared", lambda *_: changed(list.clear), [1.0, 0.5]),
    ("list popped", lambda *_: changed(list.pop), [1.0, 0.5, 2.0]),
]
VARIANTS = [  # (name, placeholders, what the call gives: None for a result, else an exception (with its message))
    ("plain", {}, None),
    ("buffer", {"xs": array.array("d", [1.25, 0.5, 3.0])}, None),
    ("iterated", {"xs": range(10**6, 10**6 + 3)}, None),
    ("float type", {"x": "a"}, TypeError),
    ("sequence type", {"xs": None}, TypeError),
    ("element type", {"xs": [1.0, "a"]}, TypeError),
    ("index type", {"i": 1.5}, TypeError),
    ("index range", {"i": 2**64}, OverflowError),
    ("other type", {"o": 1.0}, TypeError),
    ("other is self", {"o": lambda s, *_: s}, RuntimeError),
    ("byte length", {"b": bytes(3)}, ValueError),
    ("bytes type", {"b": bytearray(281)},
     (TypeError, "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'")),
    *[(name, {"xs": make}, want) for name, make, want in SEQUENCES],
]


# each converted placeholder (of xs, its middle element) converting in every hostile way
HOSTILE = [(f"{where} {name}", {where: lambda *a, make=make: [1.0, make(*a), 2.0]} if where == "xs" else {where: make},
            (error, message)) for where in sorted(CONVERTED) for name, make, error, message in CONVERSIONS]


def cases():
    for row, call in CALLS:
        for variant, subst, want in VARIANTS + [h for h in HOSTILE if (row, call) in HELD or "raises" in h[0]]:
            # a list changed by its elements changes again when read a second time: only calls reading it once
            if subst.keys() <= params(call) and not (variant.startswith("list") and call.count("xs") > 1):
                yield pytest.param(row, call, subst, want, None, id=f"{row.cls.__name__}.{call}-{variant}")
    for row in ROWS:
        for call, error, values in row.extra:
            yield pytest.param(row, call, {}, error, values, id=f"{row.cls.__name__}.{call}-error")


@pytest.mark.parametrize("row, call, subst, want, values", list(cases()))
def test_every_call_hostile_or_not(row, call, subst, want, values):
    """The call gives a result, or what it gives with the values a hostile sequence must read as, or the exception,
    leaving the state as it was; and many calls keep no reference and no memory."""
    s, ref = (sample(row, (1.5, 2.5, -4.0, 0.75) if values is None else values) for _ in range(2))
    space = {"x": Converts(lambda t: None), "xs": [1.25, Converts(lambda t: None), 2**70],
             "i": Converts(lambda t: None), "o": sample(row), "b": encoding(s)}
    space.update({k: v(s, row, call) if callable(v) else v for k, v in subst.items()})
    got = result(s, call, **space)
    if isinstance(want, list):
        assert got == result(ref, call, **{**space, "xs": want})
    elif want is None:
        assert not isinstance(got, tuple), got        # not an exception
    else:
        error, message = want if isinstance(want, tuple) else (want, None)
        assert issubclass(got[0], error) and message in (None, got[1], StrReads)
        assert error is not BaseException or got[0].__name__ == "PanicException" and not issubclass(got[0], Exception)
        assert message is not StrReads or re.fullmatch(r"argument '\w+': " + re.escape(str(StrReads(s))), got[1])
    assert want is None or (row.snap and row.snap(s)) == (row.snap and row.snap(ref))
    space["s"], code = s, compile("s." + call, call, "eval")
    watched = list(space.values()) + [v for xs in space.values() if isinstance(xs, list) for v in xs]
    for calls in (10, 1000):                      # the first round fills caches and free lists
        refs, blocks = [sys.getrefcount(w) for w in watched], sys.getallocatedblocks()
        for _ in range(calls):
            try:
                eval(code, space)
            except BaseException:
                pass
    assert [sys.getrefcount(w) for w in watched] == refs
    assert sys.getallocatedblocks() - blocks < 100    # one object kept per call would be 1000


def test_dropping_the_last_reference_during_a_call():
    for row, call in HELD:
        for where in sorted(params(call) & CONVERTED):
            holder, h = [sample(row)], Converts(lambda t: holder.clear())
            space = {"x": 1.0, "xs": [1.0, 2.0, 4.0], "i": 1, where: [1.0, h, 2.0] if where == "xs" else h}
            assert eval("holder[0]." + call, {"holder": holder, **space}) is None and holder == []


# ---- the floating-point environment

@pytest.fixture(scope="module")
def fpmode(tmp_path_factory):
    lib = tmp_path_factory.mktemp("fpmode") / "fpmode.so"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    src = os.path.join(os.path.dirname(__file__), "fpmode.c")
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(lib), src], check=True, env=env)
    mode = ctypes.CDLL(str(lib))
    mode.half_min_normal.restype = ctypes.c_double
    return mode


SUBS = [5e-324 * k for k in range(1, 300)]                     # 299 subnormals: 5.0e-310 in all
MIXED = [1.0, 2.0**-1074, -2.0**-1060, 1.0 + 2.0**-52, 0.1, -3e-320, 2.0**-1022 * 1.5, 1e300, -1e300, 2.0**-30]
F32_SUBNORMALS = array.array("f", [1e-40, -3e-42, 1.5e-45, 0.1])    # widened by the module alone, in bulk
# (values fed one by one, values given in bulk); the feeds compute nothing in Python, where the mode applies too
VALUES = [(SUBS, SUBS), (MIXED, MIXED * 40), (list(F32_SUBNORMALS), F32_SUBNORMALS)]
# columns varnix_arrays converts itself: integers and long doubles that round, binary32 subnormals
COLUMNS = [np.array([2**53 + 1, -3, 2**63 - 1]), np.array([0.1, 1e-4000], dtype=np.longdouble), F32_SUBNORMALS]
# long enough to be split across threads, which inherit the caller's mode: every spread of exponents and subnormals
LONG = np.ldexp(np.resize(MIXED, 2**17 + 9), np.arange(2**17 + 9) % 50 - 25)


def battery():
    """Every call of every row in turn on one sample fed values a floating-point mode could disturb (subnormals,
    products and their residuals, huge magnitudes, binary32 narrowing and widening), one by one and in bulk."""
    out = []
    for xs, bulk in VALUES:
        for row in ROWS:
            s, o = sample(row, xs), sample(row, xs[::-1])
            for call in (c.lstrip("=") for c in calls_of(row)):
                out += [result(s, call, x=0.3, xs=bulk, i=1, o=o, b=encoding(s)), row.snap and row.snap(s)]
    fast = FastSumF64()
    fast.extend(LONG)
    return out + [va.moments(c).to_bytes() for c in COLUMNS] + [
        va.moments4(LONG, threads=2).to_bytes(), va.dot_state(LONG, LONG[::-1], threads=3), fast.finish().to_bytes()
    ] + grouped(MIXED * 40) + grouped(SUBS)


def grouped(xs):
    """The cells and states of a group-by over the values (in three groups), as bytes."""
    stats = ["sum", "mean", "var", "std", "skewness", "min"]
    t = va.groupby({"x": xs}, by=np.arange(len(xs)) % 3, aggs={"x": stats}, states=True)
    return [t[("x", s)].to_numpy().tobytes() for s in stats] + list(t[("x", "Moments4F64")])


@pytest.mark.parametrize("mode", [0, 1, 2, 3], ids=["flush to zero", "downward", "upward", "toward zero"])
def test_results_do_not_depend_on_the_floating_point_mode(fpmode, mode):
    expected = battery()
    assert bits(sample(ROWS[0], SUBS).value()) == bits(sum(range(1, 300)) * 5e-324)    # exact in the default mode
    fpmode.save()
    try:
        fpmode.set_mode(mode)
        assert (fpmode.half_min_normal() == 0.0) == (mode == 0)   # the mode is in force
        got = battery()
    finally:
        fpmode.restore()
    assert got == expected


@pytest.mark.parametrize("module", ["varnix", "varnix_arrays._native"])
def test_only_the_entry_point_leaves_the_shared_object(module):
    path = importlib.import_module(module).__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_" + module.rsplit(".", 1)[-1]]

