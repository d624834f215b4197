"""`python -m velquor_ai` run as a user runs it: a subprocess, real files, a real
service on 127.0.0.1."""

from __future__ import annotations

import io
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import httpx
import pytest
from support import package_env

import velquor_ai

PNG = b"\x89PNG\r\n\x1a\n" + b"picture" * 50
MP4 = b"\x00\x00\x00\x18ftypmp42" + b"\x05" * 2000
QUESTION = "What is shown here?"


def run_cli(*args: str, cwd: Path, stdin: str | None = None, **settings: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "velquor_ai", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=package_env(**settings),
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


def test_help_explains_both_commands(tmp_path: Path) -> None:
    result = run_cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    for text in ("generate", "execute", "exit status", "VELQUOR_API_KEY"):
        assert text in result.stdout
    generate_help = run_cli("generate", "--help", cwd=tmp_path).stdout
    for option in ("--image", "--video", "--local", "--base-url", "--json"):
        assert option in generate_help


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_generate_against_a_local_service(files: dict[str, Path], tmp_path: Path, as_json: bool) -> None:
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


@pytest.mark.parametrize("encoding", ["utf-8", "latin-1"])
def test_blueprint_on_stdin_that_is_not_utf8_exits_2(tmp_path: Path, encoding: str) -> None:
    # Whatever the locale says stdin holds, a blueprint is UTF-8, as in a file.
    result = subprocess.run(
        [sys.executable, "-m", "velquor_ai", "execute", "-", "--input", "cat.png"],
        input="{\"v\": \"\u00e9\"}".encode("latin-1"), capture_output=True, cwd=tmp_path,
        env=package_env(PYTHONIOENCODING=encoding), timeout=120,
    )  # fmt: skip
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == "velquor_ai: error: Blueprint on stdin is not UTF-8 text"


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


def test_unreachable_service_exits_1(files: dict[str, Path], tmp_path: Path, closed_port: int) -> None:
    url = f"http://127.0.0.1:{closed_port}"
    result = run_cli("generate", QUESTION, "--image", "cat.png", "--base-url", url,
                     "--api-key", "sk-cli", cwd=tmp_path)  # fmt: skip
    assert result.returncode == 1
    assert f"cannot reach {url}" in error_line(result)
    assert result.stdout == ""


def _hang_up(server: socket.socket) -> None:
    while True:
        try:
            connection, _ = server.accept()
        except OSError:  # the test shut the server down
            return
        connection.close()


@pytest.mark.slow
@pytest.mark.parametrize(
    ("hang_up", "says"),
    [(True, "connection to {url} failed"), (False, "no answer from {url} in time")],
    ids=["closed-without-answer", "no-answer"],
)
def test_connection_made_then_lost_is_not_unreachable(
    files: dict[str, Path], tmp_path: Path, hang_up: bool, says: str
) -> None:
    # The listening socket completes the connection either way; the thread, if
    # any, then closes each one without answering.
    with socket.create_server(("127.0.0.1", 0)) as server:
        url = f"http://127.0.0.1:{server.getsockname()[1]}"
        worker = threading.Thread(target=_hang_up, args=(server,))
        if hang_up:
            worker.start()
        try:
            result = run_cli("generate", QUESTION, "--image", "cat.png", "--base-url",
                             url, "--api-key", "sk-x", cwd=tmp_path,
                             VELQUOR_TIMEOUT="0.5")  # fmt: skip
        finally:
            if hang_up:
                server.shutdown(socket.SHUT_RDWR)
                worker.join()
    assert result.returncode == 1
    line = error_line(result)
    assert says.format(url=url) in line and "cannot reach" not in line


def test_closed_output_pipe_exits_quietly(files: dict[str, Path], tmp_path: Path) -> None:
    reader, writer = os.pipe()
    os.close(reader)  # the reader has gone before anything is written
    args = ["generate", QUESTION, "--image", "cat.png", "--on-premise", "-q"]
    try:
        result = subprocess.run(
            [sys.executable, "-m", "velquor_ai", *args], stdout=writer,
            stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=package_env(),
            timeout=120,
        )  # fmt: skip
    finally:
        os.close(writer)
    assert (result.returncode, result.stderr) == (0, "")


def test_output_that_cannot_be_written_exits_1_with_one_line(files: dict[str, Path], tmp_path: Path) -> None:
    args = ["generate", QUESTION, "--image", "cat.png", "--on-premise", "-q"]
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-m", "velquor_ai", *args], stdout=full,
            stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=package_env(),
            timeout=120,
        )  # fmt: skip
    assert result.returncode == 1
    assert error_line(result) == "velquor_ai: error: [Errno 28] No space left on device"


