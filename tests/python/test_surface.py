"""The module's surface: names, signatures, docstrings and stubs; argument binding and conversion, where an exact
memoryview, array.array or ndarray of native 'd' or 'f' items in one dimension is read as iterating it reads."""
import array
import ast
import ctypes
import inspect
import pathlib
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import varnix
from conftest import any_f64, sum_image
from oracles import outcome as result
from varnix import DotF64, FastSumF64, SumF32, SumF64, dot

NEW_ARGS = {"CovMatrixF64": (2,), "HistogramF64": ([0.0],)}       # sample constructor arguments
DOCUMENTED = {"try_unmerge", "sub", "regression_exact"}        # the only methods with a docstring (the stub's)
STUB_PATH = pathlib.Path("varnix-stubs", "__init__.pyi")         # installed beside the module, else the checkout's
STUB = ast.parse(next((p for p in (pathlib.Path(e or ".") / STUB_PATH for e in sys.path) if p.is_file()),
                      pathlib.Path(__file__).parents[2] / STUB_PATH).read_text())
KINDS = {                       # views read from their buffer: contiguous, strided, reversed, unaligned
    "array": lambda a: a, "ndarray": np.array, "memoryview": memoryview,
    "strided": lambda a: np.repeat(np.array(a), 2)[::2], "reversed": lambda a: np.array(a)[::-1].copy()[::-1],
    "unaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=a.typecode, offset=1),
}
SEQ = type("Seq", (), {"__init__": lambda s, items: setattr(s, "items", items),   # a sequence but no list
                      "__len__": lambda s: len(s.items), "__getitem__": lambda s, i: s.items[i]})


def params(fn):
    """A stub def's parameter names, less the self of a method or the cls of __new__; and if it is static."""
    names = [a.arg for a in fn.args.posonlyargs + fn.args.args]
    static = any(getattr(d, "id", "") == "staticmethod" for d in fn.decorator_list)
    return names[names[:1] == ["cls" if fn.name == "__new__" else "self"] and not static:], static


