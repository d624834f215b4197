"""The async client, `AsyncVelquorAI`: one connection pool, the service
resources, and the whole road of a generation (files checked, record created,
inputs uploaded, generation started, result awaited) in one call.

The steps of that road live beside it: the argument checks in `_checks`, the
input files and their uploads in `_upload` (over `_storage`), the requests to
the service in `_http` and the compiled resources, the progress events in
`_progress`, many generations at once in `batch`. The blocking client runs
this one on a thread of its own (`_sync`).

The compiled core modules are imported when a client is built, not when this
module is imported, so `import velquor_ai` stays light.
"""

from __future__ import annotations

import asyncio
import builtins
import copy
import logging
import math
import os
from collections.abc import AsyncIterable, Awaitable, Iterable, Iterator, Mapping
from contextlib import AbstractContextManager, contextmanager
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self, TypeVar

import httpx

from ._checks import (
    RequestOptions,
    check_api_key,
    check_callback,
    check_concurrency,
    check_event_loop,
    check_idempotency_key,
    check_question,
    check_request_options,
    check_seconds,
    file_list,
)
from ._http import (
    HTTPClient,
    idempotency_key,
    last_request_id,
    request_options,
    unexpected_answer,
)
from ._logging import redact_url
from ._progress import ProgressCallback, ProgressEvent, emit, status_text
from ._retry import about_generation
from ._storage import StorageClient
from ._upload import CheckedInput, local_paths, match_upload_urls, prepare_inputs, upload_all
from .batch import (
    DEFAULT_CONCURRENCY,
    BatchProgressCallback,
    GenerationBatch,
    Job,
    JobOutcome,
    generate_many,
)
from .config import Config
from .exceptions import (
    APIError,
    GenerationFailedError,
    GenerationTimeoutError,
    OnPremiseError,
    TimeoutError,
    UploadError,
    ValidationError,
    VelquorAIError,
)

if TYPE_CHECKING:
    from velquor_api_client import VelquorAPIClient

    from .models.blueprint import GenerationResult, GenerationStatus
    from .models.execution import ExecutionResult
    from .resources.generations import GenerationsResource
    from .resources.uploads import UploadsResource
    from .types import BlueprintInput, FileInput, QueryValue

__all__ = [
    "DEFAULT_UPLOAD_CONCURRENCY",
    "AsyncVelquorAI",
    "HTTPBackend",
    "generation_failed",
    "read_model",
    "with_request_id",
]

HTTPBackend = Literal["httpx", "aiohttp"]

DEFAULT_UPLOAD_CONCURRENCY = 4

logger = logging.getLogger(__name__)
_M = TypeVar("_M")


