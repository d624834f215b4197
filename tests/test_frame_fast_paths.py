"""The frame's shortcuts behave as the general paths they stand in for: refusal
messages built without the formatter, f-strings joined without a sequence,
exact lists walked by index, coroutine objects reused from a free list, and
the body's exception context kept across a suspension."""

from __future__ import annotations

import asyncio
import gc
import sys
import types
import warnings

import pytest
from support import side_module

from velquor_ai import _vostrel
from velquor_ai.config import Config
from velquor_ai.util.poller import StatusPoller
from velquor_ai.util.validators import validate_generation_id

# About the compiled modules themselves: their types, code objects and frame.
pytestmark = pytest.mark.compiled_only


@pytest.fixture
def current_loop():
    """The poller reads the current event loop's clock."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    yield loop
    asyncio.set_event_loop(None)
    loop.close()


def refused_type_name(name: str) -> str:
    cls = type(name, (), {})
    with pytest.raises(TypeError) as refused:
        validate_generation_id(cls())
    return str(refused.value).removeprefix("Argument 'generation_id' has incorrect type (expected str, got ")


@pytest.mark.parametrize(
    ("name", "shown"),
    [
        ("Plain", "Plain)"),
        ("Ünïcode", "Ünïcode)"),
        ("x" * 300, "x" * 200 + ")"),
        ("é" * 150, "é" * 100 + ")"),
        # Cut inside a character, as "%.200s" cuts: the half is replaced.
        ("a" + "é" * 150, ("a" + "é" * 150).encode()[:200].decode("utf-8", "replace") + ")"),
    ],
)
def test_refusal_names_the_type_as_the_interpreter_formats_it(name, shown):
    assert refused_type_name(name) == shown
    # The second refusal reuses the message's prefix.
    assert refused_type_name(name) == shown


class Failed:
    def __init__(self, error):
        self.status = "failed"
        self.error = error


class Text(str):
    def __format__(self, format_spec):
        return "formatted"


@pytest.mark.parametrize(
    ("error", "message"),
    [
        ("", "Task failed: "),
        ("naïve", "Task failed: naïve"),
        ("日本", "Task failed: 日本"),
        ("😀 and é", "Task failed: 😀 and é"),
        (Text("plain"), "Task failed: formatted"),
        (12, "Task failed: 12"),
    ],
)
def test_f_string_pieces_of_every_width_are_joined(current_loop, error, message):
    async def check():
        return Failed(error)

    coro = StatusPoller(Config()).poll_until_complete(check, 10, 0)
    with pytest.raises(RuntimeError) as failed:
        coro.send(None)
    assert str(failed.value) == message
    assert type(str(failed.value)) is str


def test_a_list_that_grows_while_it_is_walked_is_walked_to_its_new_end():
    inputs = ["a.png"]

    class Growing:
        def __fspath__(self):
            return "grow.png"

        def __str__(self):
            inputs.append("late.png")
            return "grow.png"

    inputs.append(Growing())
    assert _vostrel.prepare_file_paths(inputs) == ["a.png", "grow.png", "late.png"]


def test_a_tuple_is_taken_where_a_list_is_not_tested():
    # *file_lists is untested: a tuple of names goes through like a list.
    assert _vostrel.prepare_file_paths(("a.png", "b.png")) == ["a.png", "b.png"]


def never_awaited(make):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make()
        gc.collect()
    return [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]


def test_a_reused_coroutine_object_starts_clean(current_loop):
    poller = StatusPoller(Config())

    async def check():
        return types.SimpleNamespace(status="completed")

    first = poller.poll_until_complete(check, 10, 0)
    first.__name__ = "renamed"
    frame = first.cr_frame
    with pytest.raises(StopIteration):
        first.send(None)
    del first
    second = poller.poll_until_complete(check, 10, 0)
    assert second.__name__ == "poll_until_complete"
    assert second.cr_await is None and not second.cr_running
    assert second.cr_frame is not frame
    with pytest.raises(StopIteration) as done:
        second.send(None)
    assert done.value.value.status == "completed"
    # A coroutine dropped unawaited warns each time, whichever memory it got.
    for _ in range(3):
        assert never_awaited(lambda: poller.poll_until_complete(check, 10, 0)) == [
            "coroutine 'StatusPoller.poll_until_complete' was never awaited"
        ]


def test_coroutines_keep_the_names_their_function_had_when_they_were_made():
    function = StatusPoller.poll_until_complete
    before = function(StatusPoller(Config()), None, 1, 1)
    function.__qualname__ = "Renamed.poll"
    try:
        after = function(StatusPoller(Config()), None, 1, 1)
        assert (before.__qualname__, after.__qualname__) == ("StatusPoller.poll_until_complete", "Renamed.poll")
    finally:
        function.__qualname__ = "StatusPoller.poll_until_complete"
        before.close()
        after.close()


class Suspending:
    """An awaitable that records sys.exception() on either side of one yield."""

    def __init__(self, seen, result):
        self.seen = seen
        self.result = result

    def __await__(self):
        self.seen.append(sys.exception())
        yield "suspended"
        self.seen.append(sys.exception())
        return self.result


class Refused(LookupError):
    pass


def client_module(seen):
    class AsyncClient:
        async def __aenter__(self):
            return self

        def __aexit__(self, *exc_info):
            return Suspending(seen, False)

        async def put(self, url, **kwargs):
            raise Refused("put failed")

    return types.SimpleNamespace(AsyncClient=AsyncClient)


def drive_exit_across_a_suspension(coro):
    assert coro.send(None) == "suspended"
    try:
        raise KeyError("the caller's own")
    except KeyError:
        with pytest.raises(Refused):
            coro.send(None)


def test_the_handled_exception_survives_a_suspension_as_in_a_native_async_with(monkeypatch):
    seen = {}
    for side in ("frame", "native"):
        module = side_module(side, "velquor_ai.resources.uploads")
        monkeypatch.setattr(module, "httpx", client_module(seen.setdefault(side, [])))
        drive_exit_across_a_suspension(module.UploadsResource(None).upload_file_to_s3("http://s3/object", b"data"))
    assert [type(e) for e in seen["frame"]] == [type(e) for e in seen["native"]] == [Refused, Refused]
    assert sys.exception() is None
