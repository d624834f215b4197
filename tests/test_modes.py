"""Which core modules the package runs: the compiled ones where they are built,
their Python elsewhere or when VELQUOR_PURE_PYTHON=1 asks for it."""

from __future__ import annotations

import compileall
import importlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from support import MODULES

import velquor_ai
from velquor_ai._mode import pure_python_setting

PROBE = """
import importlib, json, sys
import velquor_ai
modules = [importlib.import_module(name) for name in {modules!r}]
try:
    modules[0].validate_generation_id(None)
except TypeError as error:
    refusal = str(error)
print(json.dumps([velquor_ai.compiled, sorted({{m.__file__.rsplit(".", 1)[-1] for m in modules}}), refusal,
                  "velquor_ai._pure" in sys.modules]))
"""
REFUSAL = "Argument 'generation_id' has incorrect type (expected str, got NoneType)"


def run(switch: str | None, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if k not in ("VELQUOR_PURE_PYTHON", "PYTHONPATH")}
    if switch is not None:
        env["VELQUOR_PURE_PYTHON"] = switch
    command = [sys.executable, "-c", PROBE.format(modules=MODULES)]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=env, timeout=120)


@pytest.mark.parametrize(
    ("value", "setting"),
    [(None, None), ("", None), (" ", None), ("1", True), ("true", True), (" Yes ", True), ("ON", True),
     ("0", False), ("false", False), ("no", False), ("Off", False)],
)  # fmt: skip
def test_the_switch_is_read_one_way(value: str | None, setting: bool | None) -> None:
    assert pure_python_setting({} if value is None else {"VELQUOR_PURE_PYTHON": value}) is setting


def test_a_switch_of_another_value_is_refused_at_import() -> None:
    with pytest.raises(ValueError, match=r"^VELQUOR_PURE_PYTHON='2': use 1 \(pure Python\), 0 \(compiled\)"):
        pure_python_setting({"VELQUOR_PURE_PYTHON": "2"})
    result = run("2")
    assert result.returncode == 1 and "ValueError: VELQUOR_PURE_PYTHON='2'" in result.stderr


def test_the_switch_makes_the_package_run_the_modules_python() -> None:
    result = run("1")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [False, ["py"], REFUSAL, True]


@pytest.mark.compiled_only
def test_a_compiled_install_runs_its_compiled_modules_and_nothing_of_the_python() -> None:
    result = run(None)
    assert result.returncode == 0, result.stderr
    compiled, suffixes, refusal, pure_loaded = json.loads(result.stdout)
    assert (compiled, refusal, pure_loaded) == (True, REFUSAL, False)
    # Both sit in the same folder: the import system takes the extension module.
    assert suffixes == ["so"]
    for name in MODULES:
        assert Path(importlib.import_module(name).__file__).with_name(name.rsplit(".", 1)[1] + ".py").is_file()


@pytest.mark.parametrize("switch", [None, "0"])
def test_without_compiled_modules_the_python_runs_unless_they_are_required(tmp_path: Path, switch: str | None) -> None:
    # The installed package without its compiled modules, and with bytecode
    # caches of its plain Python, as pip writes them: they must not be taken
    # for the modules with their boundary.
    package = Path(velquor_ai.__file__).parent
    shutil.copytree(package, tmp_path / "velquor_ai", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    shutil.copytree(package.parent / "velquor_api_client", tmp_path / "velquor_api_client")
    assert compileall.compile_dir(tmp_path / "velquor_ai", quiet=1)
    result = run(switch, cwd=tmp_path)
    if switch == "0":
        assert result.returncode == 1
        last = result.stderr.splitlines()[-1]
        assert last.startswith("ImportError: VELQUOR_PURE_PYTHON=0 asks for velquor_ai's compiled modules, but ")
        assert "make install" in last and str(tmp_path / "velquor_ai") in last
    else:
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout) == [False, ["py"], REFUSAL, True]
