"""The `batch` command run as a user runs it: a real process against the local
service, killed with SIGKILL in the middle and resumed, with real files."""

from __future__ import annotations

import contextlib
import json
import os
import signal
import subprocess
import sys
import time
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from typing import Any

import httpx
import pytest
from support import package_env
from test_batch import FAILING, check_blueprint, small_files

from velquor_ai._batch_command import ResultsFile
from velquor_ai.testing import LocalService


def batch_command(jobs: Path, out: Path, service: LocalService, *extra: str) -> list[str]:
    return [
        sys.executable,
        "-m",
        "velquor_ai",
        "batch",
        str(jobs),
        "--out",
        str(out),
        "--base-url",
        service.base_url,
        "--api-key",
        service.api_key,
        "--interval",
        "1",
        *extra,
    ]


def run_batch(jobs: Path, out: Path, service: LocalService, *extra: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        batch_command(jobs, out, service, *extra),
        capture_output=True,
        text=True,
        env=package_env(),
        timeout=300,
    )


def write_jobs(path: Path, lines: list[Any]) -> None:
    with path.open("w") as handle:
        for line in lines:
            handle.write((line if isinstance(line, str) else json.dumps(line)) + "\n")


def results(path: Path) -> list[dict[str, Any]]:
    """Every line of a results file, each of which must parse."""
    return [json.loads(line) for line in path.read_text().splitlines()]


def ended_lines(path: Path) -> dict[Any, list[dict[str, Any]]]:
    ended: dict[Any, list[dict[str, Any]]] = {}
    for record in results(path)[1:]:
        if record["status"] in ("completed", "failed", "incomplete"):
            ended.setdefault(record["key"], []).append(record)
    return ended


@pytest.mark.slow
def test_a_killed_batch_resumes_without_doing_anything_twice(
    service_factory: Callable[..., LocalService], tmp_path: Path
) -> None:
    files = small_files(tmp_path / "inputs", 10)
    questions = {f"job-{i}": f"Question {i}: what is shown?" for i in range(40)}
    # Every third job has no files: it goes from created to started at once.
    inputs = {key: [] if i % 3 == 2 else [files[i % 10]] for i, key in enumerate(questions)}
    jobs = tmp_path / "jobs.jsonl"
    write_jobs(
        jobs,
        [
            {
                "key": key,
                "question": questions[key],
                "images": [f"inputs/{p.name}" for p in inputs[key] if p.suffix == ".png"],
                "videos": [f"inputs/{p.name}" for p in inputs[key] if p.suffix == ".mp4"],
            }
            for key in questions
        ],
    )
    out = tmp_path / "results.jsonl"

    def waiting_for(condition: Any) -> None:
        deadline = time.monotonic() + 120
        while not (out.exists() and condition(results_so_far())):
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)

    def results_so_far() -> list[dict[str, Any]]:
        # The command may be halfway through a line.
        return [json.loads(line) for line in out.read_text().splitlines(keepends=True) if line.endswith("\n")]

    # A started generation stays "processing" for a while: the kill finds some.
    service = service_factory(processing_time=0.5)
    process = subprocess.Popen(
        batch_command(jobs, out, service, "--concurrency", "8"),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=package_env(),
    )
    try:
        waiting_for(lambda lines: sum(r.get("status") == "completed" for r in lines) >= 12)
        # From now on jobs with files stay in their uploads ("created"), while
        # jobs without go on to "started"; the kill comes when both are seen.
        service.hold_uploads()
        assert service.wait_for_held_uploads(1, timeout=60)
        waiting_for(
            lambda lines: (
                {r["key"] for r in lines[1:] if r["status"] == "started" and not inputs[r["key"]]}
                - {r["key"] for r in lines[1:] if r["status"] == "completed"}
            )
        )
        os.kill(process.pid, signal.SIGKILL)
    finally:
        process.kill()
        process.wait()
    first = results_so_far()
    header = first[0]
    begun = {record["key"] for record in first[1:]}
    done_before = ended_lines(out)
    assert len(done_before) < len(questions)
    # The kill found jobs created and not started, and jobs started and not done.
    unfinished = {r["key"]: r for r in first[1:] if r["key"] not in done_before}
    assert "created" in {r["status"] for r in unfinished.values()}
    waiting = {r["generation_id"] for r in unfinished.values() if r["status"] == "started"}
    assert waiting

    # A create that the killed command sent but never recorded the answer of.
    unseen = next(key for key in questions if key not in begun)
    identity = json.dumps(unseen)
    httpx.post(
        f"{service.base_url}/v1/generation",
        json={"question": questions[unseen]},
        headers={
            "Authorization": f"Bearer {service.api_key}",
            "Idempotency-Key": ResultsFile.derive_idempotency_key(header["batch"], identity),
        },
    ).raise_for_status()
    # And a line torn by the kill.
    with out.open("a") as handle:
        handle.write('{"key": "job-0", "generation_id": "gen_')
    service.release_uploads()

    requests_before = len(service.requests)
    resumed = run_batch(jobs, out, service, "--concurrency", "8", "--resume")
    assert resumed.returncode == 0, resumed.stderr
    # Started generations were only waited for.
    sent = {path for method, path in service.requests[requests_before:] if method == "POST"}
    assert not {path.split("/")[3] for path in sent if path.count("/") == 4} & waiting
    assert "removed an incomplete last line" in resumed.stderr

    ended = ended_lines(out)
    assert sorted(ended) == sorted(questions)
    for key, records in ended.items():
        assert [r["status"] for r in records] == ["completed"], records
        check_blueprint(records[0]["blueprint"], questions[key], inputs[key])
    created = Counter(service.generation(g)["question"] for g in service.generation_ids)
    assert created == Counter(questions.values())
    # Each job kept one generation throughout.
    for key, records in ended.items():
        ids = {r["generation_id"] for r in results(out)[1:] if r["key"] == key}
        assert ids == {records[0]["generation_id"]}

    again = run_batch(jobs, out, service, "--resume")
    assert again.returncode == 0 and len(service.generation_ids) == len(questions)
    assert ended_lines(out) == ended


