"""Faults of the network and of the service, met through the real HTTP stack.

A deliberately misbehaving HTTP server on 127.0.0.1 (a thread per connection)
refuses, resets, stalls, answers with error statuses or with bodies that are
not JSON. Each fault must surface as its documented exception, be tried
exactly once (the server counts requests), and leave no socket or other file
descriptor open, compared in /proc/self/fd around a few hundred failing calls.
"""

from __future__ import annotations

import asyncio
import http.server
import json
import os
import socket
import struct
import threading
from typing import Any, Callable

import httpx
import pytest

from velquor_ai import exceptions
from velquor_ai._http import HTTPClient
from velquor_ai.config import Config
from velquor_ai.resources import uploads
from velquor_ai.resources.generations import GenerationsResource
from velquor_ai.resources.uploads import UploadsResource

MIB = 1 << 20


def open_descriptors() -> set[tuple[str, str]]:
    """This process's descriptors, each with what it refers to (a socket's
    inode is its own): those a test's calls leave open are the new ones after
    them; one that something else closes meanwhile does not count."""
    descriptors = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            descriptors.add((fd, os.readlink(f"/proc/self/fd/{fd}")))
        except OSError:
            continue  # closed since it was listed
    return descriptors


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out as two writes
    server: Server

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass

    def handle_one_request(self) -> None:
        try:
            super().handle_one_request()
        except OSError:
            self.close_connection = True

    def do_GET(self) -> None:  # noqa: N802 - http.server's names
        self.server.behave(self)

    do_POST = do_PUT = do_GET


class Server(http.server.ThreadingHTTPServer):
    """Answers every request as `behaviour` says; counts the requests."""

    daemon_threads = True
    request_queue_size = 512

    def __init__(
        self, behaviour: str, status: int = 200, body: bytes = b"{}", content_type: str = "application/json"
    ) -> None:
        super().__init__(("127.0.0.1", 0), Handler)
        self.behaviour = behaviour
        self.status = status
        self.body = body
        self.content_type = content_type
        self.requests = 0
        self.lock = threading.Lock()
        self.released = threading.Event()
        self.open_connections = 0
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}"

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        with self.lock:
            self.open_connections += 1
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self.lock:
                self.open_connections -= 1

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # resets and timeouts are the point here

    def behave(self, handler: Handler) -> None:
        with self.lock:
            self.requests += 1
        length = int(handler.headers.get("Content-Length", "0"))
        if self.behaviour == "reset":
            # Take a part of a large body, then drop the connection with a RST.
            handler.rfile.read(min(length, 256 * 1024))
            handler.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            handler.connection.close()
            handler.close_connection = True
            return
        handler.rfile.read(length)
        if self.behaviour == "stall":
            self.released.wait(30)
            handler.close_connection = True
            return
        handler.send_response(self.status)
        handler.send_header("Content-Type", self.content_type)
        handler.send_header("Content-Length", str(len(self.body)))
        handler.end_headers()
        handler.wfile.write(self.body)

    def __enter__(self) -> Server:
        self.thread.start()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.released.set()
        self.shutdown()
        self.server_close()
        self.thread.join()

    def wait_idle(self) -> None:
        """Until the server has closed its side of every connection."""
        for _ in range(2000):
            with self.lock:
                if self.open_connections == 0:
                    return
            threading.Event().wait(0.005)
        raise AssertionError("the server still holds connections")


def resources(base_url: str, timeout: float = 5.0, api_key: str = "sk-test") -> tuple[HTTPClient, GenerationsResource]:
    """The service's client with retries off, so that every call is one request."""
    http = HTTPClient(Config(api_key=api_key, base_url=base_url, timeout=timeout, max_retries=0))
    return http, GenerationsResource(http, UploadsResource(http))


async def failures(count: int, call: Callable[[], Any], concurrency: int = 1) -> list[BaseException]:
    """Runs `call` `count` times, `concurrency` at a time; every run must raise."""
    caught: list[BaseException] = []

    async def one() -> None:
        try:
            await call()
        except Exception as error:  # noqa: BLE001 - collected and checked by the caller
            caught.append(error)
        else:
            raise AssertionError("the call did not fail")

    for start in range(0, count, concurrency):
        await asyncio.gather(*(one() for _ in range(min(concurrency, count - start))))
    return caught


# --- the service's own HTTP client, through GenerationsResource --------------------------


