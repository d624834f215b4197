"""Fixtures shared by the tests (local services, open sockets and files, the
poller's clock); the stand-ins themselves live in support.py."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest
from support import FakeAsyncio, connections_to, files_open_under

import velquor_ai
from velquor_ai.util import poller


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "compiled_only: about the compiled modules themselves (their types, code objects, tracebacks, the frame); "
        "skipped where the package runs the modules' Python",
    )


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if velquor_ai.compiled:
        return
    skip = pytest.mark.skip(reason="about the compiled modules, and the package runs their Python")
    for item in items:
        if item.get_closest_marker("compiled_only"):
            item.add_marker(skip)


# The key the local services of these fixtures require.
SERVICE_API_KEY = "sk-test-key"


@pytest.fixture
def service_factory() -> Iterator[Callable[..., Any]]:
    """Start `LocalService`s (with the given options) that stop after the test."""
    pytest.importorskip("starlette")
    pytest.importorskip("uvicorn")
    from velquor_ai.testing import LocalService

    started: list[LocalService] = []

    def start(**options: Any) -> LocalService:
        options.setdefault("api_key", SERVICE_API_KEY)
        service = LocalService(**options)
        service.start()
        started.append(service)
        return service

    yield start
    for service in started:
        service.stop()


@pytest.fixture
def service(service_factory: Callable[..., Any]) -> Any:
    """A running `LocalService` with default options."""
    return service_factory()


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
