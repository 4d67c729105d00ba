"""The module frame: names, signatures, argument binding and conversion, borrows and reference counts."""
import array
import inspect
import sys

import pytest

import varnix
from conftest import NAN, encode_state, sum_of
from varnix import (CovF64, CovMatrixF64, DeltasSum, DotF64, ExtremaF64, FastSumF64, HistogramF64, Moments4F64,
                    MomentsF64, MomentsMap, PnMomentsF64, ReplicatedSum, SumF32, SumF64, SumMap, WeightedMomentsF64,
                    dot)

SIGNATURES = {
    SumF64: ["add($self, x)", "merge($self, other)", "try_unmerge($self, other)", "count($self)", "value($self)",
             "to_bytes($self)", "from_bytes(b)", "state_hash($self)"],
    SumF32: ["add($self, x)", "merge($self, other)", "count($self)", "value($self)", "to_bytes($self)",
             "from_bytes(b)", "state_hash($self)"],
    FastSumF64: ["add($self, x)", "extend($self, xs)", "count($self)", "finish($self)"],
    DotF64: ["push($self, a, b)", "extend($self, xs, ys)", "merge($self, other)", "value($self)", "state_hash($self)"],
    MomentsF64: ["add($self, x)", "merge($self, o)", "count($self)", "mean($self)", "variance($self)",
                 "sample_variance($self)", "stddev($self)", "to_bytes($self)", "from_bytes(b)", "state_hash($self)"],
    Moments4F64: ["add($self, x)", "merge($self, o)", "count($self)", "mean($self)", "variance($self)",
                  "kurtosis($self)", "excess_kurtosis($self)", "skewness($self)", "skewness_squared($self)",
                  "to_bytes($self)", "from_bytes(b)", "state_hash($self)"],
    CovF64: ["add($self, x, y)", "merge($self, o)", "count($self)", "covariance($self)", "slope($self)",
             "intercept($self)", "r_squared($self)", "correlation($self)", "to_bytes($self)", "from_bytes(b)",
             "state_hash($self)"],
    WeightedMomentsF64: ["add($self, x, w)", "merge($self, o)", "count($self)", "mean($self)", "variance($self)",
                         "to_bytes($self)", "from_bytes(b)", "state_hash($self)"],
    PnMomentsF64: ["add($self, x)", "remove($self, x)", "merge($self, o)", "live_count($self)", "mean($self)",
                   "variance($self)", "to_bytes($self)", "from_bytes(b)", "state_hash($self)"],
    CovMatrixF64: ["count($self)", "add($self, x, y)", "merge($self, o)", "covariance($self, i, j)",
                   "regression($self)", "regression_exact($self)", "sub($self, o)", "encode($self)", "decode(b)",
                   "state_hash($self)"],
    HistogramF64: ["add($self, x)", "edges($self)", "counts($self)", "total($self)", "quantile_bounds($self, q)",
                   "encode($self)", "decode(b)", "state_hash($self)"],
    ExtremaF64: ["add($self, x)", "min($self)", "max($self)", "range($self)", "to_bytes($self)", "from_bytes(b)",
                 "state_hash($self)"],
    SumMap: ["add($self, key, x)", "value($self, key)", "merge($self, other)", "len($self)", "count($self)",
             "encode($self)"],
    MomentsMap: ["add($self, key, x)", "mean($self, key)", "variance($self, key)", "merge($self, other)", "len($self)",
                 "encode($self)"],
    ReplicatedSum: ["add($self, replica, x)", "join($self, other)", "value($self)", "encode($self)"],
    DeltasSum: ["add($self, x)", "value($self)"],
}
NEW_ARGS = {CovMatrixF64: ("d", 2), HistogramF64: ("edges", [0.0])}   # constructor parameters, sample arguments
TRY_UNMERGE_DOC = (
    "Exactly remove a previously merged contribution (group subtraction).\n"
    "Returns False (state untouched) if `other` carries NaN/infinity flags\n"
    "or a larger count. Kani-verified: the borrow chain inverts merge's\n"
    "carry chain for all valid states.")
