"""The TLS contexts shared by the clients' connection pools: one per process
and set of settings, each client keeping the verification it was built with."""

from __future__ import annotations

import asyncio
import http.server
import json
import re
import ssl
import subprocess
import sys
import threading
from collections.abc import Iterator
from pathlib import Path

import pytest
from support import package_env

from velquor_ai import AsyncVelquorAI, VelquorAI
from velquor_ai._network import SharedSSLContext, prepare
from velquor_ai.exceptions import APIConnectionError

trustme = pytest.importorskip("trustme")

GENERATION = {"generation_id": "gen_1", "status": "processing"}


class _Answer(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        body = json.dumps(GENERATION).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        pass


@pytest.fixture(scope="module")
def authority() -> trustme.CA:
    return trustme.CA()


@pytest.fixture(scope="module")
def https_url(authority: trustme.CA) -> Iterator[str]:
    """A service on 127.0.0.1 whose certificate the private authority signed."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Answer)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("127.0.0.1").configure_cert(context)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"https://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


@pytest.fixture
def ca_file(authority: trustme.CA, tmp_path: Path) -> str:
    path = tmp_path / "private-ca.pem"
    authority.cert_pem.write_to_path(str(path))
    return str(path)


@pytest.fixture
def clean_env(monkeypatch: pytest.MonkeyPatch) -> pytest.MonkeyPatch:
    for name in ("SSL_CERT_FILE", "SSL_CERT_DIR", "SSLKEYLOGFILE"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def _refused_for_its_certificate(error: BaseException) -> bool:
    while error is not None:
        if isinstance(error, ssl.SSLCertVerificationError):
            return True
        error = error.__cause__ or error.__context__
    return False


def backends() -> list[str]:
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        return ["httpx"]
    return ["httpx", "aiohttp"]


@pytest.mark.parametrize("backend", backends())
@pytest.mark.parametrize("trusting_first", [True, False])
def test_each_client_keeps_the_verification_it_was_built_with(
    https_url: str, ca_file: str, clean_env: pytest.MonkeyPatch, trusting_first: bool, backend: str
) -> None:
    def build(trusting: bool) -> AsyncVelquorAI:
        if trusting:
            clean_env.setenv("SSL_CERT_FILE", ca_file)
        else:
            clean_env.delenv("SSL_CERT_FILE", raising=False)
        return AsyncVelquorAI(api_key="sk-test", base_url=https_url, max_retries=0, http_backend=backend)  # type: ignore[arg-type]

    clients = {trusting: build(trusting) for trusting in (trusting_first, not trusting_first)}
    clean_env.delenv("SSL_CERT_FILE", raising=False)

    async def main() -> None:
        async with clients[True] as trusting, clients[False] as untrusting:
            for _ in range(2):  # each pool made once, then used again
                assert (await trusting.generations.get_result("gen_1")).status == "processing"
                with pytest.raises(APIConnectionError) as refused:
                    await untrusting.generations.get_result("gen_1")
                assert _refused_for_its_certificate(refused.value)

    asyncio.run(main())


def test_the_blocking_client_trusts_what_its_environment_trusted(
    https_url: str, ca_file: str, clean_env: pytest.MonkeyPatch
) -> None:
    clean_env.setenv("SSL_CERT_FILE", ca_file)
    with VelquorAI(api_key="sk-test", base_url=https_url, max_retries=0) as client:
        clean_env.delenv("SSL_CERT_FILE")
        assert client.generations.get_result("gen_1").status == "processing"


def test_contexts_are_shared_per_settings_and_made_off_the_loop(
    ca_file: str, tmp_path: Path, clean_env: pytest.MonkeyPatch
) -> None:
    async def context(**settings: object) -> ssl.SSLContext:
        return await prepare(**settings).context()  # type: ignore[arg-type]

    async def main() -> None:
        default = await context()
        assert default is await context()
        assert default is not await context(verify=False)
        # A new setting, met on a running loop: made on a worker thread.
        clean_env.setenv("SSL_CERT_FILE", ca_file)
        private = await context()
        assert private is not default and private is await context()
        assert private is not await context(trust_env=False)
        other = tmp_path / "other-ca.pem"
        trustme.CA().cert_pem.write_to_path(str(other))
        clean_env.setenv("SSL_CERT_FILE", str(other))
        assert await context() not in (default, private)
        clean_env.delenv("SSL_CERT_FILE")
        assert await context() is default

    asyncio.run(main())


@pytest.mark.parametrize("backend", backends() + ["given AiohttpClient"] * ("aiohttp" in backends()))
def test_a_context_that_cannot_be_made_fails_the_request_and_is_tried_again(
    https_url: str, ca_file: str, tmp_path: Path, clean_env: pytest.MonkeyPatch, backend: str
) -> None:
    missing = tmp_path / "ca.pem"
    clean_env.setenv("SSL_CERT_FILE", str(missing))
    given = None
    if backend == "given AiohttpClient":
        from velquor_ai import AiohttpClient

        given, backend = AiohttpClient(), "httpx"
    client = AsyncVelquorAI(
        api_key="sk-test",
        base_url=https_url,
        max_retries=0,
        http_backend=backend,
        http_client=given,  # type: ignore[arg-type]
    )

    async def main() -> None:
        async with client:
            with pytest.raises(APIConnectionError, match=re.escape(f"SSL_CERT_FILE={missing}")) as refused:
                await client.generations.get_result("gen_1")
            assert isinstance(refused.value.__cause__, OSError)
            Path(ca_file).replace(missing)
            assert (await client.generations.get_result("gen_1")).status == "processing"
        if given is not None:
            await given.aclose()

    asyncio.run(main())


def test_a_shared_context_keeps_its_protocols() -> None:
    context = asyncio.run(prepare().context())
    assert isinstance(context, SharedSSLContext)
    context.set_alpn_protocols(["http/1.1"])  # what every pool of ours asks for
    with pytest.raises(ValueError, match="shared"):
        context.set_alpn_protocols(["h2", "http/1.1"])


def test_a_process_that_exits_while_a_context_is_made_waits_for_it(tmp_path: Path) -> None:
    # The context is made on a worker thread (the client is built on a running
    # loop) and takes a while; the process ends at once. A thread the
    # interpreter does not wait for would be stopped in the middle.
    done = tmp_path / "made"
    program = f"""
import asyncio, time, httpx, velquor_ai, velquor_ai._network

velquor_ai._network.warm_imports()  # as a client built before the loop would have

def slow(*args, **kwargs):
    time.sleep(0.3)
    context = make(*args, **kwargs)
    open({str(done)!r}, "w").close()
    return context

make, httpx.create_ssl_context = httpx.create_ssl_context, slow

async def main():
    velquor_ai.AsyncVelquorAI(api_key="sk-test", base_url="https://127.0.0.1:9")

asyncio.run(main())
"""
    command = [sys.executable, "-c", program]
    result = subprocess.run(command, capture_output=True, text=True, env=package_env(), timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert done.exists()
