"""Clients made before the process forks: real `os.fork()`, a `multiprocessing`
fork pool and a real gunicorn with `--preload`. A child that never uses the
client exits at once; one that does gets a loop thread and connections of its
own, never the parent's; the parent goes on undisturbed.

Python 3.12 and later warn (DeprecationWarning) when a process with threads
forks; a client that has been used has its loop thread, so the tests silence
that warning where they fork."""

from __future__ import annotations

import concurrent.futures
import contextlib
import json
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import warnings
from pathlib import Path
from typing import Any

import httpx
import pytest
from support import package_env

from velquor_ai import VelquorAI

FORK_WARNING = r"This process \(pid=\d+\) is multi-threaded"


def child_env(service: Any, **extra: str) -> dict[str, str]:
    return package_env(FORK_API_KEY=service.api_key, FORK_BASE_URL=service.base_url, **extra)


# Makes a client, uses it, forks; the child uses it (or not) and reports, then
# leaves the interpreter the ordinary way (finalisers and all); the parent
# times the child's exit and uses the client again. Prints the parent's report.
FORK_SCRIPT = textwrap.dedent(
    """
    import asyncio, json, os, sys, time, warnings
    import httpx
    from velquor_ai import AsyncVelquorAI, VelquorAI

    warnings.filterwarnings("ignore", category=DeprecationWarning, message=r"This process .* multi-threaded")
    kind, pool, child_calls = sys.argv[1], sys.argv[2], sys.argv[3] == "used"
    ports = []

    async def note_port(response):
        ports.append(response.extensions["network_stream"].get_extra_info("client_addr")[1])

    given = httpx.AsyncClient(event_hooks={"response": [note_port]}) if pool == "given" else None
    options = dict(api_key=os.environ["FORK_API_KEY"], base_url=os.environ["FORK_BASE_URL"], http_client=given)
    if kind == "sync":
        client = VelquorAI(**options)
        generate = client.generate
    else:
        client = AsyncVelquorAI(**options)
        runner = asyncio.Runner()  # the parent's loop, still open at the fork
        generate = lambda question: runner.run(client.generate(question, interval=1))
    assert generate("Before the fork?").status == "completed"
    parents = set(ports)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        report = {}
        if child_calls:
            seen = len(ports)
            if kind == "sync":
                report["status"] = str(client.generate("In the child?").status)
            else:
                report["status"] = str(asyncio.run(client.generate("In the child?", interval=1)).status)
            report["ports"] = ports[seen:]
        os.write(write_end, json.dumps(report).encode())
        os.close(write_end)
        sys.exit(0)
    os.close(write_end)
    report = json.loads(os.read(read_end, 65536) or b"{}")
    told = time.monotonic()
    while time.monotonic() - told < 10:
        if os.waitpid(pid, os.WNOHANG)[0]:
            report["exit_seconds"] = time.monotonic() - told
            break
        time.sleep(0.01)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        report["exit_seconds"] = None
    report["parent_ports"] = sorted(parents)
    report["parent_after"] = str(generate("After the fork?").status)
    print(json.dumps(report))
    """
)


@pytest.mark.parametrize(
    ("kind", "pool", "child"),
    [
        ("sync", "own", "unused"),
        ("sync", "own", "used"),
        ("sync", "given", "used"),
        ("async", "given", "used"),
    ],
)
def test_a_forked_child_exits_at_once_or_calls_on_connections_of_its_own(
    service: Any, kind: str, pool: str, child: str
) -> None:
    run = subprocess.run(
        [sys.executable, "-c", FORK_SCRIPT, kind, pool, child],
        capture_output=True,
        text=True,
        env=child_env(service),
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report["exit_seconds"] is not None and report["exit_seconds"] < 2, report
    assert report["parent_after"] == "completed"
    if child == "used":
        assert report["status"] == "completed"
    if pool == "given":
        assert report["parent_ports"] and report["ports"]
        assert not set(report["ports"]) & set(report["parent_ports"]), report


_pool_client: VelquorAI | None = None


def _generate_in_worker(question: str) -> tuple[str, int]:
    assert _pool_client is not None
    return str(_pool_client.generate(question).status), os.getpid()


def test_a_multiprocessing_fork_pool_uses_a_client_made_before_it(service: Any) -> None:
    global _pool_client
    with VelquorAI(api_key=service.api_key, base_url=service.base_url) as client:
        _pool_client = client
        assert client.generate("Before the pool?").status == "completed"
        try:
            with warnings.catch_warnings():
                warnings.filterwarnings("ignore", FORK_WARNING, DeprecationWarning)
                with multiprocessing.get_context("fork").Pool(2) as workers:
                    answers = workers.map_async(_generate_in_worker, [f"Question {i}?" for i in range(4)]).get(30)
        finally:
            _pool_client = None
        assert [status for status, _ in answers] == ["completed"] * 4
        assert os.getpid() not in {pid for _, pid in answers}
        assert client.generate("After the pool?").status == "completed"


GUNICORN_APP = textwrap.dedent(
    """
    import os
    from velquor_ai import VelquorAI

    client = VelquorAI(api_key=os.environ["FORK_API_KEY"], base_url=os.environ["FORK_BASE_URL"])
    # The master uses the client before it forks its workers.
    client.generate("Warming up in the master?")


    def app(environ, start_response):
        body = f"{client.generate('Asked in a worker?').status} {os.getpid()}".encode()
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", str(len(body)))])
        return [body]
    """
)


def test_gunicorn_with_preload_answers_every_request_and_stops_on_sigterm(service: Any, tmp_path: Path) -> None:
    pytest.importorskip("gunicorn")
    (tmp_path / "forkapp.py").write_text(GUNICORN_APP)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    listener.set_inheritable(True)
    port = listener.getsockname()[1]
    command = [sys.executable, "-m", "gunicorn", "--preload", "--workers", "2", "--graceful-timeout", "10"]
    command += ["--bind", f"fd://{listener.fileno()}", "--chdir", str(tmp_path), "forkapp:app"]
    server = subprocess.Popen(
        command,
        env=child_env(service, PYTHONWARNINGS="ignore::DeprecationWarning"),
        pass_fds=[listener.fileno()],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        # Its own process group, so that workers that outlive it are found.
        start_new_session=True,
    )
    listener.close()
    try:
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=30) as http:
            with concurrent.futures.ThreadPoolExecutor(4) as pool:
                answers = list(pool.map(lambda _: http.get("/").text.split(), range(8)))
        assert [status for status, _ in answers] == ["completed"] * 8
        assert str(server.pid) not in {pid for _, pid in answers}
        server.send_signal(signal.SIGTERM)
        asked = time.monotonic()
        server.wait(timeout=15)
        assert time.monotonic() - asked < 2
        assert server.returncode == 0
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(server.pid, signal.SIGKILL)
        errors = server.communicate(timeout=10)[1]
    assert "Traceback" not in errors, errors
