"""The shipped type stubs agree with the module's runtime signatures."""
import ast
import inspect
import pathlib
import sys

import pytest

import varnix


def _stub_path():
    for entry in sys.path:
        candidate = pathlib.Path(entry or ".") / "varnix-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    return pathlib.Path(__file__).resolve().parents[2] / "varnix-stubs" / "__init__.pyi"


STUB = ast.parse(_stub_path().read_text())


def _params(fn):
    args = fn.args
    names = [a.arg for a in args.posonlyargs + args.args]
    return names[1:] if names[:1] in (["self"], ["cls"]) else names


def _is_static(fn):
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)


def _runtime_params(obj):
    return list(inspect.signature(obj).parameters)


STUB_CLASSES = {n.name: n for n in STUB.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}
STUB_FUNCTIONS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}


def test_stub_names_are_the_module_names():
    declared = next(
        ast.literal_eval(n.value)
        for n in STUB.body
        if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"
    )
    assert declared == varnix.__all__
    assert sorted(STUB_CLASSES) + sorted(STUB_FUNCTIONS) == sorted(
        n for n in varnix.__all__ if isinstance(getattr(varnix, n), type)
    ) + sorted(n for n in varnix.__all__ if not isinstance(getattr(varnix, n), type))


@pytest.mark.parametrize("name", sorted(STUB_CLASSES))
def test_class_stub_matches_runtime(name):
    cls = getattr(varnix, name)
    methods = {n.name: n for n in STUB_CLASSES[name].body if isinstance(n, ast.FunctionDef)}
    runtime = {m for m in vars(cls) if not m.startswith("_")}
    assert set(methods) - {"__new__"} == runtime
    assert _params(methods["__new__"]) == _runtime_params(cls)
    for method_name, fn in methods.items():
        if method_name == "__new__":
            continue
        attr = inspect.getattr_static(cls, method_name)
        assert _is_static(fn) == isinstance(attr, staticmethod), method_name
        runtime_params = _runtime_params(getattr(cls, method_name))
        if not _is_static(fn):
            assert getattr(cls, method_name).__text_signature__.startswith("($self")
            runtime_params = runtime_params[1:]
        assert _params(fn) == runtime_params, method_name


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_function_stub_matches_runtime(name):
    assert _params(STUB_FUNCTIONS[name]) == _runtime_params(getattr(varnix, name))
