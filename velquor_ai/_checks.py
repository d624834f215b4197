"""Checks of the arguments the clients and the batch take, made before any work.

Each check raises `ValidationError` naming the argument (its `field`), and
returns the value it accepted, so that a call site reads
`wait = check_seconds("timeout", timeout, minimum=0.0)`. Checks of input files
themselves (existence, size, mode) belong to the upload stage (`_upload`).
"""

from __future__ import annotations

import asyncio
import inspect
import json
import math
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

import httpx
import sniffio

from .config import ENV_API_KEY, Config, check_timeout
from .exceptions import ValidationError, VelquorAIError

__all__ = [
    "RequestOptions",
    "check_api_key",
    "check_callback",
    "check_concurrency",
    "check_event_loop",
    "check_file_list",
    "check_headers",
    "check_idempotency_key",
    "check_question",
    "check_request_options",
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

    A lone path would otherwise be taken letter by letter, and a lone
    (filename, content) pair as two files. `label` names the argument in the
    message (default: `name`).
    """
    if isinstance(files, (str, bytes, os.PathLike)) or not isinstance(files, Iterable):
        raise ValidationError(
            f"{label or name} must be a list of files, not {type(files).__name__}",
            field=name,
        )
    if (
        isinstance(files, tuple)
        and len(files) == 2
        and isinstance(files[0], str)
        and not isinstance(files[1], (str, os.PathLike))
    ):
        # ("cat.png", data) is one file, which would be taken as two.
        raise ValidationError(
            f"{label or name} must be a list of files: a (filename, content) pair is one file, "
            f"given as {name}=[(filename, content)]",
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


def check_headers(headers: Any, argument: str = "default_headers") -> dict[str, str]:
    """Check headers given by the caller and return them as a new dict.

    `argument` is the name of the argument that gave them, named in the
    `ValidationError` that refuses them.

    Examples:
        >>> check_headers({"X-Team": "blue"})
        {'X-Team': 'blue'}
    """
    if headers is None:
        return {}
    if not isinstance(headers, Mapping):
        raise ValidationError(
            f"{argument} must be a mapping, not {type(headers).__name__}",
            field=argument,
        )
    checked: dict[str, str] = {}
    for name, value in headers.items():
        if not isinstance(name, str) or not isinstance(value, str):
            raise ValidationError(
                f"{argument} must map strings to strings, got {name!r}: {value!r}",
                field=argument,
            )
        if not name or not all("!" <= ch <= "~" and ch != ":" for ch in name):
            raise ValidationError(f"Not a valid header name: {name!r}", field=argument)
        # Visible ASCII, spaces and tabs: anything else could split the header.
        if not all(" " <= ch <= "~" or ch == "\t" for ch in value):
            raise ValidationError(
                f"Header {name} has a value that is not allowed: {value!r}",
                field=argument,
            )
        checked[name] = value
    return checked


@dataclass(frozen=True, slots=True)
class RequestOptions:
    """What one call of the client adds to each of its requests to the service.

    Made by `check_request_options`; set for the requests sent inside a
    block with `velquor_ai._http.request_options`.

    Attributes:
        headers: Headers added over the client's default headers.
        query: Query parameters added to each request's URL.
        body: Fields merged into each JSON object body (its keys win); a
            request without a body (a GET, the start POST) gets none.
        timeout: Timeout of each request, uploads to storage included, in
            place of the configuration's; None keeps that one.
    """

    headers: dict[str, str] = field(default_factory=dict)
    query: httpx.QueryParams | None = None
    body: dict[str, Any] | None = None
    timeout: float | httpx.Timeout | None = None


# Headers a call may not set for itself: the client's key, and the keys that
# keep a call's POSTs from being done twice (each request has its own).
_RESERVED_HEADERS = {
    "authorization": "it carries the client's API key (use client.with_options(api_key=...) for another key)",
    "idempotency-key": "each POST of a call gets a key of its own (pass idempotency_key= to generate to choose them)",
}


def check_request_options(
    extra_headers: object = None,
    extra_query: object = None,
    extra_body: object = None,
    request_timeout: object = None,
) -> RequestOptions | None:
    """The options a call gives its requests to the service, checked, or None
    when it gives none.

    Examples:
        >>> check_request_options(extra_headers={"X-Trace": "t-1"}, request_timeout=5).timeout
        5.0
    """
    if extra_headers is None and extra_query is None and extra_body is None and request_timeout is None:
        return None
    headers = check_headers(extra_headers, "extra_headers")
    for name in headers:
        why = _RESERVED_HEADERS.get(name.lower())
        if why is not None:
            raise ValidationError(f"extra_headers cannot set {name}: {why}", field="extra_headers")
    return RequestOptions(
        headers=headers,
        query=_query(extra_query),
        body=_body(extra_body),
        timeout=None if request_timeout is None else check_timeout(request_timeout, "request_timeout"),
    )


def _query(extra_query: object) -> httpx.QueryParams | None:
    if extra_query is None:
        return None
    if not isinstance(extra_query, Mapping):
        raise ValidationError(f"extra_query must be a mapping, not {type(extra_query).__name__}", field="extra_query")
    for name, value in extra_query.items():
        values = value if isinstance(value, (list, tuple)) else [value]
        if not isinstance(name, str) or not all(
            isinstance(item, (str, int, float)) and not isinstance(item, bool) for item in values
        ):
            raise ValidationError(
                f"extra_query must map strings to strings or numbers (or lists of them), got {name!r}: {value!r}",
                field="extra_query",
            )
    return httpx.QueryParams(dict(extra_query))


def _body(extra_body: object) -> dict[str, Any] | None:
    if extra_body is None:
        return None
    if not isinstance(extra_body, Mapping) or not all(isinstance(name, str) for name in extra_body):
        raise ValidationError("extra_body must be a mapping with string keys", field="extra_body")
    try:
        # A copy of its own, taken now: the caller may change theirs meanwhile.
        copied: dict[str, Any] = json.loads(json.dumps(dict(extra_body), allow_nan=False))
    except (TypeError, ValueError) as exc:
        raise ValidationError(f"extra_body must be JSON: {exc}", field="extra_body") from exc
    return copied
