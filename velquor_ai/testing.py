"""A real, local blueprint service for demos and tests.

`LocalService` runs the service's HTTP API and an object store with presigned
upload URLs on 127.0.0.1, in a background thread with its own event loop, so
that the client can be exercised over real HTTP without the remote deployment:

    from velquor_ai import VelquorAI
    from velquor_ai.testing import LocalService

    with LocalService(api_key="sk-test") as service:
        with VelquorAI(api_key="sk-test", base_url=service.base_url) as client:
            result = client.generate("What is shown?", images=["cat.png"])

(`AsyncVelquorAI` works the same way, with `async with` and `await`.)

It needs the optional dependencies of the `local` extra
(`pip install 'velquor-ai[local]'`: starlette and uvicorn).

API (all JSON; with an `api_key`, requests without "Authorization: Bearer <key>"
get 401):

    POST /v1/generation                 {"question"} -> the new record ("created")
    POST /v1/generation/{id}/upload     {"files": [{"filename", "content_type"}]}
                                        -> {"upload_urls": [{"filename",
                                            "upload_url", "content_type",
                                            "expires_at"}]}; the files of a
                                        later request replace those of an
                                        earlier one
    POST /v1/execution/{id}/upload      the same, for an execution's inputs
    POST /v1/generation/{id}/start      -> {"generation_id", "status":
                                            "processing", "estimated_time"}
    GET  /v1/generation/{id}/result     created -> processing -> completed
                                        (or failed), `processing_time` seconds
                                        after the start

Every answer carries an `x-request-id` header. A POST with an `Idempotency-Key`
header is done once: the same key with the same route and body gets the first
answer again (status and body, with the header "Idempotent-Replayed: true"),
the same key with another route or body gets 422, and a key whose first request
is still being answered gets 409. Keys are kept for 24 hours.

Object storage: `PUT /storage/{key}?expires=<ms>&signature=<hex>`, where the
signature is HMAC-SHA256 over "PUT\\n{path}\\n{expires}" with a secret of the
service. A wrong signature or an expired URL gets 403 with an XML error body,
as object stores answer. Stored objects are kept in `objects`; `fail_storage`
and `stall_storage` make storage misbehave for the next uploads. Every request
is kept in `received` (method, path, query, headers, and the body of API
requests), for tests of what a client sent.

The blueprint of a completed generation is canonical JSON made from the question
and the uploaded files (name, size, content type, SHA-256), in the format of the
on-premise library, so it can be executed on-premise as well.
"""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import math
import os
import re
import secrets
import socket
import threading
import time
from dataclasses import dataclass, field
from datetime import UTC, datetime
from types import TracebackType
from typing import Any, Literal, Self
from urllib.parse import quote

try:
    import uvicorn
    from starlette.applications import Starlette
    from starlette.requests import ClientDisconnect, Request
    from starlette.responses import JSONResponse, Response
    from starlette.routing import Route
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "velquor_ai.testing needs the 'local' extra: pip install 'velquor-ai[local]' (starlette and uvicorn)"
    ) from exc

__all__ = ["LocalService", "ReceivedRequest", "StoredObject"]

ResultFormat = Literal["top-level", "nested", "mixed"]

_ID = re.compile(r"[A-Za-z0-9_-]{1,128}")
_STARTUP_TIMEOUT = 10.0
# How long an idempotency key is remembered.
_KEY_LIFETIME = 24 * 3600.0
_BLUEPRINT_VERSION = 1


@dataclass(frozen=True, slots=True)
class StoredObject:
    """An object kept by the service's storage.

    Attributes:
        data: The bytes that were uploaded (empty when the service was told not
            to keep them).
        content_type: The Content-Type header of the upload.
        sha256: Hex SHA-256 digest of the uploaded bytes.
        size: Number of uploaded bytes.
    """

    data: bytes
    content_type: str
    sha256: str = ""
    size: int = 0


@dataclass(frozen=True, slots=True)
class ReceivedRequest:
    """A request as the service received it (see `LocalService.received`).

    Attributes:
        method: The method, such as "POST".
        path: The path, without the query.
        query: The query string as sent ("" for none).
        headers: The headers, names in lower case; a header sent more than
            once has its values joined with ", ".
        body: The body of a request to the API, as far as it was read (the
            bytes of uploads to storage are in `LocalService.objects`).
        request_id: The `x-request-id` the service answered it with.
    """

    method: str
    path: str
    query: str
    headers: dict[str, str]
    body: bytes
    request_id: str

    def json(self) -> Any:
        """The body decoded from JSON, or None for an empty body."""
        return json.loads(self.body) if self.body else None


