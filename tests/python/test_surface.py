"""The module frame: names, signatures, argument binding and conversion, and borrows (leaks and re-entrance are
test_hardening's)."""
import inspect

import pytest

import varnix
from conftest import sum_of
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
