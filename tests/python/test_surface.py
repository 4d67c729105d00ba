"""The module frame: registry, names, signatures, argument binding and conversion, borrows, references."""
import contextlib
import inspect
import pickle
import sys
import weakref

import pytest

import varnix
from varnix import DotF64, FastSumF64, SumF32, SumF64
from conftest import decode_state, encode_state, sum_of

REGISTRY = ["SumF64", "SumF32", "FastSumF64", "DotF64", "MomentsF64", "Moments4F64", "CovF64",
            "WeightedMomentsF64", "PnMomentsF64", "CovMatrixF64", "HistogramF64", "ExtremaF64",
            "SumMap", "MomentsMap", "ReplicatedSum", "DeltasSum", "dot"]
SUMS = [SumF64, SumF32]
SIGNATURES = {
    SumF64: ["add($self, x)", "merge($self, other)", "try_unmerge($self, other)", "count($self)",
             "value($self)", "to_bytes($self)", "from_bytes(b)", "state_hash($self)"],
    SumF32: ["add($self, x)", "merge($self, other)", "count($self)", "value($self)", "to_bytes($self)",
             "from_bytes(b)", "state_hash($self)"],
    FastSumF64: ["add($self, x)", "extend($self, xs)", "count($self)", "finish($self)"],
    DotF64: ["push($self, a, b)", "extend($self, xs, ys)", "merge($self, other)", "value($self)",
             "state_hash($self)"],
}
TRY_UNMERGE_DOC = (
    "Exactly remove a previously merged contribution (group subtraction).\n"
    "Returns False (state untouched) if `other` carries NaN/infinity flags\n"
    "or a larger count. Kani-verified: the borrow chain inverts merge's\n"
    "carry chain for all valid states.")


def test_module_registry():
    names = varnix.__all__
    assert type(names) is list and {"SumF64", "SumF32", "FastSumF64", "DotF64", "dot"} <= set(names)
    assert [n for n in REGISTRY if n in names] == names and names[-1] == "dot"   # registry order, no repeats
    assert {n for n in dir(varnix) if not n.startswith("__")} == set(names)
    assert varnix.__name__ == "varnix" and varnix.__doc__ == ""
    assert varnix.dot.__text_signature__ == "(xs, ys)" and varnix.dot.__doc__ is None


@pytest.mark.parametrize("cls", SIGNATURES)
def test_class_surface(cls):
    name = cls.__name__
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("builtins", name, name + "()\n--\n\n")
    assert cls.__text_signature__ == "()" and str(inspect.signature(cls)) == "()"
    table = {sig[:sig.index("(")]: sig[sig.index("("):] for sig in SIGNATURES[cls]}
    assert {n for n in dir(cls) if not n.startswith("_")} == set(table)
    for meth, sig in table.items():
        assert getattr(cls, meth).__text_signature__ == sig, meth
        params = [p for p in sig[1:-1].split(", ") if p not in ("", "$self")]
        assert list(inspect.signature(getattr(cls(), meth)).parameters) == params, meth
        doc = TRY_UNMERGE_DOC if (cls, meth) == (SumF64, "try_unmerge") else None
        assert getattr(cls, meth).__doc__ == doc, meth
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    s, t = cls(), cls()
    assert repr(s).startswith(f"<builtins.{name} object at 0x")
    for attempt in (lambda: s.__dict__, lambda: setattr(s, "extra", 1)):
        with pytest.raises(AttributeError):
            attempt()
    for attempt in (lambda: weakref.ref(s), lambda: pickle.dumps(s)):
        with pytest.raises(TypeError):
            attempt()
    assert s == s and s != t and hash(s) == hash(s) != hash(t)        # equality is identity


@pytest.mark.parametrize("cls", SUMS)
def test_static_from_bytes_and_keywords(cls):
    assert isinstance(inspect.getattr_static(cls, "from_bytes"), staticmethod)
    b = encode_state(5, 2, 3)
    for t in (cls.from_bytes(b), cls().from_bytes(b), cls.from_bytes(b=b)):
        assert type(t) is cls and t.to_bytes() == b
    s, t = cls(), sum_of([2.0], cls)
    s.add(x=1.5)
    s.merge(other=t)
    assert (s.value(), s.count()) == (3.5, 2) and s != sum_of([1.5, 2.0], cls)
    if cls is SumF64:
        assert s.try_unmerge(other=t) is True and s.value() == 1.5


