"""Which core modules the package runs: the compiled ones or their Python.

The seven core modules are each written in Python and, for CPython 3.13, also
compiled. Where the compiled modules are built they are used, and their Python
everywhere else. `VELQUOR_PURE_PYTHON` overrides the choice, at run time and
at build time alike, read by `pure_python_setting` in both places:

- `1`, `true`, `yes` or `on`: the Python modules, even where compiled ones are
  installed (a build then makes a pure-Python wheel);
- `0`, `false`, `no` or `off`: the compiled modules, or an error saying they
  are missing (a build then fails rather than fall back);
- unset or empty: the compiled modules where they are built, else the Python.

Case and surrounding blanks do not matter; any other value is an error.
Standard library only, and no import from the package: the build loads this
file by its path.
"""

from __future__ import annotations

import importlib.machinery
import os
from collections.abc import Mapping

VARIABLE = "VELQUOR_PURE_PYTHON"

# The core modules, relative to the package.
CORE_MODULES = (
    "util.validators",
    "util.tamsel",
    "util.poller",
    "models.blueprint",
    "resources.uploads",
    "resources.generations",
    "_vostrel",
)

_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off")


def pure_python_setting(environ: Mapping[str, str] = os.environ) -> bool | None:
    """True when the Python modules are asked for, False when the compiled ones
    are, None when the choice is left to what is built."""
    value = environ.get(VARIABLE, "").strip().lower()
    if not value:
        return None
    if value in _TRUE:
        return True
    if value in _FALSE:
        return False
    raise ValueError(f"{VARIABLE}={environ[VARIABLE]!r}: use 1 (pure Python), 0 (compiled) or leave it unset")


def missing_compiled_modules(package_directory: str) -> list[str]:
    """The core modules that have no compiled module for this interpreter."""
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    return [
        name
        for name in CORE_MODULES
        if not any(os.path.isfile(os.path.join(package_directory, *name.split(".")) + s) for s in suffixes)
    ]


def use_compiled_modules(package_directory: str, environ: Mapping[str, str] = os.environ) -> bool:
    """Whether the package runs its compiled core modules: all seven, or none.

    Raises ImportError when the compiled modules are asked for and some are missing.
    """
    setting = pure_python_setting(environ)
    if setting:
        return False
    missing = missing_compiled_modules(package_directory)
    if missing and setting is False:
        raise ImportError(
            f"{VARIABLE}=0 asks for velquor_ai's compiled modules, but {', '.join(missing)} "
            f"{'is' if len(missing) == 1 else 'are'} not built in {package_directory}: "
            "build them with `make install` or `pip install .` (CPython 3.13 and a C++20 compiler), "
            "or `make dev` to build them in place"
        )
    return not missing
