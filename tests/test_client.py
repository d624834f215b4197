"""The client object end to end: real HTTP to a LocalService on 127.0.0.1, real
files, and the on-premise library."""

from __future__ import annotations

import asyncio
import functools
import hashlib
import io
import json
from collections.abc import Callable, Coroutine
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

import httpx
import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

import velquor_ai
from velquor_ai import (
    AsyncVelquorAI,
    AuthenticationError,
    GenerationFailedError,
    GenerationTimeoutError,
    InternalServerError,
    ProgressEvent,
    RateLimitError,
    UploadError,
    ValidationError,
    VelquorAI,
    VelquorAIError,
)
from velquor_ai.models.execution import ErrorDetail
from velquor_ai.testing import LocalService

QUESTION = "What is in these pictures and the clip?"
PNG_A = b"\x89PNG\r\n\x1a\n" + b"first picture" * 40
PNG_B = b"\x89PNG\r\n\x1a\n" + b"second picture, same name" * 30
JPG = b"\xff\xd8\xff\xe0" + bytes(range(256)) * 3
MP4 = b"\x00\x00\x00\x18ftypmp42" + b"\x07" * 5000


@pytest.fixture
def inputs(tmp_path: Path) -> tuple[list[Path], list[Path]]:
    """Three images (two with the same name in different folders) and a video."""
    files = {
        "left/photo.png": PNG_A,
        "right/photo.png": PNG_B,
        "left/diagram.jpg": JPG,
        "clips/clip.mp4": MP4,
    }
    for name, data in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    images = [tmp_path / "left/photo.png", tmp_path / "right/photo.png",
              tmp_path / "left/diagram.jpg"]  # fmt: skip
    return images, [tmp_path / "clips/clip.mp4"]


def asynchronous(test: Callable[..., Coroutine[Any, Any, None]]) -> Callable[..., None]:
    """Run an async test on a new event loop (pytest sees the test's parameters)."""

    @functools.wraps(test)
    def run(*args: Any, **kwargs: Any) -> None:
        asyncio.run(test(*args, **kwargs))

    return run


def remote(service: LocalService, **options: Any) -> AsyncVelquorAI:
    return AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url, **options)


def expected_inputs(paths: list[Path], content_types: list[str]) -> list[dict[str, Any]]:
    return [
        {
            "name": path.name,
            "size": path.stat().st_size,
            "content_type": content_type,
            "sha256": hashlib.sha256(path.read_bytes()).hexdigest(),
        }
        for path, content_type in zip(paths, content_types, strict=True)
    ]


CONTENT_TYPES = ["image/png", "image/png", "image/jpeg", "video/mp4"]


def open_inputs(paths: list[Path], form: str, stack: list[Any]) -> list[Any]:
    if form == "str":
        return [str(p) for p in paths]
    if form == "path":
        return list(paths)
    files = [open(p, "rb") for p in paths]  # noqa: SIM115 - closed by the test
    stack.extend(files)
    return files


# ------------------------------------------------------------------ remote road


