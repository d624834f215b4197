"""The clients: one connection pool, the service resources, and the whole road
of a generation (files checked, record created, inputs uploaded, generation
started, result awaited) in one call.

`AsyncVelquorAI` does the work; `VelquorAI` is its blocking twin, which runs the
async client on an event loop of its own, in a thread kept for the client's life
(so connections are reused between calls), and waits for each call there.

The compiled core modules are imported when a client is built, not when this
module is imported, so `import velquor_ai` stays light.
"""

from __future__ import annotations

import asyncio
import builtins
import concurrent.futures
import copy
import functools
import inspect
import io
import math
import mimetypes
import os
import threading
import weakref
from collections import deque
from collections.abc import (
    AsyncIterable,
    Callable,
    Coroutine,
    Iterable,
    Iterator,
    Mapping,
)
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Concatenate, Literal, ParamSpec, Self, TypeVar

import httpx

from .batch import (
    DEFAULT_CONCURRENCY,
    BatchProgressCallback,
    GenerationBatch,
    Job,
    JobOutcome,
)
from .config import ENV_API_KEY, Config
from .exceptions import (
    APIError,
    GenerationFailedError,
    GenerationTimeoutError,
    OnPremiseError,
    TimeoutError,
    ValidationError,
    VelquorAIError,
)

if TYPE_CHECKING:
    from velquor_api_client import VelquorAPIClient

    from ._http import HTTPClient
    from ._storage import FileSource, StorageClient
    from .models.blueprint import GenerationResult
    from .models.execution import ExecutionResult
    from .resources.generations import GenerationsResource
    from .resources.uploads import UploadsResource
    from .types import BlueprintInput, FileInput

__all__ = ["DEFAULT_UPLOAD_CONCURRENCY", "AsyncVelquorAI", "ProgressEvent", "VelquorAI"]

DEFAULT_UPLOAD_CONCURRENCY = 4

_R = TypeVar("_R")
_P = ParamSpec("_P")
_F = TypeVar("_F", bound=Callable[..., Any])

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


ProgressCallback = Callable[[ProgressEvent], object]


@dataclass(slots=True)
class _Input:
    """One input file after checking: what to send and how to read it."""

    info: dict[str, Any]
    filename: str
    content_type: str
    # Bytes found when the file was checked: exactly what is uploaded.
    size: int


