"""Progress of a generation: the events an `on_progress` callback receives.

Shared by the client, which reports the steps of a generation, the upload stage,
which reports the bytes it sends, and the batch, which passes each job's events
on with the job's key.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal

__all__ = ["ProgressCallback", "ProgressEvent", "ProgressKind", "emit", "status_text"]

ProgressKind = Literal["created", "upload", "uploading", "started", "status"]


@dataclass(frozen=True, slots=True)
class ProgressEvent:
    """One step of a generation, as reported to an `on_progress` callback.

    Attributes:
        kind: "created" (the record exists; `generation_id` is known), "upload"
            (once with `done` 0 when the uploads begin, then once per input
            file stored), "uploading" (while a file larger than a chunk goes
            out, after each chunk of at most 1 MiB is sent), "started" (the
            service accepted the start) or "status" (one status check;
            `status` holds the value).
        generation_id: Identifier of the generation.
        filename: For "upload" and "uploading": the file concerned.
        done: For "upload" and "uploading": how many files are stored so far.
        total: For "upload" and "uploading": how many files there are in all.
        size: For "upload" and "uploading": bytes of the file.
        status: For "started" and "status": the status the service reported,
            such as "processing" or "completed".
        sent: For "upload" and "uploading": bytes of the file sent so far
            (back to 0 when a failed try starts over).
        bytes_done: For "upload" and "uploading": bytes of all files sent so far.
        bytes_total: For "upload" and "uploading": bytes of all files.
        request_id: The `x-request-id` of the answer the event follows (the
            create, upload-URL or start request, a status check; for a file
            stored, storage's `x-request-id` or `x-amz-request-id`), or None
            when it gave none, for "uploading" (mid-request) and on-premise.
            Quote it to the service's support about that step.

    Examples:
        >>> def show(event: ProgressEvent) -> None:
        ...     if event.kind in ("upload", "uploading") and event.bytes_total:
        ...         print(f"{event.bytes_done / event.bytes_total:.0%}")
    """

    kind: ProgressKind
    generation_id: str
    filename: str | None = None
    done: int = 0
    total: int = 0
    size: int | None = None
    status: str | None = None
    sent: int = 0
    bytes_done: int = 0
    bytes_total: int = 0
    request_id: str | None = None


ProgressCallback = Callable[[ProgressEvent], object]


def emit(on_progress: ProgressCallback | None, event: ProgressEvent) -> None:
    """Hand `event` to the callback, if there is one."""
    if on_progress is not None:
        on_progress(event)


def status_text(status: Any) -> str:
    """The `status` field of a service answer as text ("unknown" without one)."""
    value = getattr(status, "status", None)
    return str(value) if value is not None else "unknown"