@pytest.mark.parametrize("cls", SUMS)
def test_binding_messages(cls):
    s, t, c = sum_of([1.0], cls), cls(), cls.__name__
    b = s.to_bytes()
    cases = [
        (lambda: s.add(), f"{c}.add() missing 1 required positional argument: 'x'"),
        (lambda: s.add(1.0, 2.0), f"{c}.add() takes 1 positional arguments but 2 were given"),
        (lambda: s.add(1.0, y=2.0), f"{c}.add() got an unexpected keyword argument 'y'"),
        (lambda: s.add(1.0, x=2.0), f"{c}.add() got multiple values for argument 'x'"),
        (lambda: s.merge(), f"{c}.merge() missing 1 required positional argument: 'other'"),
        (lambda: s.merge(t, o=t), f"{c}.merge() got an unexpected keyword argument 'o'"),
        (lambda: cls.from_bytes(), f"{c}.from_bytes() missing 1 required positional argument: 'b'"),
        (lambda: s.from_bytes(b, b), f"{c}.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: cls.from_bytes(b, b=b), f"{c}.from_bytes() got multiple values for argument 'b'"),
        (lambda: cls(1), f"{c}.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: cls(1, 2), f"{c}.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: cls(a=1), f"{c}.__new__() got an unexpected keyword argument 'a'"),
        (lambda: DotF64().push(1.0), "DotF64.push() missing 1 required positional argument: 'b'"),
        (lambda: varnix.dot([1.0], [1.0], [1.0]), "dot() takes 2 positional arguments but 3 were given"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    for meth in ("count", "value", "to_bytes", "state_hash"):
        for args, kwargs in [((1,), {}), ((), {"x": 1})]:
            with pytest.raises(TypeError):
                getattr(s, meth)(*args, **kwargs)
    assert s.to_bytes() == b


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize("cls", SUMS)
def test_argument_conversion(cls):
    for x, value in [(True, 1.0), (3, 3.0), (Floaty(2.5), 2.5), (Indexy(), 7.0), (2**53 + 1, 2.0**53)]:
        s = cls()
        s.add(x)
        assert (s.value(), s.count()) == (value, 1)
    s = sum_of([1.0], cls)
    before = s.to_bytes()
    for bad, tname in [("1.0", "str"), (None, "NoneType"), ([1.0], "list"), (b"1", "bytes")]:
        with pytest.raises(TypeError) as e:
            s.add(bad)
        assert str(e.value) == f"argument 'x': must be real number, not {tname}"
    root, inner = KeyError("root"), TypeError("boom")
    inner.__cause__ = root
    with pytest.raises(TypeError) as e:
        s.add(Floaty(inner))
    assert str(e.value) == "argument 'x': boom" and e.value.__cause__ is root
    for exc in (OverflowError, ValueError, KeyboardInterrupt):    # other exceptions pass unchanged
        with pytest.raises(exc):
            s.add(10**400 if exc is OverflowError else Floaty(exc("nope")))
    other = SumF32() if cls is SumF64 else SumF64()
    for meth in ("merge", "try_unmerge") if cls is SumF64 else ("merge",):
        for o in (other, DotF64(), 1.0, None):
            with pytest.raises(TypeError) as e:
                getattr(s, meth)(o)
            assert str(e.value) == (f"argument 'other': '{type(o).__name__}' object cannot be "
                                    f"converted to '{cls.__name__}'")
    assert s.to_bytes() == before


@pytest.mark.parametrize("cls, meth", [(SumF64, "merge"), (SumF64, "try_unmerge"), (SumF32, "merge"),
                                       (DotF64, "merge")])
def test_merge_with_itself_is_a_borrow_conflict(cls, meth):
    s = cls()
    s.push(1.5, 3.0) if cls is DotF64 else s.add(1.5)
    before = s.state_hash()
    with pytest.raises(RuntimeError) as e:
        getattr(s, meth)(s)
    assert str(e.value) == "Already mutably borrowed" and s.state_hash() == before
    getattr(s, meth)(cls())                       # both borrows were released


class Reenter:
    """Calls back into the accumulator from inside its own float conversion."""

    def __init__(self, s, inner, swallow):
        self.s, self.inner, self.swallow, self.errors = s, inner, swallow, []

    def __float__(self):
        if not self.swallow:
            self.inner(self.s)
        for _ in range(2):                        # a failed inner call must not release the outer borrow
            try:
                self.inner(self.s)
            except RuntimeError as e:
                self.errors.append(str(e))
        return 2.0


@pytest.mark.parametrize("cls", SUMS)
def test_reentrance_during_conversion(cls):
    other = sum_of([4.0], cls)
    shared, exclusive = "Already mutably borrowed", "Already borrowed"
    cases = [(lambda s: s.value(), shared), (lambda s: s.count(), shared), (lambda s: s.to_bytes(), shared),
             (lambda s: s.state_hash(), shared), (lambda s: s.add(1.0), exclusive),
             (lambda s: s.merge(other), exclusive), (lambda s: other.merge(s), shared)]
    if cls is SumF64:
        cases += [(lambda s: s.try_unmerge(other), exclusive), (lambda s: other.try_unmerge(s), shared)]
    for inner, message in cases:
        s = sum_of([1.0], cls)
        before, other_before = s.to_bytes(), other.to_bytes()
        with pytest.raises(RuntimeError) as e:
            s.add(Reenter(s, inner, swallow=False))
        assert str(e.value) == message
        assert (s.to_bytes(), other.to_bytes()) == (before, other_before)
        obj = Reenter(s, inner, swallow=True)
        s.add(obj)
        assert obj.errors == [message, message] and other.to_bytes() == other_before
        assert decode_state(s.to_bytes())[2] == 2 and s.value() == 3.0
        s.merge(cls())                            # the exclusive borrow is free again
        other.merge(s)


def test_failed_borrow_of_other_releases_self():
    s, t = SumF64(), SumF64()

    class Probe:
        def __float__(self):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                s.merge(t)                        # t is exclusively borrowed by t.add
            return 1.0

    t.add(Probe())
    s.add(2.0)
    s.merge(t)
    assert (s.value(), s.count()) == (3.0, 2)


def _leak_cases(cls):
    """name -> (call, objects whose reference counts must not move, expected exception)."""
    s, o, wrong = sum_of([1.0], cls), cls(), (SumF32 if cls is SumF64 else SumF64)()
    f, i, text, huge, obj = float("1.25"), int("12345678901234567890"), "abc" + str(cls), 10**400, Floaty(0.5)
    b, short, badflag, ba = s.to_bytes(), bytes(280), encode_state(0, 8, 0), bytearray(281)
    raising, reenter = Floaty(TypeError("x")), Reenter(s, lambda s: s.value(), swallow=False)
    cases = {
        "new": (lambda: cls(), [], None),
        "new with argument": (lambda: cls(f), [f], TypeError),
        "add float": (lambda: s.add(f), [f], None),
        "add int": (lambda: s.add(i), [i], None),
        "add __float__": (lambda: s.add(obj), [obj], None),
        "add keyword": (lambda: s.add(x=f), [f], None),
        "add str": (lambda: s.add(text), [text], TypeError),
        "add huge int": (lambda: s.add(huge), [huge], OverflowError),
        "add raising": (lambda: s.add(raising), [raising], TypeError),
        "add reentrant": (lambda: s.add(reenter), [reenter], RuntimeError),
        "add two args": (lambda: s.add(f, f), [f], TypeError),
        "merge": (lambda: s.merge(o), [o], None),
        "merge wrong class": (lambda: s.merge(wrong), [wrong], TypeError),
        "merge self": (lambda: s.merge(s), [], RuntimeError),
        "count": (lambda: s.count(), [], None),
        "value": (lambda: s.value(), [], None),
        "to_bytes": (lambda: s.to_bytes(), [], None),
        "state_hash": (lambda: s.state_hash(), [], None),
        "from_bytes": (lambda: cls.from_bytes(b), [b], None),
        "from_bytes keyword": (lambda: s.from_bytes(b=b), [b], None),
        "from_bytes short": (lambda: cls.from_bytes(short), [short], ValueError),
        "from_bytes bad flag": (lambda: cls.from_bytes(badflag), [badflag], ValueError),
        "from_bytes bytearray": (lambda: cls.from_bytes(ba), [ba], TypeError),
    }
    if cls is SumF64:
        big = sum_of([1.0, 2.0])
        cases.update({
            "try_unmerge": (lambda: s.try_unmerge(o), [o], None),
            "try_unmerge refused": (lambda: s.try_unmerge(big), [big], None),
            "try_unmerge wrong class": (lambda: s.try_unmerge(wrong), [wrong], TypeError),
        })
    return s, cases


LEAK_IDS = [(cls, name) for cls in SUMS for name in _leak_cases(cls)[1]]


@pytest.mark.parametrize("cls, name", LEAK_IDS, ids=[f"{c.__name__}-{n}" for c, n in LEAK_IDS])
def test_no_reference_or_memory_leak(cls, name):
    s, cases = _leak_cases(cls)
    call, watched, exc = cases[name]
    watched = [s, cls] + watched
    with pytest.raises(exc) if exc else contextlib.nullcontext():
        call()                                    # warms caches and free lists, checks the outcome
    refs, blocks = [sys.getrefcount(w) for w in watched], sys.getallocatedblocks()
    if exc is None:
        for _ in range(10**5):
            call()
    else:
        for _ in range(10**5):
            try:
                call()
            except exc:
                pass
    assert [sys.getrefcount(w) for w in watched] == refs
    assert sys.getallocatedblocks() - blocks < 5000   # one leaked object per call would be 10**5
