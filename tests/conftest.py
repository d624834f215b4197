"""Fixtures shared by the test modules: local services, open sockets and files."""

from __future__ import annotations

import os
from collections.abc import Callable, Generator, Iterator
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


def _descriptor_targets() -> list[str]:
    targets = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            targets.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            continue  # closed since it was listed
    return targets


def connections_to(port: int) -> int:
    """Open sockets of this process connected to `port` on the loopback."""
    inodes = {t[8:-1] for t in _descriptor_targets() if t.startswith("socket:[")}
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


def files_open_under(folder: Path) -> list[str]:
    """Paths under `folder` that this process holds open."""
    return [t for t in _descriptor_targets() if t.startswith(str(folder))]


@pytest.fixture
def open_connections() -> Callable[[int], int]:
    """Count this process's open connections to a port: `open_connections(port)`."""
    return connections_to


@pytest.fixture
def open_files() -> Callable[[Path], list[str]]:
    """List the files under a folder this process holds open: `open_files(folder)`."""
    return files_open_under


def colliding_key(name: str, on_compare: Callable[[], None]) -> str:
    """A str-subclass dict key whose hash collides with `name`: looking `name`
    up in a dict that holds it compares the two, which runs `on_compare` the
    first time (the hostile code a special-method lookup can meet)."""

    class Key(str):
        armed = True

        def __hash__(self) -> int:
            return hash(name)

        def __eq__(self, other: object) -> bool:
            if Key.armed:
                Key.armed = False
                on_compare()
            return False

        __ne__ = str.__ne__

    return Key("decoy")


class Stubborn:
    """An awaitable that will not stop: closing its awaiter fails."""

    def __await__(self) -> Generator[str, None, None]:
        while True:
            try:
                yield "tick"
            except GeneratorExit:
                pass