class AsyncVelquorAI:
    """Async client of the blueprint service, or of the on-premise library.

    Remote mode (the default) talks to the service over HTTP; on-premise mode
    (`AsyncVelquorAI.on_premise(...)` or `AsyncVelquorAI(on_premise=...)`)
    generates and executes blueprints with `velquor_api_client` on this machine.
    The client may be used from several event loops one after the other (each
    `asyncio.run`, say): it opens new connections for a new loop.

    Attributes:
        config: The configuration in use.
        upload_concurrency: How many input files are uploaded at the same time.
        local_client: The on-premise library client, or None in remote mode.

    Examples:
        >>> async with AsyncVelquorAI(api_key="sk-...", base_url=URL) as client:
        ...     result = await client.generate("What is shown?", images=["cat.png"])
        ...     print(result.blueprint)

        A client with other settings that shares the connections:

        >>> patient = client.with_options(timeout=httpx.Timeout(120, connect=5))
    """

    config: Config
    upload_concurrency: int
    local_client: VelquorAPIClient | None

    def __init__(
        self,
        api_key: str | None = None,
        base_url: str | None = None,
        *,
        timeout: float | httpx.Timeout | None = None,
        max_poll_interval: float | None = None,
        max_file_size: int | None = None,
        max_retries: int | None = None,
        default_headers: Mapping[str, str] | None = None,
        http_client: httpx.AsyncClient | None = None,
        config: Config | None = None,
        on_premise: VelquorAPIClient | None = None,
        upload_concurrency: int = DEFAULT_UPLOAD_CONCURRENCY,
    ) -> None:
        """Build the client. It opens no connection until the first request.

        Settings not given are read from the environment (see `velquor_ai.config`).

        Args:
            api_key: API key sent as a bearer token; falls back to the
                VELQUOR_API_KEY environment variable. Required in remote mode.
            base_url: Address of the service.
            timeout: Timeout of each HTTP request to the service: seconds, or an
                `httpx.Timeout` for separate connect, read, write and pool limits
                (the wait for a whole generation is `generate`'s own `timeout`).
            max_poll_interval: Longest pause between two status checks, in seconds.
            max_file_size: Largest accepted input file, in bytes.
            max_retries: How many times a request that failed for a passing
                reason (no answer, a timeout, 408, 429, 5xx) is sent again;
                0 sends every request once. Default 2.
            default_headers: Headers sent with every request to the service.
            http_client: An `httpx.AsyncClient` of yours (proxies, certificates,
                limits, event hooks) to send the service's requests with. You
                keep it: closing this client leaves it open. (`VelquorAI` uses
                it on its own thread, whose connections no other thread can
                use or close, and so closes it when it closes.)
            config: A complete configuration, instead of the six settings
                `api_key` to `max_retries`.
            on_premise: A `velquor_api_client.VelquorAPIClient`; when given, the
                client works on-premise and opens no connection to the service.
            upload_concurrency: Most input files uploaded at the same time (>= 1).

        Raises:
            ValidationError: If a setting is invalid, the API key is missing in
                remote mode, or `config` is given together with individual
                settings.

        Examples:
            >>> client = AsyncVelquorAI(
            ...     api_key="sk-...",
            ...     default_headers={"X-Team": "vision"},
            ...     http_client=httpx.AsyncClient(proxy="http://proxy:3128"),
            ... )
        """
        settings = (
            api_key,
            base_url,
            timeout,
            max_poll_interval,
            max_file_size,
            max_retries,
        )
        if config is not None:
            if any(value is not None for value in settings):
                raise ValidationError(
                    "Pass either config or individual settings, not both",
                    field="config",
                )
            if not isinstance(config, Config):
                raise ValidationError("config must be a Config", field="config")
        else:
            config = Config(
                api_key=api_key,
                base_url=base_url,
                timeout=timeout,
                max_poll_interval=max_poll_interval,
                max_file_size=max_file_size,
                max_retries=max_retries,
            )
        self.config = config
        self.upload_concurrency = _check_concurrency(upload_concurrency)
        self.local_client = on_premise
        self._closed = False
        self._http: HTTPClient | None = None
        self._uploads: UploadsResource | None = None
        self._generations: GenerationsResource | None = None
        self._storage: StorageClient | None = None
        if on_premise is None:
            from ._http import HTTPClient

            _check_api_key(config)
            self._attach(HTTPClient(config, http_client=http_client, default_headers=default_headers))

    def _attach(self, http: HTTPClient) -> None:
        from .resources.generations import GenerationsResource
        from .resources.uploads import UploadsResource

        self._http = http
        self._uploads = UploadsResource(http)
        self._generations = GenerationsResource(http, self._uploads)

    def with_options(
        self,
        *,
        api_key: str | None = None,
        base_url: str | None = None,
        timeout: float | httpx.Timeout | None = None,
        max_poll_interval: float | None = None,
        max_file_size: int | None = None,
        max_retries: int | None = None,
        default_headers: Mapping[str, str] | None = None,
        upload_concurrency: int | None = None,
    ) -> Self:
        """Return a client with some settings changed, over the same connections.

        Settings not given (None) keep this client's values. The new client
        shares this one's connection pool (and on-premise library): closing it
        leaves the pool open, closing this client closes the pool for both.

        Args:
            api_key: API key of the new client.
            base_url: Address of the service.
            timeout: Timeout of each request: seconds or an `httpx.Timeout`.
            max_poll_interval: Longest pause between two status checks, in seconds.
            max_file_size: Largest accepted input file, in bytes.
            max_retries: How many times a failed request is sent again.
            default_headers: Headers sent with every request (replacing these).
            upload_concurrency: Most input files uploaded at the same time.

        Returns:
            A new client of the same kind.

        Raises:
            ValidationError: If a setting is invalid.
            VelquorAIError: If this client is closed.

        Examples:
            >>> quick = client.with_options(timeout=5, max_retries=0)
            >>> result = await quick.generate("What is shown?")
        """
        self._check_open()
        old = self.config
        config = Config(
            api_key=old.api_key if api_key is None else api_key,
            base_url=old.base_url if base_url is None else base_url,
            timeout=old.timeout if timeout is None else timeout,
            max_poll_interval=(old.max_poll_interval if max_poll_interval is None else max_poll_interval),
            max_file_size=old.max_file_size if max_file_size is None else max_file_size,
            max_retries=old.max_retries if max_retries is None else max_retries,
        )
        twin = copy.copy(self)
        twin.config = config
        if upload_concurrency is not None:
            twin.upload_concurrency = _check_concurrency(upload_concurrency)
        if self._http is not None:
            _check_api_key(config)
            twin._attach(self._http.with_config(config, default_headers))
            twin._storage = self._storage_client().with_config(config)
        return twin

    @classmethod
    def on_premise(
        cls,
        workdir: str | os.PathLike[str] | None = None,
        *,
        max_file_size: int | None = None,
    ) -> Self:
        """Build a client that works with the on-premise library.

        Args:
            workdir: Folder under which executions write their outputs; None for
                a new temporary folder per execution.
            max_file_size: Largest accepted input file, in bytes.

        Returns:
            A client in on-premise mode.

        Raises:
            OnPremiseError: If `velquor_api_client` is not installed.

        Examples:
            >>> async with AsyncVelquorAI.on_premise(workdir="out") as client:
            ...     result = await client.generate("What is shown?", images=["a.png"])
        """
        try:
            from velquor_api_client import VelquorAPIClient
        except ImportError as exc:
            raise OnPremiseError("On-premise mode needs the velquor_api_client package") from exc
        return cls(
            config=Config(max_file_size=max_file_size),
            on_premise=VelquorAPIClient(workdir=workdir),
        )

    @property
    def is_on_premise(self) -> bool:
        """Whether the client works with the on-premise library."""
        return self.local_client is not None

    @property
    def uploads(self) -> UploadsResource:
        """The upload resource (remote mode only)."""
        self._check_remote("uploads")
        assert self._uploads is not None
        return self._uploads

    @property
    def generations(self) -> GenerationsResource:
        """The generation resource (remote mode only)."""
        self._check_remote("generations")
        assert self._generations is not None
        return self._generations

    async def aclose(self) -> None:
        """Close the connection pools. Calling it again does nothing.

        A caller's `http_client` stays open, and so do the pools this client
        shares with the client it was made from by `with_options`.
        """
        if self._closed:
            return
        self._closed = True
        storage, self._storage = self._storage, None
        try:
            if self._http is not None:
                await self._http.aclose()
        finally:
            if storage is not None:
                await storage.aclose()

    async def __aenter__(self) -> Self:
        """Return the client itself."""
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the client."""
        await self.aclose()

    def __repr__(self) -> str:
        """Show the mode and the service address."""
        return type(self).__name__ + self._describe()

    def _describe(self) -> str:
        if self.is_on_premise:
            return "(on_premise=True)"
        return f"(base_url={self.config.base_url!r})"

    # ------------------------------------------------------------------ generate

    async def generate(
        self,
        question: str,
        images: Iterable[FileInput] | None = None,
        videos: Iterable[FileInput] | None = None,
        *,
        timeout: float = 300,
        interval: float = 2,
        on_progress: ProgressCallback | None = None,
        idempotency_key: str | None = None,
    ) -> GenerationResult:
        """Generate a blueprint that answers a question about images and videos.

        Remote mode: every file is checked first (nothing is sent if one is
        missing, unreadable or too large); then the generation record is created,
        the files are uploaded to their presigned URLs (`upload_concurrency` at a
        time), the generation is started and its result polled with growing
        pauses. On-premise mode hands the question and the file paths to the
        local library.

        Requests that fail for a passing reason are retried (see
        `config.max_retries`). Once the record exists, every exception that
        leaves this method carries its identifier as `generation_id`; after a
        failure while waiting, `wait_for_result(error.generation_id)` picks the
        generation up again.

        Args:
            question: The question to answer (non-blank text).
            images: Image files: paths, or binary file objects (remote mode only).
            videos: Video files, in the same forms.
            timeout: Longest wait for the result, in seconds, counted from the
                start of polling (on-premise: of the whole generation). The wait
                ends within this time, a pause between checks included.
            interval: First pause between status checks, in whole seconds (>= 1;
                a fraction is dropped). Each pause is the one before times 1.5,
                cut to whole seconds, up to `config.max_poll_interval`: 2, 3, 4,
                6, 9, 13, ... from the default of 2. An interval of 1 stays 1
                (1.5 cuts back to 1).
            on_progress: Called with a `ProgressEvent` for each step; a plain
                function (not `async`), called on the event loop's thread. An
                exception it raises stops the generation.
            idempotency_key: Makes the call safe to repeat (remote mode): a
                second call with the same key and question gets the same
                generation instead of creating another, and its start is not
                sent twice. Keys of the later requests are derived from it.
                Visible ASCII, at most 200 characters. Default: a new key per
                request.

        Returns:
            The completed `GenerationResult`; its `blueprint` holds the blueprint.

        Raises:
            ValidationError: If an argument or an input file is refused.
            AuthenticationError: If the service refuses the API key (and the other
                `APIError` subclasses for the other error answers).
            UploadError: If object storage refuses an upload.
            APIConnectionError: If the service or the storage cannot be reached.
            GenerationFailedError: If the service reports the generation failed.
            GenerationTimeoutError: If the result is not there within `timeout`.
            OnPremiseError: If the on-premise library fails.
            VelquorAIError: If the client is closed.
        """
        text = _check_question(question)
        image_list = _file_list(images, "images")
        video_list = _file_list(videos, "videos")
        wait = _check_seconds("timeout", timeout, minimum=0.0)
        first_interval = _check_seconds("interval", interval, minimum=1.0)
        _check_callback(on_progress)
        key = _check_idempotency_key(idempotency_key)
        self._check_open()
        if self.local_client is not None:
            return await self._generate_on_premise(text, image_list, video_list, wait, on_progress)
        inputs = self._prepare_inputs(image_list, video_list)
        generations = self.generations
        uploads = self.uploads

        with _idempotency(key):
            record = await generations.create(text)
        generation_id = record.generation_id
        with _naming(generation_id):
            _emit(on_progress, ProgressEvent("created", generation_id))
            if inputs:
                names = [item.filename for item in inputs]
                with _idempotency(key, "upload"):
                    answer = await generations.get_upload_urls(generation_id, names)
                targets = _match_upload_urls(answer, names)
                await self._upload_all(uploads, generation_id, inputs, targets, on_progress)
            with _idempotency(key, "start"):
                started = await generations.start(generation_id)
            _emit(
                on_progress,
                ProgressEvent("started", generation_id, status=_status_text(started)),
            )
            return await self._wait_for_result(generation_id, wait, first_interval, on_progress)

    async def wait_for_result(
        self,
        generation_id: str,
        *,
        timeout: float = 300,
        interval: float = 2,
        on_progress: ProgressCallback | None = None,
    ) -> GenerationResult:
        """Wait for a generation that exists on the service and return its result.

        The last stage of `generate`, on its own: the same status checks with
        the same growing pauses, the same progress events and errors. Use it to
        pick up a generation whose wait failed, with the `generation_id` of the
        error:

            try:
                result = await client.generate(question, images=files)
            except VelquorAIError as error:
                if error.generation_id is None:
                    raise
                result = await client.wait_for_result(error.generation_id)

        Args:
            generation_id: Identifier of the generation.
            timeout: Longest wait, in seconds; the wait ends within it.
            interval: First pause between status checks, in whole seconds (>= 1),
                growing as in `generate`.
            on_progress: Called with a "status" `ProgressEvent` per check.

        Returns:
            The completed `GenerationResult`.

        Raises:
            ValidationError: If an argument is refused.
            NotFoundError: If the service knows no such generation (and the other
                `APIError` subclasses for the other error answers).
            APIConnectionError: If the service cannot be reached.
            GenerationFailedError: If the service reports the generation failed.
            GenerationTimeoutError: If the result is not there within `timeout`.
            VelquorAIError: In on-premise mode, or if the client is closed.
        """
        if not isinstance(generation_id, str):
            raise ValidationError(
                f"generation_id must be a string, not {type(generation_id).__name__}",
                field="generation_id",
            )
        wait = _check_seconds("timeout", timeout, minimum=0.0)
        first_interval = _check_seconds("interval", interval, minimum=1.0)
        _check_callback(on_progress)
        self._check_open()
        if self.local_client is not None:
            raise VelquorAIError(
                "wait_for_result() needs a client of the service; on-premise generations finish inside generate()"
            )
        from .util.validators import validate_generation_id

        validate_generation_id(generation_id)
        with _naming(generation_id):
            return await self._wait_for_result(generation_id, wait, first_interval, on_progress)

    def generate_many(
        self,
        jobs: Iterable[Job | Mapping[str, Any]] | AsyncIterable[Job | Mapping[str, Any]],
        *,
        concurrency: int = DEFAULT_CONCURRENCY,
        timeout: float = 300,
        interval: float = 2,
        on_progress: BatchProgressCallback | None = None,
    ) -> GenerationBatch[Job | Mapping[str, Any], JobOutcome]:
        """Run many generations, `concurrency` at a time, and yield each outcome
        as soon as its job ends.

        `jobs` is read lazily, one job each time a slot frees up, so it can be a
        generator over a file of any length. A job that fails becomes an outcome
        carrying its exception (with `generation_id` once the generation
        exists); the other jobs go on. Closing the iteration (leaving
        `async with`, `aclose()`, cancelling the iterating task) cancels the
        generations in flight.

        Args:
            jobs: `velquor_ai.batch.Job` records, or mappings with the same
                fields ("question", "images", "videos", "key",
                "idempotency_key"), as an iterable or an async iterable.
            concurrency: Most generations in flight at once (>= 1).
            timeout: Each job's `generate` timeout, in seconds.
            interval: Each job's first pause between status checks, in seconds.
            on_progress: Called as `on_progress(key, event)` with each job's
                `ProgressEvent`s; a plain function, on the event loop's thread.

        Returns:
            An async iterator of `velquor_ai.batch.JobOutcome`, in the order the
            jobs end; also an async context manager that closes it.

        Raises:
            ValidationError: If `concurrency`, `jobs` or `on_progress` is refused
                (a bad job itself becomes a failed outcome).
            VelquorAIError: If the client is closed.

        Examples:
            >>> jobs = [Job("What is shown?", images=[p], key=p) for p in paths]
            >>> async with client.generate_many(jobs, concurrency=32) as outcomes:
            ...     async for outcome in outcomes:
            ...         print(outcome.key, outcome.ok, outcome.generation_id)
        """
        from .batch import generate_many

        self._check_open()
        return generate_many(
            self,
            jobs,
            concurrency=concurrency,
            timeout=timeout,
            interval=interval,
            on_progress=on_progress,
        )

    async def _wait_for_result(
        self,
        generation_id: str,
        timeout: float,
        interval: float,
        on_progress: ProgressCallback | None,
    ) -> GenerationResult:
        from .util.poller import StatusPoller

        generations = self.generations
        last: list[Any] = []

        def report(status: Any) -> None:
            last[:] = [status]
            _emit(
                on_progress,
                ProgressEvent("status", generation_id, status=_status_text(status)),
            )

        loop = asyncio.get_running_loop()
        started = loop.time()
        # The poller tests its deadline only before a check and sleeps whole
        # seconds past it; the wait is cut at the deadline here instead, in a
        # pause, a check or a retry of one.
        deadline = asyncio.timeout(timeout)
        try:
            async with deadline:
                result: GenerationResult = await StatusPoller(self.config).poll_until_complete(
                    lambda: generations.get_result(generation_id),
                    # Whole seconds, rounded up: the cut above comes first.
                    math.ceil(timeout),
                    int(interval),
                    report,
                )
        except RuntimeError as exc:
            # The poller's way of saying "the status was failed"; any other
            # RuntimeError (from a callback, say) is not ours to rename.
            if not last or _status_text(last[0]) != "failed":
                raise
            raise generation_failed(generation_id, getattr(last[0], "error", None)) from exc
        except (TimeoutError, builtins.TimeoutError) as exc:
            # The poller's own timeout, or the cut above; not the timeout of one
            # request (APITimeoutError) nor a TimeoutError of the callback.
            if type(exc) is not TimeoutError and not deadline.expired():
                raise
            waited = loop.time() - started
            seen = _status_text(last[0]) if last else "none"
            raise GenerationTimeoutError(
                f"Generation {generation_id} did not finish within {timeout:g}s "
                f"(waited {waited:.1f}s; last status: {seen})",
                generation_id=generation_id,
            ) from exc
        return result

    def _prepare_inputs(self, images: list[FileInput], videos: list[FileInput]) -> list[_Input]:
        """Check every input file before anything is sent."""
        from .util.tamsel import FileHandler

        handler = FileHandler(self.config)
        inputs: list[_Input] = []
        for kind, files in (("image", images), ("video", videos)):
            for file in files:
                try:
                    inputs.append(_prepare_input(handler, file, kind, self.config.max_file_size))
                except OSError as exc:
                    raise ValidationError(
                        f"Cannot use {kind} file {file!r}: {exc.strerror or exc}",
                        field="file",
                    ) from exc
        return inputs

    def _storage_client(self) -> StorageClient:
        """The connection pool for uploads, made at the first upload."""
        # A generate begun before aclose() must not open a pool nobody closes.
        self._check_open()
        if self._storage is None:
            from ._storage import StorageClient

            self._storage = StorageClient(self.config)
        return self._storage

    async def _upload_all(
        self,
        uploads: UploadsResource,
        generation_id: str,
        inputs: list[_Input],
        targets: list[dict[str, Any]],
        on_progress: ProgressCallback | None,
    ) -> None:
        """Stream every input file to its presigned URL, a few at a time.

        `uploads` is kept for callers of the earlier signature; the files go
        through the client's own storage pool.
        """

        storage = self._storage_client()
        limit = asyncio.Semaphore(self.upload_concurrency)
        total = len(inputs)
        bytes_total = sum(item.size for item in inputs)
        done = 0
        bytes_done = 0  # of files stored
        in_flight: dict[int, int] = {}  # bytes sent of files still going out
        sources = _sources(inputs)

        def event(kind: ProgressKind, item: _Input, sent: int) -> ProgressEvent:
            return ProgressEvent(
                kind,
                generation_id,
                filename=item.filename,
                done=done,
                total=total,
                size=item.size,
                sent=sent,
                bytes_done=bytes_done + sum(in_flight.values()),
                bytes_total=bytes_total,
            )

        async def upload(index: int, item: _Input, target: dict[str, Any]) -> None:
            nonlocal done, bytes_done

            def sent(count: int) -> None:
                # Called with 0 when a try begins, then after each chunk; the
                # last one is reported by the "upload" event once stored.
                in_flight[index] = count
                if 0 < count < item.size:
                    _emit(on_progress, event("uploading", item, count))

            async with limit:
                content_type = target.get("content_type")
                if not isinstance(content_type, str) or not content_type:
                    content_type = item.content_type
                await _put(
                    storage,
                    target["upload_url"],
                    sources[index],
                    content_type,
                    generation_id,
                    sent if on_progress is not None else None,
                )
            in_flight.pop(index, None)
            done += 1
            bytes_done += item.size
            _emit(on_progress, event("upload", item, item.size))

        _emit(
            on_progress,
            ProgressEvent("upload", generation_id, total=total, bytes_total=bytes_total),
        )
        failure: BaseException | None = None
        try:
            # A failing upload cancels the others; leaving the group waits for them.
            async with asyncio.TaskGroup() as group:
                for index, (item, target) in enumerate(zip(inputs, targets, strict=True)):
                    group.create_task(upload(index, item, target))
        except BaseExceptionGroup as group_error:
            failure = _first_leaf(group_error)
        if failure is not None:
            # Raised outside the handler, so the error keeps its own cause.
            raise failure

    # ---------------------------------------------------------------- on-premise

    async def execute(
        self,
        blueprint: BlueprintInput,
        input_files: Iterable[FileInput],
        *,
        timeout: float | None = None,
    ) -> ExecutionResult:
        """Execute a blueprint on input files (on-premise mode).

        Args:
            blueprint: The blueprint: its JSON text, its decoded object, or a
                path-like object naming a file that holds it.
            input_files: Paths of the input files; at least one.
            timeout: Longest wait in seconds, or None to wait as long as it takes.

        Returns:
            The `ExecutionResult`; `output_files` lists the reports written.

        Raises:
            ValidationError: If the blueprint or an input file is refused.
            OnPremiseError: If the library fails to read or write files.
            GenerationTimeoutError: If it takes longer than `timeout`.
            VelquorAIError: In remote mode, or if the client is closed.
        """
        files = _file_list(input_files, "input_files")
        wait = None if timeout is None else _check_seconds("timeout", timeout, 0.0)
        self._check_open()
        if self.local_client is None:
            raise VelquorAIError(
                "execute() needs on-premise mode: build the client with "
                f"{type(self).__name__}.on_premise() or "
                f"{type(self).__name__}(on_premise=...)"
            )
        from . import _vostrel
        from .util.helpers import normalize_blueprint

        # Checked before the files, so that a bad blueprint is reported first.
        normalize_blueprint(blueprint)
        if not files:
            raise ValidationError(
                "At least one input file is required for execution",
                field="input_files",
            )
        paths = self._local_paths(files, "input")
        try:
            async with asyncio.timeout(wait):
                return await _vostrel.execute_blueprint_vostrel(self.local_client, blueprint, paths)
        except builtins.TimeoutError as exc:  # from asyncio.timeout
            raise GenerationTimeoutError(f"On-premise execution did not finish within {wait:g}s") from exc
        except ValueError as exc:
            # The library's BlueprintError: the caller's blueprint was refused.
            raise ValidationError(str(exc), field="blueprint") from exc
        except OSError as exc:
            raise OnPremiseError(f"On-premise execution failed: {exc}") from exc

    async def _generate_on_premise(
        self,
        question: str,
        images: list[FileInput],
        videos: list[FileInput],
        timeout: float,
        on_progress: ProgressCallback | None,
    ) -> GenerationResult:
        from . import _vostrel

        local_client = self.local_client
        assert local_client is not None
        image_paths = self._local_paths(images, "image")
        video_paths = self._local_paths(videos, "video")
        try:
            async with asyncio.timeout(timeout):
                result = await _vostrel.generate_blueprint_vostrel(local_client, question, image_paths, video_paths)
        except builtins.TimeoutError as exc:  # from asyncio.timeout
            raise GenerationTimeoutError(f"On-premise generation did not finish within {timeout:g}s") from exc
        except (ValueError, OSError) as exc:
            raise OnPremiseError(f"On-premise generation failed: {exc}") from exc
        _emit(
            on_progress,
            ProgressEvent("status", result.generation_id, status=_status_text(result)),
        )
        return result

    def _local_paths(self, files: list[FileInput], kind: str) -> list[FileInput]:
        """Check on-premise inputs: existing regular files within the size limit."""
        from .util.tamsel import FileHandler

        handler = FileHandler(self.config)
        paths: list[FileInput] = []
        for file in files:
            path = _as_path(file)
            if path is None:
                raise ValidationError(
                    f"On-premise mode reads files from disk: give the {kind} file as a path, not {type(file).__name__}",
                    field="file",
                )
            try:
                info = handler.prepare_file(path, kind)
            except OSError as exc:
                raise ValidationError(
                    f"Cannot use {kind} file {path}: {exc.strerror or exc}",
                    field="file",
                ) from exc
            _check_regular_file(info["path"])
            paths.append(info["path"])
        return paths

    # ------------------------------------------------------------------- helpers

    def _check_open(self) -> None:
        if self._closed:
            raise VelquorAIError("The client is closed")

    def _check_remote(self, what: str) -> None:
        if self.local_client is not None:
            raise VelquorAIError(f"client.{what} is not available in on-premise mode")


def _check_api_key(config: Config) -> None:
    if config.api_key is None:
        raise ValidationError(
            f"No API key: pass api_key=... to the client or set the {ENV_API_KEY} environment variable",
            field="api_key",
        )


def _check_concurrency(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValidationError(
            f"upload_concurrency must be an integer of at least 1, got {value!r}",
            field="upload_concurrency",
        )
    return value


def _check_question(question: Any) -> str:
    if not isinstance(question, str):
        raise ValidationError(
            f"question must be a string, not {type(question).__name__}",
            field="question",
        )
    if not question.strip():
        raise ValidationError("question must not be blank", field="question")
    return question


def _file_list(files: Any, name: str) -> list[Any]:
    if files is None:
        return []
    if isinstance(files, (str, bytes, os.PathLike)) or not isinstance(files, Iterable):
        # A lone path would otherwise be taken letter by letter.
        raise ValidationError(
            f"{name} must be a list of files, not {type(files).__name__}",
            field=name,
        )
    return list(files)


def _check_seconds(name: str, value: Any, minimum: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValidationError(f"{name} must be a number of seconds", field=name)
    if not math.isfinite(value) or value <= 0 or value < minimum:
        bound = f"at least {minimum:g}" if minimum > 0 else "greater than 0"
        raise ValidationError(f"{name} must be {bound}, got {value!r}", field=name)
    return float(value)


def generation_failed(generation_id: str, error: Any) -> GenerationFailedError:
    """The error that stands for a generation the service reports as failed."""
    reason = "no reason given" if error is None else str(error)
    return GenerationFailedError(
        f"Generation {generation_id} failed: {reason}",
        generation_id=generation_id,
        error=error,
    )


def _check_idempotency_key(key: Any) -> str | None:
    if key is None:
        return None
    # Sent in a header, with a suffix for the later requests of a generation.
    if not isinstance(key, str) or not 1 <= len(key) <= 200 or not all("!" <= ch <= "~" for ch in key):
        raise ValidationError(
            "idempotency_key must be 1 to 200 visible ASCII characters",
            field="idempotency_key",
        )
    return key


def _idempotency(key: str | None, step: str | None = None) -> Any:
    """The key of one request of a generation, derived from the caller's key."""
    from ._http import idempotency_key

    if key is None or step is None:
        return idempotency_key(key)
    return idempotency_key(f"{key}:{step}")


