"""The stubs of the compiled modules agree with the built modules and serve a type checker;
the public interface is typed for both common type checkers."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from support import MODULES

pytest.importorskip("mypy")
# Each starts a type checker: seconds of its own.
pytestmark = pytest.mark.slow


def run(*arguments: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, *arguments], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubs_match_the_built_modules(tmp_path: Path) -> None:
    result = run("-m", "mypy.stubtest", "--mypy-config-file", "/dev/null", *MODULES, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_programs_type_check_strictly(tmp_path: Path) -> None:
    # The compiled modules used directly, and a sync and an async client program.
    examples = sorted(str(p) for p in (Path(__file__).parent / "typing_example").glob("*.py"))
    assert len(examples) == 3
    result = run(
        "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), *examples, cwd=tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_public_interface_is_typed_for_pyright(tmp_path: Path) -> None:
    pytest.importorskip("pyright")
    # pyright finds the installed package through the interpreter first on PATH.
    env = {**os.environ, "PATH": os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])}
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--verifytypes", "velquor_ai", "--ignoreexternal", "--outputjson"],
        capture_output=True, text=True, cwd=tmp_path, env=env, timeout=600,
    )  # fmt: skip
    report = json.loads(result.stdout)
    completeness = report["typeCompleteness"]
    problems = [d["message"] for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert completeness["exportedSymbolCounts"]["withKnownType"] > 200, completeness
    assert completeness["completenessScore"] >= 0.99, problems


def test_a_type_error_in_a_compiled_call_is_reported(tmp_path: Path) -> None:
    wrong = tmp_path / "wrong.py"
    wrong.write_text("from velquor_ai.util.validators import validate_generation_id\nvalidate_generation_id(123)\n")
    result = run(
        "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(wrong), cwd=tmp_path
    )
    assert result.returncode == 1
    assert 'Argument 1 to "validate_generation_id" has incompatible type "int"; expected "str"' in result.stdout
