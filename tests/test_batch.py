"""Many generations at once: `generate_many` and the `batch` command, over real
HTTP against the local service, with real files and, for the command, a real
process that is killed and resumed."""

from __future__ import annotations

import asyncio
import hashlib
import json
from collections.abc import AsyncIterator, Iterator
from pathlib import Path
from typing import Any

import pytest
from support import files_open_under

import velquor_ai
from velquor_ai import AsyncVelquorAI, GenerationFailedError, Job, ValidationError, VelquorAI
from velquor_ai.testing import LocalService

FAILING = "Which question does the service fail?"


def small_files(folder: Path, count: int) -> list[Path]:
    """`count` distinct little images and clips."""
    folder.mkdir(exist_ok=True)
    paths = []
    for index in range(count):
        suffix = ".mp4" if index % 4 == 3 else ".png"
        path = folder / f"input-{index}{suffix}"
        path.write_bytes(f"content of input {index} ".encode() * (index % 7 + 1))
        paths.append(path)
    return paths


def check_blueprint(text: str | None, question: str, files: list[Path]) -> None:
    """The local service's blueprint holds the question and each input's digest."""
    assert text is not None
    blueprint = json.loads(text)
    assert blueprint["question"] == question
    assert [item["sha256"] for item in blueprint["inputs"]] == [
        hashlib.sha256(path.read_bytes()).hexdigest() for path in files
    ]


# ------------------------------------------------------------ generate_many


@pytest.mark.slow
def test_generate_many_runs_every_job_and_keeps_within_its_bounds(service: LocalService, tmp_path: Path) -> None:
    files = small_files(tmp_path / "in", 40)
    jobs = {}
    for index in range(200):
        images = [p for p in files[index % 40 : index % 40 + 2] if p.suffix == ".png"]
        videos = [p for p in files[index % 40 : index % 40 + 2] if p.suffix == ".mp4"]
        jobs[f"job-{index}"] = (f"Question {index}: what is shown?", images, videos)
    pulled = 0

    def source() -> Iterator[Any]:
        nonlocal pulled
        for number, (key, (question, images, videos)) in enumerate(jobs.items()):
            pulled += 1
            if number % 2:
                yield Job(question, images=images, videos=videos, key=key)
            else:  # mappings are jobs too
                yield {"key": key, "question": question, "images": images, "videos": videos}

    created = ended = most_in_flight = most_files = 0

    def on_progress(key: str, event: velquor_ai.ProgressEvent) -> None:
        nonlocal created, most_in_flight, most_files
        assert key in jobs
        if event.kind == "created":
            created += 1
            most_in_flight = max(most_in_flight, created - ended)
        most_files = max(most_files, len(files_open_under(tmp_path)))

    async def run() -> dict[str, Any]:
        outcomes = {}
        async with AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
            async for outcome in client.generate_many(source(), concurrency=16, on_progress=on_progress):
                nonlocal ended
                ended += 1
                # Read lazily: never more jobs taken than finished plus the slots.
                assert pulled - ended <= 16
                outcomes[outcome.key] = outcome
        return outcomes

    outcomes = asyncio.run(run())
    assert sorted(outcomes) == sorted(jobs)
    for key, (question, images, videos) in jobs.items():
        outcome = outcomes[key]
        assert outcome.ok, outcome.error
        check_blueprint(outcome.result.blueprint, question, [*images, *videos])
    assert 1 < most_in_flight <= 16
    assert most_files <= 16 * 4  # the slots times the client's upload concurrency
    assert files_open_under(tmp_path) == []
    assert len(service.generation_ids) == 200


@pytest.mark.parametrize("asynchronous", [False, True], ids=["iterable", "async-iterable"])
def test_generate_many_reports_failed_jobs_and_runs_the_others(
    service: LocalService, tmp_path: Path, asynchronous: bool
) -> None:
    service.failing_questions.add(FAILING)
    picture = small_files(tmp_path, 1)[0]
    items: list[Any] = [
        Job("What is shown?", images=[picture], key="good"),
        Job("What is shown?", images=[tmp_path / "missing.png"], key="missing"),
        Job(FAILING, images=[picture], key="fails"),
        42,  # not a job: reported under its position
        {"key": "typo", "question": "What?", "image": [str(picture)]},
        Job("   ", key="blank"),
        Job("And here?", key="after"),
    ]

    async def async_items() -> AsyncIterator[Any]:
        for item in items:
            yield item

    async def run() -> dict[str, Any]:
        async with AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
            source = async_items() if asynchronous else iter(items)
            async with client.generate_many(source, concurrency=3) as outcomes:
                return {outcome.key: outcome async for outcome in outcomes}

    outcomes = asyncio.run(run())
    assert sorted(outcomes) == ["3", "after", "blank", "fails", "good", "missing", "typo"]
    assert outcomes["good"].ok and outcomes["after"].ok
    failed = outcomes["fails"]
    assert isinstance(failed.error, GenerationFailedError)
    assert failed.generation_id is not None
    assert service.generation(failed.generation_id)["question"] == FAILING
    for key in ("missing", "3", "typo", "blank"):
        assert isinstance(outcomes[key].error, ValidationError), key
        assert outcomes[key].generation_id is None
    # Nothing was created for the jobs refused before sending.
    assert len(service.generation_ids) == 3


