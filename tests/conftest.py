"""Fixtures shared by the tests (local services, open sockets and files, the
poller's clock, quick retries); the stand-ins themselves live in support.py.

The suite runs in parallel worker processes (pytest-xdist, see the Makefile):
a fixture of session scope is made once per worker, and nothing here may
share a file, a port or an environment variable between tests.
"""

from __future__ import annotations

import random
import socket
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest
from hypothesis import settings
from hypothesis.configuration import set_hypothesis_home_dir
from support import FakeAsyncio, connections_served, connections_to, files_open_under

import velquor_ai
from velquor_ai._retry import RetryPolicy
from velquor_ai.util import poller

# The key the local services of these fixtures require.
SERVICE_API_KEY = "sk-test-key"

# Examples found failing are reported, not kept: no database under the source
# tree for parallel workers to share.
settings.register_profile("velquor", database=None)
settings.load_profile("velquor")


@pytest.fixture(scope="session", autouse=True)
def _hypothesis_home(tmp_path_factory: pytest.TempPathFactory) -> None:
    """Hypothesis keeps its caches (its table of characters) under the run's
    temporary directory, not in the working directory."""
    set_hypothesis_home_dir(tmp_path_factory.getbasetemp() / "hypothesis")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "compiled_only: about the compiled modules themselves (their types, code objects, tracebacks, the frame); "
        "skipped where the package runs the modules' Python",
    )


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    """Tests about the compiled modules are skipped where the package runs their
    Python. Then the order in which parallel workers are handed the tests: those
    marked slow first, so that the workers end together; then each file's tests
    spread evenly over the run (in their order), so that tests that mostly wait
    (for servers, timeouts) run beside tests that compute."""
    if not velquor_ai.compiled:
        skip = pytest.mark.skip(reason="about the compiled modules, and the package runs their Python")
        for item in items:
            if item.get_closest_marker("compiled_only"):
                item.add_marker(skip)
    by_file: dict[Path, list[pytest.Item]] = {}
    for item in items:
        by_file.setdefault(item.path, []).append(item)
    place = {
        item: (item.get_closest_marker("slow") is None, (index + 0.5) / len(tests))
        for tests in by_file.values()
        for index, item in enumerate(tests)
    }
    items.sort(key=place.__getitem__)


def _start_service(**options: Any) -> Any:
    pytest.importorskip("starlette")
    pytest.importorskip("uvicorn")
    from velquor_ai.testing import LocalService

    options.setdefault("api_key", SERVICE_API_KEY)
    service = LocalService(**options)
    service.start()
    return service


@pytest.fixture
def service_factory() -> Iterator[Callable[..., Any]]:
    """Start `LocalService`s (with the given options) that stop after the test."""
    started: list[Any] = []

    def start(**options: Any) -> Any:
        started.append(_start_service(**options))
        return started[-1]

    yield start
    for service in started:
        service.stop()


@pytest.fixture
def service(service_factory: Callable[..., Any]) -> Any:
    """A running `LocalService` of the test's own, with default options: its
    records (requests, generations, stored objects) are the test's alone, and
    the test may inject faults or change how it behaves."""
    return service_factory()


@pytest.fixture(scope="session")
def _one_service_per_worker() -> Iterator[Any]:
    service = _start_service()
    yield service
    service.stop()


@pytest.fixture
def shared_service(_one_service_per_worker: Any) -> Iterator[Any]:
    """One running `LocalService` with default options for all the tests of a
    worker, for those that only need a service to talk to: they read none of
    its records and change nothing of its behaviour (or they take `service`).

    After the test the service has closed its side of the test's connections,
    so that tests counting this process's descriptors never see them go."""
    service = _one_service_per_worker
    yield service
    deadline = time.monotonic() + 10
    while connections_served(service.port) and time.monotonic() < deadline:
        time.sleep(0.005)


@pytest.fixture
def quick_retries(monkeypatch: pytest.MonkeyPatch) -> None:
    """Computed pauses between retries of 10 ms instead of 0.5 s and more, for
    tests about what is retried rather than when; a pause that an answer asks
    for (Retry-After) is still taken as asked."""
    monkeypatch.setattr(RetryPolicy, "backoff", lambda self, retry, rand=random.random: 0.01)


@pytest.fixture
def closed_port() -> Iterator[int]:
    """A port of 127.0.0.1 that refuses connections: bound but never listening,
    and held until the test ends, so that no other process can take it."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        yield sock.getsockname()[1]


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> FakeAsyncio:
    """The poller's `asyncio`: one loop whose clock starts at 1000 s and moves only by sleeping."""
    fake = FakeAsyncio(start=1000.0)
    monkeypatch.setattr(poller, "asyncio", fake)
    return fake


@pytest.fixture
def open_connections() -> Callable[[int], int]:
    """Count this process's open connections to a port: `open_connections(port)`."""
    return connections_to


@pytest.fixture
def open_files() -> Callable[[Path], list[str]]:
    """List the files under a folder this process holds open: `open_files(folder)`."""
    return files_open_under
