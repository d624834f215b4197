"""Stand-ins and helpers shared by the tests, the fuzzers, the soak run and the benchmarks."""

from __future__ import annotations

import importlib.util
import traceback
from pathlib import Path
from types import ModuleType
from typing import Any

TWINS = Path(__file__).parent / "twins"


def load_twin(dotted: str) -> ModuleType:
    """The Python a compiled module stands for, at its source lines, as a new module.

    It is named beside the compiled module, so that its relative imports find the
    package's own modules; it is never put in sys.modules.

    >>> load_twin("velquor_ai.util.validators").validate_generation_id.__code__.co_firstlineno
    22
    """
    path = TWINS / (dotted.replace(".", "/") + ".py")
    spec = importlib.util.spec_from_file_location(f"{dotted}_twin", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def entries(error: BaseException) -> list[tuple[str, int | None]]:
    """(name, line) of each traceback entry of an exception."""
    return [(frame.name, frame.lineno) for frame in traceback.extract_tb(error.__traceback__)]


def entries_below_caller(error: BaseException) -> list[tuple[str, str, int | None]]:
    """The traceback entries added beneath the test function that made the call."""
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(error.__traceback__)[1:]]


class StrSubclass(str):
    pass


class Halt(BaseException):
    """Like KeyboardInterrupt: not an Exception, must still pass through untouched."""


class Config:
    """Stand-in configuration (the package's Config refuses some of the values tests need)."""

    max_poll_interval: Any = 30
    max_file_size: Any = 1000


class Status:
    """A status record as check functions return them; `error` is left unset when not given."""

    def __init__(self, status: Any, **fields: Any) -> None:
        self.status = status
        vars(self).update(fields)

    def __repr__(self) -> str:
        return f"Status({vars(self)!r})"


class Ready:
    """An awaitable that finishes with `value` without ever suspending."""

    def __init__(self, value: Any = None) -> None:
        self.value = value

    def __await__(self):  # type: ignore[no-untyped-def]
        return self.value
        yield


class FakeLoop:
    """An event loop whose clock moves only when told to."""

    def __init__(self, now: float = 0.0, step: float = 0.0) -> None:
        self.now = now
        self.step = step

    def time(self) -> float:
        self.now += self.step
        return self.now


class FakeAsyncio:
    """Stands in for a module's `asyncio`: one loop, and a sleep that records its
    argument, advances the clock by it and finishes at once."""

    def __init__(self, now: float = 0.0, step: float = 0.0) -> None:
        self.loop = FakeLoop(now, step)
        self.sleeps: list[Any] = []

    def get_event_loop(self) -> FakeLoop:
        return self.loop

    def sleep(self, seconds: Any) -> Ready:
        self.sleeps.append(seconds)
        self.loop.now += seconds
        return Ready()