MORE_DOC = {
    "try_unmerge": TRY_UNMERGE_DOC,
    "sub": "Exactly remove a previously merged contribution (downdating /\n"
           "unlearning). All-or-nothing; raises on dimension mismatch, on\n"
           "non-finite-flagged subtrahends, or on count underflow.",
    "regression_exact": "Exact tier: correctly rounded coefficients \u2014 the normal equations are\n"
                        "solved in exact integer arithmetic and each coefficient rounded once.\n"
                        "Bit-identical on any machine by mathematical definition."}
STATIC = {"from_bytes", "decode"}


def test_names_signatures_and_docs():
    assert varnix.__all__ == ["SumF64", "SumF32", "FastSumF64", "DotF64", "MomentsF64", "Moments4F64", "CovF64",
                              "WeightedMomentsF64", "PnMomentsF64", "CovMatrixF64", "HistogramF64", "ExtremaF64",
                              "SumMap", "MomentsMap", "ReplicatedSum", "DeltasSum", "dot"]      # registration order
    assert {n for n in dir(varnix) if not n.startswith("__")} == set(varnix.__all__)
    assert (varnix.__doc__, dot.__module__, dot.__text_signature__, dot.__doc__) == ("", "varnix", "(xs, ys)", None)
    for cls, signatures in SIGNATURES.items():
        name, (params, *args) = cls.__name__, NEW_ARGS.get(cls, ("",))
        assert (cls.__module__, cls.__qualname__, cls.__doc__, cls.__text_signature__) == \
            ("builtins", name, f"{name}({params})\n--\n\n", f"({params})")
        table = dict(sig.split("(", 1) for sig in signatures)
        assert {n for n in dir(cls) if not n.startswith("_")} == set(table)
        for meth, sig in table.items():
            method = getattr(cls, meth)
            assert (method.__text_signature__, method.__doc__) == \
                ("(" + sig, MORE_DOC.get(meth)), (name, meth)
            assert isinstance(inspect.getattr_static(cls, meth), staticmethod) == (meth in STATIC)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})                # not subclassable
        with pytest.raises(AttributeError):
            cls(*args).extra = 1
        assert not hasattr(cls(*args), "__dict__")


class Floaty:
    """Converts to v, or to what calling v returns, or raises v."""
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v() if callable(self.v) else self.v