@contextmanager
def _naming(generation_id: str) -> Iterator[None]:
    """Name the generation on every exception that leaves the block, unless it
    names one already (cancellation and interrupts are left alone)."""
    try:
        yield
    except Exception as error:
        if getattr(error, "generation_id", None) is None:
            try:
                error.generation_id = generation_id  # type: ignore[attr-defined]
            except (AttributeError, TypeError):  # pragma: no cover - slotted types
                pass
        raise


def _check_callback(on_progress: Any) -> None:
    if on_progress is None:
        return
    if not callable(on_progress):
        raise ValidationError("on_progress must be callable", field="on_progress")
    if inspect.iscoroutinefunction(on_progress):
        # It is called from the poller, which never awaits what it returns.
        raise ValidationError(
            "on_progress must be a plain function, not an async one",
            field="on_progress",
        )


def _emit(on_progress: ProgressCallback | None, event: ProgressEvent) -> None:
    if on_progress is not None:
        on_progress(event)


def _status_text(status: Any) -> str:
    value = getattr(status, "status", None)
    return str(value) if value is not None else "unknown"


def _as_path(file: Any) -> str | None:
    """The path string of a path-like input, or None for anything else."""
    if isinstance(file, str):
        return file
    if isinstance(file, os.PathLike):
        path = os.fspath(file)
        return path if isinstance(path, str) else None
    return None