@pytest.mark.parametrize("result_format", ["top-level", "nested"])
@pytest.mark.parametrize("form", ["str", "path", "file-object"])
@asynchronous
async def test_generation_uploads_every_input_and_returns_the_blueprint(
    service_factory: Callable[..., LocalService],
    inputs: tuple[list[Path], list[Path]],
    result_format: str,
    form: str,
) -> None:
    service = service_factory(result_format=result_format, processing_time=0.5)
    images, videos = inputs
    events: list[ProgressEvent] = []
    opened: list[Any] = []
    try:
        async with remote(service) as client:
            result = await client.generate(
                QUESTION,
                images=open_inputs(images, form, opened),
                videos=open_inputs(videos, form, opened),
                interval=1,
                on_progress=events.append,
            )
    finally:
        for file in opened:
            file.close()

    assert result.status == "completed"
    assert result.blueprint is not None
    document = json.loads(result.blueprint)
    assert document["question"] == QUESTION
    assert document["inputs"] == expected_inputs(images + videos, CONTENT_TYPES)
    assert document["steps"][-1] == {"action": "answer"}

    # Every file reached storage whole, under a key of its own, with its type.
    stored = sorted((obj.data, obj.content_type) for obj in service.objects.values())
    assert stored == sorted((p.read_bytes(), t) for p, t in zip(images + videos, CONTENT_TYPES, strict=True))

    # The service saw the road in order: record, URLs, uploads, start, result.
    requests = service.requests
    paths = [path for _, path in requests]
    gen = result.generation_id
    assert requests[:2] == [
        ("POST", "/v1/generation"),
        ("POST", f"/v1/generation/{gen}/upload"),
    ]
    puts = [i for i, (method, _) in enumerate(requests) if method == "PUT"]
    start = paths.index(f"/v1/generation/{gen}/start")
    assert len(puts) == 4 and max(puts) < start
    assert paths[start + 1 :] and set(paths[start + 1 :]) == {f"/v1/generation/{gen}/result"}

    kinds = [event.kind for event in events]
    assert kinds[0] == "created" and kinds[1:3] == ["upload", "upload"]
    uploads = [e for e in events if e.kind == "upload"]
    assert [e.done for e in uploads] == [0, 1, 2, 3, 4]
    assert {e.total for e in uploads} == {4}
    assert sorted(e.filename for e in uploads[1:]) == sorted(p.name for p in images + videos)
    assert kinds.index("started") > kinds.index("upload") + 4
    statuses = [e.status for e in events if e.kind == "status"]
    assert statuses[-1] == "completed" and "processing" in statuses
    assert all(e.generation_id == gen for e in events)


@asynchronous
async def test_generation_without_inputs_uploads_nothing(service: LocalService) -> None:
    async with remote(service) as client:
        result = await client.generate(QUESTION, interval=1)
    assert json.loads(result.blueprint or "")["inputs"] == []
    methods = {method for method, _ in service.requests}
    assert "PUT" not in methods
    assert not any(path.endswith("/upload") for _, path in service.requests)


@asynchronous
async def test_unnamed_file_object_is_sent_as_upload(service: LocalService) -> None:
    async with remote(service) as client:
        result = await client.generate(QUESTION, images=[io.BytesIO(JPG)], interval=1)
    [entry] = json.loads(result.blueprint or "")["inputs"]
    assert (entry["name"], entry["size"]) == ("upload", len(JPG))
    assert [obj.data for obj in service.objects.values()] == [JPG]


@asynchronous
async def test_remote_blueprint_can_be_executed_on_premise(
    shared_service: LocalService, inputs: tuple[list[Path], list[Path]], tmp_path: Path
) -> None:
    images, videos = inputs
    async with remote(shared_service) as client:
        served = await client.generate(QUESTION, images=images, videos=videos, interval=1)
    async with AsyncVelquorAI.on_premise(workdir=tmp_path / "out") as local:
        generated = await local.generate(QUESTION, images=images, videos=videos)
        executed = await local.execute(served.blueprint or "", images + videos)
    assert generated.blueprint == served.blueprint
    assert len(executed.output_files) == 4


# ------------------------------------------------------------- refused uploads


def _tamper(url: str, how: str) -> str:
    parts = urlsplit(url)
    query = dict(parse_qsl(parts.query))
    path = parts.path
    if how == "signature":
        last = query["signature"][-1]
        query["signature"] = query["signature"][:-1] + ("0" if last != "0" else "1")
    elif how == "expiry":
        query["expires"] = str(int(query["expires"]) + 3_600_000)
    elif how == "path":
        path = path.replace("/0/", "/9/", 1)
    return urlunsplit(parts._replace(path=path, query=urlencode(query)))


