"""A generation against a service that fails now and then: retries with one
idempotency key per call, errors that keep the generation, picking it up again,
and a wait that ends when it says. Real HTTP to a LocalService on 127.0.0.1,
which injects the faults."""

from __future__ import annotations

import asyncio
import json
import shlex
import socket
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

from velquor_ai import cli
from velquor_ai.client import AsyncVelquorAI
from velquor_ai.exceptions import (
    APIConnectionError,
    APITimeoutError,
    GenerationTimeoutError,
    InternalServerError,
    RateLimitError,
    UnprocessableEntityError,
)
from velquor_ai.testing import LocalService

QUESTION = "What is shown?"
# Requests time out after REQUEST_TIMEOUT; a stalled request is held longer.
REQUEST_TIMEOUT = 1.0
STALL = 1.5

# What is retried is the point here, not after how long: the computed pauses are short.
pytestmark = pytest.mark.usefixtures("quick_retries")

# fault -> (LocalService.fail_next options, error raised when it is not retried)
FAULTS: dict[str, tuple[dict[str, Any], type[Exception]]] = {
    "500": ({"status": 500}, InternalServerError),
    "503 Retry-After 1": (
        {"status": 503, "headers": {"Retry-After": "1"}},
        InternalServerError,
    ),
    "429": ({"status": 429}, RateLimitError),
    "dropped connection": ({"drop": True}, APIConnectionError),
    "timeout": ({"stall": STALL}, APITimeoutError),
}
# stage -> (method, path fragment); the create is the first POST of a generation.
STAGES = {
    "create": ("POST", "/v1/generation"),
    "upload URLs": ("POST", "/upload"),
    "start": ("POST", "/start"),
    "status poll": ("GET", "/result"),
}


@pytest.fixture
def image(tmp_path: Path) -> Path:
    path = tmp_path / "cat.png"
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + b"cat" * 100)
    return path


def client_of(service: LocalService, **options: Any) -> AsyncVelquorAI:
    options.setdefault("timeout", REQUEST_TIMEOUT)
    return AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url, **options)


def sent(service: LocalService, stage: str) -> int:
    """How many requests of `stage` reached the service."""
    method, fragment = STAGES[stage]
    return sum(1 for m, path in service.requests if m == method and path.endswith(fragment))


@pytest.mark.parametrize("stage", STAGES)
@pytest.mark.parametrize("fault", FAULTS)
def test_generation_completes_through_one_fault(service: LocalService, image: Path, fault: str, stage: str) -> None:
    method, fragment = STAGES[stage]
    service.fail_next(**FAULTS[fault][0], method=method, path=fragment)

    async def generate() -> Any:
        async with client_of(service) as client:
            return await client.generate(QUESTION, images=[image], interval=1)

    began = time.monotonic()
    result = asyncio.run(generate())
    waited = time.monotonic() - began

    assert result.status == "completed" and result.blueprint
    assert service.generation_ids == [result.generation_id]
    assert sent(service, stage) == 2  # the failed try and its retry
    if "Retry-After" in fault:
        assert waited >= 1.0


@pytest.mark.parametrize("stage", STAGES)
@pytest.mark.parametrize("fault", FAULTS)
def test_without_retries_one_fault_fails_at_once_keeping_the_generation(
    service: LocalService, image: Path, fault: str, stage: str
) -> None:
    options, error = FAULTS[fault]
    method, fragment = STAGES[stage]
    service.fail_next(**options, method=method, path=fragment)

    async def generate() -> None:
        async with client_of(service, max_retries=0) as client:
            await client.generate(QUESTION, images=[image], interval=1)

    with pytest.raises(error) as caught:
        asyncio.run(generate())

    assert type(caught.value) is error
    assert sent(service, stage) == 1
    expected_id = None if stage == "create" else service.generation_ids[0]
    assert caught.value.generation_id == expected_id  # type: ignore[attr-defined]
    if "status" in options:
        status = options["status"]
        assert caught.value.status_code == status  # type: ignore[attr-defined]
        assert f"HTTP {status}" in str(caught.value)
        assert caught.value.request_id.startswith("req_")  # type: ignore[attr-defined]
    else:
        assert caught.value.request_id is None  # type: ignore[attr-defined]


@pytest.mark.parametrize("fault", ["500", "dropped connection"])
def test_error_after_the_last_try_says_how_many_were_made(service: LocalService, fault: str) -> None:
    options, error = FAULTS[fault]
    service.fail_next(**options, count=3, path="/start")

    async def generate() -> None:
        async with client_of(service) as client:
            await client.generate(QUESTION, interval=1)

    with pytest.raises(error) as caught:
        asyncio.run(generate())
    assert "after 3 tries" in str(caught.value)
    assert sent(service, "start") == 3
    assert caught.value.generation_id == service.generation_ids[0]  # type: ignore[attr-defined]