def test_refused_connection_is_api_connection_error_and_leaks_nothing(closed_port: int) -> None:
    url = f"http://127.0.0.1:{closed_port}"

    async def main() -> list[BaseException]:
        http, generations = resources(url)
        async with http:
            return await failures(200, lambda: generations.create("q?"))

    before = open_descriptors()
    caught = asyncio.run(main())
    assert {type(error) for error in caught} == {exceptions.APIConnectionError}
    assert isinstance(caught[0].__cause__, httpx.ConnectError)
    assert open_descriptors() - before == set()


@pytest.mark.parametrize(
    ("status", "error"),
    [
        (400, exceptions.BadRequestError),
        (401, exceptions.AuthenticationError),
        (404, exceptions.NotFoundError),
        (409, exceptions.ConflictError),
        (422, exceptions.UnprocessableEntityError),
        (429, exceptions.RateLimitError),
        (500, exceptions.InternalServerError),
        (503, exceptions.InternalServerError),
    ],
)
def test_error_statuses_raise_their_class_once_per_call(status: int, error: type[Exception]) -> None:
    before = open_descriptors()
    with Server("answer", status, b'{"detail": "refused on purpose"}') as server:

        async def main() -> list[BaseException]:
            http, generations = resources(server.url)
            async with http:
                return await failures(40, lambda: generations.get_result("gen_1"))

        caught = asyncio.run(main())
        server.wait_idle()
        assert server.requests == 40  # one request per call: nothing is retried
    assert {type(e) for e in caught} == {error}
    reason = f"refused on purpose (HTTP {status})"
    assert {(e.status_code, str(e)) for e in caught} == {(status, reason)}  # type: ignore[attr-defined]
    assert open_descriptors() - before == set()


@pytest.mark.parametrize(
    ("body", "content_type", "fragment"),
    [
        (b"<html>busy</html>", "text/html", "not JSON"),
        (b"{truncated", "application/json", "not JSON"),
        (b"[1, 2]", "application/json", "expected an object"),
        (b'"text"', "application/json", "expected an object"),
    ],
)
def test_answers_that_are_not_a_json_object_raise_api_error(body: bytes, content_type: str, fragment: str) -> None:
    with Server("answer", 200, body, content_type) as server:

        async def main() -> list[BaseException]:
            http, generations = resources(server.url)
            async with http:
                return await failures(30, lambda: generations.create("q?"))

        caught = asyncio.run(main())
        server.wait_idle()
        assert server.requests == 30
    assert {type(e) for e in caught} == {exceptions.APIError}
    assert all(fragment in str(e) and e.text == body.decode() for e in caught)  # type: ignore[attr-defined]
    # The body decoded where it is JSON, else its text.
    decoded = json.loads(body) if fragment == "expected an object" else body.decode()
    assert all(e.body == decoded for e in caught)  # type: ignore[attr-defined]


def test_json_of_the_wrong_shape_is_refused_by_the_model() -> None:
    with Server("answer", 200, b'{"generation_id": 5}') as server:

        async def main() -> list[BaseException]:
            http, generations = resources(server.url)
            async with http:
                return await failures(10, lambda: generations.start("gen_1"))

        caught = asyncio.run(main())
        assert server.requests == 10
    assert {type(e).__name__ for e in caught} == {"ValidationError"}
    assert all("status" in str(e) for e in caught)


@pytest.mark.slow
def test_stalled_service_times_out_once_per_call_and_leaks_nothing() -> None:
    before = open_descriptors()
    with Server("stall") as server:

        async def main() -> list[BaseException]:
            http, generations = resources(server.url, timeout=1.0)
            async with http:
                return await failures(200, lambda: generations.get_result("gen_1"), concurrency=50)

        caught = asyncio.run(main())
        server.released.set()
        server.wait_idle()
        assert server.requests == 200
    assert {type(e) for e in caught} == {exceptions.APITimeoutError}
    assert open_descriptors() - before == set()


# --- presigned uploads, with their own short-lived httpx client ------------------------------


class ShortTimeouts:
    """`httpx` as the uploads module sees it, with the PUT's 60 s cut to a blink."""

    def __init__(self) -> None:
        self.clients: list[httpx.AsyncClient] = []

    def AsyncClient(self) -> httpx.AsyncClient:  # noqa: N802 - httpx's name
        outer = self

        class Client(httpx.AsyncClient):
            async def put(self, url: Any, **kwargs: Any) -> httpx.Response:
                kwargs["timeout"] = 1.0
                return await super().put(url, **kwargs)

        client = Client()
        outer.clients.append(client)
        return client