@pytest.mark.parametrize(
    ("api_key", "mentions"),
    [(None, ["failed"]), ("sk-wrong", ["API key", "(HTTP 401)"])],
    ids=["generation-failed", "wrong-key"],
)
def test_service_failures_exit_1(
    files: dict[str, Path], tmp_path: Path, service_factory: Callable[..., Any], api_key: str | None,
    mentions: list[str],
) -> None:  # fmt: skip
    service = service_factory(fail_generation=True)
    result = run_cli(
        "generate", QUESTION, "--image", "cat.png", "--interval", "1",
        "--base-url", service.base_url, "--api-key", api_key or service.api_key,
        cwd=tmp_path,
    )  # fmt: skip
    assert result.returncode == 1
    line = error_line(result)
    assert all(text in line for text in mentions)
    assert result.stdout == ""


def test_on_premise_generate_then_execute(files: dict[str, Path], tmp_path: Path) -> None:
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


@pytest.mark.parametrize("level", ["", "info", "debug"], ids=["off", "info", "debug"])
def test_velquor_log_writes_our_records_with_urls_redacted(files: dict[str, Path], tmp_path: Path, level: str) -> None:
    pytest.importorskip("velquor_ai.testing")
    result = run_cli("generate", QUESTION, "--image", "cat.png", "--local", "-q",
                     "--interval", "1", cwd=tmp_path, VELQUOR_LOG=level)  # fmt: skip
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    if not level:
        assert lines == []
        return
    assert any(" INFO velquor_ai." in line for line in lines)
    assert any(" DEBUG velquor_ai." in line for line in lines) == (level == "debug")
    # httpx's request lines come with debug, the upload's presigned URL without
    # its query (the signature).
    puts = [line for line in lines if "HTTP Request: PUT" in line]
    assert len(puts) == (level == "debug")
    assert "signature" not in result.stderr
    assert all(re.search(r"\?(?!\[redacted\])", url) is None
               for url in re.findall(r"https?://\S+", result.stderr))  # fmt: skip


def wait_until(condition: Any, seconds: float = 60) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def test_rich_display_moves_the_upload_bar_while_a_file_goes_out() -> None:
    from velquor_ai.cli import _RichDisplay

    display = _RichDisplay(io.StringIO())
    size = 3 << 20
    completed = []
    for kind, done, sent in [
        ("upload", 0, 0),
        ("uploading", 0, 1 << 20),
        ("uploading", 0, 2 << 20),
        ("upload", 1, size),
    ]:
        display(velquor_ai.ProgressEvent(kind, "gen_1", filename="clip.mp4", done=done, total=1, size=size,
                                         sent=sent, bytes_done=sent, bytes_total=size))  # fmt: skip
        completed.append(display._progress.tasks[0].completed)
    display.close()
    assert completed == [0, 1 << 20, 2 << 20, size]


