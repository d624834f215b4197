"""The stubs of the compiled modules agree with the built modules and serve a type checker."""

import subprocess
import sys
from pathlib import Path

import pytest

COMPILED = [
    "velquor_ai.util.validators",
    "velquor_ai.util.poller",
    "velquor_ai.util.tamsel",
    "velquor_ai.models.blueprint",
    "velquor_ai.resources.uploads",
    "velquor_ai.resources.generations",
    "velquor_ai._vostrel",
]

pytest.importorskip("mypy")


def run(*arguments: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, *arguments], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubs_match_the_built_modules(tmp_path: Path) -> None:
    result = run("-m", "mypy.stubtest", "--mypy-config-file", "/dev/null", *COMPILED, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_example_program_type_checks_strictly(tmp_path: Path) -> None:
    example = Path(__file__).parent / "typing_example" / "example.py"
    result = run("-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(example),
                 cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_a_type_error_in_a_compiled_call_is_reported(tmp_path: Path) -> None:
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from velquor_ai.util.validators import validate_generation_id\n"
        "validate_generation_id(123)\n"
    )
    result = run("-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(wrong),
                 cwd=tmp_path)
    assert result.returncode == 1
    assert 'Argument 1 to "validate_generation_id" has incompatible type "int"; expected "str"' in result.stdout
