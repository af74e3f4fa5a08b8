"""The shipped type stubs: accepted by mypy, rejecting misuse, matching the runtime."""

import ast
import inspect
import re
from pathlib import Path

from mypy import api as mypy_api

import gapwright

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "gapwright-stubs" / "__init__.pyi"
TYPING = ROOT / "tests" / "typing"


def run_mypy(path: Path, tmp_path: Path) -> tuple[str, int]:
    stdout, stderr, status = mypy_api.run(
        ["--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), str(path)]
    )
    return stdout + stderr, status


def test_installed_module_carries_its_stubs():
    installed = Path(gapwright.__file__).parent / "gapwright-stubs" / "__init__.pyi"
    if "site-packages" in gapwright.__file__:
        assert installed.read_text() == STUB.read_text()


def test_correct_usage_type_checks(tmp_path):
    output, status = run_mypy(TYPING / "check_stubs.py", tmp_path)
    assert status == 0, output


def test_misuse_is_reported_on_every_marked_line(tmp_path):
    source = TYPING / "reject_misuse.py"
    marked = {
        number
        for number, line in enumerate(source.read_text().splitlines(), start=1)
        if "# E:" in line
    }
    output, status = run_mypy(source, tmp_path)
    assert status == 1
    reported = {int(m.group(1)) for m in re.finditer(r"reject_misuse\.py:(\d+): error", output)}
    assert reported == marked, output


def test_stub_constructor_matches_runtime_signature():
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "MNARrs")
    new = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    stub_params = [(a.arg, ast.literal_eval(d)) for a, d in zip(new.args.args[1:], new.args.defaults)]
    runtime = inspect.signature(gapwright.MNARrs)
    assert stub_params == [(p.name, p.default) for p in runtime.parameters.values()]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in runtime.parameters.values())
    calls = [n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__call__"]
    assert calls and all([a.arg for a in c.args.args] == ["self", "data", "alpha"] for c in calls)