@pytest.mark.parametrize("how", ["signature", "expiry", "path"])
@asynchronous
async def test_tampered_upload_url_is_refused_and_generation_not_started(
    service: LocalService, inputs: tuple[list[Path], list[Path]], how: str
) -> None:
    images, videos = inputs
    async with remote(service) as client:
        generations = client.generations
        original = generations.get_upload_urls

        async def tampered(generation_id: str, filenames: list[str]) -> dict[str, Any]:
            answer = await original(generation_id, filenames)
            first = answer["upload_urls"][0]
            first["upload_url"] = _tamper(first["upload_url"], how)
            return answer

        generations.get_upload_urls = tampered  # type: ignore[method-assign]
        with pytest.raises(UploadError) as caught:
            await client.generate(QUESTION, images=images, videos=videos, interval=1)
    error = caught.value
    assert error.status_code == 403
    assert isinstance(error.body, str) and "SignatureDoesNotMatch" in error.body  # XML: the text
    assert error.text == error.body
    assert error.filename == "photo.png"
    assert "photo.png" in str(error) and "403" in str(error)
    assert not any(path.endswith("/start") for _, path in service.requests)


@asynchronous
async def test_expired_upload_url_is_refused(
    service_factory: Callable[..., LocalService],
    inputs: tuple[list[Path], list[Path]],
) -> None:
    service = service_factory(url_ttl=0)
    images, _ = inputs
    async with remote(service) as client:
        with pytest.raises(UploadError) as caught:
            await client.generate(QUESTION, images=images[:1], interval=1)
    assert caught.value.status_code == 403
    assert "expired" in str(caught.value)
    # The generation exists, unstarted; the error names it.
    assert caught.value.generation_id == service.generation_ids[0]
    assert service.objects == {}
    assert not any(path.endswith("/start") for _, path in service.requests)


# ------------------------------------------------------------- service errors


@pytest.mark.parametrize(
    ("status", "method", "path", "error_class"),
    [
        (500, "POST", "/v1/generation", InternalServerError),
        (503, "POST", "/upload", InternalServerError),
        (429, "POST", "/start", RateLimitError),
        (500, "GET", "/result", InternalServerError),
    ],
)
@asynchronous
async def test_service_error_surfaces_as_typed_exception(
    service: LocalService,
    inputs: tuple[list[Path], list[Path]],
    status: int,
    method: str,
    path: str,
    error_class: type[Exception],
) -> None:
    service.fail_next(status, method=method, path=path)
    images, videos = inputs
    async with remote(service, max_retries=0) as client:
        with pytest.raises(error_class) as caught:
            await client.generate(QUESTION, images=images, videos=videos, interval=1)
    assert caught.value.status_code == status  # type: ignore[attr-defined]
    assert "Injected failure" in str(caught.value)
    # The answer was JSON: the body decoded, its text kept.
    assert caught.value.body == {"detail": "Injected failure"}  # type: ignore[attr-defined]
    assert json.loads(caught.value.text) == caught.value.body  # type: ignore[attr-defined]
    if path == "/upload":
        assert not any(m == "PUT" for m, _ in service.requests)


@asynchronous
async def test_error_status_option_fails_the_first_request(
    service_factory: Callable[..., LocalService],
) -> None:
    service = service_factory(error_status=500)
    async with remote(service, max_retries=0) as client:
        with pytest.raises(InternalServerError):
            await client.generate(QUESTION, interval=1)
        # Only the next request failed; the service works again.
        result = await client.generate(QUESTION, interval=1)
    assert result.status == "completed"


@asynchronous
async def test_wrong_api_key_is_refused(shared_service: LocalService) -> None:
    async with AsyncVelquorAI(api_key="sk-wrong", base_url=shared_service.base_url) as client:
        with pytest.raises(AuthenticationError) as caught:
            await client.generate(QUESTION, interval=1)
    assert caught.value.status_code == 401