@pytest.mark.parametrize("cls", [SumF64, SumF32])
def test_keywords_binding_and_conversion(cls):
    s, t, c, other, d = cls(), sum_of([2.0], cls), cls.__name__, (SumF32 if cls is SumF64 else SumF64)(), DotF64()
    s.add(x=1.5)
    s.merge(other=t)
    for x in (True, Floaty(2.5), 2**53 + 1):      # converted as float(x) is
        s.add(x)
    b = s.to_bytes()
    assert b == sum_of([1.5, 2.0, 1.0, 2.5, 2.0**53], cls).to_bytes()
    assert [u.to_bytes() for u in (cls.from_bytes(b), s.from_bytes(b=b))] == [b, b]
    for call, exc, message in [
        (lambda: s.add(), TypeError, f"{c}.add() missing 1 required positional argument: 'x'"),
        (lambda: s.add(1.0, 2.0), TypeError, f"{c}.add() takes 1 positional arguments but 2 were given"),
        (lambda: s.add(1.0, x=2.0), TypeError, f"{c}.add() got multiple values for argument 'x'"),
        (lambda: s.from_bytes(b, b), TypeError, f"{c}.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: cls(1), TypeError, f"{c}.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: cls(a=1), TypeError, f"{c}.__new__() got an unexpected keyword argument 'a'"),
        (lambda: DotF64().push(), TypeError, "DotF64.push() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: dot([], [], []), TypeError, "dot() takes 2 positional arguments but 3 were given"),
        (lambda: s.value(1), TypeError, None), (lambda: s.count(x=1), TypeError, None),
        (lambda: s.merge(s), RuntimeError, "Already mutably borrowed"),    # s stays as it was, and usable
        (lambda: d.merge(d), RuntimeError, "Already mutably borrowed"),
        (lambda: s.add("1.0"), TypeError, "argument 'x': must be real number, not str"),
        (lambda: s.merge(other), TypeError, f"argument 'other': '{type(other).__name__}' object cannot be "
                                            f"converted to '{c}'"),
        (lambda: s.add(10**400), OverflowError, None),              # anything but a TypeError passes unchanged
        (lambda: s.add(Floaty(ValueError())), ValueError, None),
        (lambda: s.add(Floaty(KeyboardInterrupt())), KeyboardInterrupt, None),
    ]:
        with pytest.raises(exc) as e:
            call()
        assert message is None or str(e.value) == message
    root, inner = KeyError("root"), TypeError("boom")
    inner.__cause__ = root
    with pytest.raises(TypeError) as e:
        s.add(Floaty(inner))
    assert str(e.value) == "argument 'x': boom" and e.value.__cause__ is root and s.to_bytes() == b
    if cls is SumF64:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            s.try_unmerge(s)
        assert s.try_unmerge(other=t) is True and s.count() == 4


@pytest.mark.parametrize("inner, message", [
    (lambda s, o: s.value(), "Already mutably borrowed"), (lambda s, o: s.to_bytes(), "Already mutably borrowed"),
    (lambda s, o: o.merge(s), "Already mutably borrowed"), (lambda s, o: o.try_unmerge(s), "Already mutably borrowed"),
    (lambda s, o: s.add(1.0), "Already borrowed"), (lambda s, o: s.merge(o), "Already borrowed"),
])
def test_reentrance_through_float_conversion(inner, message):
    s, other, errors = sum_of([1.0]), sum_of([4.0]), []

    def refused_twice():                          # a refused borrow must not release the outer one
        for _ in range(2):
            with pytest.raises(RuntimeError) as e:
                inner(s, other)
            errors.append(str(e.value))
        return 2.0

    with pytest.raises(RuntimeError) as e:
        s.add(Floaty(lambda: inner(s, other)))
    assert str(e.value) == message and s.to_bytes() == sum_of([1.0]).to_bytes()
    s.add(Floaty(refused_twice))
    assert errors == [message] * 2 and other.to_bytes() == sum_of([4.0]).to_bytes()
    s.merge(other)                                # every borrow is free again
    other.merge(s)
    assert (s.value(), other.value()) == (7.0, 11.0)


S64, S32, OTHER, NANS, FS, D, LOST = (sum_of([1.0]), sum_of([1.0], SumF32), SumF64(), sum_of([NAN]),
                                    FastSumF64(), DotF64(), DotF64())
LOST.push(1e-200, 1e-200)
M, M4 = MomentsF64(), Moments4F64()
for acc, x in [(M, 3.0), (M, 4.0), (M4, 3.0), (M4, 4.0)]:
    acc.add(x)
CM = CovMatrixF64(1)
for x, y in [(0.0, 1.0), (1.0, 3.0), (2.0, 4.0)]:
    CM.add([x], y)
F, I, TEXT, HUGE, OBJ, RAISING = 1.25, 12345678901234567890, "abcd", 10**400, Floaty(0.5), Floaty(TypeError("x"))
B, BAD, BA, ARR = S64.to_bytes(), encode_state(0, 8, 0), bytearray(281), array.array("d", [F] * 3)
RANGE, SEQ, BADSEQ = range(10**6, 10**6 + 3), [F, OBJ, I], [F, OBJ, TEXT]
WATCHED = [None, True, False, SumF64, SumF32, FastSumF64, DotF64, S64, S32, OTHER, NANS, FS, D, LOST, F, I, TEXT,
           HUGE, OBJ, RAISING, B, BAD, BA, ARR, RANGE, SEQ, BADSEQ, MomentsF64, Moments4F64, M, M4, CovMatrixF64, CM]
CALLS = {  # each call, and the exception it raises
    "SumF64()": None, "SumF32(F)": "TypeError", "S64.add(F)": None, "S64.add(I)": None, "S32.add(OBJ)": None,
    "S64.add(x=F)": None, "S64.add(TEXT)": "TypeError", "S32.add(HUGE)": "OverflowError",
    "S64.add(RAISING)": "TypeError", "S64.add(F, F)": "TypeError", "S64.merge(OTHER)": None,
    "S64.merge(S32)": "TypeError", "S64.merge(S64)": "RuntimeError", "S64.try_unmerge(OTHER)": None,
    "S64.try_unmerge(NANS)": None, "S64.count()": None, "S32.value()": None, "S64.to_bytes()": None,
    "S32.state_hash()": None, "SumF64.from_bytes(b=B)": None, "SumF32.from_bytes(BAD)": "ValueError",
    "SumF64.from_bytes(BA)": "TypeError", "FS.extend(SEQ)": None, "FS.extend(RANGE)": None, "FS.extend(ARR)": None,
    "FS.extend(BADSEQ)": "TypeError", "FS.finish()": None, "D.push(F, OBJ)": None, "D.extend(ARR, SEQ)": None,
    "LOST.value()": "ValueError", "dot(SEQ, ARR[:2])": "PanicException", "dot(RANGE, ARR)": None,
    "M.add(OBJ)": None, "M4.add(x=F)": None, "M.merge(M)": "RuntimeError", "M4.merge(M)": "TypeError",
    "M.stddev()": None, "M4.kurtosis()": None, "Moments4F64().skewness()": "ValueError",
    "MomentsF64.from_bytes(B)": "ValueError", "Moments4F64.from_bytes(M4.to_bytes())": None,
    "CovMatrixF64(1)": None, "CovMatrixF64(2**32)": "OverflowError", "CovMatrixF64(2**20)": "MemoryError",
    "CM.add(ARR[:1], OBJ)": None, "CM.add(SEQ, F)": "PanicException", "CM.add(BADSEQ, F)": "TypeError",
    "CM.merge(CM)": "RuntimeError", "CM.sub(CovMatrixF64(2))": "ValueError", "CM.covariance(0, 0)": None,
    "CM.regression()": None, "CM.regression_exact()": None, "CovMatrixF64(1).regression_exact()": "ValueError",
    "CovMatrixF64.decode(CM.encode())": None, "CovMatrixF64.decode(B)": "ValueError", "CM.state_hash()": None,
}
SM, SM2, MM, RS, RS2, DS = SumMap(), SumMap(), MomentsMap(), ReplicatedSum(), ReplicatedSum(), DeltasSum()
SM2.add(TEXT, F)
RS2.add(I, F)
WATCHED += [SumMap, MomentsMap, ReplicatedSum, DeltasSum, SM, SM2, MM, RS, RS2, DS]
CALLS.update({  # keys and replicas repeat, so the maps stop growing after the first call
    "SM.add(TEXT, F)": None, "SM.add(key=TEXT, x=OBJ)": None, "SM.add(I, F)": "TypeError",
    "SM.add(TEXT, RAISING)": "TypeError", "SM.value(TEXT)": None, "SM.value('absent')": "ValueError",
    "SM.merge(SM2)": None, "SM.merge(SM)": "RuntimeError", "SM.merge(MM)": "TypeError", "SM.count()": None,
    "SM.len()": None, "SM.encode()": None, "MM.add(TEXT, F)": None, "MM.mean(TEXT)": None,
    "MM.variance('absent')": "ValueError", "MM.merge(MM)": "RuntimeError", "MM.encode()": None,
    "RS.add(I, F)": None, "RS.add(HUGE, F)": "OverflowError", "RS.add(F, F)": "TypeError", "RS.join(RS2)": None,
    "RS.join(RS)": "RuntimeError", "RS.value()": None, "RS.encode()": None, "DS.add(OBJ)": None, "DS.value()": None,
})


@pytest.mark.parametrize("code", CALLS)
def test_no_reference_or_memory_leak(code):
    call = eval("lambda: " + code)
    for calls in (10, 10**5):                     # the first round fills caches and free lists
        refs, blocks = [sys.getrefcount(w) for w in WATCHED], sys.getallocatedblocks()
        for _ in range(calls):
            try:
                call()
                raised = None
            except BaseException as e:
                raised = type(e).__name__
            assert raised == CALLS[code]
    assert [sys.getrefcount(w) for w in WATCHED] == refs
    assert sys.getallocatedblocks() - blocks < 5000    # one object kept per call would be 10**5
