"""Type aliases for the inputs the package accepts."""

from __future__ import annotations

import os
from typing import Any, BinaryIO, TypeAlias

__all__ = ["BlueprintInput", "FileInput"]

# Plain aliases rather than `type` statements, so that they are also ordinary
# unions at run time (usable with typing.get_args and pydantic).
FileInput: TypeAlias = str | os.PathLike[str] | BinaryIO  # noqa: UP040
"""An input file: a path (`str` or path-like such as `pathlib.Path`) or a binary
file object opened for reading (`open(path, "rb")`, `io.BytesIO`).

Uploads to the service accept all three. The on-premise mode works on files of the
local file system and accepts paths only.
"""

BlueprintInput: TypeAlias = str | dict[str, Any] | os.PathLike[str]  # noqa: UP040
"""A blueprint: its text (a `str` is always content, never a file name), its decoded
JSON object (`dict`), or a path-like object naming a UTF-8 file that holds the text.
See `velquor_ai.util.helpers.normalize_blueprint`.
"""
