"""Fixtures shared by the test modules: local services and socket counting."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

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


def _client_connections(port: int) -> int:
    """Open sockets of this process connected to `port` on the loopback."""
    inodes = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            remote_port = int(fields[2].rsplit(":", 1)[1], 16)
            # State 0A is LISTEN; the service's own sockets have it as local port.
            if remote_port == port and fields[3] != "0A" and fields[9] in inodes:
                count += 1
    return count


@pytest.fixture
def open_connections() -> Callable[[int], int]:
    """Count this process's open connections to a port on 127.0.0.1."""
    return _client_connections