def _check_regular_file(path: str) -> None:
    # The file handler lets directories and devices through; they would fail
    # only when read, after the generation had been created.
    if not os.path.isfile(path):
        raise ValidationError(f"Not a regular file: {path}", field="file")
    if not os.access(path, os.R_OK):
        raise ValidationError(f"File is not readable: {path}", field="file")


def _prepare_input(handler: Any, file: Any, kind: str, limit: int) -> _Input:
    path = _as_path(file)
    if path is not None:
        info = handler.prepare_file(Path(path), kind)
        _check_regular_file(info["path"])
        return _Input(info, info["filename"], info["content_type"], info["size"])
    if isinstance(file, os.PathLike):
        raise ValidationError(
            f"Unsupported file path type: {type(os.fspath(file)).__name__}",
            field="file",
        )
    if isinstance(file, io.TextIOBase):
        raise ValidationError(
            f"The {kind} file {getattr(file, 'name', '')!r} is open in text mode: "
            "open the file in binary mode ('rb')".replace(" '' ", " "),
            field="file",
        )
    info = handler.prepare_file(file, kind)
    # A file object's name is whatever it was opened with (often a full path,
    # sometimes a descriptor number); only the last component is sent.
    raw_name = info["filename"]
    name = os.path.basename(raw_name) if isinstance(raw_name, str) else ""
    name = name or "upload"
    content_type = mimetypes.guess_type(name)[0] or ("image/jpeg" if kind == "image" else "video/mp4")
    size = _measure(file, name)
    # The same limit as for a path: the size is what is uploaded.
    if size > limit:
        raise ValidationError(f"File too large (Any): {size} bytes (max: {limit})", field="file")
    return _Input(info, name, content_type, size)