@dataclass(slots=True)
class _Received:
    method: str
    path: str
    query: str
    headers: dict[str, str]
    request_id: str
    body: bytearray = field(default_factory=bytearray)


@dataclass(slots=True)
class _Target:
    key: str
    filename: str
    content_type: str


@dataclass(slots=True)
class _Generation:
    generation_id: str
    question: str
    number: int
    created_at: str
    targets: list[_Target] = field(default_factory=list)
    # Upload targets handed out so far, for storage keys never used twice.
    issued: int = 0
    started: float | None = None
    updated_at: str | None = None
    completed_at: str | None = None
    blueprint: str | None = None


@dataclass(slots=True)
class _Fault:
    """A failure that upcoming API requests meet (see `LocalService.fail_next`)."""

    status: int | None
    count: int
    method: str | None
    path: str | None
    headers: dict[str, str]
    drop: bool
    stall: float
    after: bool

    def response(self) -> Response:
        assert self.status is not None
        return _error(self.status, "Injected failure", self.headers)


@dataclass(slots=True)
class _Answer:
    """The first answer to a request with an idempotency key."""

    fingerprint: str
    at: float
    status: int = 0
    headers: list[tuple[bytes, bytes]] = field(default_factory=list)
    body: bytes = b""
    done: bool = False


@dataclass(slots=True)
class _StorageFault:
    status: int | None  # None: take the upload and never answer
    count: int
    headers: dict[str, str]


class _Server(uvicorn.Server):
    """uvicorn's server, telling the starting thread when it accepts connections."""

    def __init__(self, config: uvicorn.Config) -> None:
        super().__init__(config)
        self.ready = threading.Event()

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets=sockets)
        self.ready.set()