@pytest.mark.parametrize("client_class", [AsyncVelquorAI, VelquorAI])
def test_missing_api_key_is_refused_at_construction(
    shared_service: LocalService,
    monkeypatch: pytest.MonkeyPatch,
    client_class: type[AsyncVelquorAI | VelquorAI],
) -> None:
    monkeypatch.delenv("VELQUOR_API_KEY", raising=False)
    with pytest.raises(VelquorAIError) as caught:
        client_class(base_url=shared_service.base_url)
    assert "api_key" in str(caught.value) and "VELQUOR_API_KEY" in str(caught.value)


@asynchronous
async def test_failed_generation_raises_generation_failed_error(
    service_factory: Callable[..., LocalService],
) -> None:
    service = service_factory(fail_generation=True, failure_message="No answer found")
    async with remote(service) as client:
        with pytest.raises(GenerationFailedError) as caught:
            await client.generate(QUESTION, interval=1)
    error = caught.value
    assert error.generation_id and error.generation_id.startswith("gen_")
    assert "No answer found" in str(error) and error.generation_id in str(error)
    assert isinstance(error.error, ErrorDetail)
    assert error.error.code == "generation_failed"
    assert isinstance(error.__cause__, RuntimeError)


@asynchronous
async def test_unfinished_generation_times_out_with_its_identifier(
    service_factory: Callable[..., LocalService],
) -> None:
    service = service_factory(processing_time=3600)
    async with remote(service) as client:
        with pytest.raises(GenerationTimeoutError) as caught:
            await client.generate(QUESTION, timeout=1, interval=1)
        # The generation goes on; its identifier lets the caller look it up.
        late = await client.generations.get_result(caught.value.generation_id or "")
    assert isinstance(caught.value, velquor_ai.TimeoutError)
    assert "last status: processing" in str(caught.value)
    assert late.status == "processing"


# ------------------------------------------------------ checks before requests


def _too_big(tmp_path: Path) -> Path:
    path = tmp_path / "big.png"
    path.write_bytes(b"x" * 2049)
    return path


def _small(tmp_path: Path) -> Path:
    path = tmp_path / "small.png"
    path.write_bytes(PNG_A)
    return path


def _named(data: bytes, name: str) -> io.BytesIO:
    file = io.BytesIO(data)
    file.name = name  # type: ignore[attr-defined]
    return file