@pytest.fixture
def short_timeouts(monkeypatch: pytest.MonkeyPatch) -> ShortTimeouts:
    patched = ShortTimeouts()
    monkeypatch.setattr(uploads, "httpx", patched)
    return patched


def upload_failures(url: str, count: int, data: bytes, concurrency: int = 1) -> list[BaseException]:
    resource = UploadsResource(None)
    return asyncio.run(
        failures(count, lambda: resource.upload_file_to_s3(url + "/bucket/key", data, "image/png"), concurrency)
    )


def test_upload_to_a_closed_port_raises_httpx_connect_error(closed_port: int) -> None:
    before = open_descriptors()
    caught = upload_failures(f"http://127.0.0.1:{closed_port}", 60, b"data")
    assert {type(e) for e in caught} == {httpx.ConnectError}
    assert open_descriptors() - before == set()


def test_connection_reset_in_the_middle_of_a_large_upload() -> None:
    data = os.urandom(4 * MIB)
    before = open_descriptors()
    with Server("reset") as server:
        caught = upload_failures(server.url, 20, data)
        server.wait_idle()
        assert server.requests == 20
    assert all(isinstance(e, (httpx.NetworkError, httpx.RemoteProtocolError)) for e in caught), caught
    assert open_descriptors() - before == set()


@pytest.mark.slow
def test_stalled_storage_times_out_and_every_client_is_closed(short_timeouts: ShortTimeouts) -> None:
    before = open_descriptors()
    with Server("stall") as server:
        caught = upload_failures(server.url, 40, b"x" * 1000, concurrency=20)
        server.released.set()
        server.wait_idle()
        assert server.requests == 40
    assert {type(e) for e in caught} == {httpx.ReadTimeout}
    assert len(short_timeouts.clients) == 40 and all(c.is_closed for c in short_timeouts.clients)
    assert open_descriptors() - before == set()


@pytest.mark.parametrize(
    ("status", "body"), [(403, b"<Error>SignatureDoesNotMatch</Error>"), (500, b"oops"), (202, b"later"), (302, b"")]
)
def test_refused_uploads_raise_plain_exception_with_status_and_body(status: int, body: bytes) -> None:
    before = open_descriptors()
    with Server("answer", status, body, "application/xml") as server:
        caught = upload_failures(server.url, 12, b"payload")
        server.wait_idle()
        assert server.requests == 12
    assert {type(e) for e in caught} == {Exception}
    assert {str(e) for e in caught} == {f"S3 upload failed (Any): {status} {body.decode()}"}
    assert open_descriptors() - before == set()


# --- the local reference service --------------------------------------------------------------


def test_local_service_faults_surface_once_each(service_factory: Callable[..., Any]) -> None:
    service = service_factory(url_ttl=0)

    async def main() -> dict[str, BaseException]:
        seen: dict[str, BaseException] = {}
        http, generations = resources(service.base_url, api_key=service.api_key)
        async with http:
            record = await generations.create("q?")
            answer = await generations.get_upload_urls(record.generation_id, ["a.png"])
            target = answer["upload_urls"][0]
            for name, call in [
                ("expired URL", lambda: generations._uploads.upload_file_to_s3(target["upload_url"], b"x")),
                ("unknown record", lambda: generations.get_result("gen_missing")),
            ]:
                (seen[name],) = await failures(1, call)
            service.fail_next(503, method="GET")
            (seen["injected"],) = await failures(1, lambda: generations.get_result(record.generation_id))
            await generations.get_result(record.generation_id)  # the next one goes through
        wrong_key = HTTPClient(Config(api_key="sk-wrong", base_url=service.base_url))
        async with wrong_key:
            (seen["wrong key"],) = await failures(1, lambda: GenerationsResource(wrong_key, None).create("q?"))
        return seen

    seen = asyncio.run(main())
    requests = service.requests
    assert type(seen["expired URL"]) is Exception and str(seen["expired URL"]).startswith(
        "S3 upload failed (Any): 403 "
    )
    assert type(seen["unknown record"]) is exceptions.NotFoundError
    assert type(seen["injected"]) is exceptions.InternalServerError
    assert type(seen["wrong key"]) is exceptions.AuthenticationError
    reads = [path for method, path in requests if path == f"/v1/generation/{record_id(requests)}/result"]
    assert len(reads) == 2  # the refused read was not retried; the second one is the caller's own
    assert sum(1 for method, _ in requests if method == "PUT") == 1


def record_id(requests: list[tuple[str, str]]) -> str:
    (path,) = [path for method, path in requests if path.endswith("/upload")]
    return path.split("/")[3]
