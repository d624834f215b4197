"""StatusPoller: backoff, deadline, end states, progress reports and the call boundary.

Most tests replace the module's ``asyncio`` with a fake whose clock moves only when
the poll sleeps, so a poll of many minutes runs instantly and deterministically; the
last tests use a real event loop for concurrency and cancellation.
"""

from __future__ import annotations

import asyncio
import builtins
import gc
import inspect
import logging
import math
import warnings
from typing import Any

import pytest
from support import PENDING, Entry, FakeAsyncio, Status, annotations_of, declaration, signature_line, traceback_entries

import velquor_ai
import velquor_ai.util.poller as poller_module
from velquor_ai.config import Config
from velquor_ai.exceptions import TimeoutError as SDKTimeoutError
from velquor_ai.models.common import StatusEnum
from velquor_ai.util.poller import StatusPoller

LOGGER = "velquor_ai.util.poller"
SOURCE = "velquor_ai/util/poller.py"
BODY = "poll_until_complete"
BINDING = "velquor_ai.util.poller.StatusPoller.poll_until_complete"
FOREVER = 10**6


class Cap:
    """Stand-in configuration: the package Config refuses caps below one second."""

    def __init__(self, max_poll_interval: Any = 30) -> None:
        self.max_poll_interval = max_poll_interval


DONE = Status("completed")


def run(coro: Any) -> Any:
    """Drive a poll that never suspends to its end and return its result."""
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    return stop.value.value


def poll(check_fn: Any, timeout: Any, interval: Any, on_progress: Any = None, config: Any = None) -> Any:
    """Run one poll to its end on a poller capped at 30 seconds (unless `config` is given)."""
    poller = StatusPoller(Cap(30) if config is None else config)
    return run(poller.poll_until_complete(check_fn, timeout, interval, on_progress))


def config_with_cap(cap: Any) -> Any:
    if isinstance(cap, (int, float)) and cap >= 1:
        return Config(max_poll_interval=cap, environ={})
    return Cap(cap)


def poller_entries(error: BaseException) -> list[Entry]:
    return [f for f in traceback_entries(error) if f.filename == SOURCE]


# ------------------------------------------------------------------ backoff


@pytest.mark.parametrize(
    ("interval", "cap", "sleeps"),
    [
        (2, 30, [2, 3, 4, 6, 9, 13, 19, 28, 30, 30]),
        (5, 60, [5, 7, 10, 15, 22, 33, 49, 60, 60]),
        (1, 30, [1] * 6),
        (0, 30, [0] * 6),
        (10, 4, [10, 4, 4]),
        (10, 12.5, [10, 12, 12]),
        (7, 0.5, [7, 0, 0]),
        (2.9, 30, [2, 3, 4]),
        (True, 30, [1, 1]),
    ],
)
def test_sleeps_grow_by_half_up_to_the_cap(
    clock: FakeAsyncio, caplog: pytest.LogCaptureFixture, interval: Any, cap: Any, sleeps: list[int]
) -> None:
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    check = clock.checker(*[PENDING] * len(sleeps), DONE)
    coro = StatusPoller(config_with_cap(cap)).poll_until_complete(check, FOREVER, interval)
    assert run(coro) is DONE
    assert clock.sleeps == sleeps
    assert {type(s) for s in clock.sleeps} == {int}
    # Each sleep is followed by one debug line announcing the next interval.
    debug = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]
    assert len(debug) == len(sleeps)
    assert debug[:-1] == [f"Polling... (next interval: {n}s)" for n in sleeps[1:]]


def test_debug_line_wording(clock: FakeAsyncio, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    poll(clock.checker(PENDING, DONE), FOREVER, 2)
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records] == [
        (LOGGER, logging.DEBUG, "Polling... (next interval: 3s)", ()),
        (LOGGER, logging.INFO, "Task completed successfully", ()),
    ]


def test_cap_is_read_again_after_every_sleep(clock: FakeAsyncio) -> None:
    config = Cap(100)
    check = clock.checker(PENDING, PENDING, PENDING, PENDING, DONE)

    async def lowering_check() -> Any:
        if len(clock.sleeps) == 2:
            config.max_poll_interval = 4
        return await check()

    run(StatusPoller(config).poll_until_complete(lowering_check, FOREVER, 10))
    assert clock.sleeps == [10, 15, 22, 4]