def test_one_version_from_pyproject_and_none_on_the_module():
    # pyproject's version is varnix_arrays.__version__ and, where the package imported is an installed one, the
    # distribution's; the module's fixed surface has no __version__
    import importlib.metadata, tomllib, varnix_arrays  # noqa: E401
    versions = {varnix_arrays.__version__, tomllib.loads(
        (pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]["version"]}
    versions |= {d.version for d in importlib.metadata.distributions(name="varnix")
                 if pathlib.Path(d.locate_file("varnix_arrays/__init__.py")).samefile(varnix_arrays.__file__)}
    assert len(versions) == 1 and not hasattr(varnix, "__version__"), versions


def test_names_signatures_and_docs_are_the_stubs():
    # the hand-written stub declares the module: names in registration order, parameters, staticmethods, docstrings
    classes = [n for n in STUB.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")]
    declared = next(n.value for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert varnix.__all__ == ast.literal_eval(declared) == [n.name for n in classes] + ["dot"]
    assert {n for n in dir(varnix) if not n.startswith("__")} == set(varnix.__all__)
    [fn] = [n for n in STUB.body if isinstance(n, ast.FunctionDef)]
    assert (varnix.__doc__, dot.__module__, dot.__doc__) == ("", "varnix", None)
    assert (fn.name, list(inspect.signature(dot).parameters)) == ("dot", params(fn)[0])
    for node in classes:
        cls, defs = getattr(varnix, node.name), {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
        new = ", ".join(params(defs.pop("__new__"))[0])
        assert (cls.__module__, cls.__qualname__, cls.__doc__, cls.__text_signature__) == \
            ("builtins", node.name, f"{node.name}({new})\n--\n\n", f"({new})")
        assert {n for n in dir(cls) if not n.startswith("_")} == set(defs)
        obj = cls(*NEW_ARGS.get(node.name, ()))
        for name, fn in defs.items():             # a bound method's signature drops only a $self
            assert (list(inspect.signature(getattr(obj, name)).parameters), isinstance(
                inspect.getattr_static(cls, name), staticmethod)) == params(fn), (node.name, name)
            assert getattr(cls, name).__doc__ == (ast.get_docstring(fn) if name in DOCUMENTED else None)
        pytest.raises(TypeError, type, "Sub", (cls,), {})       # not subclassable
        assert not hasattr(obj, "__dict__")


def test_binding_and_conversion():
    raising = lambda e: type("Raising", (), {"__float__": lambda s: (_ for _ in ()).throw(e)})()  # noqa: E731
    s, t = SumF64(), SumF64()
    t.add(x=2.0)                                  # every parameter binds by keyword too
    s.merge(other=t)
    for x in (True, Fraction(5, 2), 2**53 + 1):   # converted as float(x) is
        s.add(x)
    assert s.to_bytes() == sum_image([2.0, 1.0, 2.5, 2.0**53]) == SumF64.from_bytes(b=s.to_bytes()).to_bytes()
    assert s.try_unmerge(other=t) is True and s.count() == 3
    inner = TypeError("boom")
    inner.__cause__ = root = KeyError("root")
    for call, exc, message in [
        (lambda: s.add(), TypeError, "SumF64.add() missing 1 required positional argument: 'x'"),
        (lambda: s.add(1.0, 2.0), TypeError, "SumF64.add() takes 1 positional arguments but 2 were given"),
        (lambda: s.add(1.0, x=2.0), TypeError, "SumF64.add() got multiple values for argument 'x'"),
        (lambda: s.add(x=1.0, y=2.0), TypeError, "SumF64.add() got an unexpected keyword argument 'y'"),
        (lambda: s.value(1), TypeError, "SumF64.value() takes no arguments (1 given)"),
        (lambda: s.from_bytes(1, 2), TypeError, "SumF64.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: SumF32(1), TypeError, "SumF32.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: DotF64().push(), TypeError, "DotF64.push() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: dot([], [], []), TypeError, "dot() takes 2 positional arguments but 3 were given"),
        (lambda: s.add("1.0"), TypeError, "argument 'x': must be real number, not str"),
        (lambda: s.merge(SumF32()), TypeError, "argument 'other': 'SumF32' object cannot be converted to 'SumF64'"),
        (lambda: s.add(10**400), OverflowError, "int too large to convert to float"),  # passed on unchanged
        (lambda: s.add(raising(KeyboardInterrupt("stop"))), KeyboardInterrupt, "stop"),
        # last: a conversion's TypeError names the argument and keeps its cause
        (lambda: s.add(raising(inner)), TypeError, "argument 'x': boom"),
    ]:
        e = pytest.raises(exc, call)
        assert str(e.value) == message
    assert e.value.__cause__ is root


def outcome(xs, *ys):
    """FastSumF64.extend(xs)'s state and count, or DotF64.extend(xs, ys)'s hash and dot(xs, ys); or the exception
    raised (that it leaves the state as it was is test_hardening's)."""
    acc = DotF64() if ys else FastSumF64()
    try:
        acc.extend(xs, *ys)
    except BaseException as e:                    # a panic is no Exception
        return type(e).__name__, str(e)
    return (acc.state_hash(), result(lambda: dot(xs, *ys))) if ys else (acc.finish().to_bytes(), acc.count())


@st.composite
def sequences(draw, n):
    fmt = draw(st.sampled_from("df"))
    a = array.array(fmt, draw(st.lists(any_f64 if fmt == "d" else st.floats(width=32), min_size=n, max_size=n)))
    return KINDS[draw(st.sampled_from(sorted(KINDS)))](a), a.tolist()


@settings(max_examples=300)
@given(st.data())
def test_buffers_read_like_lists(data):
    n = data.draw(st.integers(0, 16))
    (xs, xlist), (ys, ylist) = data.draw(sequences(n)), data.draw(sequences(data.draw(st.sampled_from([n, n + 1]))))
    assert outcome(xs) == outcome(xlist) and outcome(xs, ys) == outcome(xlist, ylist)


@pytest.mark.filterwarnings("ignore::UserWarning")  # masked elements convert to NaN
@pytest.mark.parametrize("obj, raw", [        # raw: the item format a mistaken buffer read would use
    (type("Doubling", (array.array,), {"__iter__": lambda a: iter([2 * x for x in a.tolist()])})("d", [1.5]), "d"),
    (np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=[0, 1, 0, 0]), "d"),
    (np.ones((2, 2), dtype="f"), "f"),                                          # 2-D
    (np.array(2.0), "d"),                                                       # 0-D: iteration raises
    (np.array([1.0, 2.5, 1e-310, -7.0], dtype=">d"), "d"),                      # big-endian
    (memoryview((ctypes.c_double * 3)(1.0, 2.0, 3.5)), "d"),                    # format '<d': iteration raises
    (np.arange(-3, 5), "d"),                                                    # int64
    (b"\x01\x02", None), (range(3), None), ((True, 2**53 + 1, Fraction(1, 4)), None),   # plain sequences
    # refused, with the error of the argument named, whichever it is:
    ("ab", (TypeError, "Can't extract `str` to `Vec`")),
    ({1.0}, (TypeError, "'set' object cannot be converted to 'Sequence'")),
    (None, (TypeError, "'NoneType' object cannot be converted to 'Sequence'")),
    ((x for x in [1.0]), (TypeError, "'generator' object cannot be converted to 'Sequence'")),
    ([1.0, "a"], (TypeError, "must be real number, not str")),
    ([1.0] * 5000 + [None], (TypeError, "must be real number, not NoneType")),
    ([1.0, 10**400], (OverflowError, "int too large to convert to float")),    # not a TypeError: unchanged
])
def test_other_objects_are_iterated_or_refused(obj, raw):
    if isinstance(raw, tuple):
        error, message = raw[0].__name__, "argument '{}': " * (raw[0] is TypeError) + raw[1]
        assert outcome(obj) == outcome(obj, np.ones(2)) == (error, message.format("xs"))
        assert outcome(np.ones(2), obj) == (error, message.format("ys"))
        return
    try:                                          # what iterating gives; a plain sequence's items as float(x)
        xs, error = list(obj) if raw else [float(x) for x in obj], None
    except Exception as e:                        # what the argument xs then raises
        xs, error = [], (type(e).__name__, "argument 'xs': " * isinstance(e, TypeError) + str(e))
    ones = [1.0] * max(len(xs), 1)
    assert outcome(obj) == (error or outcome(xs)) and outcome(obj, ones) == (error or outcome(xs, ones))
    assert raw is None or outcome(np.frombuffer(memoryview(obj).tobytes(), dtype=raw).tolist()) != outcome(obj)


@pytest.mark.parametrize("view", [lambda a: a, np.frombuffer, memoryview], ids=["array", "ndarray", "memoryview"])
@pytest.mark.parametrize("seq", [list, SEQ])
def test_buffer_values_are_taken_before_later_arguments_run_code(view, seq):
    # Converting ys runs code that writes into xs's buffer: xs gives the values it held when it was converted.
    data = array.array("d", [1.0, 2.0])
    writer = type("Writer", (), {"__float__": lambda s: data.__setitem__(0, 100.0) or 1.0})()
    assert dot(view(data), seq([writer, 1.0])) == 3.0 and data[0] == 100.0
