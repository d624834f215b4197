"""`python -m velquor_ai` run as a user runs it: a subprocess, real files, a real
service on 127.0.0.1."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

import velquor_ai

PNG = b"\x89PNG\r\n\x1a\n" + b"picture" * 50
MP4 = b"\x00\x00\x00\x18ftypmp42" + b"\x05" * 2000
QUESTION = "What is shown here?"
PACKAGE_ROOT = str(Path(velquor_ai.__file__).resolve().parents[1])


def run_cli(
    *args: str, cwd: Path, stdin: str | None = None
) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELQUOR_")}
    # The same package as this test process imports, built in place or installed.
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p
    )
    return subprocess.run(
        [sys.executable, "-m", "velquor_ai", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        input=stdin,
        timeout=120,
    )


def error_line(result: subprocess.CompletedProcess[str]) -> str:
    """The error: the last line on stderr, the only one that says "error"."""
    lines = result.stderr.strip().splitlines()
    errors = [line for line in lines if "error" in line.lower()]
    assert errors == lines[-1:], result.stderr
    assert lines[-1].startswith("velquor_ai: error: ")
    return lines[-1]


@pytest.fixture
def files(tmp_path: Path) -> dict[str, Path]:
    (tmp_path / "cat.png").write_bytes(PNG)
    (tmp_path / "clip.mp4").write_bytes(MP4)
    return {"image": tmp_path / "cat.png", "video": tmp_path / "clip.mp4"}


@pytest.fixture
def local_service() -> Iterator[Any]:
    testing = pytest.importorskip("velquor_ai.testing")
    with testing.LocalService(api_key="sk-cli", fail_generation=True) as service:
        yield service


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_help_explains_both_commands(tmp_path: Path) -> None:
    result = run_cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    for text in ("generate", "execute", "exit status", "VELQUOR_API_KEY"):
        assert text in result.stdout
    generate_help = run_cli("generate", "--help", cwd=tmp_path).stdout
    for option in ("--image", "--video", "--local", "--base-url", "--json"):
        assert option in generate_help


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_generate_against_a_local_service(
    files: dict[str, Path], tmp_path: Path, as_json: bool
) -> None:
    pytest.importorskip("velquor_ai.testing")
    args = ["generate", QUESTION, "--image", "cat.png", "--video", "clip.mp4",
            "--local", "--interval", "1"]  # fmt: skip
    result = run_cli(*args, *(["--json"] if as_json else []), cwd=tmp_path)
    assert result.returncode == 0, result.stderr

    if as_json:
        answer = json.loads(result.stdout)
        assert answer["status"] == "completed"
        assert answer["generation_id"].startswith("gen_")
        document = json.loads(answer["blueprint"])
    else:
        document = json.loads(result.stdout)
    assert document["question"] == QUESTION
    assert [(i["name"], i["size"]) for i in document["inputs"]] == [
        ("cat.png", len(PNG)),
        ("clip.mp4", len(MP4)),
    ]
    # Progress went to stderr: both uploads and the final status.
    assert "Uploaded cat.png" in result.stderr
    assert "Uploaded clip.mp4" in result.stderr
    assert "Status: completed" in result.stderr


@pytest.mark.parametrize(
    ("args", "mentions"),
    [
        # Checked before the service is contacted (nothing listens on port 9).
        (["generate", QUESTION, "--image", "missing.png", "--base-url",
          "http://127.0.0.1:9", "--api-key", "sk-cli"], "missing.png"),
        (["generate", QUESTION, "--video", "nowhere/clip.mp4", "--on-premise"],
         "nowhere/clip.mp4"),
        (["generate", QUESTION, "--image", ".", "--on-premise"], "Not a regular file"),
        (["generate", "  ", "--on-premise"], "question"),
        (["generate", QUESTION, "--interval", "0.5", "--on-premise"], "interval"),
        (["generate", QUESTION, "--base-url", "ftp://host", "--api-key", "sk-cli"],
         "base_url"),
        (["execute", "missing.json", "--input", "cat.png"], "missing.json"),
        (["execute", "bad.json", "--input", "cat.png"], "Invalid blueprint"),
    ],
    ids=["missing-image", "missing-video", "directory", "blank-question",
         "short-interval", "bad-url", "missing-blueprint", "invalid-blueprint"],
)  # fmt: skip
def test_bad_input_exits_2_with_one_line(
    files: dict[str, Path], tmp_path: Path, args: list[str], mentions: str
) -> None:
    (tmp_path / "bad.json").write_text('{"version": 1}')
    result = run_cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert mentions in error_line(result)
    assert result.stdout == ""


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["generate"],
        ["execute", "blueprint.json"],
        ["generate", QUESTION, "--local", "--on-premise"],
        ["generate", QUESTION, "--timeout", "soon"],
    ],
    ids=["no-command", "no-question", "no-input", "two-targets", "bad-number"],
)
def test_usage_errors_exit_2(tmp_path: Path, args: list[str]) -> None:
    result = run_cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert "usage:" in result.stderr
    assert result.stdout == ""


def test_unreachable_service_exits_1(files: dict[str, Path], tmp_path: Path) -> None:
    url = f"http://127.0.0.1:{free_port()}"  # closed: nothing listens there
    result = run_cli("generate", QUESTION, "--image", "cat.png", "--base-url", url,
                     "--api-key", "sk-cli", cwd=tmp_path)  # fmt: skip
    assert result.returncode == 1
    assert f"cannot reach {url}" in error_line(result)
    assert result.stdout == ""


@pytest.mark.parametrize(
    ("api_key", "mentions"),
    [("sk-cli", "failed"), ("sk-wrong", "API key")],
    ids=["generation-failed", "wrong-key"],
)
def test_service_failures_exit_1(
    files: dict[str, Path], tmp_path: Path, local_service: Any, api_key: str,
    mentions: str,
) -> None:  # fmt: skip
    result = run_cli(
        "generate", QUESTION, "--image", "cat.png", "--interval", "1",
        "--base-url", local_service.base_url, "--api-key", api_key,
        cwd=tmp_path,
    )  # fmt: skip
    assert result.returncode == 1
    assert mentions in error_line(result)
    assert result.stdout == ""


def test_on_premise_generate_then_execute(
    files: dict[str, Path], tmp_path: Path
) -> None:
    generated = run_cli("generate", QUESTION, "--image", "cat.png", "--video",
                        "clip.mp4", "--on-premise", "-q", cwd=tmp_path)  # fmt: skip
    assert generated.returncode == 0, generated.stderr
    assert generated.stderr == ""
    (tmp_path / "blueprint.json").write_text(generated.stdout)

    executed = run_cli("execute", "blueprint.json", "--input", "cat.png", "--input",
                       "clip.mp4", "--workdir", "out", "--json",
                       cwd=tmp_path)  # fmt: skip
    assert executed.returncode == 0, executed.stderr
    answer = json.loads(executed.stdout)
    assert answer["status"] == "completed"
    reports = [Path(p) for p in answer["output_files"]]
    assert [p.parent.parent for p in reports] == [tmp_path / "out"] * 2
    described = [json.loads(p.read_text())["input"]["name"] for p in reports]
    assert described == ["cat.png", "clip.mp4"]

    # The same blueprint from stdin, with the plain summary.
    piped = run_cli("execute", "-", "--input", "cat.png", cwd=tmp_path,
                    stdin=generated.stdout)  # fmt: skip
    assert piped.returncode == 0, piped.stderr
    assert "Described 1 input file(s)" in piped.stdout
    assert "Reports:" in piped.stdout
