"""Fixtures shared by the tests; the stand-ins themselves live in support.py."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import pytest
from support import FakeAsyncio, connections_to, files_open_under

from velquor_ai.util import poller


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
