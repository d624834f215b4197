"""Uploads to storage go through the caller's transport: a real forward proxy,
TLS from a private certificate authority, a separate `storage_http_client`,
and never with the API key or the caller's client's headers and cookies."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import os
import signal
import ssl
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest

from velquor_ai import AsyncVelquorAI, VelquorAI

QUESTION = "What is shown?"


@pytest.fixture
def images(tmp_path: Path) -> list[Path]:
    paths = [tmp_path / "a.png", tmp_path / "b.jpg"]
    for index, path in enumerate(paths):
        path.write_bytes(bytes([index]) * 3000)
    return paths


@pytest.fixture(scope="module")
def forward_proxy(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    """A forward HTTP proxy (proxy.py) on 127.0.0.1, on a port of the OS's choosing."""
    pytest.importorskip("proxy")
    port_file = tmp_path_factory.mktemp("proxy") / "port"
    command = [sys.executable, "-m", "proxy", "--hostname", "127.0.0.1", "--port", "0"]
    command += ["--port-file", str(port_file), "--num-workers", "1", "--num-acceptors", "1"]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 20
        while not (port_file.exists() and port_file.read_text().strip()):
            assert process.poll() is None and time.monotonic() < deadline, "the proxy did not start"
            time.sleep(0.05)
        yield f"http://127.0.0.1:{int(port_file.read_text())}"
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


@pytest.fixture
def private_ca(tmp_path: Path) -> tuple[ssl.SSLContext, dict[str, Path]]:
    """A certificate authority of our own, a certificate it issued for
    127.0.0.1 (as LocalService's TLS options), and a context that trusts it."""
    trustme = pytest.importorskip("trustme")
    authority = trustme.CA()
    issued = authority.issue_cert("127.0.0.1")
    files = {"ssl_certfile": tmp_path / "service.pem", "ssl_keyfile": tmp_path / "service.key"}
    issued.cert_chain_pems[0].write_to_path(str(files["ssl_certfile"]))
    for extra in issued.cert_chain_pems[1:]:
        extra.write_to_path(str(files["ssl_certfile"]), append=True)
    issued.private_key_pem.write_to_path(str(files["ssl_keyfile"]))
    context = ssl.create_default_context()
    authority.configure_trust(context)
    return context, files


def generate(kind: str, service: Any, images: list[Path], **options: Any) -> str:
    """Run one generation with the given client options; its status."""
    if kind == "sync":
        with VelquorAI(api_key=service.api_key, base_url=service.base_url, **options) as client:
            return str(client.generate(QUESTION, images=images, interval=1).status)

    async def main() -> str:
        async with AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url, **options) as client:
            result = await client.generate(QUESTION, images=images, interval=1)
        for given in options.values():
            if isinstance(given, httpx.AsyncClient):
                await given.aclose()
        return str(result.status)

    return asyncio.run(main())


def recorder(seen: list[httpx.Request]) -> Callable[[httpx.Request], Any]:
    async def record(request: httpx.Request) -> None:
        seen.append(request)

    return record


def client_classes() -> list[Any]:
    """httpx's client, and the aiohttp-backed one where aiohttp is installed."""
    try:
        from velquor_ai import AiohttpClient
    except ImportError:
        return [httpx.AsyncClient]
    return [httpx.AsyncClient, AiohttpClient]


@pytest.mark.parametrize("client_class", client_classes())
@pytest.mark.parametrize("kind", ["sync", "async"])
def test_uploads_go_through_the_callers_forward_proxy(
    kind: str,
    client_class: type[httpx.AsyncClient],
    service: Any,
    images: list[Path],
    forward_proxy: str,
    open_connections: Callable[[int], int],
) -> None:
    service.hold_uploads()
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        status = pool.submit(generate, kind, service, images, http_client=client_class(proxy=forward_proxy))
        try:
            assert service.wait_for_held_uploads(2)
            # Both uploads are under way, and not one socket of ours goes to
            # storage itself: they reach it through the proxy.
            assert open_connections(service.port) == 0
            assert open_connections(int(forward_proxy.rsplit(":", 1)[1])) >= 2
        finally:
            service.release_uploads()
        assert status.result(timeout=30) == "completed"
    assert len(service.objects) == 2


@pytest.mark.parametrize("client_class", client_classes())
@pytest.mark.parametrize("route", ["http_client", "storage_http_client"])
@pytest.mark.parametrize("kind", ["sync", "async"])
def test_uploads_trust_a_private_ca_given_with_verify(
    kind: str,
    route: str,
    client_class: type[httpx.AsyncClient],
    service_factory: Callable[..., Any],
    images: list[Path],
    private_ca: tuple[ssl.SSLContext, dict[str, Path]],
) -> None:
    context, files = private_ca
    service = service_factory(**files)
    assert service.base_url.startswith("https://")
    api_seen: list[httpx.Request] = []
    storage_seen: list[httpx.Request] = []
    options = {"http_client": client_class(verify=context, event_hooks={"request": [recorder(api_seen)]})}
    if route == "storage_http_client":
        hooks = {"request": [recorder(storage_seen)]}
        options[route] = client_class(verify=context, event_hooks=hooks)
    assert generate(kind, service, images, **options) == "completed"
    uploads = storage_seen if route == "storage_http_client" else api_seen
    assert [request.method for request in uploads].count("PUT") == 2
    assert len(service.objects) == 2


def test_uploads_carry_none_of_the_callers_headers_or_cookies(service: Any, images: list[Path]) -> None:
    seen: list[httpx.Request] = []
    double = httpx.AsyncClient(
        headers={"X-Secret": "client-wide"},
        cookies={"session": "c00kie"},
        event_hooks={"request": [recorder(seen)]},
    )
    assert generate("async", service, images, http_client=double, default_headers={"X-Team": "vision"}) == "completed"
    puts = [request for request in seen if request.method == "PUT"]
    assert len(puts) == 2 and len(service.storage_headers) == 2
    for headers in [*service.storage_headers, *(dict(request.headers) for request in puts)]:
        names = {name.lower() for name in headers}
        assert not names & {"authorization", "cookie", "x-secret", "x-team"}, headers
        assert "content-type" in names
