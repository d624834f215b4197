"""The frame's coroutine objects, driven through the poller's coroutine.

`poll_until_complete` awaits whatever its check function returns and then
`asyncio.sleep(...)` through the module global `asyncio`; with a stand-in for
that global and scripted awaitables the coroutine protocol can be driven step
by step, and compared with a native `async def` doing the same awaits.
"""

import asyncio
import collections.abc
import gc
import pickle
import sys
import traceback
import types
import warnings
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import Config, FakeAsyncio, Script, Status, load_twin

from velquor_ai.util import poller
from velquor_ai.util.poller import StatusPoller

# Compares the compiled modules with their Python, which is all there is where
# they are not in use.
pytestmark = pytest.mark.compiled_only


def scripted_asyncio(log):
    """`asyncio` for the poller: a clock that never moves and a scripted sleep."""
    return FakeAsyncio(sleep=lambda seconds: Script(["tick"], None, log, name=f"sleep({seconds})"))


@pytest.fixture
def fake_asyncio(monkeypatch):
    fake = scripted_asyncio([])
    monkeypatch.setattr(poller, "asyncio", fake)
    return fake


def scripted_checks(log, statuses, yields=("a", "b")):
    remaining = list(statuses)

    def check():
        return Script(yields, Status(remaining.pop(0)), log, name="check")

    return check


def frame_coroutine(statuses=("pending", "completed"), yields=("a", "b"), on_progress=None):
    log = []
    check = scripted_checks(log, statuses, yields)
    return StatusPoller(Config()).poll_until_complete(check, 100, 2, on_progress), log


# --- the protocol, step by step ----------------------------------------------------


def test_calling_returns_a_coroutine_that_runs_nothing(fake_asyncio):
    calls = []
    coro = StatusPoller(Config()).poll_until_complete(lambda: calls.append(1), 1, 1)
    assert isinstance(coro, collections.abc.Coroutine)
    assert asyncio.iscoroutine(coro)
    assert calls == [] and coro.cr_await is None and coro.cr_running is False
    coro.close()


def test_send_walks_through_every_await_and_returns_with_stop_iteration(fake_asyncio):
    coro, log = frame_coroutine()
    assert coro.send(None) == "a"
    assert coro.send("x") == "b"
    assert coro.send("y") == "tick"  # the sleep after "pending"
    assert coro.send(None) == "a"
    assert coro.send(None) == "b"
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value.status == "completed"
    assert ("check", "sent", "x") in log and ("check", "sent", "y") in log
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    assert coro.close() is None


def test_first_send_of_a_value_is_refused_and_finishes_the_coroutine(fake_asyncio):
    coro, log = frame_coroutine()
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    assert coro.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    assert log == []


def test_close_before_start_runs_nothing(fake_asyncio):
    coro, log = frame_coroutine()
    assert coro.close() is None
    assert log == []
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_close_while_suspended_closes_the_awaited_object_first(fake_asyncio):
    coro, log = frame_coroutine()
    coro.send(None)
    assert isinstance(coro.cr_await, types.GeneratorType)
    assert coro.close() is None
    assert log == [("check", "closed")]
    assert coro.cr_await is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_throw_is_forwarded_into_the_awaited_object_which_may_recover(fake_asyncio):
    log = []

    def check():
        return Script(["a"], None, log, name="check", swallow=True, recovered="recovered")

    coro = StatusPoller(Config()).poll_until_complete(check, 100, 2)
    coro.send(None)
    # The awaited script swallows the error and returns "recovered", a status
    # without a `status` attribute: the poll goes on to its sleep.
    assert coro.throw(ValueError("boom")) == "tick"
    assert log == [("check", "thrown", "ValueError", "boom")]
    coro.close()


def test_throw_reaches_the_body_and_leaves_with_its_traceback_entry(fake_asyncio):
    coro, log = frame_coroutine()
    coro.send(None)
    with pytest.raises(KeyError) as raised:
        coro.throw(KeyError("k"))
    assert log == [("check", "thrown", "KeyError", "'k'")]
    entries = [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(raised.value.__traceback__)]
    # The body's entry sits just outside the awaited script's own frame.
    assert entries[-2] == ("poll_until_complete", "velquor_ai/util/poller.py", 55)
    assert entries[-1][0] == "__await__"
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_throw_forms_and_their_refusals(fake_asyncio):
    coro, _ = frame_coroutine()
    coro.send(None)
    with pytest.warns(DeprecationWarning):
        with pytest.raises(ValueError, match="v"):
            coro.throw(ValueError, ValueError("v"), None)
    coro, _ = frame_coroutine()
    coro.send(None)
    with pytest.raises(TypeError):
        coro.throw()
    with pytest.raises(TypeError, match="deriving from BaseException"):
        coro.throw(42)
    coro.close()


def test_throw_into_an_unstarted_coroutine_finishes_it(fake_asyncio):
    coro, log = frame_coroutine()
    with pytest.raises(ValueError):
        coro.throw(ValueError("early"))
    assert log == []
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_thrown_generator_exit_closes_the_awaited_object_instead(fake_asyncio):
    coro, log = frame_coroutine()
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit())
    # close(), not throw(), reached the script
    assert log == [("check", "closed")]