def test_missing_cap_fails_after_that_cycle_sleep(clock: FakeAsyncio) -> None:
    with pytest.raises(AttributeError):
        run(StatusPoller(object()).poll_until_complete(clock.checker(), FOREVER, 3))
    assert clock.events == [("check", 0.0), ("sleep", 3)]


# ------------------------------------------------------------------ deadline


class Index:
    def __index__(self) -> int:
        return 7


class LoudInt(int):
    def __format__(self, format_spec: str) -> str:
        return "loud"


@pytest.mark.parametrize(
    ("timeout", "shown"),
    [(300, "300"), (2.9, "2"), (True, "1"), (Index(), "7"), (LoudInt(5), "5"), (-1, "-1")],
)
def test_timeout_message_shows_the_budget_as_converted_at_the_call(
    clock: FakeAsyncio, caplog: pytest.LogCaptureFixture, timeout: Any, shown: str
) -> None:
    caplog.set_level(logging.INFO, logger=LOGGER)
    with pytest.raises(SDKTimeoutError) as info:
        poll(clock.checker(), timeout, 1)
    assert type(info.value) is SDKTimeoutError
    assert not isinstance(info.value, builtins.TimeoutError)
    assert info.value.args == (f"Operation timed out after {shown}s",)
    assert caplog.records == []


def test_negative_timeout_fails_before_any_check(clock: FakeAsyncio) -> None:
    with pytest.raises(SDKTimeoutError):
        poll(clock.checker(DONE), -1, 1)
    assert clock.events == []


def test_deadline_is_tested_at_the_start_of_each_cycle_only(clock: FakeAsyncio) -> None:
    # Checks at 0, 4 and exactly 10 (not past the budget); the sleep to 19 crosses it.
    with pytest.raises(SDKTimeoutError):
        poll(clock.checker(), 10, 4)
    assert clock.events == [("check", 0.0), ("sleep", 4), ("check", 4.0), ("sleep", 6), ("check", 10.0), ("sleep", 9)]
    # The loop is fetched anew for the start reading and for every cycle.
    assert clock.loop_fetches == 5


# ------------------------------------------------------------------ end states


@pytest.mark.parametrize("value", ["completed", StatusEnum.COMPLETED])
def test_first_completed_status_is_returned_at_once(
    clock: FakeAsyncio, caplog: pytest.LogCaptureFixture, value: Any
) -> None:
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    done = Status(value)
    assert poll(clock.checker(done), 10, 5) is done
    assert clock.sleeps == []
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records] == [
        (LOGGER, logging.INFO, "Task completed successfully", ())
    ]


class Formatted:
    def __format__(self, format_spec: str) -> str:
        return f"formatted[{format_spec}]"

    def __str__(self) -> str:
        return "str"


class LoudStr(str):
    def __format__(self, format_spec: str) -> str:
        return "loud"


class VanishingError:
    status = "failed"

    @property
    def error(self) -> str:
        raise AttributeError("error")


@pytest.mark.parametrize(
    ("answer", "message"),
    [
        (Status("failed", error="boom"), "Task failed: boom"),
        (Status(StatusEnum.FAILED, error="boom"), "Task failed: boom"),
        (Status("failed"), "Task failed: Unknown error"),
        (VanishingError(), "Task failed: Unknown error"),
        (Status("failed", error=None), "Task failed: None"),
        (Status("failed", error=Formatted()), "Task failed: formatted[]"),
        (Status("failed", error=LoudStr("quiet")), "Task failed: loud"),
        (Status("failed", error={"code": 5}), "Task failed: {'code': 5}"),
    ],
)
def test_failed_status_raises_runtime_error(
    clock: FakeAsyncio, caplog: pytest.LogCaptureFixture, answer: Any, message: str
) -> None:
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    with pytest.raises(RuntimeError) as info:
        poll(clock.checker(answer), 10, 5)
    assert type(info.value) is RuntimeError
    assert info.value.args == (message,)
    assert clock.sleeps == []
    assert caplog.records == []


class StatusGone:
    def __repr__(self) -> str:
        return "StatusGone()"

    @property
    def status(self) -> str:
        raise AttributeError("status")


class StatusBroken:
    @property
    def status(self) -> str:
        raise ValueError("unreadable")


