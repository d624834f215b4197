"""The aiohttp backend (`http_backend="aiohttp"`, `AiohttpClient`): generations,
faults and changed files behave as on httpx, over real HTTP to a LocalService."""

from __future__ import annotations

import asyncio
import hashlib
import os
import sys
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("aiohttp")
pytest.importorskip("starlette")

from velquor_ai import AiohttpClient, AsyncVelquorAI
from velquor_ai._storage import CHUNK_SIZE
from velquor_ai.exceptions import APIConnectionError, APITimeoutError, ValidationError
from velquor_ai.testing import LocalService

API_KEY = "sk-test"  # for clients refused before any request
QUESTION = "What is shown?"


def client_of(service: LocalService, **options: Any) -> AsyncVelquorAI:
    options.setdefault("timeout", 1.0)
    return AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url, http_backend="aiohttp", **options)


def write(path: Path, size: int) -> Path:
    path.write_bytes(os.urandom(size))
    return path


@pytest.mark.parametrize("size", [300, 2 * CHUNK_SIZE + 7], ids=["small image", "video in chunks"])
def test_a_generation_completes(service: LocalService, tmp_path: Path, size: int) -> None:
    path = write(tmp_path / ("a.png" if size < CHUNK_SIZE else "clip.mp4"), size)
    events: list[Any] = []

    async def main() -> Any:
        async with client_of(service) as client:
            kind = "images" if size < CHUNK_SIZE else "videos"
            return await client.generate(QUESTION, **{kind: [path]}, interval=1, on_progress=events.append)

    assert asyncio.run(main()).status == "completed"
    assert [o.sha256 for o in service.objects.values()] == [hashlib.sha256(path.read_bytes()).hexdigest()]
    assert events[-1].kind == "status" and any(e.kind == "upload" and e.sent == size for e in events)


# fault, stage, retries -> what comes out (None: the generation completes)
FAULTS: list[tuple[dict[str, Any], str, int, type[Exception] | None]] = [
    # aiohttp alone would send a GET again on a kept-alive connection that drops.
    ({"drop": True}, "/result", 0, APIConnectionError),
    ({"drop": True}, "/result", 2, None),
    ({"stall": 1.5}, "/v1/generation", 0, APITimeoutError),
    ({"status": 503}, "/start", 2, None),
]


@pytest.mark.parametrize(("fault", "stage", "retries", "error"), FAULTS)
def test_faults_come_out_as_on_httpx(
    service: LocalService,
    tmp_path: Path,
    fault: dict[str, Any],
    stage: str,
    retries: int,
    error: type[Exception] | None,
) -> None:
    path = write(tmp_path / "a.png", 300)
    service.fail_next(**fault, path=stage)

    async def main() -> Any:
        async with client_of(service, max_retries=retries) as client:
            # A status check on a connection kept alive from the requests before.
            return await client.generate(QUESTION, images=[path], interval=1)

    if error is None:
        assert asyncio.run(main()).status == "completed"
        sent = 2
    else:
        with pytest.raises(error) as caught:
            asyncio.run(main())
        assert type(caught.value) is error and caught.value.generation_id == (  # type: ignore[attr-defined]
            None if stage == "/v1/generation" else service.generation_ids[0]
        )
        sent = 1
    method = "GET" if stage == "/result" else "POST"
    assert sum(1 for m, p in service.requests if m == method and p.endswith(stage)) == sent


def test_a_file_that_grows_while_it_goes_out_is_refused(service: LocalService, tmp_path: Path) -> None:
    size = 2 * CHUNK_SIZE + 7
    path = write(tmp_path / "clip.mp4", size)

    def grow(event: Any) -> None:
        if event.kind == "uploading":
            with open(path, "ab") as file:
                file.write(b"\x01" * 10)

    async def main() -> None:
        async with client_of(service, max_file_size=size + 10) as client:
            await client.generate(QUESTION, videos=[path], on_progress=grow)

    with pytest.raises(ValidationError, match="clip.mp4 changed after it was checked"):
        asyncio.run(main())
    assert service.objects == {}


def test_settings_it_cannot_honour_are_refused(monkeypatch: pytest.MonkeyPatch) -> None:
    with pytest.raises(ValueError, match="socks5"):
        AiohttpClient(proxy="socks5://127.0.0.1:1080")
    with pytest.raises(ValidationError, match="'httpx' or 'aiohttp'"):
        AsyncVelquorAI(api_key=API_KEY, http_backend="curl")  # type: ignore[arg-type]
    monkeypatch.setitem(sys.modules, "aiohttp", None)
    monkeypatch.delitem(sys.modules, "velquor_ai._aiohttp")
    with pytest.raises(ValidationError, match=r"pip install 'velquor-ai\[aiohttp\]'"):
        AsyncVelquorAI(api_key=API_KEY, http_backend="aiohttp")