# Each refused call, the field of its error and what its message must hold:
# the file it is about, by path, name or place among the arguments.
@pytest.mark.parametrize(
    ("arguments", "field", "names"),
    [
        (lambda t: {"images": [t / "missing.png"]}, "file", "{t}/missing.png"),
        (lambda t: {"videos": [t]}, "file", "{t}"),
        (lambda t: {"images": [_too_big(t)]}, "file", "{t}/big.png is too large: 2049 bytes (max: 2048)"),
        (lambda t: {"images": [io.BytesIO(b"x" * 2049)]}, "file", "images[0] (BytesIO) is too large: 2049 bytes"),
        (lambda t: {"videos": [_named(b"x" * 2049, "/data/clip.mp4")]}, "file", "/data/clip.mp4 is too large"),
        (lambda t: {"images": [io.StringIO("text")]}, "file", "images[0] (StringIO)"),
        (lambda t: {"images": [_small(t), 17]}, "file", "images[1] (int)"),
        (lambda t: {"images": ["https://example.com/cat.png?X-Amz-Signature=s3cr3t"]}, "file",
         "https://example.com/cat.png?[redacted] is a URL, and URLs are not fetched"),
        (lambda t: {"videos": [Path("s3://bucket/clip.mp4")]}, "file", "s3:/bucket/clip.mp4 is a URL"),
        (lambda t: {"images": [("big.png", b"x" * 2049)]}, "file", "big.png is too large: 2049 bytes"),
        (lambda t: {"images": [("a.png", b"x", "image/png")]}, "file", "is a tuple of 3 (str, bytes, str)"),
        (lambda t: {"images": [("", b"x")]}, "file", "needs a file name in its (filename, content) pair"),
        (lambda t: {"images": [("a.png", str(t))]}, "file", "a.png is a pair of a name and a path"),
        (lambda t: {"images": ("a.png", b"x")}, "images", "given as images=[(filename, content)]"),
        (lambda t: {"images": str(t / "a.png")}, "images", "images"),
        (lambda t: {"extra_headers": {"authorization": "Bearer other"}}, "extra_headers", "cannot set authorization"),
        (lambda t: {"extra_headers": {"Idempotency-Key": "k"}}, "extra_headers", "cannot set Idempotency-Key"),
        (lambda t: {"extra_query": {"a": None}}, "extra_query", "extra_query must map strings"),
        (lambda t: {"extra_body": {"a": float("nan")}}, "extra_body", "extra_body must be JSON"),
        (lambda t: {"request_timeout": httpx.Timeout(-1)}, "request_timeout.connect", "request_timeout.connect"),
        (lambda t: {"question": "   "}, "question", "question"),
        (lambda t: {"interval": 0.5}, "interval", "interval"),
        (lambda t: {"timeout": 0}, "timeout", "timeout"),
        (lambda t: {"on_progress": asyncio.sleep}, "on_progress", "on_progress"),
    ],
    ids=["missing", "directory", "too-large", "too-large-object", "too-large-named", "text-stream", "not-a-file",
         "url", "url-path", "pair-too-large", "triple", "pair-without-name", "pair-of-paths", "lone-pair",
         "bare-string", "authorization", "idempotency-key", "query-none", "body-nan", "request-timeout",
         "blank-question", "short-interval", "zero-timeout", "async-callback"],
)  # fmt: skip
@asynchronous
async def test_bad_input_is_refused_before_any_request(
    service: LocalService,
    tmp_path: Path,
    arguments: Callable[[Path], dict[str, Any]],
    field: str,
    names: str,
) -> None:
    kwargs = {"question": QUESTION, **arguments(tmp_path)}
    async with remote(service, max_file_size=2048) as client:
        with pytest.raises(ValidationError) as caught:
            await client.generate(**kwargs)
    assert caught.value.field == field
    assert names.format(t=tmp_path) in str(caught.value)
    assert service.requests == []


def test_text_mode_file_is_refused_with_a_hint(service: LocalService, tmp_path: Path) -> None:
    path = tmp_path / "photo.png"
    path.write_bytes(PNG_A)
    with open(path) as text, VelquorAI(service.api_key, service.base_url) as client:
        with pytest.raises(ValidationError, match="open the file in binary mode"):
            client.generate(QUESTION, images=[text])
    assert service.requests == []


@asynchronous
async def test_closed_client_refuses_work(service: LocalService) -> None:
    client = remote(service)
    await client.aclose()
    await client.aclose()
    with pytest.raises(VelquorAIError, match="closed"):
        await client.generate(QUESTION)
    assert service.requests == []


# ------------------------------------------------------------------ cancellation


@asynchronous
async def test_cancelling_during_uploads_leaves_nothing_running_or_open(
    service: LocalService,
    tmp_path: Path,
    open_connections: Callable[[int], int],
    open_files: Callable[[Path], list[str]],
) -> None:
    files = []
    for index in range(6):
        path = tmp_path / f"frame-{index}.png"
        path.write_bytes(PNG_A * (index + 1))
        files.append(path)
    service.hold_uploads()
    async with remote(service, upload_concurrency=2) as client:
        task = asyncio.create_task(client.generate(QUESTION, images=files, interval=1))
        held = await asyncio.to_thread(service.wait_for_held_uploads, 2)
        assert held, "the uploads never reached the service"
        # Two uploads in flight, each on a connection of its own.
        assert open_connections(service.port) >= 2

        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

        assert asyncio.all_tasks() == {asyncio.current_task()}
        # At most the client's own keep-alive connection to the API is left.
        assert open_connections(service.port) <= 1
        assert open_files(tmp_path) == []
    assert open_connections(service.port) == 0
    service.release_uploads()
    assert not any(path.endswith("/start") for _, path in service.requests)
    assert len([m for m, _ in service.requests if m == "PUT"]) == 2