class AsyncVelquorAI:
    """Async client of the blueprint service, or of the on-premise library.

    Remote mode (the default) talks to the service over HTTP; on-premise mode
    (`AsyncVelquorAI.on_premise(...)` or `AsyncVelquorAI(on_premise=...)`)
    generates and executes blueprints with `velquor_api_client` on this machine.
    The client may be used from several event loops one after the other (each
    `asyncio.run`, say): it opens new connections for a new loop, and in a
    process forked after it was used, for that process. It needs asyncio's
    event loop (uvloop included); from trio and other libraries use
    `VelquorAI`.

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
    # The class its messages name; `VelquorAI` sets its own name here.
    _facade: str | None = None

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
        storage_http_client: httpx.AsyncClient | None = None,
        http_backend: HTTPBackend = "httpx",
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
                mounts, limits, event hooks) to send the service's requests
                and the uploads to storage with. Uploads go out bare, with
                none of its default headers, cookies or auth, and never with
                the API key. You keep it: closing this client leaves it open.
                (`VelquorAI` uses it on its own thread, whose connections no
                other thread can use or close, and so closes it when it closes.)
            config: A complete configuration, instead of the six settings
                `api_key` to `max_retries`.
            on_premise: A `velquor_api_client.VelquorAPIClient`; when given, the
                client works on-premise and opens no connection to the service.
            upload_concurrency: Most input files uploaded at the same time (>= 1).
            storage_http_client: An `httpx.AsyncClient` for the uploads to
                storage alone (another proxy, other certificates), kept by
                you as `http_client` is; by default uploads go through
                `http_client`, or a pool of the client's own.
            http_backend: What the client's own pools send with: "httpx"
                (the default) or "aiohttp" (the `aiohttp` extra: much less
                CPU per request with many requests in flight; see
                `velquor_ai.AiohttpClient`). A given `http_client` or
                `storage_http_client` is used as it is.

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
        self.upload_concurrency = check_concurrency(upload_concurrency, "upload_concurrency")
        self.local_client = on_premise
        self._closed = False
        self._http: HTTPClient | None = None
        self._uploads: UploadsResource | None = None
        self._generations: GenerationsResource | None = None
        self._storage: StorageClient | None = None
        if on_premise is None:
            check_api_key(config)
            if storage_http_client is not None and not isinstance(storage_http_client, httpx.AsyncClient):
                raise ValidationError(
                    f"storage_http_client must be an httpx.AsyncClient, not {type(storage_http_client).__name__}",
                    field="storage_http_client",
                )
            client_class = _client_class(http_backend)
            self._attach(
                HTTPClient(config, http_client=http_client, default_headers=default_headers, client_class=client_class)
            )
            uploads_through = storage_http_client if storage_http_client is not None else http_client
            self._storage = StorageClient(config, http_client=uploads_through, client_class=client_class)

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
            twin.upload_concurrency = check_concurrency(upload_concurrency, "upload_concurrency")
        if self._http is not None:
            check_api_key(config)
            twin._attach(self._http.with_config(config, default_headers))
            assert self._storage is not None
            twin._storage = self._storage.with_config(config)
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

        A caller's `http_client` and `storage_http_client` stay open, and so
        do the pools this client
        shares with the client it was made from by `with_options`.
        """
        if self._closed:
            return
        check_event_loop()
        self._closed = True
        storage = self._storage
        try:
            if self._http is not None:
                await self._http.aclose()
        finally:
            if storage is not None:
                await storage.aclose()

    async def __aenter__(self) -> Self:
        """Return the client itself.

        Raises:
            VelquorAIError: If the running event loop is not asyncio's.
        """
        check_event_loop()
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
        # User information in the address (a password) is shown as the logs show it.
        return f"(base_url={redact_url(self.config.base_url)!r})"

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
        extra_headers: Mapping[str, str] | None = None,
        extra_query: Mapping[str, QueryValue] | None = None,
        extra_body: Mapping[str, Any] | None = None,
        request_timeout: float | httpx.Timeout | None = None,
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
            images: Image files: paths (`str`, `pathlib.Path`), and in remote
                mode also binary file objects and `(filename, bytes)` or
                `(filename, binary file object)` pairs, whose filename names
                the upload and gives its content type (see
                `velquor_ai.types.FileInput`). A URL is refused: files are
                never fetched.
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
            extra_headers: Headers added to every request of this call to the
                service, over the client's `default_headers`; never sent to
                storage. `Authorization` and `Idempotency-Key` are refused
                (use `with_options(api_key=...)` and `idempotency_key`).
            extra_query: Query parameters added to every request of this call
                to the service.
            extra_body: Fields merged into the JSON body of every request of
                this call that has one (the create and upload-URL requests;
                its fields win over ours). The start request and the status
                checks have no body and get none.
            request_timeout: Timeout of each HTTP request of this call,
                uploads included: seconds or an `httpx.Timeout`, in place of
                the client's `timeout` setting (None keeps it). `timeout`
                above is the wait for the result, not this.

        Returns:
            The completed `GenerationResult`; its `blueprint` holds the
            blueprint, and its attribute `request_id` the `x-request-id` of
            the answer it was read from (None on-premise, or when the service
            sent none). `request_id` is not a field of the model:
            `model_dump()` leaves it out, and type checkers, which know the
            fields only, read it with `getattr(result, "request_id", None)`.

        Raises:
            ValidationError: If an argument or an input file is refused.
            AuthenticationError: If the service refuses the API key (and the other
                `APIError` subclasses for the other error answers).
            UploadError: If object storage refuses an upload.
            APIConnectionError: If the service or the storage cannot be reached.
            GenerationFailedError: If the service reports the generation failed.
            GenerationTimeoutError: If the result is not there within `timeout`.
            OnPremiseError: If the on-premise library fails.
            VelquorAIError: If the client is closed, or the running event
                loop is not asyncio's (use `VelquorAI` from other loops).
        """
        check_event_loop()
        text = check_question(question)
        image_list = file_list(images, "images")
        video_list = file_list(videos, "videos")
        wait = check_seconds("timeout", timeout, minimum=0.0)
        first_interval = check_seconds("interval", interval, minimum=1.0)
        check_callback(on_progress)
        key = check_idempotency_key(idempotency_key)
        options = check_request_options(extra_headers, extra_query, extra_body, request_timeout)
        self._check_open()
        if self.local_client is not None:
            _refuse_options_on_premise(options, extra_headers, extra_query, extra_body)
            return await self._generate_on_premise(text, image_list, video_list, wait, on_progress)
        inputs = prepare_inputs(self.config, image_list, video_list)
        with request_options(options):
            return await self._generate(text, inputs, key, wait, first_interval, on_progress)

    async def _generate(
        self,
        text: str,
        inputs: list[CheckedInput],
        key: str | None,
        wait: float,
        first_interval: float,
        on_progress: ProgressCallback | None,
    ) -> GenerationResult:
        generations = self.generations

        with _idempotency(key):
            record = await read_model(generations.create(text))
        generation_id = record.generation_id
        with _naming(generation_id):
            logger.debug("Generation %s created", generation_id)
            emit(on_progress, ProgressEvent("created", generation_id, request_id=last_request_id()))
            moved_on: GenerationResult | GenerationStatus | None = None
            if inputs:
                moved_on = await self._upload(generation_id, inputs, key, on_progress)
            if moved_on is None:
                with _idempotency(key, "start"):
                    moved_on = await read_model(generations.start(generation_id))
                logger.debug("Generation %s started", generation_id)
            emit(
                on_progress,
                ProgressEvent("started", generation_id, status=status_text(moved_on), request_id=last_request_id()),
            )
            return await self._wait_for_result(generation_id, wait, first_interval, on_progress)

    async def _upload(
        self,
        generation_id: str,
        inputs: list[CheckedInput],
        key: str | None,
        on_progress: ProgressCallback | None,
    ) -> GenerationResult | None:
        """Ask for upload URLs and upload the inputs to them.

        The URLs are asked for under the call's idempotency key, so a repeated
        call (a retry, a resumed batch) gets those of the first call back,
        which may have expired since. Storage refusing one as expired makes the
        generation's state decide: still "created", new URLs are asked for once
        (under a key of their own) and the inputs uploaded again; any later
        state means the first call got further, and its record is returned, to
        be awaited without another start.
        """
        generations = self.generations
        names = [item.filename for item in inputs]
        with _idempotency(key, "upload"):
            answer = await generations.get_upload_urls(generation_id, names)
        try:
            await self._upload_to(answer, generation_id, inputs, on_progress)
        except UploadError as exc:
            if not _expired(exc):
                raise
            current = await read_model(generations.get_result(generation_id))
            if status_text(current) != "created":
                return current
            with idempotency_key(None):
                answer = await generations.get_upload_urls(generation_id, names)
            await self._upload_to(answer, generation_id, inputs, on_progress)
        return None

    async def _upload_to(
        self,
        answer: Any,
        generation_id: str,
        inputs: list[CheckedInput],
        on_progress: ProgressCallback | None,
    ) -> None:
        try:
            targets = match_upload_urls(answer, [item.filename for item in inputs])
        except APIError as exc:  # a success answer without the URLs
            raise unexpected_answer(exc) from exc
        await upload_all(
            self._storage_client(),
            generation_id,
            inputs,
            targets,
            self.upload_concurrency,
            on_progress,
            last_request_id(),  # of the answer that gave the URLs
        )
        logger.debug("Generation %s: %d file(s) uploaded", generation_id, len(inputs))

    async def wait_for_result(
        self,
        generation_id: str,
        *,
        timeout: float = 300,
        interval: float = 2,
        on_progress: ProgressCallback | None = None,
        extra_headers: Mapping[str, str] | None = None,
        extra_query: Mapping[str, QueryValue] | None = None,
        request_timeout: float | httpx.Timeout | None = None,
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
            extra_headers: Headers added to every status check of this call,
                as for `generate`.
            extra_query: Query parameters added to every status check.
            request_timeout: Timeout of each status check: seconds or an
                `httpx.Timeout`, in place of the client's `timeout` setting
                (None keeps it); `timeout` above is the whole wait. (The
                checks are GET requests without a body: there is no
                `extra_body` here.)

        Returns:
            The completed `GenerationResult`, with the `request_id` of the
            answer it was read from (see `generate`).

        Raises:
            ValidationError: If an argument is refused.
            NotFoundError: If the service knows no such generation (and the other
                `APIError` subclasses for the other error answers).
            APIConnectionError: If the service cannot be reached.
            GenerationFailedError: If the service reports the generation failed.
            GenerationTimeoutError: If the result is not there within `timeout`.
            VelquorAIError: In on-premise mode, if the client is closed, or if
                the running event loop is not asyncio's.
        """
        check_event_loop()
        if not isinstance(generation_id, str):
            raise ValidationError(
                f"generation_id must be a string, not {type(generation_id).__name__}",
                field="generation_id",
            )
        wait = check_seconds("timeout", timeout, minimum=0.0)
        first_interval = check_seconds("interval", interval, minimum=1.0)
        check_callback(on_progress)
        options = check_request_options(extra_headers, extra_query, None, request_timeout)
        self._check_open()
        if self.local_client is not None:
            raise VelquorAIError(
                "wait_for_result() needs a client of the service; on-premise generations finish inside generate()"
            )
        from .util.validators import validate_generation_id

        validate_generation_id(generation_id)
        with _naming(generation_id), request_options(options):
            return await self._wait_for_result(generation_id, wait, first_interval, on_progress)

    def generate_many(
        self,
        jobs: Iterable[Job | Mapping[str, Any]] | AsyncIterable[Job | Mapping[str, Any]],
        *,
        concurrency: int = DEFAULT_CONCURRENCY,
        timeout: float = 300,
        interval: float = 2,
        on_progress: BatchProgressCallback | None = None,
        extra_headers: Mapping[str, str] | None = None,
        extra_query: Mapping[str, QueryValue] | None = None,
        extra_body: Mapping[str, Any] | None = None,
        request_timeout: float | httpx.Timeout | None = None,
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
            extra_headers: Each job's `generate` `extra_headers`: added to
                every request of the batch to the service, never to storage.
            extra_query: Each job's `generate` `extra_query`.
            extra_body: Each job's `generate` `extra_body`.
            request_timeout: Each job's `generate` `request_timeout`: the
                timeout of each HTTP request (`timeout` is each job's wait).

        Returns:
            An async iterator of `velquor_ai.batch.JobOutcome`, in the order the
            jobs end; also an async context manager that closes it.

        Raises:
            ValidationError: If `concurrency`, `jobs`, `on_progress` or an
                option of the requests is refused (a bad job itself becomes a
                failed outcome).
            VelquorAIError: If the client is closed.

        Examples:
            >>> jobs = [Job("What is shown?", images=[p], key=p) for p in paths]
            >>> async with client.generate_many(jobs, concurrency=32) as outcomes:
            ...     async for outcome in outcomes:
            ...         print(outcome.key, outcome.ok, outcome.generation_id)
        """
        # Checked once here, so that a bad option fails the call, not each job.
        options = check_request_options(extra_headers, extra_query, extra_body, request_timeout)
        self._check_open()
        if self.local_client is not None:
            _refuse_options_on_premise(options, extra_headers, extra_query, extra_body)
        return generate_many(
            self,
            jobs,
            concurrency=concurrency,
            timeout=timeout,
            interval=interval,
            on_progress=on_progress,
            extra_headers=extra_headers,
            extra_query=extra_query,
            extra_body=extra_body,
            request_timeout=request_timeout,
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
            # Called right after the check whose answer `status` was read from.
            last[:] = [status]
            emit(
                on_progress,
                ProgressEvent("status", generation_id, status=status_text(status), request_id=last_request_id()),
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
                    lambda: read_model(generations.get_result(generation_id)),
                    # Whole seconds, rounded up: the cut above comes first.
                    math.ceil(timeout),
                    int(interval),
                    report,
                )
        except RuntimeError as exc:
            # The poller's way of saying "the status was failed"; any other
            # RuntimeError (from a callback, say) is not ours to rename.
            if not last or status_text(last[0]) != "failed":
                raise
            raise generation_failed(generation_id, getattr(last[0], "error", None)) from exc
        except (TimeoutError, builtins.TimeoutError) as exc:
            # The poller's own timeout, or the cut above; not the timeout of one
            # request (APITimeoutError) nor a TimeoutError of the callback.
            if type(exc) is not TimeoutError and not deadline.expired():
                raise
            waited = loop.time() - started
            seen = status_text(last[0]) if last else "none"
            raise GenerationTimeoutError(
                f"Generation {generation_id} did not finish within {timeout:g}s "
                f"(waited {waited:.1f}s; last status: {seen})",
                generation_id=generation_id,
            ) from exc
        # The poller returns what the last check read.
        return with_request_id(result, last_request_id())

    def _storage_client(self) -> StorageClient:
        """What sends the uploads; its connections open at the first one."""
        # A generate begun before aclose() must not open a pool nobody closes.
        self._check_open()
        assert self._storage is not None
        return self._storage

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
            VelquorAIError: In remote mode, if the client is closed, or if the
                running event loop is not asyncio's.
        """
        check_event_loop()
        files = file_list(input_files, "input_files")
        wait = None if timeout is None else check_seconds("timeout", timeout, 0.0)
        self._check_open()
        if self.local_client is None:
            name = self._facade or type(self).__name__
            raise VelquorAIError(
                f"execute() needs on-premise mode: build the client with {name}.on_premise() or {name}(on_premise=...)"
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
        paths = local_paths(self.config, files, "input", "input_files")
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
        image_paths = local_paths(self.config, images, "image", "images")
        video_paths = local_paths(self.config, videos, "video", "videos")
        try:
            async with asyncio.timeout(timeout):
                result = await _vostrel.generate_blueprint_vostrel(local_client, question, image_paths, video_paths)
        except builtins.TimeoutError as exc:  # from asyncio.timeout
            raise GenerationTimeoutError(f"On-premise generation did not finish within {timeout:g}s") from exc
        except (ValueError, OSError) as exc:
            raise OnPremiseError(f"On-premise generation failed: {exc}") from exc
        emit(
            on_progress,
            ProgressEvent("status", result.generation_id, status=status_text(result)),
        )
        return with_request_id(result, None)

    # ------------------------------------------------------------------- helpers

    def _check_open(self) -> None:
        if self._closed:
            raise VelquorAIError("The client is closed")

    def _check_remote(self, what: str) -> None:
        if self.local_client is not None:
            raise VelquorAIError(f"client.{what} is not available in on-premise mode")


async def read_model(answer: Awaitable[_M]) -> _M:
    """Await a resource call that builds a record from the service's answer;
    an answer the record cannot be built from raises `APIResponseValidationError`
    (not the model library's own ValidationError, whose name clashes with ours).

    Examples:
        >>> status = await read_model(client.generations.start(generation_id))
    """
    try:
        return await answer
    except VelquorAIError:
        raise
    except Exception as exc:
        from pydantic import ValidationError as ModelError

        if not isinstance(exc, ModelError):
            raise
        raise unexpected_answer(exc) from exc


def _refuse_options_on_premise(options: RequestOptions | None, *given: object) -> None:
    """On-premise calls send no request for the options to go with."""
    if options is None:
        return
    names = ("extra_headers", "extra_query", "extra_body")
    field = next((name for name, value in zip(names, given, strict=True) if value is not None), "request_timeout")
    raise ValidationError(
        f"{field} goes with the requests to the service, and an on-premise client sends none",
        field=field,
    )


def with_request_id(result: GenerationResult, request_id: str | None) -> GenerationResult:
    """Give a result the `request_id` attribute of the answer it was built from.

    The model declares the service's fields only and refuses others; the id
    goes beside them in the instance's dictionary, where attribute access finds
    it and `model_dump()`, `repr()` and equality leave it out.
    """
    object.__setattr__(result, "request_id", request_id)
    return result


def _client_class(backend: object) -> type[httpx.AsyncClient]:
    """The class of the client's own pools for `http_backend`."""
    if backend == "httpx":
        return httpx.AsyncClient
    if backend == "aiohttp":
        try:
            from ._aiohttp import AiohttpClient
        except ImportError as exc:
            raise ValidationError(
                "http_backend='aiohttp' needs aiohttp: pip install 'velquor-ai[aiohttp]'", field="http_backend"
            ) from exc
        return AiohttpClient
    raise ValidationError(f"http_backend must be 'httpx' or 'aiohttp', not {backend!r}", field="http_backend")


def generation_failed(generation_id: str, error: Any) -> GenerationFailedError:
    """The error that stands for a generation the service reports as failed."""
    reason = "no reason given" if error is None else str(error)
    return GenerationFailedError(
        f"Generation {generation_id} failed: {reason}",
        generation_id=generation_id,
        error=error,
    )


def _expired(error: UploadError) -> bool:
    """Whether storage refused an upload because its URL has expired (object
    stores answer 403 and say so: "Request has expired", "ExpiredToken")."""
    return error.status_code == 403 and "expir" in str(error.body or "").lower()


def _idempotency(key: str | None, step: str | None = None) -> AbstractContextManager[None]:
    """The key of one request of a generation, derived from the caller's key."""
    if key is None or step is None:
        return idempotency_key(key)
    return idempotency_key(f"{key}:{step}")


@contextmanager
def _naming(generation_id: str) -> Iterator[None]:
    """Name the generation on every exception that leaves the block, unless it
    names one already (cancellation and interrupts are left alone), and in the
    retry records of the requests sent inside it."""
    try:
        with about_generation(generation_id):
            yield
    except Exception as error:
        if getattr(error, "generation_id", None) is None:
            try:
                error.generation_id = generation_id  # type: ignore[attr-defined]
            except (AttributeError, TypeError):  # pragma: no cover - slotted types
                pass
        raise
