"""Stand-ins and helpers shared by the tests, the fuzzers, the soak run and the benchmarks."""

from __future__ import annotations

import importlib.util
import os
import traceback
from collections.abc import Callable, Generator
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


PENDING = Status("pending")


class FakeAsyncio:
    """Stands in for a module's `asyncio`: one loop (itself) whose clock moves by
    `step` at each reading and by the seconds of each sleep, which finishes at once.
    A `sleep` given replaces that one (and leaves the clock alone)."""

    def __init__(self, start: float = 0.0, step: float = 0.0, sleep: Callable[[Any], Any] | None = None) -> None:
        self.start = self.now = start
        self.step = step
        self.sleeps: list[Any] = []
        self.events: list[tuple[str, float]] = []
        self.loop_fetches = 0
        if sleep is not None:
            self.sleep = sleep  # type: ignore[method-assign]

    def get_event_loop(self) -> FakeAsyncio:
        self.loop_fetches += 1
        return self

    def time(self) -> float:
        self.now += self.step
        return self.now

    def sleep(self, seconds: Any) -> Ready:
        self.sleeps.append(seconds)
        self.events.append(("sleep", seconds))
        self.now += seconds
        return Ready()

    def checker(self, *answers: Any, then: Any = PENDING) -> Callable[[], Any]:
        """A check function giving `answers` in turn, then `then` for ever."""
        queue = list(answers)

        async def check() -> Any:
            self.events.append(("check", self.now - self.start))
            return queue.pop(0) if queue else then

        return check


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
