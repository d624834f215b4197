"""The upload stage of `generate`: input files streamed to storage over real HTTP
(LocalService on 127.0.0.1), from real files, with storage's faults injected."""

from __future__ import annotations

import asyncio
import functools
import hashlib
import io
import os
import re
import time
from collections.abc import Callable, Coroutine
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

from velquor_ai import (
    APIConnectionError,
    APITimeoutError,
    AsyncVelquorAI,
    Config,
    ProgressEvent,
    UploadError,
    ValidationError,
)
from velquor_ai._storage import CHUNK_SIZE, FileSource, StorageClient
from velquor_ai.testing import LocalService

QUESTION = "What happens in the clip?"


def asynchronous(test: Callable[..., Coroutine[Any, Any, None]]) -> Callable[..., None]:
    """Run an async test on a new event loop (pytest sees the test's parameters)."""

    @functools.wraps(test)
    def run(*args: Any, **kwargs: Any) -> None:
        asyncio.run(test(*args, **kwargs))

    return run


def client_for(service: LocalService, **options: Any) -> AsyncVelquorAI:
    return AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url, **options)


def write(path: Path, size: int) -> Path:
    """A file of `size` bytes that are not all alike."""
    path.write_bytes((bytes(range(251)) * (size // 251 + 1))[:size])
    return path


def digest(data: bytes) -> tuple[str, int]:
    return hashlib.sha256(data).hexdigest(), len(data)


def stored(service: LocalService) -> list[tuple[str, int]]:
    return sorted((obj.sha256, obj.size) for obj in service.objects.values())


def puts(service: LocalService) -> int:
    return sum(method == "PUT" for method, _ in service.requests)


def started(service: LocalService) -> bool:
    return any(path.endswith("/start") for _, path in service.requests)


# ------------------------------------------------------------------ stored whole


@pytest.mark.parametrize(
    "size", [0, 1000, CHUNK_SIZE, 2 * CHUNK_SIZE + 123], ids=["empty", "small", "one-chunk", "odd"]
)
@pytest.mark.parametrize("form", ["path", "file-object", "bytes-io", "same-object-twice"])
@asynchronous
async def test_files_are_stored_byte_for_byte_with_progress_in_bytes(
    service: LocalService, tmp_path: Path, size: int, form: str
) -> None:
    path = write(tmp_path / "clip.mp4", size)
    data = path.read_bytes()
    events: list[ProgressEvent] = []
    with open(path, "rb") as opened:
        videos: list[Any] = {
            "path": [path],
            "file-object": [opened],
            "bytes-io": [io.BytesIO(data)],
            "same-object-twice": [opened, opened],
        }[form]
        async with client_for(service) as client:
            await client.generate(QUESTION, videos=videos, interval=1, on_progress=events.append)

    assert stored(service) == [digest(data)] * len(videos)
    uploads = [e for e in events if e.kind in ("upload", "uploading")]
    assert uploads[-1].bytes_done == uploads[-1].bytes_total == size * len(videos)
    assert all(e.size == size for e in uploads[1:])
    # A file is reported after each chunk, and when it is stored.
    if form != "same-object-twice":
        sent = [e.sent for e in uploads[1:]]
        assert sent == [*range(CHUNK_SIZE, size, CHUNK_SIZE), size]
        assert [e.bytes_done for e in uploads[1:]] == sent


@asynchronous
async def test_storage_never_sees_the_api_key(service: LocalService, tmp_path: Path) -> None:
    path = write(tmp_path / "a.png", 10)
    async with client_for(service) as client:
        await client.generate(QUESTION, images=[path], interval=1)
        headers = service.storage_headers
    assert headers and all("authorization" not in h for h in headers)
    assert all(h["content-length"] == "10" for h in headers)
    assert stored(service) == [digest(path.read_bytes())]


# -------------------------------------------------------------- changed files


def _grow(path: Path) -> None:
    with open(path, "ab") as file:
        file.write(b"\x01" * 5_000_000)


def _shrink(path: Path) -> None:
    os.truncate(path, 100)


@pytest.mark.parametrize("change", [_grow, _shrink], ids=["grown", "shrunk"])
@pytest.mark.parametrize("when", ["created", "uploading"])
@pytest.mark.parametrize("form", ["path", "file-object"])
@asynchronous
async def test_file_changed_after_its_check_is_refused_and_not_stored(
    service: LocalService,
    tmp_path: Path,
    change: Callable[[Path], None],
    when: str,
    form: str,
) -> None:
    size = 2 * CHUNK_SIZE + 7
    path = write(tmp_path / "clip.mp4", size)
    changed: list[ProgressEvent] = []

    def on_progress(event: ProgressEvent) -> None:
        if event.kind == when and not changed:
            changed.append(event)
            change(path)

    with open(path, "r+b") as opened:
        video = path if form == "path" else opened
        # The limit lets the checked size through, not the grown one.
        async with client_for(service, max_file_size=size + 10) as client:
            with pytest.raises(ValidationError) as caught:
                await client.generate(QUESTION, videos=[video], on_progress=on_progress)
    assert changed, "the file was never changed"
    assert caught.value.field == "file"
    assert "clip.mp4 changed after it was checked" in str(caught.value)
    assert f"{size:,} bytes" in str(caught.value)
    assert service.objects == {}
    assert not started(service)


@asynchronous
async def test_file_object_over_the_limit_is_refused_before_any_request(
    service: LocalService,
) -> None:
    async with client_for(service, max_file_size=100) as client:
        with pytest.raises(ValidationError, match=r"images\[0\] \(BytesIO\) is too large: 101 bytes"):
            await client.generate(QUESTION, images=[io.BytesIO(b"x" * 101)])
    assert service.requests == []


@asynchronous
async def test_storage_out_of_reach_is_named_without_the_urls_secrets(tmp_path: Path, closed_port: int) -> None:
    port = closed_port
    storage = StorageClient(Config(api_key="sk-test-key", max_retries=0))
    source = FileSource.for_path(str(write(tmp_path / "a.png", 10)), 10)
    try:
        with pytest.raises(APIConnectionError) as caught:
            await storage.upload(f"http://127.0.0.1:{port}/a.png?X-Amz-Signature=s3cr3t", source, "image/png")
    finally:
        await storage.aclose()
    assert (
        str(caught.value)
        == f"Upload of a.png failed: could not connect to 127.0.0.1:{port} (All connection attempts failed)"
    )


# ------------------------------------------------------------- storage faults


@pytest.mark.parametrize(
    ("status", "count", "tries", "stored_after"),
    [(503, 1, 2, True), (500, 2, 3, True), (429, 1, 2, True), (408, 1, 2, True),
     (503, 3, 3, False), (403, 1, 1, False), (404, 1, 1, False)],
)  # fmt: skip
@asynchronous
async def test_storage_errors_are_retried_when_passing_and_refusals_raised(
    service: LocalService,
    tmp_path: Path,
    status: int,
    count: int,
    tries: int,
    stored_after: bool,
) -> None:
    path = write(tmp_path / "clip.mp4", CHUNK_SIZE + 5)
    service.fail_storage(status, count=count, headers={"Retry-After": "0"})
    created: list[str] = []
    async with client_for(service) as client:
        call = client.generate(
            QUESTION,
            videos=[path],
            interval=1,
            on_progress=lambda e: created.append(e.generation_id),
        )
        if stored_after:
            await call
        else:
            with pytest.raises(UploadError) as caught:
                await call
    assert puts(service) == tries
    if stored_after:
        assert stored(service) == [digest(path.read_bytes())]
        return
    error = caught.value
    assert (error.status_code, error.filename) == (status, "clip.mp4")
    assert error.generation_id == created[0]
    assert f"clip.mp4 (HTTP {status}" in str(error)
    reason = re.search(r"<Message>(.+)</Message>", error.body or "")
    assert reason is not None and reason.group(1) in str(error)
    assert service.objects == {} and not started(service)


@pytest.mark.parametrize("stalls", [1, 3])
@pytest.mark.usefixtures("quick_retries")
@asynchronous
async def test_stalled_storage_fails_within_the_timeout_after_retries(
    service: LocalService, tmp_path: Path, stalls: int
) -> None:
    path = write(tmp_path / "clip.mp4", 4000)
    service.stall_storage(count=stalls)
    began = time.monotonic()
    async with client_for(service, timeout=0.5) as client:
        if stalls == 1:
            await client.generate(QUESTION, videos=[path], interval=1)
        else:
            with pytest.raises(APITimeoutError, match="clip.mp4 timed out after 0.5s"):
                await client.generate(QUESTION, videos=[path], interval=1)
    # Three tries of 0.5 s and two short pauses; the bound is loose, and far
    # below the minute it took before.
    assert time.monotonic() - began < 15
    assert puts(service) == min(stalls + 1, 3)
    assert stored(service) == ([digest(path.read_bytes())] if stalls == 1 else [])


# ---------------------------------------------------------------- cancellation


@asynchronous
async def test_cancelling_a_large_upload_midway_leaves_nothing_open(
    service: LocalService,
    tmp_path: Path,
    open_connections: Callable[[int], int],
    open_files: Callable[[Path], list[str]],
) -> None:
    videos = [write(tmp_path / f"clip-{i}.mp4", 24 * CHUNK_SIZE + i) for i in range(2)]
    async with client_for(service) as client:
        seen: list[ProgressEvent] = []

        def on_progress(event: ProgressEvent) -> None:
            seen.append(event)
            if event.kind == "uploading" and event.sent >= 3 * CHUNK_SIZE:
                task.cancel()

        task = asyncio.create_task(client.generate(QUESTION, videos=videos, on_progress=on_progress))
        with pytest.raises(asyncio.CancelledError):
            await task
        assert any(e.kind == "uploading" for e in seen)
        assert asyncio.all_tasks() == {asyncio.current_task()}
        assert open_files(tmp_path) == []
        # At most the keep-alive connection to the API is left.
        assert open_connections(service.port) <= 1
    assert open_connections(service.port) == 0
    assert service.objects == {} and not started(service)


@asynchronous
async def test_command_line_bar_counts_bytes(service: LocalService, tmp_path: Path) -> None:
    pytest.importorskip("rich")
    from velquor_ai.cli import _RichDisplay

    videos = [write(tmp_path / "a.mp4", 2 * CHUNK_SIZE + CHUNK_SIZE // 2), write(tmp_path / "b.mp4", 10)]
    shown = io.StringIO()
    display = _RichDisplay(shown)
    async with client_for(service) as client:
        await client.generate(QUESTION, videos=videos, interval=1, on_progress=display)
    display.close()
    # Bytes, not files: the bar ends at the size of both files together.
    assert "2.5/2.5 MiB" in shown.getvalue()
    assert stored(service) == sorted(digest(v.read_bytes()) for v in videos)
