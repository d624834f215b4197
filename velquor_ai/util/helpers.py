"""Small helpers shared by the client and the on-premise mode."""

from __future__ import annotations

import json
import os
from typing import Any

from ..exceptions import ValidationError

__all__ = ["normalize_blueprint"]

_FIELD = "blueprint"


def normalize_blueprint(blueprint: Any) -> str:
    """Turn a blueprint given in any accepted form into its text.

    A JSON object or array is written canonically (keys sorted, no insignificant
    whitespace, non-ASCII kept), so equal blueprints give equal strings:

    - `str`: the blueprint's content (never a file name). If it is a JSON object
      or array, it is re-serialised canonically; text that is not JSON is
      returned with surrounding whitespace removed.
    - `dict`: serialised canonically. Keys must be strings and values JSON values.
    - path-like (`pathlib.Path`, anything with `__fspath__`): the file is read as
      UTF-8 (a leading byte-order mark is dropped) and its text treated as a `str`.

    Args:
        blueprint: The blueprint text, object or file.

    Returns:
        The normalised blueprint text, never empty.

    Raises:
        ValidationError: If the blueprint is empty, of another type, a dict that is
            not JSON-serialisable, JSON with repeated keys or NaN/Infinity (whose
            meaning differs between parsers), or a file that cannot be read as
            UTF-8 text. `field` is "blueprint".

    Examples:
        >>> normalize_blueprint('{ "b": 1, "a": [true, null] }')
        '{"a":[true,null],"b":1}'
        >>> normalize_blueprint({"steps": [], "version": 1})
        '{"steps":[],"version":1}'
    """
    if isinstance(blueprint, str):
        return _normalize_text(blueprint)
    if isinstance(blueprint, dict):
        return _normalize_object(blueprint)
    if isinstance(blueprint, os.PathLike):
        return _normalize_text(_read_file(blueprint))
    raise ValidationError(
        f"Unsupported blueprint type: {type(blueprint).__name__} (expected str, dict or a path-like object)",
        field=_FIELD,
    )


def _normalize_text(text: str) -> str:
    stripped = text.strip()
    if not stripped:
        raise ValidationError("Blueprint must not be empty", field=_FIELD)
    if stripped[0] not in "{[":
        return stripped
    try:
        value = _strict_loads(stripped)
    except _AmbiguousJSONError as exc:
        raise ValidationError(f"Blueprint is not valid JSON: {exc}", field=_FIELD) from exc
    except ValueError:
        # Not JSON at all: the blueprint is opaque text to us.
        return stripped
    return _dumps(value)


def _normalize_object(value: dict[Any, Any]) -> str:
    if not value:
        raise ValidationError("Blueprint must not be empty", field=_FIELD)
    try:
        text = _dumps(value)
        # json.dumps turns int, float, bool and None keys into strings, so
        # {1: "a", "1": "b"} would come out with a duplicate key; parsing the
        # text back catches that.
        _strict_loads(text)
    except (TypeError, ValueError, RecursionError) as exc:
        raise ValidationError(f"Blueprint is not serialisable as JSON: {exc}", field=_FIELD) from exc
    return text


def _read_file(path: os.PathLike[Any]) -> str:
    try:
        with open(path, encoding="utf-8-sig") as file:
            return file.read()
    except UnicodeDecodeError as exc:
        raise ValidationError(f"Blueprint file is not UTF-8 text: {os.fsdecode(path)}", field=_FIELD) from exc
    except FileNotFoundError as exc:
        raise ValidationError(f"Blueprint file not found: {os.fsdecode(path)}", field=_FIELD) from exc
    except OSError as exc:
        raise ValidationError(
            f"Cannot read blueprint file {os.fsdecode(path)}: {exc.strerror or exc}",
            field=_FIELD,
        ) from exc


class _AmbiguousJSONError(ValueError):
    """JSON text whose meaning depends on the parser: NaN/Infinity, repeated keys."""


def _refuse_constant(name: str) -> Any:
    raise _AmbiguousJSONError(f"{name} is not a JSON value")


def _refuse_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise _AmbiguousJSONError(f"duplicate key {key!r}")
        result[key] = value
    return result


def _strict_loads(text: str) -> Any:
    """Parse standard JSON, refusing what parsers disagree on.

    Raises:
        _AmbiguousJSONError: For NaN/Infinity, repeated keys or absurd nesting.
        ValueError: If the text is not JSON at all.
    """
    try:
        return json.loads(text, object_pairs_hook=_refuse_duplicates, parse_constant=_refuse_constant)
    except RecursionError as exc:
        raise _AmbiguousJSONError("nested too deeply") from exc


def _dumps(value: Any) -> str:
    return json.dumps(
        value,
        sort_keys=True,
        separators=(",", ":"),
        ensure_ascii=False,
        allow_nan=False,
    )