@pytest.mark.parametrize(
    ("stage", "advice"),
    [("waiting", "resume with: {command} --wait"), ("uploading", "see where it stands with: {command}")],
)
def test_ctrl_c_names_the_generation_and_how_to_pick_it_up(
    files: dict[str, Path], tmp_path: Path, service_factory: Any, stage: str, advice: str
) -> None:
    service = service_factory(processing_time=3600)
    if stage == "uploading":
        service.hold_uploads()
    process = subprocess.Popen(
        [sys.executable, "-m", "velquor_ai", "generate", QUESTION, "--image", "cat.png", "--interval", "1",
         "--base-url", service.base_url, "--api-key", service.api_key],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=package_env(),
    )  # fmt: skip
    try:
        if stage == "uploading":
            assert service.wait_for_held_uploads(1, timeout=60)
        else:
            wait_until(lambda: service.generation_ids and service.generation(service.generation_ids[0])["started"])
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    generation_id = service.generation_ids[0]
    command = f"python -m velquor_ai result {generation_id} --base-url {service.base_url}"
    assert process.returncode == 130, stderr
    assert stderr.splitlines()[-1] == (
        f"velquor_ai: error: generation {generation_id}: interrupted; " + advice.format(command=command)
    )
    assert stdout == ""


@pytest.mark.parametrize(
    ("processing_time", "options", "status"),
    [(3600, [], 3), (3600, ["--wait", "--timeout", "1"], 3), (0, [], 0), (0, ["--wait"], 0)],
    ids=["running", "running-wait-ran-out", "completed", "completed-wait"],
)
def test_result_of_a_generation_still_running_exits_3(
    tmp_path: Path, service_factory: Any, processing_time: float, options: list[str], status: int
) -> None:
    service = service_factory(processing_time=processing_time)
    headers = {"Authorization": f"Bearer {service.api_key}"}
    generation_id = httpx.post(f"{service.base_url}/v1/generation", json={"question": QUESTION},
                               headers=headers).json()["generation_id"]  # fmt: skip
    httpx.post(f"{service.base_url}/v1/generation/{generation_id}/start", headers=headers).raise_for_status()
    result = run_cli("result", generation_id, *options, "--base-url", service.base_url,
                     "--api-key", service.api_key, cwd=tmp_path)  # fmt: skip
    assert result.returncode == status, result.stderr
    if status == 0:
        assert json.loads(result.stdout)["question"] == QUESTION
    else:
        assert f"result {generation_id} --base-url {service.base_url} --wait" in error_line(result)
        assert result.stdout == ""


@pytest.mark.parametrize("command", [["velquor", "serve"], ["-m", "velquor_ai.testing"]], ids=["serve", "testing"])
def test_serve_runs_a_local_service_until_ctrl_c(tmp_path: Path, files: dict[str, Path], command: list[str]) -> None:
    pytest.importorskip("velquor_ai.testing")
    script = Path(sys.executable).with_name("velquor")
    program = [str(script), *command[1:]] if command[0] == "velquor" else [sys.executable, *command]
    process = subprocess.Popen(
        [*program, "--port", "0", "--api-key", "sk-served", "--processing-time", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=package_env(),
    )  # fmt: skip
    try:
        assert process.stdout is not None
        settings = dict(process.stdout.readline().removeprefix("export ").strip().split("=", 1) for _ in range(2))
        assert settings["VELQUOR_API_KEY"] == "sk-served"
        with velquor_ai.VelquorAI(base_url=settings["VELQUOR_BASE_URL"], api_key="sk-served") as client:
            assert client.generate(QUESTION, images=[files["image"]], interval=1).status == "completed"
        process.send_signal(signal.SIGINT)
        started = time.monotonic()
        stdout, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 0, stderr
    assert time.monotonic() - started < 10
    assert "stop it with Ctrl-C" in stderr and stderr.rstrip().endswith("Local service stopped")
    with pytest.raises(httpx.ConnectError):
        httpx.get(settings["VELQUOR_BASE_URL"])


def test_serve_on_a_port_taken_exits_2(tmp_path: Path) -> None:
    pytest.importorskip("velquor_ai.testing")
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        result = run_cli("serve", "--port", str(port), cwd=tmp_path)
    assert result.returncode == 2
    assert f"cannot listen on 127.0.0.1:{port}" in error_line(result) and "--port" in error_line(result)
