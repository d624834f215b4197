"""The package's build backend: scikit-build-core, told whether to compile.

A wheel holds the compiled core modules where they can be built (CPython 3.13
and a C++ compiler) and only their Python everywhere else, which makes a
`py3-none-any` wheel. `VELQUOR_PURE_PYTHON` decides instead when it is set,
read by the same function the package reads it with at run time: 1 builds the
pure wheel; 0 compiles, and fails rather than fall back. The choice is said in
one line on stderr (pip shows it with -v).
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import sys
from pathlib import Path
from typing import Any

from scikit_build_core import build as scikit_build
from scikit_build_core.build import build_sdist, get_requires_for_build_sdist  # noqa: F401 - part of the backend

_spec = importlib.util.spec_from_file_location(
    "velquor_ai_mode", Path(__file__).resolve().parents[1] / "velquor_ai" / "_mode.py"
)
assert _spec is not None and _spec.loader is not None
_mode = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_mode)

ConfigSettings = dict[str, Any] | None


def compiler() -> str | None:
    """The C++ compiler CMake would find first: $CXX, else c++, g++ or clang++ on the PATH."""
    named = os.environ.get("CXX")
    if named:
        return shutil.which(named.split()[0])
    return next(filter(None, map(shutil.which, ("c++", "g++", "clang++"))), None)


def compiles() -> tuple[bool, str]:
    """Whether this build compiles the core modules, and why, in words."""
    setting = _mode.pure_python_setting()
    if setting:
        return False, f"{_mode.VARIABLE} asks for the pure Python"
    if setting is False:
        return True, f"{_mode.VARIABLE}=0 asks for them"
    if sys.implementation.name != "cpython" or sys.version_info[:2] != (3, 13):
        running = f"{sys.implementation.name} {sys.version.split()[0]}"
        return False, f"they are built for CPython 3.13 only, this is {running}"
    found = compiler()
    if found is None:
        return False, "no C++ compiler was found (set CXX, or put c++ on the PATH)"
    return True, f"CPython 3.13 with {found}"


def settings_for(config_settings: ConfigSettings, announce: bool = False) -> dict[str, Any]:
    settings = dict(config_settings or {})
    compiled, reason = compiles()
    if not compiled:
        settings["wheel.cmake"] = "false"
    if announce:
        what = "compiling the core modules" if compiled else "installing the core modules' pure Python"
        print(f"velquor_ai: {what}: {reason}", file=sys.stderr)
    return settings


def build_wheel(
    wheel_directory: str, config_settings: ConfigSettings = None, metadata_directory: str | None = None
) -> str:
    return scikit_build.build_wheel(wheel_directory, settings_for(config_settings, True), metadata_directory)


def build_editable(
    wheel_directory: str, config_settings: ConfigSettings = None, metadata_directory: str | None = None
) -> str:
    return scikit_build.build_editable(wheel_directory, settings_for(config_settings, True), metadata_directory)


def get_requires_for_build_wheel(config_settings: ConfigSettings = None) -> list[str]:
    return scikit_build.get_requires_for_build_wheel(settings_for(config_settings))


def get_requires_for_build_editable(config_settings: ConfigSettings = None) -> list[str]:
    return scikit_build.get_requires_for_build_editable(settings_for(config_settings))


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: ConfigSettings = None) -> str:
    return scikit_build.prepare_metadata_for_build_wheel(metadata_directory, settings_for(config_settings))


def prepare_metadata_for_build_editable(metadata_directory: str, config_settings: ConfigSettings = None) -> str:
    return scikit_build.prepare_metadata_for_build_editable(metadata_directory, settings_for(config_settings))