def _measure(file: Any, name: str) -> int:
    """Bytes of a binary file object from offset 0, known before anything is sent."""
    from ._storage import measure_file_object

    try:
        return measure_file_object(file)
    except OSError:
        raise  # reported with the file's description by the caller
    except (TypeError, ValueError, AttributeError) as exc:
        raise ValidationError(f"Cannot read the file object for {name}: {exc}", field="file") from exc


def _sources(inputs: list[_Input]) -> list[FileSource]:
    """What each upload reads; one lock for a file object given more than once."""
    from ._storage import FileSource

    sources: list[FileSource] = []
    shared: dict[int, FileSource] = {}
    for item in inputs:
        if "path" in item.info:
            sources.append(FileSource.for_path(item.info["path"], item.size, item.filename))
            continue
        file_obj = item.info["file_obj"]
        source = FileSource.for_file_object(file_obj, item.size, item.filename)
        first = shared.setdefault(id(file_obj), source)
        source.lock = first.lock
        sources.append(source)
    return sources


def _match_upload_urls(answer: Any, filenames: list[str]) -> list[dict[str, Any]]:
    """Pair each file with an upload target by name, in order for repeated names."""
    entries = answer.get("upload_urls") if isinstance(answer, dict) else None
    if not isinstance(entries, list):
        raise APIError("The service's upload URL answer has no 'upload_urls' list")
    by_name: dict[str, deque[dict[str, Any]]] = {}
    for entry in entries:
        if (
            isinstance(entry, dict)
            and isinstance(entry.get("filename"), str)
            and isinstance(entry.get("upload_url"), str)
        ):
            by_name.setdefault(entry["filename"], deque()).append(entry)
    matched: list[dict[str, Any]] = []
    for name in filenames:
        queue = by_name.get(name)
        if not queue:
            raise APIError(f"The service returned no upload URL for {name!r}")
        matched.append(queue.popleft())
    return matched


