"""The retry policy: which failures are tried again, and after what pause."""

from __future__ import annotations

import asyncio
import email.utils

import httpx
import pytest

from velquor_ai._retry import RetryPolicy, retry_after

REQUEST = httpx.Request("POST", "http://127.0.0.1/v1/generation")


def answer(status: int, **headers: str) -> httpx.Response:
    return httpx.Response(status, headers=headers, request=REQUEST)


@pytest.mark.parametrize(
    ("outcome", "tries", "retry", "low", "high"),
    [
        (answer(500), 1, True, 0.375, 0.5),
        (answer(502), 2, True, 0.75, 1.0),
        (answer(503, **{"Retry-After": "1"}), 1, True, 1.0, 1.0),
        (answer(503, **{"retry-after-ms": "250", "Retry-After": "7"}), 1, True, 0.25, 0.25),
        (answer(429, **{"Retry-After": "61"}), 1, True, 0.375, 0.5),  # too long: computed
        (answer(429, **{"Retry-After": "soon"}), 2, True, 0.75, 1.0),  # unreadable: computed
        (answer(408), 2, True, 0.75, 1.0),
        (answer(500), 3, False, None, None),  # two retries spent
        *[(answer(s), 1, False, None, None) for s in (400, 401, 403, 404, 409, 422)],
        (httpx.ConnectError("refused", request=REQUEST), 1, True, 0.375, 0.5),
        (httpx.ReadTimeout("slow", request=REQUEST), 1, True, 0.375, 0.5),
        (httpx.PoolTimeout("busy", request=REQUEST), 2, True, 0.75, 1.0),
        (httpx.RemoteProtocolError("dropped", request=REQUEST), 1, True, 0.375, 0.5),
        (httpx.UnsupportedProtocol("ftp", request=REQUEST), 1, False, None, None),
        (ValueError("not ours"), 1, False, None, None),
    ],
)
def test_decision_table(outcome, tries, retry, low, high):
    policy = RetryPolicy(max_retries=2)
    if isinstance(outcome, httpx.Response):
        decided = policy.should_retry(tries, response=outcome)
        headers = outcome.headers
    else:
        decided = policy.should_retry(tries, error=outcome)
        headers = None
    assert decided is retry
    if retry:
        for rand in (0.0, 0.999999):
            assert low <= policy.delay(tries, headers, rand=lambda: rand) <= high


def test_backoff_doubles_to_the_cap_and_no_retries_means_one_try():
    policy = RetryPolicy()
    assert [policy.backoff(n, rand=lambda: 0.0) for n in range(1, 7)] == [0.5, 1, 2, 4, 8, 8]
    assert not RetryPolicy(max_retries=0).should_retry(1, response=answer(503))


def test_retry_after_as_an_http_date():
    now = 1_700_000_000.0
    date = email.utils.formatdate(now + 5, usegmt=True)
    assert retry_after({"Retry-After": date}, now=now) == pytest.approx(5.0)
    assert retry_after({"Retry-After": email.utils.formatdate(now - 5, usegmt=True)}, now=now) == 0


def test_run_retries_until_an_answer_needs_none_and_counts_tries():
    answers = [httpx.ConnectError("refused", request=REQUEST), answer(503), answer(200)]
    pauses: list[float] = []

    async def send(attempt: int) -> httpx.Response:
        item = answers[attempt - 1]
        if isinstance(item, Exception):
            raise item
        return item

    async def sleep(seconds: float) -> None:
        pauses.append(seconds)

    outcome = asyncio.run(RetryPolicy().run(send, sleep=sleep))
    assert (outcome.response.status_code, outcome.error, outcome.tries) == (200, None, 3)
    assert len(pauses) == 2

    outcome = asyncio.run(RetryPolicy(max_retries=0).run(send, sleep=sleep))
    assert isinstance(outcome.error, httpx.ConnectError) and outcome.tries == 1


def test_each_retry_of_a_generation_leaves_one_info_record(service, tmp_path, caplog):
    from velquor_ai import VelquorAI

    image = tmp_path / "cat.png"
    image.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(64))
    now = {"Retry-After": "0"}
    service.fail_next(503, path="/v1/generation", method="POST", headers=now)  # the create
    service.fail_next(drop=True, path="/start")
    service.fail_storage(503, headers=now)
    caplog.set_level("INFO", logger="velquor_ai")
    with VelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
        result = client.generate("What is shown?", images=[image], interval=1)
    gen = result.generation_id

    retries = [r for r in caplog.records if r.levelname == "INFO" and "retrying" in r.getMessage()]
    lines = [r.getMessage() for r in retries]
    assert lines[0] == "POST /v1/generation: HTTP 503 Service Unavailable on attempt 1 of 3; retrying in 0.00s"
    assert lines[1].startswith(f"PUT {service.base_url}/storage/") and "?[redacted] (cat.png): HTTP 503 " in lines[1]
    assert lines[1].endswith(f"on attempt 1 of 3; retrying in 0.00s [generation {gen}]")
    assert lines[2].startswith(f"POST /v1/generation/{gen}/start: RemoteProtocolError: ")
    assert lines[2].endswith(f" on attempt 1 of 3; retrying in {retries[2].delay:.2f}s [generation {gen}]")
    assert len(lines) == 3 and all(r.name.startswith("velquor_ai.") for r in retries)
    assert [(r.attempt, r.max_attempts, r.generation_id) for r in retries] == [(1, 3, None), (1, 3, gen), (1, 3, gen)]
    assert 0.375 <= retries[2].delay <= 0.5  # computed: the dropped start asked for no pause
    assert not any("signature" in r.getMessage() for r in caplog.records)