@pytest.mark.parametrize(
    "answer",
    [
        Status("COMPLETED"),
        Status("Failed"),
        Status("done"),
        Status(" completed"),
        Status(b"completed"),
        Status(None),
        {"status": "completed"},
        StatusGone(),
    ],
    ids=repr,
)
def test_other_answers_keep_the_poll_going_until_the_deadline(clock: FakeAsyncio, answer: Any) -> None:
    with pytest.raises(SDKTimeoutError):
        poll(clock.checker(then=answer), 20, 5)
    assert clock.sleeps == [5, 7, 10]


def test_status_read_anew_for_the_failed_test(clock: FakeAsyncio) -> None:
    class Flipping:
        reads = iter(["pending", "pending", "failed"])
        error = "late"

        @property
        def status(self) -> str:
            return next(self.reads)

    with pytest.raises(RuntimeError, match="^Task failed: late$"):
        poll(clock.checker(Flipping()), 10, 5)


# ------------------------------------------------------------------ progress


@pytest.mark.parametrize("last", [DONE, Status("failed", error="x")])
def test_progress_sees_every_status_including_the_last(clock: FakeAsyncio, last: Status) -> None:
    answers = [PENDING, {"status": "completed"}, last]
    seen: list[Any] = []
    try:
        poll(clock.checker(*answers), FOREVER, 1, seen.append)
    except RuntimeError:
        assert last is not DONE
    assert [id(s) for s in seen] == [id(a) for a in answers]


class FalsyRecorder:
    def __init__(self) -> None:
        self.calls: list[Any] = []

    def __bool__(self) -> bool:
        return False

    def __call__(self, status: Any) -> None:
        self.calls.append(status)


def test_falsy_progress_is_not_called(clock: FakeAsyncio) -> None:
    recorder = FalsyRecorder()
    poll(clock.checker(PENDING, DONE), FOREVER, 1, recorder)
    poll(clock.checker(DONE), FOREVER, 1, 0)
    assert recorder.calls == []


def test_async_progress_is_called_but_never_awaited(clock: FakeAsyncio) -> None:
    ran: list[Any] = []

    async def progress(status: Any) -> None:
        ran.append(status)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        poll(clock.checker(PENDING, DONE), FOREVER, 1, progress)
        gc.collect()
    assert ran == []
    never = [w for w in caught if "never awaited" in str(w.message)]
    assert [w.category for w in never] == [RuntimeWarning, RuntimeWarning]


# ------------------------------------------------------------------ failures and tracebacks


def failing_check() -> Any:
    raise LookupError("service down")


def failing_progress(status: Any) -> None:
    raise KeyError("stop")


@pytest.mark.parametrize(
    ("check", "progress", "config", "error", "line", "inner"),
    [
        ("failing", None, Cap(), LookupError, 55, "failing_check"),
        ("number", None, Cap(), TypeError, 55, None),
        (DONE, failing_progress, Cap(), KeyError, 58, "failing_progress"),
        (StatusBroken(), None, Cap(), ValueError, 60, "status"),
        (Status("failed", error="boom"), None, Cap(), RuntimeError, 66, None),
        (PENDING, None, Cap(-math.inf), OverflowError, 69, None),
    ],
    ids=["check-raises", "check-not-awaitable", "progress", "status-property", "failed", "cap-inf"],
)
def test_failures_propagate_with_one_entry_at_the_failing_line(
    clock: FakeAsyncio,
    check: Any,
    progress: Any,
    config: Any,
    error: type,
    line: int,
    inner: str | None,
) -> None:
    if check == "failing":
        check_fn = failing_check
    elif check == "number":
        check_fn = lambda: 5  # noqa: E731
    else:
        check_fn = clock.checker(then=check)
    with pytest.raises(error) as info:
        poll(check_fn, FOREVER, 1, progress, config)
    entries = traceback_entries(info.value)
    ours = [i for i, f in enumerate(entries) if f.filename == SOURCE]
    assert len(ours) == 1
    assert (entries[ours[0]].name, entries[ours[0]].lineno) == (BODY, line)
    # The collaborator's own frames lie beneath the poller's entry.
    below = [f.name for f in entries[ours[0] + 1 :]]
    assert below == ([inner] if inner else [])


def test_timeout_traceback_points_at_the_raise(clock: FakeAsyncio) -> None:
    with pytest.raises(SDKTimeoutError) as info:
        poll(clock.checker(), 0, 1)
    last = traceback_entries(info.value)[-1]
    assert (last.filename, last.name, last.lineno) == (SOURCE, BODY, 53)


# ------------------------------------------------------------------ the call boundary