async def _put(
    storage: StorageClient,
    url: str,
    source: FileSource,
    content_type: str,
    generation_id: str,
    on_sent: Callable[[int], object] | None,
) -> None:
    """Stream one file to storage (errors name the file and the generation)."""
    response = await storage.upload(url, source, content_type, generation_id=generation_id, on_sent=on_sent)
    await response.aclose()


def _first_leaf(group: BaseExceptionGroup[Any]) -> BaseException:
    first: BaseException = group.exceptions[0]
    while isinstance(first, BaseExceptionGroup):
        first = first.exceptions[0]
    return first


# ------------------------------------------------------------ the sync client


class _LoopThread:
    """An event loop running in a thread of its own until `close`.

    `run` hands a coroutine to the loop and blocks until it is done, from any
    number of threads at once. Interrupted while it waits (Ctrl-C), it cancels
    the coroutine's task, waits until the task has finished, and re-raises.
    """

    def __init__(self) -> None:
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._serve, name="velquor-ai-loop", daemon=True)
        self._lock = threading.Lock()
        self._closed = False
        self._thread.start()

    def _serve(self) -> None:
        try:
            self._loop.run_forever()
        finally:
            self._loop.close()

    def run(self, coroutine: Coroutine[Any, Any, _R]) -> _R:
        if threading.current_thread() is self._thread:
            coroutine.close()
            # Blocking here would wait for the very loop that is blocked.
            raise VelquorAIError("A VelquorAI client cannot be called from its own callbacks")
        outcome: concurrent.futures.Future[_R] = concurrent.futures.Future()
        tasks: list[asyncio.Task[_R]] = []

        def start() -> None:
            task = self._loop.create_task(coroutine)
            tasks.append(task)
            task.add_done_callback(functools.partial(_settle, outcome))

        with self._lock:
            if self._closed:
                coroutine.close()
                raise VelquorAIError("The client is closed")
            self._loop.call_soon_threadsafe(start)
        try:
            return outcome.result()
        except BaseException:
            if not outcome.done():
                # Interrupted while waiting (KeyboardInterrupt from Ctrl-C):
                # the work stops too, and is over when the interrupt goes on.
                self._loop.call_soon_threadsafe(lambda: tasks[0].cancel())
                _wait_through_interrupts(outcome)
            raise

    def close(self, last: Coroutine[Any, Any, None]) -> None:
        """Run `last`, cancel what still runs, stop the loop and its thread."""
        with self._lock:
            if self._closed:
                last.close()
                return
            self._closed = True
        shutdown = self._shutdown(last)
        if threading.current_thread() is self._thread:
            # From the loop itself (a finaliser run there): no waiting.
            self._loop.create_task(shutdown).add_done_callback(lambda _: self._loop.stop())
            return
        try:
            asyncio.run_coroutine_threadsafe(shutdown, self._loop).result()
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join()

    async def _shutdown(self, last: Coroutine[Any, Any, None]) -> None:
        try:
            await last
        finally:
            # Calls that other threads still wait for end as "closed during
            # the call".
            others = asyncio.all_tasks() - {asyncio.current_task()}
            for task in others:
                task.cancel()
            await asyncio.gather(*others, return_exceptions=True)
            await self._loop.shutdown_asyncgens()
            await self._loop.shutdown_default_executor()


