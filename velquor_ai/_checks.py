"""Checks of the arguments the clients and the batch take, made before any work.

Each check raises `ValidationError` naming the argument (its `field`), and
returns the value it accepted, so that a call site reads
`wait = check_seconds("timeout", timeout, minimum=0.0)`. Checks of input files
themselves (existence, size, mode) belong to the upload stage (`_upload`).
"""

from __future__ import annotations

import asyncio
import inspect
import math
import os
from collections.abc import Iterable
from typing import Any

import sniffio

from .config import ENV_API_KEY, Config
from .exceptions import ValidationError, VelquorAIError

__all__ = [
    "check_api_key",
    "check_callback",
    "check_concurrency",
    "check_event_loop",
    "check_file_list",
    "check_idempotency_key",
    "check_question",
    "check_seconds",
    "file_list",
]


def check_api_key(config: Config) -> None:
    """Refuse a remote configuration without an API key."""
    if config.api_key is None:
        raise ValidationError(
            f"No API key: pass api_key=... to the client or set the {ENV_API_KEY} environment variable",
            field="api_key",
        )


def check_concurrency(value: object, name: str = "concurrency") -> int:
    """Return `value` if it is a positive integer (not a bool).

    Examples:
        >>> check_concurrency(4, "upload_concurrency")
        4
    """
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValidationError(
            f"{name} must be an integer of at least 1, got {value!r}",
            field=name,
        )
    return value


def check_question(question: object) -> str:
    """Return the question if it is a non-blank string."""
    if not isinstance(question, str):
        raise ValidationError(
            f"question must be a string, not {type(question).__name__}",
            field="question",
        )
    if not question.strip():
        raise ValidationError("question must not be blank", field="question")
    _check_encodable(question, "question")
    return question


def _check_encodable(text: str, name: str) -> None:
    """Refuse text that cannot be sent as UTF-8: one holding lone surrogates
    (what decoding bytes with errors="surrogateescape" leaves, say)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise ValidationError(
            f"{name} holds a character UTF-8 cannot encode ({text[exc.start]!r} at index {exc.start}, "
            "a lone surrogate): it cannot be sent",
            field=name,
        ) from None


def check_file_list(files: object, name: str, label: str | None = None) -> Iterable[Any]:
    """Return `files` if it is a collection of files rather than a lone one.

    A lone path would otherwise be taken letter by letter. `label` names the
    argument in the message (default: `name`).
    """
    if isinstance(files, (str, bytes, os.PathLike)) or not isinstance(files, Iterable):
        raise ValidationError(
            f"{label or name} must be a list of files, not {type(files).__name__}",
            field=name,
        )
    return files


def file_list(files: object, name: str) -> list[Any]:
    """The files of an optional argument as a list (None for none)."""
    if files is None:
        return []
    return list(check_file_list(files, name))


def check_seconds(name: str, value: object, minimum: float) -> float:
    """Return a finite, positive number of seconds of at least `minimum`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValidationError(f"{name} must be a number of seconds", field=name)
    if not math.isfinite(value) or value <= 0 or value < minimum:
        bound = f"at least {minimum:g}" if minimum > 0 else "greater than 0"
        raise ValidationError(f"{name} must be {bound}, got {value!r}", field=name)
    return float(value)


def check_idempotency_key(key: object) -> str | None:
    """Return the caller's idempotency key (or None) if a header can carry it."""
    if key is None:
        return None
    # Sent in a header, with a suffix for the later requests of a generation.
    if not isinstance(key, str) or not 1 <= len(key) <= 200 or not all("!" <= ch <= "~" for ch in key):
        raise ValidationError(
            "idempotency_key must be 1 to 200 visible ASCII characters",
            field="idempotency_key",
        )
    return key


def check_callback(on_progress: object) -> None:
    """Refuse an `on_progress` that is not a plain function (None is fine).

    It is called from inside a generation, which never awaits what it returns.
    """
    if on_progress is None:
        return
    if not callable(on_progress):
        raise ValidationError("on_progress must be callable", field="on_progress")
    if inspect.iscoroutinefunction(on_progress):
        raise ValidationError(
            "on_progress must be a plain function, not an async one",
            field="on_progress",
        )


def check_event_loop() -> None:
    """Refuse to go on unless an asyncio event loop runs this task.

    The async client's connection pools, locks and worker threads are
    asyncio's; under another library (trio, or anyio on trio) they would fail
    half-way through a generation. uvloop is an asyncio loop and passes.

    Raises:
        VelquorAIError: Under another async library, or with no loop running.
    """
    try:
        library: str | None = sniffio.current_async_library()
    except sniffio.AsyncLibraryNotFoundError:
        library = None
    if library in (None, "asyncio"):
        try:
            asyncio.get_running_loop()
            return
        except RuntimeError:
            pass
    under = f"it is running under {library}" if library not in (None, "asyncio") else "no asyncio event loop is running"
    raise VelquorAIError(
        f"AsyncVelquorAI needs an asyncio event loop (uvloop included), but {under}. "
        "From other event loops use the blocking VelquorAI, for example in a worker thread "
        "(trio.to_thread.run_sync, anyio.to_thread.run_sync), or run AsyncVelquorAI in a "
        "thread of its own with asyncio.run"
    )