def test_cr_running_and_reentry(fake_asyncio):
    seen = []
    holder = {}

    def on_progress(status):
        coro = holder["coro"]
        seen.append(coro.cr_running)
        with pytest.raises(ValueError, match="coroutine already executing"):
            coro.send(None)
        with pytest.raises(ValueError, match="coroutine already executing"):
            coro.close()

    coro, _ = frame_coroutine(statuses=["completed"], yields=(), on_progress=on_progress)
    holder["coro"] = coro
    with pytest.raises(StopIteration):
        coro.send(None)
    assert seen == [True]
    assert coro.cr_running is False


def test_attributes_and_setters(fake_asyncio):
    coro, _ = frame_coroutine()
    assert coro.__name__ == "poll_until_complete"
    assert coro.__qualname__ == "StatusPoller.poll_until_complete"
    assert coro.__module__ == "velquor_ai.util.poller"
    assert coro.cr_code is StatusPoller.poll_until_complete.__code__
    frame = coro.cr_frame
    assert frame is coro.cr_frame and frame.f_code is coro.cr_code
    coro.__name__ = "renamed"
    coro.__qualname__ = "Other.renamed"
    assert (coro.__name__, coro.__qualname__) == ("renamed", "Other.renamed")
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        coro.__name__ = 1
    with pytest.raises(TypeError, match="__qualname__ must be set to a string object"):
        coro.__qualname__ = None
    with pytest.raises(AttributeError):
        coro.cr_running = True
    assert "send(arg) -> send 'arg' into coroutine," in type(coro).send.__doc__
    iterator = coro.__await__()
    assert iter(iterator) is iterator
    assert type(iterator).send.__doc__.endswith("return next iterated value or raise StopIteration.")
    coro.close()


def test_never_awaited_warning_names_the_qualified_name(fake_asyncio):
    coro, _ = frame_coroutine()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == ["coroutine 'StatusPoller.poll_until_complete' was never awaited"]


def test_suspended_coroutine_dropped_is_closed(fake_asyncio):
    coro, log = frame_coroutine()
    coro.send(None)
    del coro
    gc.collect()
    assert log == [("check", "closed")]


def test_pickling_and_instantiation_are_refused(fake_asyncio):
    coro, _ = frame_coroutine()
    iterator = coro.__await__()
    for obj in (coro, iterator):
        with pytest.raises(TypeError, match=rf"cannot pickle '{type(obj).__name__}' object"):
            pickle.dumps(obj)
        with pytest.raises(TypeError, match="cannot pickle"):
            obj.__reduce_ex__(2)
    with pytest.raises(TypeError, match="cannot instantiate type, use 'await coroutine' instead"):
        type(iterator)()
    with pytest.raises(TypeError):
        type(coro)()
    coro.close()


@pytest.mark.parametrize("where", ["check_fn", "on_progress"])
def test_stop_iteration_inside_the_body_becomes_runtime_error(fake_asyncio, where):
    def check():
        if where == "check_fn":
            raise StopIteration("inner")
        return Script([], Status("pending"), [])

    def on_progress(status):
        raise StopIteration("inner")

    coro = StatusPoller(Config()).poll_until_complete(check, 100, 2, on_progress)
    with pytest.raises(RuntimeError, match="generator raised StopIteration") as raised:
        coro.send(None)
    assert isinstance(raised.value.__cause__, StopIteration)
    assert raised.value.__cause__.args == ("inner",)


class NotAwaitable:
    pass


class BadAwait:
    def __init__(self, result):
        self.result = result

    def __await__(self):
        return self.result


@pytest.mark.parametrize(
    "awaited, message",
    [
        (lambda: 5, "object int can't be used in 'await' expression"),
        (lambda: NotAwaitable(), "object NotAwaitable can't be used in 'await' expression"),
        (lambda: BadAwait(3), "__await__() returned non-iterator of type 'int'"),
    ],
)
def test_awaiting_unsuitable_objects(fake_asyncio, awaited, message):
    coro = StatusPoller(Config()).poll_until_complete(awaited, 100, 2)
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        coro.send(None)


def test_await_returning_a_coroutine_is_refused(fake_asyncio):
    async def inner():
        return 1

    native = inner()
    coro = StatusPoller(Config()).poll_until_complete(lambda: BadAwait(native), 100, 2)
    with pytest.raises(TypeError, match=r"__await__\(\) returned a coroutine"):
        coro.send(None)
    native.close()


def test_awaiting_a_coroutine_that_is_already_awaited(fake_asyncio):
    log = []
    shared, _ = frame_coroutine(yields=("a",))
    shared.send(None)  # suspended, awaiting its check
    coro = StatusPoller(Config()).poll_until_complete(lambda: shared, 100, 2)
    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        coro.send(None)
    shared.close()
    del log


def test_frame_coroutines_delegate_to_each_other(fake_asyncio):
    inner, _ = frame_coroutine(statuses=["completed"], yields=("x", "y"))
    outer = StatusPoller(Config()).poll_until_complete(lambda: inner, 100, 2)
    assert outer.send(None) == "x"
    assert outer.cr_await is inner
    assert outer.send(None) == "y"
    with pytest.raises(StopIteration) as stop:
        outer.send(None)
    assert stop.value.value.status == "completed"


