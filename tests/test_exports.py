"""Each module file exports its init function and nothing else."""

import importlib
import shutil
import subprocess
from pathlib import Path

import pytest
from support import MODULES


@pytest.mark.compiled_only
@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
@pytest.mark.parametrize("dotted", MODULES)
def test_module_file_exports_only_its_init_function(dotted: str) -> None:
    path = Path(importlib.import_module(dotted).__file__ or "")
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True
    ).stdout.split("\n")
    assert [line.split()[-1] for line in symbols if line.strip()] == [f"PyInit_{dotted.rpartition('.')[2]}"]