def _settle(outcome: concurrent.futures.Future[_R], task: asyncio.Task[_R]) -> None:
    """Pass a finished task's result or error to the thread that waits for it."""
    if task.cancelled():
        outcome.set_exception(VelquorAIError("The client was closed during the call"))
    elif (error := task.exception()) is not None:
        outcome.set_exception(error)
    else:
        outcome.set_result(task.result())


def _wait_through_interrupts(outcome: concurrent.futures.Future[Any]) -> None:
    while True:
        try:
            concurrent.futures.wait([outcome])
            return
        except KeyboardInterrupt:
            continue  # a second Ctrl-C: the cancelled work is nearly done


def _stop(runner: _LoopThread, client: AsyncVelquorAI) -> None:
    runner.close(_close_all(client))


async def _close_all(client: AsyncVelquorAI) -> None:
    await client.aclose()
    if client._http is not None:
        # The connections of a caller's http_client belong to this loop: no
        # other can use or close them once it stops.
        await client._http.close_given()


def _same_arguments(
    init: Callable[Concatenate[AsyncVelquorAI, _P], None],
) -> Callable[[Callable[[VelquorAI], None]], Callable[Concatenate[VelquorAI, _P], None]]:
    """Give the decorated `VelquorAI.__init__` the async client's parameters."""

    def decorate(
        stub: Callable[[VelquorAI], None],
    ) -> Callable[Concatenate[VelquorAI, _P], None]:
        @functools.wraps(init)
        def __init__(self: VelquorAI, /, *args: _P.args, **kwargs: _P.kwargs) -> None:
            client = AsyncVelquorAI.__new__(AsyncVelquorAI)
            init(client, *args, **kwargs)
            self._adopt(client, None)

        return _present(__init__, stub, init)

    return decorate


