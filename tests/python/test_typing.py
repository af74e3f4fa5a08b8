"""The shipped type stubs: accepted by mypy and basedpyright, rejecting misuse, matching the runtime."""

import ast
import inspect
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import gapwright

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "gapwright-stubs" / "__init__.pyi"
TYPING = ROOT / "tests" / "typing"
# The stubs a type checker finds for this interpreter, as it looks for them:
# the first gapwright-stubs folder on sys.path (site-packages after a wheel
# install, the project's stubs/ through a .pth file after an editable one).
FOUND = next((found for entry in sys.path
              if (found := Path(entry or ".") / "gapwright-stubs" / "__init__.pyi").is_file()), None)
needs_stubs = pytest.mark.skipif(
    FOUND is None,
    reason=f"no gapwright-stubs on sys.path, so no type checker would see the stubs of {gapwright.__file__} "
    "(a build folder on PYTHONPATH?); install the wheel or `pip install -e .` to check them",
)


def run_mypy(path: Path, tmp_path: Path) -> tuple[set[int], str]:
    """Lines of `path` with an error, and the report; mypy's exit status must agree."""
    mypy_api = pytest.importorskip("mypy.api")
    stdout, stderr, status = mypy_api.run(
        ["--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), str(path)]
    )
    lines = {int(m.group(1)) for m in re.finditer(rf"{re.escape(path.name)}:(\d+): error", stdout)}
    assert status == (1 if lines else 0), stdout + stderr
    return lines, stdout + stderr


def run_basedpyright(path: Path, tmp_path: Path) -> tuple[set[int], str]:
    """As run_mypy, for pyright's rules in their strict set; the installed stubs are found
    through this interpreter's site-packages."""
    pytest.importorskip("basedpyright")
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    done = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--outputjson", "-p", str(tmp_path),
         "--pythonpath", sys.executable, str(path)],
        capture_output=True, text=True, check=False,
    )
    report = json.loads(done.stdout)
    lines = {d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"]
             if d["severity"] == "error"}
    assert done.returncode == (1 if lines else 0), done.stdout + done.stderr
    return lines, done.stdout


CHECKERS = pytest.mark.parametrize("check", [run_mypy, run_basedpyright])


@needs_stubs
def test_type_checkers_find_the_project_stubs():
    assert FOUND is not None and FOUND.read_text() == STUB.read_text(), FOUND


@needs_stubs
@CHECKERS
def test_correct_usage_type_checks(check, tmp_path):
    lines, output = check(TYPING / "check_stubs.py", tmp_path)
    assert not lines, output


@needs_stubs
@CHECKERS
def test_misuse_is_reported_on_every_marked_line(check, tmp_path):
    source = TYPING / "reject_misuse.py"
    marked = {
        number
        for number, line in enumerate(source.read_text().splitlines(), start=1)
        if "# E:" in line
    }
    lines, output = check(source, tmp_path)
    assert lines == marked, output


def test_stub_declares_the_runtime_module_names():
    tree = ast.parse(STUB.read_text())
    declared = {t.id for n in tree.body if isinstance(n, ast.Assign) for t in n.targets}
    declared |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    declared |= {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    public = {name for name in declared if not name.startswith("_")}
    assert public == {name for name in dir(gapwright) if not name.startswith("_")}
    assert "__version__" in declared and isinstance(gapwright.__version__, str)
    stub_all = next(n.value for n in tree.body if isinstance(n, ast.Assign)
                    and [t.id for t in n.targets] == ["__all__"])
    assert ast.literal_eval(stub_all) == gapwright.__all__
    panic = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PanicException")
    assert [ast.unparse(b) for b in panic.bases] == ["BaseException"]
    assert gapwright.PanicException.__bases__ == (BaseException,)


def test_stub_constructor_matches_runtime_signature():
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "MNARrs")
    new = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    stub_params = [(a.arg, ast.literal_eval(d)) for a, d in zip(new.args.args[1:], new.args.defaults)]
    stub_params += [(a.arg, ast.literal_eval(d)) for a, d in zip(new.args.kwonlyargs, new.args.kw_defaults)]
    runtime = inspect.signature(gapwright.MNARrs)
    assert stub_params == [(p.name, p.default) for p in runtime.parameters.values()]
    kinds = [p.kind for p in runtime.parameters.values()]
    assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 4 + [inspect.Parameter.KEYWORD_ONLY]
    calls = [n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__call__"]
    assert calls and all([a.arg for a in c.args.args] == ["self", "data", "alpha"] for c in calls)