NOT_INT = "has incorrect type (expected int, got "


async def never_called() -> None:
    raise AssertionError("the check must not run")


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "takes at least 4 positional arguments (1 given)"),
        ((never_called, 1), {}, "takes at least 4 positional arguments (3 given)"),
        ((never_called,), {"interval": 1}, "takes at least 4 positional arguments (2 given)"),
        ((never_called, 1, 2, None, 5), {}, "takes at most 5 positional arguments (6 given)"),
        ((never_called, 1), {"timeout": 3}, "got multiple values for keyword argument 'timeout'"),
        ((never_called, 1, 2), {"every": 3}, "got an unexpected keyword argument 'every'"),
    ],
)
def test_binding_errors_are_raised_at_the_def_line(args: tuple, kwargs: dict, message: str) -> None:
    with pytest.raises(TypeError) as info:
        StatusPoller(Cap()).poll_until_complete(*args, **kwargs)
    assert str(info.value) == f"poll_until_complete() {message}"
    if velquor_ai.compiled:  # the Python's boundary adds no entry of its own
        last = traceback_entries(info.value)[-1]
        assert (last.filename, last.name, last.lineno) == (SOURCE, BINDING, 24)


@pytest.mark.parametrize(
    ("timeout", "interval", "error", "message", "line"),
    [
        ("10", 1, TypeError, "Argument 'timeout' " + NOT_INT + "str)", None),
        (10, "1", TypeError, "Argument 'interval' " + NOT_INT + "str)", None),
        (None, 1, TypeError, "Argument 'timeout' " + NOT_INT + "NoneType)", None),
        ("10", math.nan, TypeError, "Argument 'timeout' " + NOT_INT + "str)", None),
        (math.nan, "1", ValueError, "cannot convert float NaN to integer", 27),
        (10, math.inf, OverflowError, "cannot convert float infinity to integer", 28),
    ],
)
def test_unconvertible_budget_is_refused_before_a_coroutine_exists(
    timeout: Any, interval: Any, error: type, message: str, line: int | None
) -> None:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(error) as info:
            StatusPoller(Cap()).poll_until_complete(never_called, timeout, interval)
        gc.collect()
    assert str(info.value) == message
    assert caught == []
    entries = poller_entries(info.value)
    if line is None or not velquor_ai.compiled:  # the Python's boundary adds no entry of its own
        assert entries == []
    else:
        assert [(f.name, f.lineno) for f in entries] == [(BINDING, line)]


def test_call_returns_a_coroutine_that_has_run_nothing() -> None:
    poller = StatusPoller(Cap())
    # check_fn and on_progress are only used once the poll runs.
    coro: Any = poller.poll_until_complete(check_fn=None, timeout=1, interval=1, on_progress=5)
    assert coro.__qualname__ == "StatusPoller.poll_until_complete"
    assert coro.cr_code is inspect.unwrap(StatusPoller.poll_until_complete).__code__
    assert asyncio.iscoroutine(coro)
    coro.close()

    with pytest.warns(RuntimeWarning, match="'StatusPoller.poll_until_complete' was never awaited"):
        poller.poll_until_complete(never_called, 1, 1)
        gc.collect()


def test_constructor_keeps_the_config_as_given() -> None:
    config = object()
    assert vars(StatusPoller(config)) == {"config": config}
    assert StatusPoller(config=None).config is None
    for args, given in [((), 1), ((1, 2), 3)]:
        with pytest.raises(TypeError) as info:
            StatusPoller(*args)
        assert str(info.value) == f"__init__() takes exactly 2 positional arguments ({given} given)"
        if velquor_ai.compiled:  # the Python's boundary adds no entry of its own
            last = traceback_entries(info.value)[-1]
            assert (last.name, last.lineno) == (f"{LOGGER}.StatusPoller.__init__", 16)


