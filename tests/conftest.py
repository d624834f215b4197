"""Fixtures shared by the tests; the stand-ins themselves live in support.py."""

from __future__ import annotations

import pytest
from support import FakeAsyncio

from velquor_ai.util import poller


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> FakeAsyncio:
    """The poller's `asyncio`: one loop whose clock starts at 1000 s and moves only by sleeping."""
    fake = FakeAsyncio(start=1000.0)
    monkeypatch.setattr(poller, "asyncio", fake)
    return fake