def _blocking(
    method: Callable[Concatenate[AsyncVelquorAI, _P], Coroutine[Any, Any, _R]],
) -> Callable[[Callable[[VelquorAI], None]], Callable[Concatenate[VelquorAI, _P], _R]]:
    """Make the decorated method the blocking form of an async client method."""

    def decorate(stub: Callable[[VelquorAI], None]) -> Callable[Concatenate[VelquorAI, _P], _R]:
        @functools.wraps(method)
        def call(self: VelquorAI, /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
            return self._runner.run(method(self._client, *args, **kwargs))

        return _present(call, stub, method)

    return decorate


def _sharing(
    method: Callable[Concatenate[AsyncVelquorAI, _P], AsyncVelquorAI],
) -> Callable[[Callable[[VelquorAI], None]], Callable[Concatenate[VelquorAI, _P], VelquorAI]]:
    """Make the decorated method wrap the async client that `method` derives."""

    def decorate(
        stub: Callable[[VelquorAI], None],
    ) -> Callable[Concatenate[VelquorAI, _P], VelquorAI]:
        @functools.wraps(method)
        def call(self: VelquorAI, /, *args: _P.args, **kwargs: _P.kwargs) -> VelquorAI:
            twin = type(self).__new__(type(self))
            twin._adopt(method(self._client, *args, **kwargs), self._runner)
            return twin

        return _present(call, stub, method)

    return decorate


def _wrapping(
    factory: Callable[_P, AsyncVelquorAI],
) -> Callable[
    [Callable[[type[VelquorAI]], None]],
    Callable[Concatenate[type[VelquorAI], _P], VelquorAI],
]:
    """Make the decorated class method wrap the async client `factory` builds."""

    def decorate(
        stub: Callable[[type[VelquorAI]], None],
    ) -> Callable[Concatenate[type[VelquorAI], _P], VelquorAI]:
        @functools.wraps(factory)
        def build(cls: type[VelquorAI], /, *args: _P.args, **kwargs: _P.kwargs) -> VelquorAI:
            twin = cls.__new__(cls)
            twin._adopt(factory(*args, **kwargs), None)
            return twin

        # The class method's own function, so that binding drops `cls` only.
        build.__wrapped__ = getattr(factory, "__func__", factory)
        return _present(build, stub, factory)

    return decorate


def _present(twin: _F, stub: Callable[..., Any], original: Callable[..., Any]) -> _F:
    """Name `twin` as the stub; document it with the stub's text (examples of
    its own) and the original's Args, Returns and Raises sections."""
    twin.__name__ = stub.__name__
    twin.__qualname__ = stub.__qualname__
    own = inspect.cleandoc(stub.__doc__ or "")
    theirs = inspect.cleandoc(original.__doc__ or "")
    starts = [i for i in map(theirs.find, _SHARED_SECTIONS) if i >= 0]
    if starts:
        shared = theirs[min(starts) :].partition("\nExamples:")[0].strip()
        head, examples, tail = own.partition("\nExamples:")
        own = f"{head.rstrip()}\n\n{shared}\n" + (f"\nExamples:{tail}" if examples else "")
    twin.__doc__ = own
    return twin


_SHARED_SECTIONS = ("\nArgs:", "\nReturns:", "\nRaises:")


class VelquorAI:
    """Client of the blueprint service for code that does not use asyncio.

    The blocking twin of `AsyncVelquorAI`: same constructor, same methods
    without `await`. It runs an `AsyncVelquorAI` on an event loop in a thread
    of its own, kept until `close`, so connections are reused from one call to
    the next. One client may be used from several threads at once. Ctrl-C
    during a call stops the call's work before `KeyboardInterrupt` goes on.
    `on_progress` callbacks run on the client's thread.

    Attributes:
        config: The configuration in use.
        upload_concurrency: How many input files are uploaded at the same time.
        local_client: The on-premise library client, or None in remote mode.

    Examples:
        >>> with VelquorAI(api_key="sk-...", base_url=URL) as client:
        ...     result = client.generate("What is shown?", images=["cat.png"])
        ...     print(result.blueprint)

        On this machine, with the on-premise library:

        >>> with VelquorAI.on_premise(workdir="out") as client:
        ...     generated = client.generate("What is shown?", images=["cat.png"])
        ...     executed = client.execute(generated.blueprint, ["cat.png"])
    """

    _client: AsyncVelquorAI
    _runner: _LoopThread
    _finalizer: weakref.finalize[[_LoopThread, AsyncVelquorAI], VelquorAI] | None

    @_same_arguments(AsyncVelquorAI.__init__)
    def __init__(self) -> None:
        """Build the client and start its event loop thread.

        Takes the arguments of `AsyncVelquorAI`, with the same defaults.

        Examples:
            >>> client = VelquorAI(api_key="sk-...", timeout=60, max_retries=4)
        """

    def _adopt(self, client: AsyncVelquorAI, runner: _LoopThread | None) -> None:
        # Built only once the async client exists: a refused setting leaves no
        # thread behind.
        self._client = client
        if runner is None:
            self._runner = _LoopThread()
            # Closes the loop thread of a client that is dropped unclosed.
            self._finalizer = weakref.finalize(self, _stop, self._runner, client)
        else:
            self._runner = runner
            self._finalizer = None

    @classmethod
    @_wrapping(AsyncVelquorAI.on_premise)
    def on_premise(cls) -> None:
        """Build a client that works with the on-premise library.

        Arguments and errors are those of `AsyncVelquorAI.on_premise`.

        Examples:
            >>> with VelquorAI.on_premise(workdir="out") as client:
            ...     result = client.generate("What is shown?", images=["a.png"])
        """

    @property
    def config(self) -> Config:
        """The configuration in use."""
        return self._client.config

    @property
    def upload_concurrency(self) -> int:
        """How many input files are uploaded at the same time."""
        return self._client.upload_concurrency

    @property
    def local_client(self) -> VelquorAPIClient | None:
        """The on-premise library client, or None in remote mode."""
        return self._client.local_client

    @property
    def is_on_premise(self) -> bool:
        """Whether the client works with the on-premise library."""
        return self._client.is_on_premise

    @_blocking(AsyncVelquorAI.generate)
    def generate(self) -> None:
        """Generate a blueprint that answers a question about images and videos.

        Blocks until the result is there. Arguments, result and errors are those
        of `AsyncVelquorAI.generate`.

        Examples:
            >>> result = client.generate("What is shown?", images=["cat.png"])
            >>> print(result.blueprint)
        """

    @_blocking(AsyncVelquorAI.wait_for_result)
    def wait_for_result(self) -> None:
        """Wait for the result of a generation started earlier.

        Blocks until the result is there. Arguments, result and errors are those
        of `AsyncVelquorAI.wait_for_result`.

        Examples:
            >>> try:
            ...     result = client.generate("What is shown?", timeout=60)
            ... except GenerationTimeoutError as error:
            ...     result = client.wait_for_result(error.generation_id, timeout=600)
        """

    def generate_many(
        self,
        jobs: Iterable[Job | Mapping[str, Any]],
        *,
        concurrency: int = DEFAULT_CONCURRENCY,
        timeout: float = 300,
        interval: float = 2,
        on_progress: BatchProgressCallback | None = None,
    ) -> Iterator[JobOutcome]:
        """Run many generations, `concurrency` at a time, and yield each outcome
        as soon as its job ends.

        The blocking form of `AsyncVelquorAI.generate_many`, with the same
        arguments: an ordinary iterator. `jobs` is read on the client's thread,
        one job each time a slot frees up; `on_progress` runs there too. Leaving
        the loop (`break`, an exception, Ctrl-C) cancels the generations in
        flight before it goes on.

        Raises:
            ValidationError: If `concurrency`, `jobs` or `on_progress` is refused.
            VelquorAIError: If the client is closed.

        Examples:
            >>> jobs = [Job("What is shown?", images=[p], key=p) for p in paths]
            >>> for outcome in client.generate_many(jobs, concurrency=32):
            ...     print(outcome.key, outcome.ok, outcome.generation_id)
        """
        from .batch import iterate_blocking

        batch = self._client.generate_many(
            jobs,
            concurrency=concurrency,
            timeout=timeout,
            interval=interval,
            on_progress=on_progress,
        )
        return iterate_blocking(self._runner.run, batch)

    @_blocking(AsyncVelquorAI.execute)
    def execute(self) -> None:
        """Execute a blueprint on input files (on-premise mode).

        Blocks until it is done. Arguments, result and errors are those of
        `AsyncVelquorAI.execute`.

        Examples:
            >>> executed = client.execute(blueprint_text, ["cat.png"])
            >>> executed.output_files
        """

    @_sharing(AsyncVelquorAI.with_options)
    def with_options(self) -> None:
        """Return a client with some settings changed, over the same connections.

        The new client shares this one's thread and connection pool; closing it
        leaves them running, closing this client stops them for both. Arguments
        are those of `AsyncVelquorAI.with_options`.

        Examples:
            >>> quick = client.with_options(timeout=5)
        """

    def close(self) -> None:
        """Close the connection pool and stop the client's thread.

        A given `http_client` is closed too: its connections belong to that
        thread. Calls still running in other threads end with
        `VelquorAIError`. Calling it again does nothing.
        """
        if self._finalizer is not None:
            self._finalizer()
        else:
            # A client from with_options: the thread belongs to its origin.
            try:
                self._runner.run(self._client.aclose())
            except VelquorAIError:
                pass  # the origin is closed already

    def __enter__(self) -> Self:
        """Return the client itself."""
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the client."""
        self.close()

    def __repr__(self) -> str:
        """Show the mode and the service address."""
        return type(self).__name__ + self._client._describe()
