"""The stubs of varnix and varnix_arrays: mypy and pyright accept the correct calls (numpy arrays included, on
Python 3.11 too) and flag every wrong call."""
import ast
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

CASES = pathlib.Path(__file__).parent / "typing_cases"
BAD_LINES = {("bad.py", i) for i, line in enumerate((CASES / "bad.py").read_text().splitlines(), 1)
             if line.strip() and not line.startswith(("#", "import", "x ="))}
CHECKERS = {
    "mypy": ([sys.executable, "-m", "mypy", "--python-version", "3.11", "--follow-imports=silent",
              "--cache-dir", str(CASES.parents[2] / "build" / "mypy-cache")], re.compile(r"(\w+\.py):(\d+): error")),
    "pyright": ([shutil.which("pyright") or str(pathlib.Path(sys.executable).parent / "pyright"),
                 "--pythonversion", "3.11", "--pythonpath", sys.executable],
                re.compile(r"(\w+\.py):(\d+):\d+ - error")),
}


@pytest.mark.parametrize("checker", sorted(CHECKERS))
def test_checkers_accept_good_calls_and_reject_bad_ones(checker):
    command, pattern = CHECKERS[checker]
    if not pathlib.Path(command[0]).exists():
        pytest.skip(f"{checker} is not installed")
    out = subprocess.run(command + ["good.py", "bad.py"], capture_output=True, text=True, cwd=CASES).stdout
    flagged = {(m.group(1), int(m.group(2))) for m in map(pattern.search, out.splitlines()) if m}
    assert flagged == BAD_LINES, out


@pytest.mark.parametrize("stub", ["varnix-stubs/__init__.pyi", "bindings/arrays/varnix_arrays/__init__.pyi",
                                  "bindings/arrays/varnix_arrays/dask.pyi"])
def test_every_public_class_and_function_of_the_stubs_has_a_docstring(stub):
    tree = ast.parse((CASES.parents[2] / stub).read_text())
    public = [n for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef)) and not n.name.startswith("_")]
    methods = [m for c in public if isinstance(c, ast.ClassDef) for m in c.body if isinstance(m, ast.FunctionDef)]
    assert public and all(ast.get_docstring(n) for n in public + methods)
