"""The README's Python examples run as written: top to bottom, in one namespace, as a reader
pasting them into one notebook would."""

import re
from pathlib import Path

import pytest
from conftest import silenced_stdout

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


@pytest.mark.thread_unsafe  # moves the working directory and file descriptor 1 of the whole process
def test_readme_python_examples_run_in_order(monkeypatch):
    text = README.read_text()
    blocks = [(text.count("\n", 0, m.start(1)), m.group(1)) for m in PYTHON_BLOCK.finditer(text)]
    assert blocks
    if any("import polars" in code for _, code in blocks):
        pytest.importorskip("polars", reason="polars has no wheel for this interpreter")
    # The examples read examples/data/ from the repository's root.
    monkeypatch.chdir(ROOT)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    with silenced_stdout():
        for offset, code in blocks:
            # Padding keeps tracebacks pointing at the README's own line numbers.
            exec(compile("\n" * offset + code, str(README), "exec"), namespace)
