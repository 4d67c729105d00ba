"""Every python block of README.md and docs/guide.md runs as written: each block is a script of its own, run by
this interpreter in an empty folder (so that worker processes can import it again, as spawn does)."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BLOCKS = [(f"{doc}:{i}", code) for doc in ("README.md", "docs/guide.md")
          for i, code in enumerate(re.findall(r"^```python\n(.*?)^```", (ROOT / doc).read_text(), re.S | re.M))]


def test_the_documents_have_their_blocks():
    assert len([b for b in BLOCKS if b[0].startswith("docs/")]) >= 7 and BLOCKS[0][0] == "README.md:0"


@pytest.mark.parametrize("name, code", BLOCKS, ids=[b[0] for b in BLOCKS])
def test_block_runs_as_written(name, code, tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("dask")
    script = tmp_path / "block.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=600,
                         env={**os.environ, "MPLBACKEND": "Agg"})
    assert run.returncode == 0, f"{name}:\n{code}\n{run.stderr}"