def test_method_declarations() -> None:
    # As the Python declares them; the compiled methods are held to it in test_twins.py.
    method = declaration(LOGGER, "StatusPoller.poll_until_complete")
    init = declaration(LOGGER, "StatusPoller.__init__")
    assert signature_line(method) == (
        "StatusPoller.poll_until_complete(self, check_fn: Callable, int timeout: int, int interval: int, "
        "on_progress: Optional[Callable] = None) -> Any"
    )
    assert method.doc.splitlines()[0] == "Poll status until completion."
    assert "timeout: Max wait time in seconds." in method.doc
    assert "RuntimeError: If task failed." in method.doc
    assert signature_line(init) == "StatusPoller.__init__(self, config: Config) -> None"
    assert init.doc.splitlines()[0] == "Initialize status poller."
    assert list(annotations_of(method).items()) == [
        ("check_fn", "Callable"),
        ("timeout", "int"),
        ("interval", "int"),
        ("on_progress", "Optional[Callable]"),
        ("return", "Any"),
    ]
    assert list(annotations_of(init).items()) == [("config", "Config"), ("return", "None")]
    assert (method.line, init.line) == (24, 16)
    defaults = inspect.signature(StatusPoller.poll_until_complete).parameters["on_progress"].default
    assert defaults is None and not any(p.default is not None for p in init.parameters)
    assert asyncio.iscoroutinefunction(StatusPoller.poll_until_complete)
    assert not asyncio.iscoroutinefunction(StatusPoller.__init__)


@pytest.mark.compiled_only
def test_methods_present_themselves_like_python_functions() -> None:
    method, init = StatusPoller.poll_until_complete, StatusPoller.__init__
    assert method.__defaults__ == (None,)
    assert init.__defaults__ is None
    code = method.__code__
    assert code.co_flags & 0x80
    assert not init.__code__.co_flags & 0x80
    assert code.co_argcount == 5
    assert (code.co_filename, code.co_name) == (SOURCE, BODY)
    assert inspect.iscoroutinefunction(method) and not inspect.iscoroutinefunction(init)
    assert str(inspect.signature(method)) == (
        "(self, check_fn: 'Callable', timeout: 'int', interval: 'int', "
        "on_progress: 'Optional[Callable]' = None) -> 'Any'"
    )


def test_module_namespace() -> None:
    import velquor_ai.config
    import velquor_ai.exceptions

    # A warning issued from the module's own Python leaves a registry there.
    names = [name for name in vars(poller_module) if name != "__warningregistry__"]
    assert names[names.index("asyncio") :] == [
        "asyncio",
        "logging",
        "Any",
        "Callable",
        "Optional",
        "Config",
        "SDKTimeoutError",
        "logger",
        "StatusPoller",
        "__test__",
    ]
    assert poller_module.__doc__ == "Status polling utilities."
    assert poller_module.asyncio is asyncio
    assert poller_module.SDKTimeoutError is velquor_ai.exceptions.TimeoutError
    assert poller_module.Config is velquor_ai.config.Config
    assert poller_module.logger is logging.getLogger(LOGGER)
    assert poller_module.__test__ == {}
    assert StatusPoller.__bases__ == (object,)
    assert (StatusPoller.__module__, StatusPoller.__qualname__) == (LOGGER, "StatusPoller")
    assert StatusPoller.__doc__ == "Smart status polling with exponential backoff."


# ------------------------------------------------------------------ on a real event loop


def test_concurrent_polls_on_one_poller_interleave_and_end_independently() -> None:
    poller = StatusPoller(Config(environ={}))
    order: list[str] = []

    def checker(name: str, rounds: int):  # type: ignore[no-untyped-def]
        answers = [Status("pending")] * (rounds - 1) + [Status("completed", name=name)]

        async def check() -> Status:
            order.append(name)
            return answers.pop(0)

        return check

    async def main() -> Any:
        return await asyncio.gather(
            poller.poll_until_complete(checker("a", 3), 60, 0),
            poller.poll_until_complete(checker("b", 5), 60, 0),
        )

    a, b = asyncio.run(main())
    assert (a.name, b.name) == ("a", "b")
    # A zero sleep still yields to the loop, so the two polls take turns.
    assert order == ["a", "b", "a", "b", "a", "b", "b", "b"]


@pytest.mark.parametrize("where", ["check", "sleep"])
def test_cancelled_poll_ends_cancelled(where: str) -> None:
    interrupted: list[str] = []

    async def main() -> asyncio.Task:
        entered = asyncio.Event()

        async def check() -> Status:
            entered.set()
            if where == "check":
                try:
                    await asyncio.get_running_loop().create_future()
                except asyncio.CancelledError:
                    interrupted.append("check")
                    raise
            return PENDING

        task = asyncio.create_task(StatusPoller(Cap()).poll_until_complete(check, 3600, 3600))
        await entered.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = asyncio.run(main())
    assert task.cancelled()
    assert interrupted == (["check"] if where == "check" else [])