@pytest.mark.parametrize("stage", ["create", "start"])
@pytest.mark.parametrize("loss", [{"status": 502}, {"drop": True}], ids=["502", "drop"])
def test_answer_lost_after_the_work_is_retried_without_doing_it_twice(
    service: LocalService, stage: str, loss: dict[str, Any]
) -> None:
    method, fragment = STAGES[stage]
    service.fail_next(**loss, after=True, method=method, path=fragment)

    async def generate() -> Any:
        async with client_of(service) as client:
            return await client.generate(QUESTION, interval=1)

    # A second create would make a second generation; a second start, a 409.
    result = asyncio.run(generate())
    assert result.status == "completed"
    assert service.generation_ids == [result.generation_id]
    assert sent(service, stage) == 2


def test_repeated_generate_with_one_idempotency_key_reuses_the_generation(
    service: LocalService,
) -> None:
    async def twice() -> tuple[Any, Any]:
        async with client_of(service) as client:
            first = await client.generate(QUESTION, interval=1, idempotency_key="job-1")
            again = await client.generate(QUESTION, interval=1, idempotency_key="job-1")
            with pytest.raises(UnprocessableEntityError):
                await client.generate("Another?", interval=1, idempotency_key="job-1")
            return first, again

    first, again = asyncio.run(twice())
    assert first.generation_id == again.generation_id
    assert service.generation_ids == [first.generation_id]


def test_a_client_killed_before_its_body_leaves_the_key_unclaimed(
    service: LocalService,
) -> None:
    # Headers sent, body never: what a client killed between its two writes leaves.
    with socket.create_connection(("127.0.0.1", service.port)) as sock:
        sock.sendall(
            b"POST /v1/generation HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Authorization: Bearer " + service.api_key.encode() + b"\r\n"
            b"Idempotency-Key: job-7\r\nContent-Type: application/json\r\n"
            b"Content-Length: 40\r\n\r\n"
        )
    time.sleep(0.2)  # let the service see the disconnect first

    async def retried() -> Any:
        async with client_of(service) as client:
            return await client.generate(QUESTION, interval=1, idempotency_key="job-7")

    result = asyncio.run(retried())
    assert service.generation_ids == [result.generation_id]


def test_failed_wait_is_picked_up_by_wait_for_result_and_the_result_command(
    service: LocalService,
    image: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
) -> None:
    service.fail_next(503, path="/result")
    monkeypatch.setenv("VELQUOR_MAX_RETRIES", "0")
    base = ["--base-url", service.base_url, "--api-key", service.api_key]

    code = cli.main(["generate", QUESTION, "--image", str(image), "--interval", "1", *base])
    error = capsys.readouterr().err.strip().splitlines()[-1]
    assert code == cli.EXIT_FAILURE
    (generation_id,) = service.generation_ids
    assert generation_id in error and "HTTP 503" in error
    resume = shlex.split(error.partition("resume with: ")[2])
    assert resume[:5] == ["python", "-m", "velquor_ai", "result", generation_id]

    async def wait() -> Any:
        async with client_of(service) as client:
            return await client.wait_for_result(generation_id, interval=1)

    result = asyncio.run(wait())
    blueprint = service.generation(generation_id)["blueprint"]
    assert result.generation_id == generation_id and result.blueprint == blueprint

    assert cli.main([*resume[3:], "--api-key", service.api_key]) == cli.EXIT_OK
    assert json.loads(capsys.readouterr().out) == json.loads(blueprint)


@pytest.mark.slow
def test_generate_ends_within_a_second_of_its_timeout(service_factory: Callable[..., LocalService]) -> None:
    service = service_factory(processing_time=3600)

    async def generate() -> None:
        async with client_of(service) as client:
            await client.generate(QUESTION, timeout=3, interval=2)

    began = time.monotonic()
    with pytest.raises(GenerationTimeoutError) as caught:
        asyncio.run(generate())
    waited = time.monotonic() - began
    # Checks at 0 s and 2 s; the next pause of 3 s is cut at the deadline.
    assert waited < 4.0
    assert caught.value.generation_id == service.generation_ids[0]
    assert "waited 3." in str(caught.value)
    assert "last status: processing" in str(caught.value)


def test_error_before_the_start_points_at_the_generation_status(
    service: LocalService, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    service.fail_next(503, path="/start")
    monkeypatch.setenv("VELQUOR_MAX_RETRIES", "0")
    base = ["--base-url", service.base_url, "--api-key", service.api_key]

    assert cli.main(["generate", QUESTION, *base]) == cli.EXIT_FAILURE
    error = capsys.readouterr().err.strip().splitlines()[-1]
    (generation_id,) = service.generation_ids
    check = shlex.split(error.partition("see where it stands with: ")[2])
    assert check[3:5] == ["result", generation_id] and "--wait" not in check

    assert cli.main([*check[3:], "--api-key", service.api_key]) == cli.EXIT_FAILURE
    assert "has not finished (status: created)" in capsys.readouterr().err