def test_exception_context_is_the_bodys_own(fake_asyncio):
    seen = []

    class Probe:
        def __await__(self):
            seen.append(sys.exception())
            yield "p"
            seen.append(sys.exception())
            return Status("completed")

    coro = StatusPoller(Config()).poll_until_complete(Probe, 100, 2)
    try:
        raise KeyError("caller")
    except KeyError:
        coro.send(None)
    with pytest.raises(StopIteration):
        coro.send(None)
    assert isinstance(seen[0], KeyError) and seen[1] is None
    assert sys.exception() is None


# --- the same sequences against a native twin ----------------------------------

OPERATIONS = st.lists(
    st.one_of(
        st.tuples(st.just("send"), st.sampled_from([None, "v", 0])),
        st.tuples(st.just("throw"), st.sampled_from([ValueError, KeyError, GeneratorExit, StopIteration])),
        st.tuples(st.just("close"), st.none()),
    ),
    max_size=12,
)


def outcome(action):
    try:
        value = action()
    except StopIteration as stop:
        value = stop.value
        return ("return", getattr(value, "status", value))
    except BaseException as error:  # noqa: BLE001 - the outcome is compared, whatever it is
        return ("raise", type(error).__name__)
    return ("yield", value)


def drive(coro, operations):
    results = []
    for name, argument in [("send", None), *operations]:
        if name == "send":
            results.append(outcome(lambda: coro.send(argument)))
        elif name == "throw":
            results.append(outcome(lambda: coro.throw(argument("thrown"))))
        else:
            results.append(outcome(coro.close))
    coro.close()
    return results


@settings(max_examples=300, deadline=None)
@given(operations=OPERATIONS, swallow=st.booleans())
def test_frame_and_native_coroutines_agree(operations, swallow):
    outcomes, logs = [], []
    for kind in ("frame", "native"):
        log = []
        fake = scripted_asyncio(log)
        statuses = ["pending", "processing", "completed"]

        def check():
            return Script(
                ["a", "b"], Status(statuses.pop(0)), log, name="check", swallow=swallow, recovered="recovered"
            )

        if kind == "frame":
            saved = poller.asyncio
            poller.asyncio = fake
            try:
                outcomes.append(drive(StatusPoller(Config()).poll_until_complete(check, 100, 2), operations))
            finally:
                poller.asyncio = saved
        else:
            twin = load_twin("velquor_ai.util.poller")
            twin.asyncio = fake
            outcomes.append(drive(twin.StatusPoller(Config()).poll_until_complete(check, 100, 2), operations))
        logs.append(log)
    assert outcomes[0] == outcomes[1]
    assert logs[0] == logs[1]


# --- under a real event loop ------------------------------------------------------


class Recorder:
    def __init__(self, statuses):
        self.statuses = list(statuses)
        self.calls = 0

    async def __call__(self):
        self.calls += 1
        await asyncio.sleep(0)
        return Status(self.statuses.pop(0), error=None)


def test_run_create_task_gather_and_task_group():
    polling = StatusPoller(Config())

    async def main():
        first = await polling.poll_until_complete(Recorder(["pending", "completed"]), 10, 0)
        task = asyncio.create_task(polling.poll_until_complete(Recorder(["completed"]), 10, 0))
        gathered = await asyncio.gather(
            polling.poll_until_complete(Recorder(["completed"]), 10, 0),
            polling.poll_until_complete(Recorder(["failed"]), 10, 0),
            return_exceptions=True,
        )
        async with asyncio.TaskGroup() as group:
            grouped = [group.create_task(polling.poll_until_complete(Recorder(["x", "completed"]), 10, 0))]
        return first, await task, gathered, grouped[0].result()

    first, tasked, gathered, grouped = asyncio.run(main())
    assert first.status == tasked.status == grouped.status == "completed"
    assert gathered[0].status == "completed"
    assert isinstance(gathered[1], RuntimeError) and str(gathered[1]) == "Task failed: None"


def test_wait_for_times_out_and_cancellation_ends_the_task_cleanly():
    polling = StatusPoller(Config())

    async def never():
        await asyncio.sleep(3600)

    async def main():
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(polling.poll_until_complete(never, 100, 0), 0.01)
        coro = polling.poll_until_complete(never, 100, 0)
        alive = weakref.ref(coro)
        task = asyncio.create_task(coro)
        del coro
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()
        del task
        gc.collect()
        return alive

    alive = asyncio.run(main())
    assert alive() is None


def test_a_coroutine_in_a_reference_cycle_is_collected(fake_asyncio):
    holder = []
    coro = StatusPoller(Config()).poll_until_complete(lambda: Script(["a"], None, []), 100, 2, holder.append)
    holder.append(coro)  # on_progress's list refers to the coroutine: a cycle
    coro.send(None)
    alive = weakref.ref(coro)
    del coro, holder
    gc.collect()
    assert alive() is None
