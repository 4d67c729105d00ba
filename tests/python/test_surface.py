"""The module's surface: names, signatures, docstrings and type stubs, argument binding and conversion (borrows,
leaks and re-entrance are test_hardening's)."""
import ast
import inspect
import pathlib
import sys
from fractions import Fraction

import pytest

import varnix
from conftest import sum_image
from varnix import DotF64, SumF32, SumF64, dot

NEW_ARGS = {"CovMatrixF64": (2,), "HistogramF64": ([0.0],)}       # sample constructor arguments
DOCUMENTED = {"try_unmerge", "sub", "regression_exact"}        # the only methods with a docstring (the stub's)
STUB_PATH = pathlib.Path("varnix-stubs", "__init__.pyi")         # installed beside the module, else the checkout's
STUB = ast.parse(next((p for p in (pathlib.Path(e or ".") / STUB_PATH for e in sys.path) if p.is_file()),
                      pathlib.Path(__file__).parents[2] / STUB_PATH).read_text())


def params(fn):
    """A stub def's parameter names, less the self of a method or the cls of __new__; and if it is static."""
    names = [a.arg for a in fn.args.posonlyargs + fn.args.args]
    static = any(getattr(d, "id", "") == "staticmethod" for d in fn.decorator_list)
    return names[names[:1] == ["cls" if fn.name == "__new__" else "self"] and not static:], static


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
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})                # not subclassable
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not hasattr(obj, "__dict__")


class Raising:
    """Raises e when converted."""
    def __init__(self, e):
        self.e = e

    def __float__(self):
        raise self.e


def test_binding_and_conversion():
    s, t = SumF64(), SumF64()
    t.add(x=2.0)                                  # every parameter binds by keyword too
    s.merge(other=t)
    for x in (True, Fraction(5, 2), 2**53 + 1):   # converted as float(x) is
        s.add(x)
    assert s.to_bytes() == sum_image([2.0, 1.0, 2.5, 2.0**53]) == SumF64.from_bytes(b=s.to_bytes()).to_bytes()
    assert s.try_unmerge(other=t) is True and s.count() == 3
    for call, exc, message in [
        (lambda: s.add(), TypeError, "SumF64.add() missing 1 required positional argument: 'x'"),
        (lambda: s.add(1.0, 2.0), TypeError, "SumF64.add() takes 1 positional arguments but 2 were given"),
        (lambda: s.add(1.0, x=2.0), TypeError, "SumF64.add() got multiple values for argument 'x'"),
        (lambda: s.add(x=1.0, y=2.0), TypeError, "SumF64.add() got an unexpected keyword argument 'y'"),
        (lambda: s.value(1), TypeError, "SumF64.value() takes no arguments (1 given)"),
        (lambda: s.count(x=1), TypeError, "SumF64.count() takes no keyword arguments"),
        (lambda: s.from_bytes(1, 2), TypeError, "SumF64.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: SumF32(1), TypeError, "SumF32.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: SumF32(a=1), TypeError, "SumF32.__new__() got an unexpected keyword argument 'a'"),
        (lambda: DotF64().push(), TypeError, "DotF64.push() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: dot([], [], []), TypeError, "dot() takes 2 positional arguments but 3 were given"),
        (lambda: s.add("1.0"), TypeError, "argument 'x': must be real number, not str"),
        (lambda: s.merge(SumF32()), TypeError, "argument 'other': 'SumF32' object cannot be converted to 'SumF64'"),
        (lambda: s.add(10**400), OverflowError, "int too large to convert to float"),  # passed on unchanged
        (lambda: s.add(Raising(KeyboardInterrupt("stop"))), KeyboardInterrupt, "stop"),
    ]:
        with pytest.raises(exc) as e:
            call()
        assert str(e.value) == message
    root, inner = KeyError("root"), TypeError("boom")
    inner.__cause__ = root
    with pytest.raises(TypeError) as e:            # a conversion's TypeError names the argument, keeping its cause
        s.add(Raising(inner))
    assert str(e.value) == "argument 'x': boom" and e.value.__cause__ is root
