"""Type aliases for the inputs the package accepts."""

from __future__ import annotations

import os
from typing import Any, BinaryIO, TypeAlias

__all__ = ["BlueprintInput", "FileInput", "QueryValue"]

# Plain aliases rather than `type` statements, so that they are also ordinary
# unions at run time (usable with typing.get_args and pydantic).
FileInput: TypeAlias = str | os.PathLike[str] | BinaryIO | tuple[str, bytes] | tuple[str, BinaryIO]  # noqa: UP040
"""An input file: a path (`str` or path-like such as `pathlib.Path`), a binary
file object opened for reading (`open(path, "rb")`, `io.BytesIO`), or a pair of a
file name and the content, as bytes or a binary file object:
`("cat.png", data)`, `("clip.mp4", stream)`. The name of a pair (its last
component) is the name the file is uploaded under and gives its content type.

Uploads to the service accept all five, checked and streamed alike. A URL is not
a file: "https://..." is refused, never fetched. The on-premise mode works on
files of the local file system and accepts paths only.
"""

BlueprintInput: TypeAlias = str | dict[str, Any] | os.PathLike[str]  # noqa: UP040
"""A blueprint: its text (a `str` is always content, never a file name), its decoded
JSON object (`dict`), or a path-like object naming a UTF-8 file that holds the text.
See `velquor_ai.util.helpers.normalize_blueprint`.
"""

QueryValue: TypeAlias = str | int | float | list[str | int | float] | tuple[str | int | float, ...]  # noqa: UP040
"""A value of `extra_query`: a query parameter's value, or a list of values sent
as the parameter repeated (`{"tag": ["a", "b"]}` sends `tag=a&tag=b`).
"""