def test_ctrl_c_stops_the_batch_with_a_summary_and_a_resume_finishes_it(service: LocalService, tmp_path: Path) -> None:
    small_files(tmp_path, 1)
    jobs, out = tmp_path / "jobs.jsonl", tmp_path / "out.jsonl"
    write_jobs(jobs, [{"key": f"job-{i}", "question": f"Question {i}?", "images": ["input-0.png"]} for i in range(6)])
    service.hold_uploads()
    process = subprocess.Popen(
        batch_command(jobs, out, service, "--concurrency", "3"),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env=package_env(),
    )
    assert service.wait_for_held_uploads(3, timeout=60)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    assert "Batch interrupted" in stderr and "--resume" in stderr
    assert ended_lines(out) == {}  # every line parses; nothing ended

    service.release_uploads()
    resumed = run_batch(jobs, out, service, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert [len(records) for records in ended_lines(out).values()] == [1] * 6
    assert len(service.generation_ids) == 6


def test_the_batch_command_reports_failed_jobs_and_bad_lines(service: LocalService, tmp_path: Path) -> None:
    service.failing_questions.add(FAILING)
    small_files(tmp_path, 2)
    jobs = tmp_path / "jobs.jsonl"
    write_jobs(
        jobs,
        [
            {"key": "a", "question": "What is shown?", "images": ["input-0.png"]},
            {"key": "missing", "question": "What is shown?", "images": ["nowhere.png"]},
            '{"key": "broken", "question": ',
            {"key": "fails", "question": FAILING, "images": ["input-1.png"]},
            "",
            {"key": "a", "question": "Again?"},
            {"key": 7, "question": "Numbered?", "videos": []},
            {"key": "b", "question": "What?", "image": ["input-0.png"]},
            ["not", "an", "object"],
            {"key": "c", "question": ""},
        ],
    )
    out = tmp_path / "out.jsonl"
    finished = run_batch(jobs, out, service)
    assert finished.returncode == 2, finished.stderr
    for number, reason in [
        (3, "not valid JSON"),
        (6, "duplicate key"),
        (8, "unknown field(s) 'image'"),
        (9, "a job must be a JSON object"),
        (10, "question must be a non-blank string"),
    ]:
        assert f"{jobs}:{number}: {reason}" in finished.stderr
    ended = ended_lines(out)
    assert sorted(ended, key=str) == [7, "a", "fails", "missing"]
    assert ended[7][0]["status"] == ended["a"][0]["status"] == "completed"
    missing, fails = ended["missing"][0], ended["fails"][0]
    assert missing["status"] == "failed" and missing["generation_id"] is None
    assert missing["error"]["type"] == "ValidationError"
    assert fails["status"] == "failed" and fails["error"]["type"] == "GenerationFailedError"
    assert service.generation(fails["generation_id"])["question"] == FAILING
    assert "2 completed, 2 failed" in finished.stderr

    # Failed jobs count as finished: a resume has nothing left to do.
    resumed = run_batch(jobs, out, service, "--resume")
    assert resumed.returncode == 2 and ended_lines(out) == ended

    # Until they are asked for again, once their causes are gone.
    (tmp_path / "nowhere.png").write_bytes(b"found at last")
    service.failing_questions.clear()
    retried = run_batch(jobs, out, service, "--retry-failed")
    assert retried.returncode == 2, retried.stderr
    again = ended_lines(out)
    for key in ("missing", "fails"):
        assert [r["status"] for r in again[key]] == ["failed", "completed"]
    assert again["fails"][1]["generation_id"] != fails["generation_id"]
    assert again["a"] == ended["a"] and again[7] == ended[7]


@pytest.mark.parametrize(
    ("setup", "extra", "message"),
    [
        ("results", (), "already exists; pass --resume"),
        ("foreign", ("--resume",), "is not a results file"),
        ("no-jobs", (), "Cannot read jobs file"),
        (None, ("--concurrency", "0"), "concurrency must be an integer of at least 1"),
    ],
)
def test_the_batch_command_refuses_what_it_cannot_use(
    service: LocalService, tmp_path: Path, setup: str | None, extra: tuple[str, ...], message: str
) -> None:
    jobs, out = tmp_path / "jobs.jsonl", tmp_path / "out.jsonl"
    write_jobs(jobs, [{"key": "a", "question": "What?"}])
    before = {
        "results": '{"batch": "earlier"}\n{"key": "a", "generation_id": "gen_',
        "foreign": "notes without a newline",
    }.get(setup)
    if before is not None:
        out.write_text(before)
    elif setup == "no-jobs":
        jobs.unlink()
    refused = run_batch(jobs, out, service, *extra)
    assert refused.returncode == 2
    assert message in refused.stderr
    assert service.generation_ids == []
    if before is not None:  # left as it was
        assert out.read_text() == before


@pytest.mark.skipif(not os.environ.get("VELQUOR_LOAD"), reason="a long run: `make soak` runs it (VELQUOR_LOAD=1)")
def test_a_thousand_jobs_keep_the_command_within_memory_and_descriptor_bounds(
    service_factory: Callable[..., LocalService], tmp_path: Path
) -> None:
    files = small_files(tmp_path / "inputs", 50)
    questions = {f"job-{i}": f"Question {i}: what is shown?" for i in range(1000)}
    figures = {}
    service = service_factory(keep_uploads=False)
    for count in (100, 1000):
        jobs, out = tmp_path / f"jobs-{count}.jsonl", tmp_path / f"out-{count}.jsonl"
        keys = list(questions)[:count]
        write_jobs(
            jobs,
            [
                {"key": key, "question": questions[key], "images": [f"inputs/{files[i % 50].name}"]}
                for i, key in enumerate(keys)
            ],
        )
        started = time.monotonic()
        process = subprocess.Popen(
            batch_command(jobs, out, service, "--concurrency", "64"),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            env=package_env(),
        )
        most_fds = 0
        while True:
            # Reaped here, not by Popen, to get the process's resource usage.
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            with contextlib.suppress(FileNotFoundError):
                most_fds = max(most_fds, len(os.listdir(f"/proc/{pid or process.pid}/fd")))
            time.sleep(0.01)
        process.returncode = os.waitstatus_to_exitcode(status)
        assert process.returncode == 0, process.stderr.read().decode()
        process.stderr.close()
        ended = ended_lines(out)
        assert sorted(ended) == sorted(keys)
        assert all(records[0]["status"] == "completed" for records in ended.values())
        figures[count] = {
            "seconds": time.monotonic() - started,
            "peak_rss_mib": usage.ru_maxrss / 1024,
            "most_fds": most_fds,
        }
    for count, figure in figures.items():
        print(
            f"batch of {count} jobs at concurrency 64: {figure['seconds']:.1f} s, "
            f"peak RSS {figure['peak_rss_mib']:.1f} MiB, most descriptors {figure['most_fds']}"
        )
    # Memory does not grow with the number of jobs, only with the slots.
    assert figures[1000]["peak_rss_mib"] < figures[100]["peak_rss_mib"] + 16
    # A slot holds at most an API connection, a storage connection and a file.
    assert figures[1000]["most_fds"] <= 64 * 3 + 32