def test_generate_many_yields_outcomes_while_an_async_source_waits(
    shared_service: LocalService,
) -> None:
    # Each job is produced only once the one before has ended.
    async def run() -> list[str]:
        queue: asyncio.Queue[Job | None] = asyncio.Queue()

        async def source() -> AsyncIterator[Job]:
            while (job := await queue.get()) is not None:
                yield job

        ended = []
        await queue.put(Job("First?", key="0"))
        async with AsyncVelquorAI(api_key=shared_service.api_key, base_url=shared_service.base_url) as client:
            async with asyncio.timeout(60):  # a hang is the fault, not slowness
                async for outcome in client.generate_many(source(), concurrency=4):
                    ended.append(outcome.key)
                    follow = len(ended) < 3
                    await queue.put(Job("Next?", key=str(len(ended))) if follow else None)
        return ended

    assert asyncio.run(run()) == ["0", "1", "2"]


@pytest.mark.parametrize("stop", ["async-with-break", "drop-after-break", "cancel-task"])
def test_stopping_the_iteration_cancels_the_jobs_in_flight(service: LocalService, tmp_path: Path, stop: str) -> None:
    pictures = small_files(tmp_path / "in", 8)
    source_closed = False

    def source() -> Iterator[Job]:
        nonlocal source_closed
        try:
            yield Job("No files, done at once", key="first")
            for index, picture in enumerate(pictures):
                yield Job(f"Question {index}", images=[picture], key=str(index))
        finally:
            source_closed = True

    async def held(count: int) -> None:
        assert await asyncio.to_thread(service.wait_for_held_uploads, count)

    async def run() -> None:
        async with AsyncVelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
            service.hold_uploads()
            if stop == "async-with-break":
                async with client.generate_many(source(), concurrency=4) as outcomes:
                    async for outcome in outcomes:
                        assert outcome.key == "first"
                        await held(3)
                        break
            elif stop == "drop-after-break":
                async for outcome in client.generate_many(source(), concurrency=4):
                    assert outcome.key == "first"
                    await held(3)
                    break
            else:

                async def consume() -> None:
                    async for _ in client.generate_many(source(), concurrency=4):
                        await held(3)
                        await asyncio.Event().wait()  # until cancelled

                task = asyncio.create_task(consume())
                await held(3)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            others = asyncio.all_tasks() - {asyncio.current_task()}
            results = await asyncio.gather(*others, return_exceptions=True)
            assert all(isinstance(r, asyncio.CancelledError) for r in results)
            assert source_closed
            assert files_open_under(tmp_path) == []

    asyncio.run(run())
    # Nothing went on after the stop: the jobs held in their uploads never started.
    records = [service.generation(g) for g in service.generation_ids]
    assert len(records) == 4
    assert [r["started"] for r in records if r["files"]] == [False] * 3


def test_the_blocking_client_iterates_and_stops_as_the_async_one(service: LocalService, tmp_path: Path) -> None:
    pictures = small_files(tmp_path / "in", 6)
    jobs = [Job("No files, done at once", key="first")] + [
        Job(f"Question {i}", images=[p], key=str(i)) for i, p in enumerate(pictures)
    ]
    with VelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
        outcomes = {o.key: o for o in client.generate_many(jobs, concurrency=3)}
        assert sorted(outcomes) == sorted(job.key for job in jobs)
        for job in jobs:
            check_blueprint(outcomes[job.key].result.blueprint, job.question, list(job.images))

        before = len(service.generation_ids)
        service.hold_uploads()
        for outcome in client.generate_many(iter(jobs), concurrency=3):
            assert outcome.key == "first"
            assert service.wait_for_held_uploads(2)
            break
        # Leaving the loop cancelled the held jobs: released, they go no further.
        service.release_uploads()
        assert client.generate("And now?").status == "completed"
    records = [service.generation(g) for g in service.generation_ids[before:]]
    assert [r["started"] for r in records if r["files"]] == [False] * 2
    assert files_open_under(tmp_path) == []


@pytest.mark.parametrize(
    ("jobs", "options", "field"),
    [
        ([], {"concurrency": 0}, "concurrency"),
        ([], {"concurrency": True}, "concurrency"),
        ([], {"concurrency": 2.0}, "concurrency"),
        ("What is shown?", {}, "jobs"),
        (Job("What is shown?"), {}, "jobs"),
        ({"question": "What is shown?"}, {}, "jobs"),
        (42, {}, "jobs"),
        ([], {"on_progress": "print"}, "on_progress"),
        ([], {"on_progress": asyncio.sleep}, "on_progress"),
    ],
)
def test_generate_many_refuses_bad_arguments_at_the_call(jobs: Any, options: dict[str, Any], field: str) -> None:
    client = AsyncVelquorAI(api_key="sk-test", base_url="http://127.0.0.1:9")
    with pytest.raises(ValidationError) as caught:
        client.generate_many(jobs, **options)
    assert caught.value.field == field
    asyncio.run(client.aclose())
