"""The stubs of varnix and varnix_arrays: mypy and pyright accept the correct calls (numpy arrays included, on
Python 3.11 too) and flag every wrong call."""
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

CASES = pathlib.Path(__file__).parent / "typing_cases"
LINES = (CASES / "bad.py").read_text().splitlines()
BAD = {("bad.py", str(i)) for i in range(LINES.index("x = np.linspace(0.0, 1.0, 5)") + 2, len(LINES) + 1)}
CHECKERS = {    # the command, and the pattern of an error line
    "mypy": ([sys.executable, "-m", "mypy", "--python-version", "3.11", "--follow-imports=silent", "--cache-dir",
              str(CASES.parents[2] / "build" / "mypy-cache")], r"(\w+\.py):(\d+): error"),
    "pyright": ([shutil.which("pyright") or str(pathlib.Path(sys.executable).parent / "pyright"), "--pythonversion",
                 "3.11", "--pythonpath", sys.executable], r"(\w+\.py):(\d+):\d+ - error"),
}


@pytest.mark.parametrize("checker", sorted(CHECKERS))
def test_checkers_accept_good_calls_and_reject_bad_ones(checker):
    command, pattern = CHECKERS[checker]
    if not pathlib.Path(command[0]).exists():
        pytest.skip(f"{checker} is not installed")
    out = subprocess.run(command + ["good.py", "bad.py"], capture_output=True, text=True, cwd=CASES).stdout
    assert set(re.findall(pattern, out)) == BAD, out

