"""The module's surface: names, signatures, docstrings and type stubs, argument binding and conversion (borrows,
leaks and re-entrance are test_hardening's)."""
import ast
import inspect
import pathlib
import sys

import pytest

import varnix
from conftest import sum_image
from varnix import DotF64, SumF32, SumF64, dot

NEW_ARGS = {"CovMatrixF64": (2,), "HistogramF64": ([0.0],)}       # sample constructor arguments
DOCUMENTED = {"try_unmerge", "sub", "regression_exact"}        # the only methods with a docstring (the stub's)
STUB_PATH = pathlib.Path("varnix-stubs", "__init__.pyi")         # installed beside the module, else the checkout's
STUB = ast.parse(next((p for p in (pathlib.Path(e or ".") / STUB_PATH for e in sys.path) if p.is_file()),
                      pathlib.Path(__file__).parents[2] / STUB_PATH).read_text())


def declared(node):
    """The defs of a stub class or module: {name: (def, text signature as the runtime writes it)}; the receiver
    is "$self" for a method, dropped for __new__ (its cls) and a staticmethod."""
    out = {}
    for fn in (n for n in node.body if isinstance(n, ast.FunctionDef)):
        params = [a.arg for a in fn.args.posonlyargs + fn.args.args]
        static = any(getattr(d, "id", None) == "staticmethod" for d in fn.decorator_list)
        if isinstance(node, ast.ClassDef) and not static:      # a receiver not named self or cls is kept, unmatched
            receiver = params.pop(0) if params else ""
            params[:0] = [] if (fn.name, receiver) == ("__new__", "cls") else ["$self" if receiver == "self" else "?"]
        out[fn.name] = fn, f"({', '.join(params)})"
    return out


def test_names_signatures_and_docs_are_the_stubs():
    # the hand-written stub declares the module: names in registration order, each method's parameters, which
    # methods are static, the few docstrings
    stub_all = next(n.value for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert varnix.__all__ == ast.literal_eval(stub_all) == [n.name for n in STUB.body if isinstance(
        n, (ast.ClassDef, ast.FunctionDef)) and not n.name.startswith("_")]
    assert {n for n in dir(varnix) if not n.startswith("__")} == set(varnix.__all__)
    assert (varnix.__doc__, dot.__module__, dot.__doc__) == ("", "varnix", None)
    assert {"dot": dot.__text_signature__} == {name: sig for name, (_, sig) in declared(STUB).items()}
    for node in (n for n in STUB.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")):
        cls, stub = getattr(varnix, node.name), declared(node)
        sig = stub.pop("__new__")[1]
        assert (cls.__module__, cls.__qualname__, cls.__doc__, cls.__text_signature__) == \
            ("builtins", node.name, f"{node.name}{sig}\n--\n\n", sig)
        assert {n for n in dir(cls) if not n.startswith("_")} == set(stub)
        for name, (fn, sig) in stub.items():
            method = getattr(cls, name)
            assert (method.__text_signature__, method.__doc__) == (sig, ast.get_docstring(fn) if name in DOCUMENTED
                                                                   else None), (cls, name)
            assert isinstance(inspect.getattr_static(cls, name), staticmethod) == ("$self" not in sig), (cls, name)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})                # not subclassable
        with pytest.raises(AttributeError):
            cls(*NEW_ARGS.get(node.name, ())).extra = 1
        assert not hasattr(cls(*NEW_ARGS.get(node.name, ())), "__dict__")


class Floaty:
    """Converts to v, or raises v."""
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


def test_binding_and_conversion():
    s, t = SumF64(), SumF64()
    t.add(x=2.0)                                  # every parameter binds by keyword too
    s.merge(other=t)
    for x in (True, Floaty(2.5), 2**53 + 1):      # converted as float(x) is
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
        (lambda: s.from_bytes(b"", b""), TypeError,
         "SumF64.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda: SumF32(1), TypeError, "SumF32.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: SumF32(a=1), TypeError, "SumF32.__new__() got an unexpected keyword argument 'a'"),
        (lambda: DotF64().push(), TypeError, "DotF64.push() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: dot([], [], []), TypeError, "dot() takes 2 positional arguments but 3 were given"),
        (lambda: s.add("1.0"), TypeError, "argument 'x': must be real number, not str"),
        (lambda: s.merge(SumF32()), TypeError, "argument 'other': 'SumF32' object cannot be converted to 'SumF64'"),
        (lambda: s.add(10**400), OverflowError, "int too large to convert to float"),  # passed on unchanged
        (lambda: s.add(Floaty(KeyboardInterrupt("stop"))), KeyboardInterrupt, "stop"),
    ]:
        with pytest.raises(exc) as e:
            call()
        assert str(e.value) == message
    root, inner = KeyError("root"), TypeError("boom")
    inner.__cause__ = root
    with pytest.raises(TypeError) as e:            # a conversion's TypeError names the argument, keeping its cause
        s.add(Floaty(inner))
    assert str(e.value) == "argument 'x': boom" and e.value.__cause__ is root
