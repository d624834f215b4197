"""Both clients against a hostile service: random statuses, headers and bodies,
connections dropped before or during an answer, at every stage of a generation
(upload URLs and storage included). Whatever it does, only `VelquorAIError`
subclasses come out, carrying the generation's identifier once it exists (and
the request's id where there was an answer), and nothing is left open.

A bounded number of examples keeps it to seconds in `make test`; set
VELQUOR_HOSTILE_EXAMPLES for a longer run."""

from __future__ import annotations

import asyncio
import json
import os
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import HOSTILE_ID, HostileService, Reply, connections_to, files_open_under

from velquor_ai import APIError, AsyncVelquorAI, UploadError, VelquorAI, VelquorAIError

EXAMPLES = int(os.environ.get("VELQUOR_HOSTILE_EXAMPLES", "25"))
STAGES = ["create", "upload", "put", "start", "result"]

json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-5, 5) | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=6,
)
# Bodies close to what the service sends, with fields missing or of other kinds.
records = st.fixed_dictionaries(
    {},
    optional={
        "generation_id": st.sampled_from([HOSTILE_ID, "", "../x", 7, None]),
        "status": st.sampled_from(["created", "processing", "completed", "failed", "sideways", 3, None]),
        "blueprint": st.sampled_from(['{"steps": []}', "", 5, None]),
        "error": st.sampled_from(["broke", {"code": "x", "message": "m"}, {"code": 1}, [], None]),
        "upload_urls": st.lists(
            st.fixed_dictionaries(
                {},
                optional={
                    "filename": st.sampled_from(["cat.png", "", 1]),
                    "upload_url": st.sampled_from(["ftp://x/y", "http://127.0.0.1:1/x", 3]),
                },
            ),
            max_size=2,
        ),
        "result": json_values,
    },
)
bodies = st.one_of(
    st.just(b""),
    st.binary(max_size=24),
    json_values.map(lambda value: json.dumps(value).encode()),
    records.map(lambda value: json.dumps(value).encode()),
)
headers = st.dictionaries(
    st.sampled_from(["content-type", "retry-after", "x-request-id", "content-encoding", "location", "set-cookie"]),
    st.sampled_from(["application/json", "text/html", "0", "-1", "Wed, 21 Oct 2015 07:28:00 GMT", "gzip", "", "é"]),
    max_size=2,
)
replies = st.builds(
    Reply,
    status=st.sampled_from([200, 201, 204, 302, 400, 401, 403, 404, 409, 422, 429, 500, 503]),
    body=bodies,
    headers=headers,
    drop=st.booleans(),
    cut=st.booleans(),
)
scripts = st.dictionaries(st.sampled_from(STAGES), replies, max_size=3)
upload_urls = st.sampled_from(
    [
        "{base}/storage/object?signature=abc",
        "ftp://storage.example/object",
        "{base}/storage/a\r\nb",
        "http://[::1/object",
        "http:///object",
        "http://127.0.0.1:1/object",
        "{base}/storage/space in path",
        "",
    ]
)


@pytest.fixture
def hostile() -> Iterator[HostileService]:
    with HostileService() as server:
        yield server


def run(kind: str, base_url: str, image: Path) -> None:
    options: dict[str, Any] = {"api_key": "sk-test-key", "base_url": base_url, "max_retries": 0, "timeout": 2}
    ask: dict[str, Any] = {"images": [image], "timeout": 0.2, "interval": 1}
    if kind == "sync":
        with VelquorAI(**options) as client:
            client.generate("What is shown?", **ask)
        return

    async def main() -> None:
        async with AsyncVelquorAI(**options) as client:
            await client.generate("What is shown?", **ask)

    asyncio.run(main())


@pytest.mark.parametrize("kind", ["sync", "async"])
@settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(script=scripts, upload_url=upload_urls)
def test_only_our_errors_come_out_and_nothing_is_left_open(
    kind: str, hostile: HostileService, tmp_path: Path, script: dict[str, Reply], upload_url: str
) -> None:
    image = tmp_path / "cat.png"
    image.write_bytes(bytes(64))
    hostile.script = script
    hostile.upload_url = upload_url
    try:
        run(kind, hostile.base_url, image)
    except VelquorAIError as error:
        if "create" not in script:
            assert error.generation_id == HOSTILE_ID, repr(error)
        if isinstance(error, APIError) and error.status_code is not None and not isinstance(error, UploadError):
            assert error.request_id is not None, repr(error)
    assert connections_to(hostile.port) == 0
    assert files_open_under(tmp_path) == []


JSON = {"content-type": "application/json"}
DEEP = b"[" * 100_000 + b"]" * 100_000


@pytest.mark.parametrize(
    ("stage", "reply"),
    [
        ("create", Reply(200, DEEP, JSON)),
        ("start", Reply(500, b'{"detail": ' + DEEP + b"}", JSON)),
        # Opening tags never closed: storage's reason is looked for in one pass.
        ("put", Reply(403, b"<Message>" * 30_000, {"content-type": "application/xml"})),
    ],
    ids=["nested success", "nested error", "unclosed xml"],
)
def test_a_body_made_to_wear_the_decoder_out_is_an_api_error_at_once(
    hostile: HostileService, tmp_path: Path, stage: str, reply: Reply
) -> None:
    image = tmp_path / "cat.png"
    image.write_bytes(bytes(64))
    hostile.script[stage] = reply
    started = time.monotonic()
    with pytest.raises(APIError) as caught:
        run("async", hostile.base_url, image)
    assert time.monotonic() - started < 10
    assert caught.value.status_code == reply.status
    assert isinstance(caught.value, UploadError) == (stage == "put")
