"""The wheel builds from the source tree and works in a new virtual environment."""

import os
import shutil
import subprocess
import sys
import tomllib
import venv
from pathlib import Path

import pytest
from support import MODULES

ROOT = Path(__file__).resolve().parents[1]
pytestmark = pytest.mark.skipif(not (ROOT / "pyproject.toml").exists(), reason="needs the source tree")


def run(command: list[str], **kwargs: object) -> subprocess.CompletedProcess[str]:
    result = subprocess.run(command, capture_output=True, text=True, timeout=900, **kwargs)  # type: ignore[call-overload]
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    return result


@pytest.mark.slow
def test_wheel_installs_and_imports_in_a_new_environment(tmp_path: Path) -> None:
    source = tmp_path / "source"
    # A copy without build output or in-place modules, as a fresh clone has it.
    shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns(".venv", "build", ".git", "*.so", "__pycache__"))
    wheels = tmp_path / "wheels"
    run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", str(wheels), str(source)])
    (wheel,) = wheels.glob("velquor_ai-*.whl")
    names = run([sys.executable, "-m", "zipfile", "-l", str(wheel)]).stdout
    assert "velquor_ai/util/validators.pyi" in names and "velquor_ai/py.typed" in names
    assert "velquor_ai/util/validators.py" in names  # the fallback, beside the compiled module
    assert ".cpp" not in names and ".hpp" not in names

    environment = tmp_path / "env"
    venv.EnvBuilder(with_pip=True).create(environment)
    python = environment / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--quiet", str(wheel)])
    probe = (
        "import importlib, sys\n"
        + "".join(f"importlib.import_module({name!r})\n" for name in ["velquor_ai", *MODULES, "velquor_api_client"])
        + (
            "from velquor_ai.util.validators import validate_generation_id\n"
            "validate_generation_id('gen_123')\n"
            "print(sys.modules['velquor_ai.util.validators'].__file__)\n"
            "print(sys.modules['velquor_ai'].compiled)\n"
        )
    )
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    printed = run([str(python), "-c", probe], cwd=tmp_path, env=env).stdout
    assert str(environment) in printed and printed.endswith("True\n")
    # The console script, the same program as `python -m velquor_ai`.
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    console = run([str(environment / "bin" / "velquor"), "--version"], cwd=tmp_path, env=env)
    assert console.stdout == f"velquor {version} (compiled core modules)\n"


@pytest.mark.parametrize(("switch", "last_line"), [("", "False"), ("0", "ImportError: VELQUOR_PURE_PYTHON=0 asks ")])
def test_source_checkout_without_built_modules_runs_their_python(tmp_path: Path, switch: str, last_line: str) -> None:
    # Python started in a checkout finds the sources before the installed
    # package: it runs the modules' Python, unless the compiled ones are required.
    shutil.copytree(ROOT / "velquor_ai", tmp_path / "velquor_ai", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    result = subprocess.run(
        [sys.executable, "-c", "import velquor_ai; print(velquor_ai.compiled)"],
        capture_output=True, text=True, cwd=tmp_path, timeout=60,
        env={"PATH": os.environ.get("PATH", ""), "VELQUOR_PURE_PYTHON": switch},
    )  # fmt: skip
    assert result.returncode == (1 if switch else 0)
    assert (result.stderr or result.stdout).splitlines()[-1].startswith(last_line), result.stderr
    if switch:
        assert "make install" in result.stderr
