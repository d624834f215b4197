"""The `batch` command against jobs and disks that misbehave: no bad line and no
failing job stops the others, and a full disk under the results file ends the
command with one line and a file that `--resume` finishes from."""

from __future__ import annotations

import json
import resource
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any

from support import package_env

QUESTION = "What is shown?"


def batch(jobs: Path, service: Any, *extra: str, file_limit: int | None = None) -> subprocess.CompletedProcess[str]:
    """Run `velquor batch` on `jobs` into jobs.out, with a file size limit if given."""
    command = [sys.executable, "-m", "velquor_ai", "batch", str(jobs), "--out", str(jobs.with_suffix(".out"))]
    command += ["--base-url", service.base_url, "--api-key", service.api_key, "--interval", "1", "--quiet", *extra]

    def limit_files() -> None:
        if file_limit is not None:
            # Past the limit a write fails with EFBIG instead of killing the process.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))

    return subprocess.run(
        command, capture_output=True, text=True, env=package_env(), timeout=120, preexec_fn=limit_files
    )


def ended(out: Path) -> dict[Any, str]:
    """The last ending of each job in a results file (every line must parse)."""
    endings: dict[Any, str] = {}
    for line in out.read_text().splitlines()[1:]:
        record = json.loads(line)
        if record["status"] in ("completed", "failed", "incomplete"):
            endings[record["key"]] = record["status"]
    return endings


def test_bad_lines_and_failing_jobs_never_stop_the_others(service: Any, tmp_path: Path) -> None:
    (tmp_path / "cat.png").write_bytes(bytes(64))
    lines = [
        json.dumps({"key": "first", "question": QUESTION, "images": ["cat.png"]}),
        '{"key": "\\ud800", "question": "What is shown?"}',
        '{"key": "odd question", "question": "What is \\udc80?"}',
        "[" * 100_000 + "]" * 100_000,
        '{"key": ' + "7" * 5000 + ', "question": "What is shown?"}',
        json.dumps({"key": "missing", "question": QUESTION, "images": ["missing.png"]}),
        json.dumps({"key": "nul", "question": QUESTION, "images": ["cat\x00.png"]}),
        '{"key": "surrogate path", "question": "What is shown?", "images": ["\\ud800.png"]}',
        json.dumps({"key": 9, "question": QUESTION, "images": ["cat.png"]}),
    ]
    jobs = tmp_path / "jobs.jsonl"
    jobs.write_text("\n".join(lines) + "\n")
    run = batch(jobs, service)
    assert run.returncode == 2, run.stderr
    assert "Traceback" not in run.stderr
    for number in (2, 3, 4, 5):
        assert f"jobs.jsonl:{number}: " in run.stderr
    assert ended(jobs.with_suffix(".out")) == {
        "first": "completed",
        "missing": "failed",
        "nul": "failed",
        "surrogate path": "failed",
        9: "completed",
    }


def test_a_full_disk_ends_the_batch_with_one_line_and_resume_finishes_it(service: Any, tmp_path: Path) -> None:
    (tmp_path / "cat.png").write_bytes(bytes(64))
    jobs = tmp_path / "jobs.jsonl"
    jobs.write_text(
        "".join(json.dumps({"key": i, "question": QUESTION, "images": ["cat.png"]}) + "\n" for i in range(4))
    )
    out = jobs.with_suffix(".out")
    # Room for the header and a few lines: the file size limit stands for a full disk.
    cut = batch(jobs, service, "--concurrency", "1", file_limit=600)
    assert cut.returncode == 2, cut.stderr
    errors = [line for line in cut.stderr.splitlines() if "error" in line]
    assert errors == [
        f"velquor_ai: error: Cannot write results file {out}: File too large; the batch stopped, "
        "and running the same command with --resume goes on from what the file holds"
    ]
    assert "Traceback" not in cut.stderr
    assert 0 < out.stat().st_size <= 600

    resumed = batch(jobs, service, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert ended(out) == dict.fromkeys(range(4), "completed")
    assert len(service.generation_ids) == 4
