"""The README's Python examples run as written, each on its own as a script: a reader may copy
any one of them into a file and run it, and the ones that start processes must survive being
imported again by a spawned worker."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
TEXT = README.read_text()
BLOCKS = [(TEXT.count("\n", 0, m.start(1)), m.group(1)) for m in PYTHON_BLOCK.finditer(TEXT)]


def test_readme_has_python_examples():
    assert BLOCKS


@pytest.mark.parametrize("offset, code", BLOCKS, ids=[f"line-{offset + 1}" for offset, _ in BLOCKS])
def test_readme_python_example_runs_as_a_script(tmp_path, offset, code):
    if "import polars" in code:
        pytest.importorskip("polars", reason="polars has no wheel for this interpreter")
    script = tmp_path / "example.py"
    # Padding keeps tracebacks pointing at the README's own line numbers.
    script.write_text("\n" * offset + code)
    # From the repository's root, where the examples find examples/data/.
    done = subprocess.run(
        [sys.executable, str(script)],
        cwd=ROOT,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, f"README.md line {offset + 1}:\n{done.stderr[-3000:]}"
