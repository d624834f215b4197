"""The async client under event loops other than asyncio's own: uvloop works,
trio (through anyio) is refused before anything is sent."""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

import httpx
import pytest

from velquor_ai import AsyncVelquorAI, Job, VelquorAI, VelquorAIError

anyio = pytest.importorskip("anyio")
pytest.importorskip("trio")

QUESTION = "What is shown?"

# Each entry: what a trio task does with an open client.
CALLS: dict[str, Callable[[AsyncVelquorAI, Path], Awaitable[Any]]] = {
    "generate": lambda client, image: client.generate(QUESTION, images=[image]),
    "wait_for_result": lambda client, image: client.wait_for_result("gen_0123456789abcdef"),
    "generations.create": lambda client, image: client.generations.create(QUESTION),
    "async with": lambda client, image: client.__aenter__(),
    "aclose": lambda client, image: client.aclose(),
}


async def iterate_batch(client: AsyncVelquorAI, image: Path) -> None:
    async for _ in client.generate_many([{"question": QUESTION, "images": [image]}]):
        pass


CALLS["generate_many"] = iterate_batch


@pytest.fixture
def image(tmp_path: Path) -> Path:
    path = tmp_path / "cat.png"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(64))
    return path


@pytest.mark.parametrize("given", [False, True], ids=["own pool", "http_client"])
@pytest.mark.parametrize("call", sorted(CALLS))
def test_trio_is_refused_before_any_request(service: Any, image: Path, call: str, given: bool) -> None:
    async def main() -> None:
        own = httpx.AsyncClient() if given else None
        client = AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url, http_client=own)
        with pytest.raises(VelquorAIError) as caught:
            await CALLS[call](client, image)
        message = str(caught.value)
        assert "needs an asyncio event loop" in message and "trio" in message and "VelquorAI" in message
        if own is not None:
            await own.aclose()

    anyio.run(main, backend="trio")
    assert service.requests == [] and service.generation_ids == []


def test_the_blocking_client_works_from_a_trio_program(service: Any, image: Path) -> None:
    async def main() -> str:
        with VelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
            result = await anyio.to_thread.run_sync(lambda: client.generate(QUESTION, images=[image], interval=1))
        return str(result.status)

    assert anyio.run(main, backend="trio") == "completed"


def test_uvloop_runs_the_async_client(service: Any, image: Path) -> None:
    pytest.importorskip("uvloop")

    async def main() -> list[str]:
        async with AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
            single = await client.generate(QUESTION, images=[image], interval=1)
            many = [o.result.status async for o in client.generate_many([Job(QUESTION, images=[image])]) if o.result]
        return [str(single.status), *map(str, many)]

    assert anyio.run(main, backend="asyncio", backend_options={"use_uvloop": True}) == ["completed"] * 2