class LocalService:
    """The blueprint service and its object storage on 127.0.0.1.

    Use it as a context manager (`with` or `async with`), or call `start()` and
    `stop()`. State can be read from any thread while it runs.

    Attributes:
        api_key: Key that requests must present as a bearer token, or None.
        processing_time: Seconds from the start of a generation to its end.
        fail_generation: Whether generations end as "failed" instead.
        failing_questions: Questions whose generations end as "failed" (for
            one failure among many generations).
        failure_message: The reason a failed generation reports.
        url_ttl: Lifetime of upload URLs in seconds (0 gives URLs that have
            already expired when they are used).
        result_format: Where completed results carry the blueprint: "top-level"
            (newer answers), "nested" (older answers, inside "result") or
            "mixed" (every second generation nested).

    Examples:
        >>> with LocalService() as service:
        ...     print(service.base_url)
        http://127.0.0.1:41234
    """

    def __init__(
        self,
        *,
        api_key: str | None = None,
        processing_time: float = 0.0,
        fail_generation: bool = False,
        failure_message: str = "The model could not answer the question",
        url_ttl: float = 3600.0,
        error_status: int | None = None,
        result_format: ResultFormat = "mixed",
        host: str = "127.0.0.1",
        port: int = 0,
        keep_uploads: bool = True,
        ssl_certfile: str | os.PathLike[str] | None = None,
        ssl_keyfile: str | os.PathLike[str] | None = None,
    ) -> None:
        """Set the service up; nothing listens until it is started.

        Args:
            api_key: Key required as a bearer token; None accepts any request.
            processing_time: Seconds a started generation stays "processing".
            fail_generation: End generations as "failed" with `failure_message`.
            failure_message: Reason reported by failed generations.
            url_ttl: Lifetime of presigned upload URLs in seconds (>= 0).
            error_status: If given, the first API request is answered with this
                status (see `fail_next` for more control).
            result_format: "top-level", "nested" or "mixed" (see Attributes).
            host: Loopback address to listen on.
            port: Port to listen on; 0 picks a free one.
            keep_uploads: Keep the bytes of stored objects (False keeps only
                their size and digest, for uploads too large to hold).
            ssl_certfile: A PEM certificate (chain) to serve HTTPS with, the
                API and storage alike; `base_url` and the upload URLs then
                begin with https://.
            ssl_keyfile: The certificate's private key, in PEM.
        """
        if result_format not in ("top-level", "nested", "mixed"):
            raise ValueError(f"unknown result_format {result_format!r}")
        if url_ttl < 0 or processing_time < 0:
            raise ValueError("url_ttl and processing_time must not be negative")
        self.api_key = api_key
        self.processing_time = processing_time
        self.fail_generation = fail_generation
        self.failing_questions: set[str] = set()
        self.failure_message = failure_message
        self.url_ttl = url_ttl
        self.result_format: ResultFormat = result_format
        if (ssl_certfile is None) != (ssl_keyfile is None):
            raise ValueError("give both ssl_certfile and ssl_keyfile, or neither")
        self._ssl = None if ssl_certfile is None or ssl_keyfile is None else (str(ssl_certfile), str(ssl_keyfile))
        self._host = host
        self._requested_port = port
        self._secret = secrets.token_bytes(32)
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._generations: dict[str, _Generation] = {}
        self._objects: dict[str, StoredObject] = {}
        self._received: list[_Received] = []
        self._faults: list[_Fault] = []
        self._answers: dict[str, _Answer] = {}
        self._storage_faults: list[_StorageFault] = []
        self._storage_headers: list[dict[str, str]] = []
        self._keep_uploads = keep_uploads
        self._hold_uploads = False
        self._held_uploads = 0
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._socket: socket.socket | None = None
        self._port: int | None = None
        self._stopped = False
        if error_status is not None:
            self.fail_next(error_status)

    # --------------------------------------------------------------- lifecycle

    @property
    def port(self) -> int:
        """The port the service listens on (once started)."""
        if self._port is None:
            raise RuntimeError("the service has not been started")
        return self._port

    @property
    def base_url(self) -> str:
        """Address to give the client as `base_url` (once started)."""
        scheme = "https" if self._ssl is not None else "http"
        return f"{scheme}://{self._host}:{self.port}"

    def start(self) -> None:
        """Start listening; returns once the service accepts connections.

        Raises:
            RuntimeError: If it was started before, or did not come up.
        """
        if self._thread is not None or self._stopped:
            raise RuntimeError("a LocalService can be started only once")
        # IPPROTO_TCP named explicitly: asyncio turns Nagle's algorithm off only
        # on sockets that say they are TCP, and the accepted connections inherit
        # this one's protocol. Without it every answer after the first on a
        # kept-alive connection waits about 40 ms for a delayed ACK.
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((self._host, self._requested_port))
        except OSError:
            sock.close()
            raise
        self._socket = sock
        self._port = sock.getsockname()[1]
        config = uvicorn.Config(
            self._build_app(),
            log_config=None,  # leave the application's logging alone
            log_level="warning",
            access_log=False,
            lifespan="off",
            timeout_graceful_shutdown=5,
            ssl_certfile=None if self._ssl is None else self._ssl[0],
            ssl_keyfile=None if self._ssl is None else self._ssl[1],
        )
        self._server = _Server(config)
        self._thread = threading.Thread(target=self._run, name=f"LocalService:{self._port}", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + _STARTUP_TIMEOUT
        while not self._server.ready.wait(0.05):
            if not self._thread.is_alive() or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the local service did not start")

    def stop(self) -> None:
        """Stop the service and wait for its thread. Calling it again does nothing."""
        if self._stopped:
            return
        self._stopped = True
        self.release_uploads()
        if self._server is not None:
            self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(_STARTUP_TIMEOUT)
        if self._socket is not None:
            self._socket.close()

    def __enter__(self) -> Self:
        """Start the service."""
        self.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Stop the service."""
        self.stop()

    async def __aenter__(self) -> Self:
        """Start the service without blocking the caller's event loop."""
        await asyncio.to_thread(self.start)
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Stop the service without blocking the caller's event loop."""
        await asyncio.to_thread(self.stop)

    def _run(self) -> None:
        assert self._server is not None and self._socket is not None
        asyncio.run(self._server.serve(sockets=[self._socket]))

    # ------------------------------------------------------------ test controls

    @property
    def objects(self) -> dict[str, StoredObject]:
        """Snapshot of the stored objects, by storage key."""
        with self._lock:
            return dict(self._objects)

    @property
    def requests(self) -> list[tuple[str, str]]:
        """Snapshot of the requests received so far, as (method, path) pairs."""
        with self._lock:
            return [(entry.method, entry.path) for entry in self._received]

    @property
    def received(self) -> list[ReceivedRequest]:
        """Snapshot of the requests received so far, whole: method, path,
        query, headers and (for the API) body.

        Examples:
            >>> [r.headers["idempotency-key"] for r in service.received if r.method == "POST"]
        """
        with self._lock:
            return [
                ReceivedRequest(
                    entry.method, entry.path, entry.query, dict(entry.headers), bytes(entry.body), entry.request_id
                )
                for entry in self._received
            ]

    def fail_next(
        self,
        status: int | None = None,
        *,
        count: int = 1,
        method: str | None = None,
        path: str | None = None,
        headers: dict[str, str] | None = None,
        drop: bool = False,
        stall: float = 0.0,
        after: bool = False,
    ) -> None:
        """Make upcoming API requests fail.

        A failing request is answered with `status` (and `headers`), or its
        connection is dropped without an answer (`drop`); `stall` seconds pass
        first, so a client with a shorter timeout gives up before anything comes.
        By default the request fails before the service does any work; with
        `after` the work is done (and its answer kept for its idempotency key)
        and only the answer is lost.

        Args:
            status: HTTP status to answer with, such as 500 or 429.
            count: How many matching requests fail.
            method: Only requests with this method ("GET", "POST").
            path: Only requests whose path contains this text ("/start").
            headers: Headers of the error answer, such as {"Retry-After": "1"}.
            drop: Close the connection instead of answering.
            stall: Seconds to hold the request before failing it; with neither
                `status` nor `drop`, the connection is then dropped.
            after: Do the work, then fail the answer.

        Examples:
            >>> service.fail_next(503, headers={"Retry-After": "1"}, path="/start")
            >>> service.fail_next(drop=True, after=True, method="POST")
            >>> service.fail_next(stall=2.0, path="/result")
        """
        if status is None and not drop and stall <= 0:
            raise ValueError("give a status, drop=True or a stall")
        if status is not None and drop:
            raise ValueError("a fault either answers with a status or drops")
        fault = _Fault(
            status,
            count,
            method,
            path,
            dict(headers or {}),
            drop or status is None,
            stall,
            after,
        )
        with self._lock:
            self._faults.append(fault)

    @property
    def storage_headers(self) -> list[dict[str, str]]:
        """Headers of the uploads to storage so far (names in lower case)."""
        with self._lock:
            return [dict(headers) for headers in self._storage_headers]

    def fail_storage(
        self,
        status: int,
        *,
        count: int = 1,
        headers: dict[str, str] | None = None,
    ) -> None:
        """Answer the next uploads to storage with an error, as object stores do.

        The body is taken in full first; the answer carries an XML error body.

        Args:
            status: HTTP status, such as 503 or 403.
            count: How many uploads get it.
            headers: Extra headers of the answer, such as {"Retry-After": "0"}.

        Examples:
            >>> service.fail_storage(503, headers={"Retry-After": "0"})
        """
        with self._lock:
            self._storage_faults.append(_StorageFault(status, count, dict(headers or {})))

    def stall_storage(self, *, count: int = 1) -> None:
        """Take the next uploads' bytes and never answer them.

        Each stalled upload ends when its client hangs up or the service stops.

        Args:
            count: How many uploads stall.
        """
        with self._lock:
            self._storage_faults.append(_StorageFault(None, count, {}))

    def hold_uploads(self) -> None:
        """Keep storage uploads waiting, unanswered, until `release_uploads`."""
        with self._lock:
            self._hold_uploads = True

    def release_uploads(self) -> None:
        """Let held and later uploads through."""
        with self._changed:
            self._hold_uploads = False
            self._changed.notify_all()

    def wait_for_held_uploads(self, count: int, timeout: float = 10.0) -> bool:
        """Block until `count` uploads are being held.

        Returns:
            Whether that many were held before `timeout` seconds passed.
        """
        with self._changed:
            return self._changed.wait_for(lambda: self._held_uploads >= count, timeout)

    @property
    def generation_ids(self) -> list[str]:
        """Identifiers of the generations created so far, oldest first."""
        with self._lock:
            return list(self._generations)

    def generation(self, generation_id: str) -> dict[str, Any]:
        """The service's record of a generation, as a plain dict.

        Raises:
            KeyError: If there is no such generation.
        """
        with self._lock:
            record = self._generations[generation_id]
            return {
                "generation_id": record.generation_id,
                "question": record.question,
                "started": record.started is not None,
                "files": [target.filename for target in record.targets],
                "blueprint": record.blueprint,
            }

    # ---------------------------------------------------------------- the app

    def _build_app(self) -> _Gate:
        routes = [
            Route("/v1/generation", self._create, methods=["POST"]),
            Route(
                "/v1/generation/{record_id}/upload",
                self._generation_upload_urls,
                methods=["POST"],
            ),
            Route(
                "/v1/execution/{record_id}/upload",
                self._execution_upload_urls,
                methods=["POST"],
            ),
            Route("/v1/generation/{record_id}/start", self._start, methods=["POST"]),
            Route("/v1/generation/{record_id}/result", self._result, methods=["GET"]),
            Route("/storage/{key:path}", self._store, methods=["PUT"]),
        ]
        # The gate stands outside the application, in front of the server's own
        # connection, so that it can drop that connection.
        return _Gate(Starlette(routes=routes), self)

    def _note(self, scope: Any, request_id: str) -> _Received:
        """Keep a request's method, path, query, headers and the request id of
        its answer; its body follows."""
        headers: dict[str, str] = {}
        for raw_name, raw_value in scope.get("headers", []):
            name, value = raw_name.decode("latin-1").lower(), raw_value.decode("latin-1")
            headers[name] = f"{headers[name]}, {value}" if name in headers else value
        query = scope.get("query_string", b"").decode("latin-1")
        entry = _Received(scope["method"], scope["path"], query, headers, request_id)
        with self._lock:
            self._received.append(entry)
        return entry

    def _gate(self, method: str, path: str, headers: dict[str, str]) -> Response | _Fault | None:
        """Answer a request early for auth failures; pick its fault."""
        with self._lock:
            if not path.startswith("/v1/"):
                return None
            if self.api_key is not None:
                expected = f"Bearer {self.api_key}"
                given = headers.get("authorization", "")
                if not hmac.compare_digest(given.encode(), expected.encode()):
                    return _error(401, "Missing or invalid API key")
            for fault in self._faults:
                if (fault.method is None or fault.method == method) and (fault.path is None or fault.path in path):
                    fault.count -= 1
                    if fault.count <= 0:
                        self._faults.remove(fault)
                    return fault
        return None

    def _claim(self, key: str, fingerprint: str) -> _Answer | Response | None:
        """Look an idempotency key up; None means this request is its first.

        Returns the finished first answer, or the refusal of a key that is in
        use by a request in progress or was used for another request.
        """
        now = time.monotonic()
        with self._lock:
            answers = self._answers
            # Insertion order is age order: forget the expired keys first.
            while answers:
                oldest = next(iter(answers))
                if now - answers[oldest].at < _KEY_LIFETIME:
                    break
                del answers[oldest]
            answer = answers.get(key)
            if answer is None:
                answers[key] = _Answer(fingerprint, now)
                return None
        if answer.fingerprint != fingerprint:
            return _error(422, "This Idempotency-Key was already used for a different request")
        if not answer.done:
            return _error(409, "A request with this Idempotency-Key is still being answered")
        return answer

    def _settle(self, key: str, answer: _Answer | None) -> None:
        """Keep the first answer of `key`, or forget the key (None) when the
        request ended without one, so that a retry does the work."""
        with self._lock:
            if answer is None:
                self._answers.pop(key, None)
            else:
                answer.done = True
                self._answers[key] = answer

    async def _create(self, request: Request) -> Response:
        body = await _json_body(request)
        if isinstance(body, Response):
            return body
        question = body.get("question")
        if not isinstance(question, str) or not question.strip():
            return _error(422, "question must be a non-blank string")
        with self._lock:
            number = len(self._generations)
            generation_id = f"gen_{secrets.token_hex(8)}"
            record = _Generation(generation_id, question, number, _now())
            self._generations[generation_id] = record
        return JSONResponse(
            {
                "generation_id": generation_id,
                "status": "created",
                "created_at": record.created_at,
            }
        )

    async def _generation_upload_urls(self, request: Request) -> Response:
        generation_id = request.path_params["record_id"]
        body = await _json_body(request)
        if isinstance(body, Response):
            return body
        files = _upload_request_files(body)
        if isinstance(files, Response):
            return files
        with self._lock:
            record = self._generations.get(generation_id)
            if record is None:
                return _error(404, f"Generation {generation_id} not found")
            if record.started is not None:
                return _error(409, f"Generation {generation_id} has already started")
            first = record.issued
            record.issued += len(files)
            targets = [
                _Target(f"generations/{generation_id}/{first + i}/{name}", name, ctype)
                for i, (name, ctype) in enumerate(files)
            ]
            # The files of a new request replace those of an earlier one
            # (whose URLs may have expired unused).
            record.targets = targets
        return JSONResponse({"upload_urls": [self._presign(t) for t in targets]})

    async def _execution_upload_urls(self, request: Request) -> Response:
        execution_id = request.path_params["record_id"]
        if not _ID.fullmatch(execution_id):
            return _error(404, f"Execution {execution_id} not found")
        body = await _json_body(request)
        if isinstance(body, Response):
            return body
        files = _upload_request_files(body)
        if isinstance(files, Response):
            return files
        batch = secrets.token_hex(4)
        targets = [
            _Target(f"executions/{execution_id}/{batch}-{i}/{name}", name, ctype)
            for i, (name, ctype) in enumerate(files)
        ]
        return JSONResponse({"upload_urls": [self._presign(t) for t in targets]})

    async def _start(self, request: Request) -> Response:
        generation_id = request.path_params["record_id"]
        with self._lock:
            record = self._generations.get(generation_id)
            if record is None:
                return _error(404, f"Generation {generation_id} not found")
            if record.started is not None:
                return _error(409, f"Generation {generation_id} has already started")
            missing = [t.filename for t in record.targets if t.key not in self._objects]
            if missing:
                return _error(
                    409,
                    f"{len(missing)} input file(s) not uploaded yet: " + ", ".join(missing),
                )
            record.started = time.monotonic()
            record.updated_at = _now()
        return JSONResponse(
            {
                "generation_id": generation_id,
                "status": "processing",
                "estimated_time": math.ceil(self.processing_time),
            }
        )

    async def _result(self, request: Request) -> Response:
        generation_id = request.path_params["record_id"]
        with self._lock:
            record = self._generations.get(generation_id)
            if record is None:
                return _error(404, f"Generation {generation_id} not found")
            answer: dict[str, Any] = {
                "generation_id": generation_id,
                "created_at": record.created_at,
                "updated_at": record.updated_at,
            }
            if record.started is None:
                answer["status"] = "created"
            elif time.monotonic() - record.started < self.processing_time:
                answer["status"] = "processing"
            else:
                if record.completed_at is None:
                    record.completed_at = record.updated_at = _now()
                    answer["updated_at"] = record.updated_at
                answer["completed_at"] = record.completed_at
                if self.fail_generation or record.question in self.failing_questions:
                    answer["status"] = "failed"
                    answer["error"] = {
                        "code": "generation_failed",
                        "message": self.failure_message,
                    }
                else:
                    answer["status"] = "completed"
                    answer.update(self._completed(record))
        return JSONResponse(answer)

    def _completed(self, record: _Generation) -> dict[str, Any]:
        """The blueprint part of a completed answer (called with the lock held)."""
        if record.blueprint is None:
            inputs = []
            for target in record.targets:
                stored = self._objects[target.key]
                inputs.append(
                    {
                        "content_type": stored.content_type,
                        "name": target.filename,
                        "sha256": stored.sha256,
                        "size": stored.size,
                    }
                )
            steps: list[dict[str, Any]] = [{"action": "describe", "input": i} for i in range(len(inputs))]
            steps.append({"action": "answer"})
            record.blueprint = _canonical(
                {
                    "inputs": inputs,
                    "question": record.question.strip(),
                    "steps": steps,
                    "version": _BLUEPRINT_VERSION,
                }
            )
        summary = {"inputs": len(record.targets), "steps": len(record.targets) + 1}
        nested = self.result_format == "nested" or (self.result_format == "mixed" and record.number % 2 == 1)
        if nested:
            # The older answer format: the blueprint only inside "result".
            return {"result": {"blueprint": record.blueprint, **summary}}
        return {"blueprint": record.blueprint, "result": summary}

    # ----------------------------------------------------------------- storage

    def _presign(self, target: _Target) -> dict[str, Any]:
        path = "/storage/" + quote(target.key, safe="/")
        # Whole milliseconds, rounded down, so a zero lifetime has always
        # expired by the time the URL is used.
        issued_ms = math.floor(time.time() * 1000)
        expires = issued_ms + math.floor(self.url_ttl * 1000)
        signature = self._sign(path, expires)
        query = f"expires={expires}&signature={signature}"
        return {
            "filename": target.filename,
            "upload_url": f"{self.base_url}{path}?{query}",
            "content_type": target.content_type,
            "expires_at": datetime.fromtimestamp(expires / 1000, UTC).isoformat(),
        }

    def _sign(self, path: str, expires: int) -> str:
        message = f"PUT\n{path}\n{expires}".encode()
        return hmac.new(self._secret, message, hashlib.sha256).hexdigest()

    async def _store(self, request: Request) -> Response:
        path = request.scope.get("raw_path", b"").decode("ascii", "replace")
        expires_text = request.query_params.get("expires", "")
        signature = request.query_params.get("signature", "")
        if not expires_text.isdigit() or not hmac.compare_digest(signature, self._sign(path, int(expires_text))):
            return _storage_error(
                "SignatureDoesNotMatch",
                "The request signature we calculated does not match the signature you provided",
            )
        if time.time() * 1000 >= int(expires_text):
            return _storage_error("AccessDenied", "Request has expired")
        with self._lock:
            self._storage_headers.append(dict(request.headers))
        fault = self._next_storage_fault()
        # The body is read as it arrives, never buffered twice.
        sha256 = hashlib.sha256()
        md5 = hashlib.md5(usedforsecurity=False)
        kept = bytearray() if self._keep_uploads and fault is None else None
        size = 0
        try:
            async for chunk in request.stream():
                size += len(chunk)
                if fault is None:
                    sha256.update(chunk)
                    md5.update(chunk)
                    if kept is not None:
                        kept += chunk
        except ClientDisconnect:
            # The client gave up half-way: nothing is stored.
            return Response(status_code=400)
        if fault is not None:
            if fault.status is None:
                await self._stall(request)
                return Response(status_code=504)
            code, message = _STORAGE_FAULTS.get(fault.status, ("Error", "Injected failure"))
            return _storage_error(code, message, fault.status, fault.headers)
        await self._wait_while_held()
        key = request.path_params["key"]
        content_type = request.headers.get("content-type", "application/octet-stream")
        data = bytes(kept) if kept is not None else b""
        del kept
        with self._lock:
            self._objects[key] = StoredObject(data, content_type, sha256.hexdigest(), size)
        return Response(status_code=200, headers={"ETag": f'"{md5.hexdigest()}"'})

    def _next_storage_fault(self) -> _StorageFault | None:
        with self._lock:
            if not self._storage_faults:
                return None
            fault = self._storage_faults[0]
            fault.count -= 1
            if fault.count <= 0:
                self._storage_faults.pop(0)
            return fault

    async def _stall(self, request: Request) -> None:
        """Wait, unanswered, until the client hangs up or the service stops."""
        while not self._stopped:
            if await request.is_disconnected():
                return
            await asyncio.sleep(0.02)

    async def _wait_while_held(self) -> None:
        with self._changed:
            if not self._hold_uploads:
                return
            self._held_uploads += 1
            self._changed.notify_all()
        try:
            while True:
                with self._lock:
                    if not self._hold_uploads:
                        return
                await asyncio.sleep(0.01)
        finally:
            with self._changed:
                self._held_uploads -= 1


class _Gate:
    """ASGI application in front of the routes: request log, auth, request ids,
    idempotency keys and injected faults."""

    def __init__(self, app: Any, service: LocalService) -> None:
        self.app = app
        self.service = service

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        request_id = f"req_{secrets.token_hex(8)}".encode()

        async def answer(message: Any) -> None:
            if message["type"] == "http.response.start":
                message = dict(message)
                message["headers"] = [
                    *message.get("headers", []),
                    (b"x-request-id", request_id),
                ]
            await send(message)

        headers = {name.decode("latin-1").lower(): value.decode("latin-1") for name, value in scope.get("headers", [])}
        method = scope["method"]
        entry = self.service._note(scope, request_id.decode())
        if scope["path"].startswith("/v1/"):
            receive = _kept(receive, entry.body)
        verdict = self.service._gate(method, scope["path"], headers)
        if isinstance(verdict, Response):
            await verdict(scope, receive, answer)
            return
        fault = verdict
        if fault is not None and not fault.after:
            await self._fail(fault, scope, receive, send, answer)
            return
        key = headers.get("idempotency-key")
        if method != "POST" or not scope["path"].startswith("/v1/") or not key:
            if fault is None:
                await self.app(scope, receive, answer)
            else:
                await self.app(scope, receive, _Recorder().send)
                await self._fail(fault, scope, receive, send, answer)
            return

        body = await _read_body(receive)
        if body is None:
            # Nobody to answer, and a cut-off body must not claim the key: the
            # client's retry with the whole body would be refused as another
            # request.
            return
        fingerprint = hashlib.sha256(b"%s\n%s\n" % (method.encode(), scope["path"].encode()) + body).hexdigest()
        first = self.service._claim(key, fingerprint)
        if isinstance(first, Response):
            await first(scope, receive, answer)
            return
        if first is None:
            recorder = _Recorder()
            settled: _Answer | None = None
            try:
                await self.app(scope, _replay(body, receive), recorder.send)
                if recorder.started:
                    settled = _Answer(
                        fingerprint,
                        time.monotonic(),
                        recorder.status,
                        recorder.headers,
                        bytes(recorder.body),
                    )
            finally:
                self.service._settle(key, settled)
            first = settled
            replayed = False
        else:
            replayed = True
        if fault is not None:
            await self._fail(fault, scope, receive, send, answer)
            return
        if first is None:
            await _error(500, "The request ended without an answer")(scope, receive, answer)
            return
        extra = [(b"idempotent-replayed", b"true")] if replayed else []
        await answer(
            {
                "type": "http.response.start",
                "status": first.status,
                "headers": [*first.headers, *extra],
            }
        )
        await answer({"type": "http.response.body", "body": first.body})

    async def _fail(self, fault: _Fault, scope: Any, receive: Any, send: Any, answer: Any) -> None:
        if fault.stall > 0:
            await asyncio.sleep(fault.stall)
        if not fault.drop:
            await fault.response()(scope, receive, answer)
            return
        # Close the connection under the server's feet: the client sees it end
        # without a single byte of an answer.
        cycle = getattr(send, "__self__", None)
        transport = getattr(cycle, "transport", None)
        if transport is None:  # pragma: no cover - a server of another make
            raise RuntimeError("this server does not let connections be dropped")
        transport.close()
        # Once the server has seen the connection go, it sends nothing more.
        for _ in range(100):
            if getattr(cycle, "disconnected", True):
                break
            await asyncio.sleep(0)


class _Recorder:
    """An ASGI `send` that keeps the answer instead of sending it."""

    def __init__(self) -> None:
        self.started = False
        self.status = 0
        self.headers: list[tuple[bytes, bytes]] = []
        self.body = bytearray()

    async def send(self, message: Any) -> None:
        if message["type"] == "http.response.start":
            self.started = True
            self.status = message["status"]
            self.headers = list(message.get("headers", []))
        elif message["type"] == "http.response.body":
            self.body += message.get("body", b"")


async def _read_body(receive: Any) -> bytes | None:
    """The whole request body, or None when the client went away before sending
    all of it (a killed client may have sent the headers alone)."""
    body = bytearray()
    while True:
        message = await receive()
        if message["type"] != "http.request":
            return None
        body += message.get("body", b"")
        if not message.get("more_body", False):
            return bytes(body)


def _kept(receive: Any, body: bytearray) -> Any:
    """An ASGI `receive` that also adds the request body's pieces to `body`."""

    async def keeping() -> Any:
        message = await receive()
        if message["type"] == "http.request":
            body.extend(message.get("body", b""))
        return message

    return keeping


def _replay(body: bytes, receive: Any) -> Any:
    """An ASGI `receive` that hands over a body read before."""
    given = False

    async def replayed() -> Any:
        nonlocal given
        if given:
            return await receive()
        given = True
        return {"type": "http.request", "body": body, "more_body": False}

    return replayed


def _now() -> str:
    return datetime.now(UTC).isoformat()


def _canonical(value: Any) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def _error(status: int, detail: str, headers: dict[str, str] | None = None) -> Response:
    return JSONResponse({"detail": detail}, status_code=status, headers=headers)


# What object stores say with the statuses tests inject.
_STORAGE_FAULTS = {
    403: ("AccessDenied", "Access Denied"),
    408: ("RequestTimeout", "Your socket connection to the server was not read from"),
    429: ("SlowDown", "Please reduce your request rate"),
    500: ("InternalError", "We encountered an internal error. Please try again"),
    503: ("ServiceUnavailable", "Please reduce your request rate"),
}


def _storage_error(code: str, message: str, status: int = 403, headers: dict[str, str] | None = None) -> Response:
    body = f'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>{code}</Code><Message>{message}</Message></Error>'
    return Response(body, status_code=status, media_type="application/xml", headers=headers)


async def _json_body(request: Request) -> dict[str, Any] | Response:
    try:
        body = json.loads(await request.body())
    except ValueError:
        return _error(400, "Request body must be JSON")
    if not isinstance(body, dict):
        return _error(400, "Request body must be a JSON object")
    return body


def _upload_request_files(body: dict[str, Any]) -> list[tuple[str, str]] | Response:
    files = body.get("files")
    if not isinstance(files, list):
        return _error(422, "files must be a list")
    result: list[tuple[str, str]] = []
    for index, entry in enumerate(files):
        name = entry.get("filename") if isinstance(entry, dict) else None
        ctype = entry.get("content_type") if isinstance(entry, dict) else None
        if not isinstance(name, str) or not name or "/" in name or "\\" in name:
            return _error(422, f"files[{index}].filename must be a bare file name")
        if name in (".", ".."):
            return _error(422, f"files[{index}].filename must be a bare file name")
        if not isinstance(ctype, str) or "/" not in ctype:
            return _error(422, f"files[{index}].content_type must be a MIME type")
        result.append((name, ctype))
    return result


if __name__ == "__main__":  # `python -m velquor_ai.testing`: the same as `velquor serve`
    import sys

    from ._serve_command import main

    sys.exit(main(LocalService))