# -------------------------------------------------------------------- on-premise


@pytest.mark.parametrize("blueprint_form", ["text", "dict", "path"])
@asynchronous
async def test_on_premise_generates_and_executes(
    inputs: tuple[list[Path], list[Path]], tmp_path: Path, blueprint_form: str
) -> None:
    images, videos = inputs
    async with AsyncVelquorAI.on_premise(workdir=tmp_path / "out") as client:
        generated = await client.generate(QUESTION, images=images, videos=videos)
        assert generated.generation_id == "on-premise-generated"
        assert generated.status == "completed"
        document = json.loads(generated.blueprint or "")
        assert document["inputs"] == expected_inputs(images + videos, CONTENT_TYPES)

        blueprint: Any = {
            "text": generated.blueprint,
            "dict": document,
            "path": tmp_path / "blueprint.json",
        }[blueprint_form]
        (tmp_path / "blueprint.json").write_text(generated.blueprint or "")
        executed = await client.execute(blueprint, [images[2], videos[0]])

    assert executed.status == "completed"
    assert len(executed.output_files) == 2
    reports = [json.loads(Path(p).read_text()) for p in executed.output_files]
    assert [r["input"]["name"] for r in reports] == ["diagram.jpg", "clip.mp4"]
    assert all(Path(p).is_relative_to(tmp_path / "out") for p in executed.output_files)


@pytest.mark.parametrize(
    ("blueprint", "files", "field", "names"),
    [
        ("valid", [], "input_files", ""),
        ("valid", ["{missing}"], "file", "nope.png"),
        ("valid", ["{dir}"], "file", "Not a regular file"),
        ("valid", ["{image}", io.BytesIO(b"x")], "file", "input_files[1] (BytesIO)"),
        ("valid", [("a.png", b"x")], "file", "give the input file a.png as a path, not a (filename, content) pair"),
        ("valid", ["https://example.com/a.png"], "file", "URLs are not fetched"),
        ('{"version": 1}', ["{image}"], "blueprint", ""),
        ("", ["{image}"], "blueprint", ""),
    ],
    ids=["no-inputs", "missing", "directory", "file-object", "pair", "url", "invalid", "empty"],
)
@asynchronous
async def test_on_premise_execution_refuses_bad_input(
    inputs: tuple[list[Path], list[Path]],
    tmp_path: Path,
    blueprint: str,
    files: list[Any],
    field: str,
    names: str,
) -> None:
    images, _ = inputs
    places = {"{missing}": str(tmp_path / "nope.png"), "{dir}": str(tmp_path),
              "{image}": str(images[0])}  # fmt: skip
    files = [places.get(f, f) if isinstance(f, str) else f for f in files]
    async with AsyncVelquorAI.on_premise(workdir=tmp_path / "out") as client:
        if blueprint == "valid":
            blueprint = (await client.generate(QUESTION, images=images)).blueprint or ""
        with pytest.raises(ValidationError) as caught:
            await client.execute(blueprint, files)
    assert caught.value.field == field
    assert names in str(caught.value)
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").rglob("*.json"))


@asynchronous
async def test_remote_and_on_premise_operations_stay_in_their_mode(service: LocalService, tmp_path: Path) -> None:
    async with AsyncVelquorAI.on_premise() as local:
        with pytest.raises(VelquorAIError, match="on-premise"):
            local.generations  # noqa: B018
        with pytest.raises(ValidationError, match="^extra_query goes with the requests to the service"):
            await local.generate(QUESTION, extra_query={"a": "b"})
    async with remote(service) as client:
        with pytest.raises(VelquorAIError, match="on-premise"):
            await client.execute('{"x": 1}', [tmp_path])
    assert service.requests == []
