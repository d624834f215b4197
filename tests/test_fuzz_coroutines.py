"""Frame coroutines against native `async def` twins, under random protocol use.

Each compiled coroutine and its twin await the same kind of scripted awaitables
(objects whose `__await__` is a generator that yields chosen values and records
what is sent, thrown and closed into it, optionally swallowing what is thrown).
A random sequence of send, throw (classes and instances, one- and three-argument
forms, CancelledError, GeneratorExit, StopIteration and a KeyboardInterrupt-like
BaseException), close, second awaiters and re-entry attempts from inside an
awaitable is applied to both; they must agree on every yielded value, result
and exception (with the type of its __context__), and on everything that
reached the awaitables. An awaitable may
also be a deep chain of coroutines awaiting each other, and the S3 client a
class that rebases itself in the middle of the lookup of its special methods.
Every step runs inside an except block whose exception must still be
sys.exception() afterwards, and so must the collection of what is left, with
coroutines kept alive by an unraisable hook as test harnesses keep them.

Two differences are intended and kept out of the comparison: a first `send` of
a value other than None finishes a frame coroutine (a native one stays
unstarted), pinned by its own test below; and a StopIteration escaping a frame
body becomes "generator raised StopIteration" where a native coroutine says
"coroutine raised StopIteration" (the types are compared); likewise an
`async with` whose `__aenter__`/`__aexit__` hands back something that cannot be
awaited gets the frame's general "can't be used in 'await' expression" text.
"""

from __future__ import annotations

import asyncio
import functools
import gc
import os
import sys
import warnings
import weakref
from types import SimpleNamespace
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import BaseModel
from support import Config, FakeAsyncio, Halt, Script, Status, Stubborn, colliding_key, side_module

from velquor_ai.util import poller
from velquor_ai.util.poller import StatusPoller

# Compares the compiled modules with their Python, which is all there is where
# they are not in use.
pytestmark = pytest.mark.compiled_only

THROWN = [ValueError, KeyError, GeneratorExit, StopIteration, asyncio.CancelledError, Halt]
REENTER = "__reenter__"


class StubbornScript(Script):
    """Like Script, but closing it makes it yield once more."""

    def __await__(self) -> Any:
        try:
            return (yield from Script.__await__(self))
        except GeneratorExit:
            yield f"{self.name}:stubborn"


def script(kind: type[Script], name: str, world: World, result: Any) -> Script:
    """An awaitable of the world's script: it yields the world's values under
    its name, records into the world's log, swallows what is thrown if the
    world says so, and sent REENTER tries to resume the coroutine that awaits
    it (which must refuse)."""
    return kind(
        [f"{name}:{value}" for value in world.yields],
        result,
        world.log,
        name=name,
        swallow=world.swallow,
        recovered=result,
        on_send=world.reenter_if_asked,
    )


class World:
    """What both sides share: the script of the awaitables and the record of what reached them."""

    def __init__(
        self,
        yields: list[str],
        swallow: bool,
        steps: list[str],
        methods: frozenset[str] = frozenset(),
        side: str = "frame",
        hostile: bool = False,
    ) -> None:
        self.side = side
        self.hostile = hostile  # the S3 client's class rebases itself during the lookup of __aexit__
        self.yields = yields
        self.methods = methods  # what the iterators of IteratorScript offer besides __next__
        self.swallow = swallow
        self.log: list[Any] = []
        self.coroutine: Any = None
        self.steps = list(steps)  # what each successive awaited call does

    def next_step(self) -> str:
        return self.steps.pop(0) if self.steps else "await"

    def reenter_if_asked(self, sent: Any) -> None:
        if sent == REENTER:
            self.reenter()

    def reenter(self) -> None:
        for attempt in ("send", "throw", "close", "await"):
            try:
                if attempt == "send":
                    self.coroutine.send(None)
                elif attempt == "throw":
                    self.coroutine.throw(ValueError("re-entered"))
                elif attempt == "close":
                    self.coroutine.close()
                else:
                    await_again(self.coroutine)
            except BaseException as error:  # noqa: BLE001 - the refusal is what is recorded
                self.log.append(("reenter", attempt, type(error).__name__, str(error)))
            else:
                self.log.append(("reenter", attempt, "accepted"))

    def awaitable(self, name: str, result: Any) -> Any:
        """What a collaborator hands back: a script, or a misbehaviour."""
        step = self.next_step()
        self.log.append((name, "called", step))
        if step == "raise":
            raise LookupError(f"{name} refused")
        if step == "stop":
            raise StopIteration(name)
        if step == "plain":
            return result
        if step == "itself":
            return self.coroutine
        if step == "iterator":
            return IteratorScript(name, self, result)
        if step == "stubborn":
            return script(StubbornScript, name, self, result)
        if step == "deep":
            return chain(self, DEPTH, script(Script, name, self, result))
        return script(Script, name, self, result)


# Deep enough to forward send, throw and close through many levels, shallow
# enough for native coroutines under the default recursion limit.
DEPTH = 150


class ChainHTTP:
    def __init__(self, world: World, depth: int, leaf: Any) -> None:
        self.world, self.depth, self.leaf = world, depth, leaf

    def post(self, path: str, json: Any = None) -> Any:
        return chain(self.world, self.depth, self.leaf)


def chain(world: World, depth: int, leaf: Any) -> Any:
    """`depth` coroutines of the world's side awaiting each other, then `leaf`."""
    if depth == 0:
        return leaf
    resources = side_module(world.side, "velquor_ai.resources.uploads")
    return resources.UploadsResource(ChainHTTP(world, depth - 1, leaf)).get_generation_upload_urls("g", [])


def await_again(coroutine: Any) -> Any:
    """A second awaiter: one step of a native coroutine awaiting `coroutine`."""

    async def second() -> Any:
        return await coroutine

    awaiter = second()
    try:
        return awaiter.send(None)
    finally:
        awaiter.close()


class IteratorScript:
    """Like Script, but `__await__` returns a plain iterator object, which has
    `send`, `throw` and `close` only as `world.methods` says."""

    def __init__(self, name: str, world: World, result: Any) -> None:
        self.name = name
        self.world = world
        self.result = result

    def __await__(self) -> Any:
        return ITERATOR_TYPES[self.world.methods](self)


class ScriptIterator:
    def __init__(self, script: IteratorScript) -> None:
        self.script = script
        self.pending = list(script.world.yields)

    def __iter__(self) -> ScriptIterator:
        return self

    def __next__(self) -> Any:
        if not self.pending:
            raise StopIteration(self.script.result)
        return f"{self.script.name}:{self.pending.pop(0)}"

    def _send(self, value: Any) -> Any:
        self.script.world.log.append((self.script.name, "sent", repr(value)))
        if value == REENTER:
            self.script.world.reenter()
        return self.__next__()

    def _throw(self, *args: Any) -> Any:
        error = args[0]
        name = error.__name__ if isinstance(error, type) else type(error).__name__
        self.script.world.log.append((self.script.name, "thrown", name, len(args)))
        if self.script.world.swallow:
            raise StopIteration(self.script.result)
        if isinstance(error, type):
            error = error(*([args[1]] if len(args) > 1 and args[1] is not None else []))
        raise error

    def _close(self) -> None:
        self.script.world.log.append((self.script.name, "closed"))


ITERATOR_TYPES = {
    frozenset(methods): type(
        "ScriptIterator", (ScriptIterator,), {name: getattr(ScriptIterator, f"_{name}") for name in methods}
    )
    for methods in ([], ["send"], ["throw"], ["close"], ["send", "throw"], ["send", "throw", "close"])
}


# --- the coroutines under test and their twins ---------------------------------------


class HTTP:
    def __init__(self, world: World, answer: Any) -> None:
        self.world = world
        self.answer = answer

    def post(self, path: str, json: Any = None) -> Any:
        self.world.log.append(("post", path, repr(json)))
        return self.world.awaitable("post", self.answer)


class S3Client:
    def __init__(self, world: World) -> None:
        self.world = world

    def __aenter__(self) -> Any:
        return self.world.awaitable("enter", self)

    def __aexit__(self, *exc_info: Any) -> Any:
        self.world.log.append(("exit", exc_info[0].__name__ if exc_info[0] else None))
        return self.world.awaitable("exit", False)

    def put(self, url: str, **kwargs: Any) -> Any:
        self.world.log.append(("put", url, sorted(kwargs)))
        return self.world.awaitable("put", Response())


class Response:
    status_code = 201
    text = "ok"


class Httpx:
    def __init__(self, world: World) -> None:
        self.world = world

    def AsyncClient(self) -> S3Client:  # noqa: N802 - httpx's name
        return (rebasing_client_class() if self.world.hostile else S3Client)(self.world)


def rebasing_client_class() -> type:
    """A fresh S3Client subclass whose dict holds a str-subclass key colliding
    with "__aexit__": comparing it rebases the class, freeing the MRO being
    walked, and reuses that memory for a tuple of impostors."""

    class Impostor:
        def __aexit__(self, *exc_info: Any) -> Any:
            raise AssertionError("looked up on a freed MRO")

    def rebase() -> None:
        client.__bases__ = (type("Rebased", (S3Client,), {}),)
        impostors.extend(tuple([Impostor] * 3) for _ in range(20))  # one takes the freed MRO

    impostors: list[tuple[type, ...]] = []
    client = type("Client", (S3Client,), {colliding_key("__aexit__", rebase): None})
    return client


class OnPremise:
    def __init__(self, world: World) -> None:
        self.world = world

    def generate_blueprint(self, **kwargs: Any) -> Any:
        self.world.log.append(("generate", sorted(kwargs)))
        return self.world.awaitable("generate", '{"steps": []}')

    def validate_blueprint(self, text: Any) -> Any:
        self.world.log.append(("validate", repr(text)))
        return text if isinstance(text, str) else "not a string"


# Each scenario makes its coroutine from the modules of one side: the compiled
# ones, or their twins.
def modules(side: str) -> SimpleNamespace:
    return SimpleNamespace(
        poller=side_module(side, "velquor_ai.util.poller"),
        uploads=side_module(side, "velquor_ai.resources.uploads"),
        generations=side_module(side, "velquor_ai.resources.generations"),
        vostrel=side_module(side, "velquor_ai._vostrel"),
    )


FILES = ["a.png", "b.mp4"]
ANSWER = {"generation_id": "gen_1", "status": "created"}


def poll(m: SimpleNamespace, world: World, monkeypatch: pytest.MonkeyPatch) -> Any:
    """A poll whose `asyncio` sleeps through the world."""
    statuses = iter(["pending", "processing", "completed"])
    clock = FakeAsyncio(sleep=lambda seconds: world.awaitable(f"sleep({seconds})", None))
    monkeypatch.setattr(m.poller, "asyncio", clock)
    return m.poller.StatusPoller(Config()).poll_until_complete(
        lambda: world.awaitable("check", Status(next(statuses, "completed"), error="why")), 100, 2
    )


def upload_urls(m: SimpleNamespace, world: World, monkeypatch: pytest.MonkeyPatch) -> Any:
    return m.uploads.UploadsResource(HTTP(world, {"upload_urls": []})).get_generation_upload_urls("gen_1", FILES)


def delegated_upload_urls(m: SimpleNamespace, world: World, monkeypatch: pytest.MonkeyPatch) -> Any:
    http = HTTP(world, {"upload_urls": []})
    return m.generations.GenerationsResource(http, m.uploads.UploadsResource(http)).get_upload_urls("gen_1", FILES)


def create(m: SimpleNamespace, world: World, monkeypatch: pytest.MonkeyPatch) -> Any:
    return m.generations.GenerationsResource(HTTP(world, dict(ANSWER)), None).create("q?")


def generate(m: SimpleNamespace, world: World, monkeypatch: pytest.MonkeyPatch) -> Any:
    return m.vostrel.generate_blueprint_vostrel(OnPremise(world), "q?", ["a.png"], None)


def upload(m: SimpleNamespace, world: World, monkeypatch: pytest.MonkeyPatch) -> Any:
    monkeypatch.setattr(m.uploads, "httpx", Httpx(world))
    return m.uploads.UploadsResource(None).upload_file_to_s3("http://s3/k", b"data", "image/png")


SCENARIOS: dict[str, Callable[[SimpleNamespace, World, pytest.MonkeyPatch], Any]] = {
    "poll_until_complete": poll,
    "get_generation_upload_urls": upload_urls,
    "GenerationsResource.get_upload_urls": delegated_upload_urls,
    "GenerationsResource.create": create,
    "generate_blueprint_vostrel": generate,
    "upload_file_to_s3": upload,
}


def start(kind: str, side: str, world: World, monkeypatch: pytest.MonkeyPatch) -> Any:
    return SCENARIOS[kind](modules(side), world, monkeypatch)


# --- driving --------------------------------------------------------------------------


def make_exception(cls: type[BaseException]) -> BaseException:
    return cls("thrown")


def traceback_of(cls: type[BaseException]) -> Any:
    try:
        raise cls("with traceback")
    except BaseException as error:  # noqa: BLE001
        return error.__traceback__


def apply(coro: Any, operation: tuple[Any, ...]) -> Any:
    name, argument = operation[0], operation[1] if len(operation) > 1 else None
    if name == "send":
        return coro.send(argument)
    if name == "close":
        return ("closed", coro.close())
    if name == "await again":
        return await_again(coro)
    if name == "throw class":
        return coro.throw(argument)
    if name == "throw instance":
        return coro.throw(make_exception(argument))
    if name == "throw 3":
        return coro.throw(argument, make_exception(argument), None)
    if name == "throw 2 value":
        return coro.throw(argument, "as value")
    if name == "throw 3 traceback":
        return coro.throw(argument, None, traceback_of(argument))
    raise AssertionError(name)  # pragma: no cover


def describe(error: BaseException) -> tuple[str, str, str]:
    context = type(error.__context__).__name__
    text = str(error)
    if isinstance(error, RuntimeError) and text in ("generator raised StopIteration", "coroutine raised StopIteration"):
        text = "<raised StopIteration>"
    if isinstance(error, TypeError) and (
        "can't be used in 'await' expression" in text or "'async with' received an object from" in text
    ):
        text = "<not awaitable>"
    return type(error).__name__, text, context


def result_shape(value: Any) -> Any:
    if isinstance(value, Status):
        return ("Status", value.status)
    if isinstance(value, BaseModel):
        fields = value.model_dump(exclude={"created_at", "completed_at"})
        return (type(value).__name__, sorted(fields.items(), key=repr))
    return repr(value)


def outcome(coro: Any, operation: tuple[Any, ...]) -> tuple[Any, ...]:
    try:
        value = apply(coro, operation)
    except StopIteration as stop:
        return ("return", result_shape(stop.value))
    except BaseException as error:  # noqa: BLE001 - compared with the other side
        return ("raise", *describe(error))
    return ("yield", result_shape(value), coro.cr_await is None, coro.cr_running)


class Handled(Exception):
    """The exception of the except block each step runs in."""


def in_handler(action: Callable[[], Any]) -> tuple[Any, bool]:
    """What `action` returns inside an except block, and whether that block's
    exception is still sys.exception() after it."""
    try:
        raise Handled
    except Handled as handled:
        result = action()
        return result, sys.exception() is handled


def run(
    kind: str,
    side: str,
    operations: list[tuple[Any, ...]],
    yields: list[str],
    swallow: bool,
    steps: list[str],
    methods: frozenset[str],
    hostile: bool,
    drop: bool,
) -> tuple[list[Any], list[Any]]:
    world = World(yields, swallow, steps, methods, side, hostile)
    with pytest.MonkeyPatch.context() as monkeypatch, warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", RuntimeWarning)
        kept: list[Any] = []  # what an unraisable hook keeps, as test harnesses do
        monkeypatch.setattr("sys.unraisablehook", lambda unraisable: kept.append(unraisable.object))
        coro = start(kind, side, world, monkeypatch)
        world.coroutine = coro
        results = [in_handler(functools.partial(outcome, coro, operation)) for operation in operations]
        if not drop:
            results.append(in_handler(functools.partial(outcome, coro, ("close",))))
            results.append(in_handler(functools.partial(outcome, coro, ("send", None))))
        # Dropped, a suspended coroutine is closed by its finalizer; one whose
        # close() fails goes to the hook, which keeps it, and is freed later
        # still suspended. When that happens depends on the collector, so
        # only the exception state is recorded from here on.
        log = list(world.log)
        world.coroutine = None
        holder = [coro]
        del coro
        results.append(in_handler(holder.clear)[1])
        results.append(in_handler(lambda: gc.collect(1))[1])
        results.append(in_handler(lambda: (kept.clear(), gc.collect(1)))[1])
    return results, log


OPERATION = st.one_of(
    st.tuples(st.just("send"), st.sampled_from([None, None, "v", 0, REENTER])),
    st.tuples(
        st.sampled_from(["throw class", "throw instance", "throw 3", "throw 2 value", "throw 3 traceback"]),
        st.sampled_from(THROWN),
    ),
    st.just(("close",)),
    st.just(("await again",)),
)


@st.composite
def scenarios(draw: st.DrawFn) -> tuple[list[tuple[Any, ...]], list[str], bool, list[str], frozenset[str], bool, bool]:
    operations = draw(st.lists(OPERATION, max_size=14))
    # Mostly start the coroutine first, so that most operations meet a suspended body.
    if draw(st.integers(0, 3)):
        operations.insert(0, ("send", None))
    if operations and operations[0][0] == "send" and operations[0][1] is not None:
        operations[0] = ("send", None)  # the intended difference: see the module docstring
    yields = draw(st.lists(st.sampled_from(["a", "b", "c"]), max_size=3))
    steps = draw(
        st.lists(
            st.sampled_from(
                [
                    "await",
                    "await",
                    "await",
                    "iterator",
                    "iterator",
                    "raise",
                    "stop",
                    "plain",
                    "itself",
                    "deep",
                    "stubborn",
                ]
            ),
            max_size=4,
        )
    )
    return (
        operations,
        yields,
        draw(st.booleans()),
        steps,
        draw(st.sampled_from(sorted(ITERATOR_TYPES, key=sorted))),
        draw(st.booleans()),
        draw(st.booleans()),
    )


# Enough for every run of the suite; a longer campaign: VELQUOR_FUZZ_EXAMPLES=20000.
EXAMPLES = int(os.environ.get("VELQUOR_FUZZ_EXAMPLES", "600"))


@pytest.mark.parametrize("kind", list(SCENARIOS))
def test_frame_and_native_coroutines_agree(kind: str) -> None:
    @settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(scenario=scenarios())
    def check(scenario: tuple[list[tuple[Any, ...]], list[str], bool, list[str], frozenset[str], bool, bool]) -> None:
        frame = run(kind, "frame", *scenario)
        native = run(kind, "native", *scenario)
        assert frame == native

    # Scripts that refuse to close, dropped in cycles, may outlive their
    # scenario until a later collection: they are freed here, their refusals
    # discarded, and not in whichever test the collector next runs in.
    with pytest.MonkeyPatch.context() as monkeypatch:
        monkeypatch.setattr("sys.unraisablehook", lambda unraisable: None)
        try:
            check()
        finally:
            gc.collect()


# --- the intended differences, pinned ------------------------------------------------------


@pytest.mark.parametrize("kind", list(SCENARIOS))
def test_first_send_of_a_value_finishes_a_frame_coroutine(kind: str) -> None:
    world = World(["a"], False, [])
    with pytest.MonkeyPatch.context() as monkeypatch:
        coro = start(kind, "frame", world, monkeypatch)
        with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
            coro.send("value")
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)
        assert coro.close() is None
    assert world.log == []

    with pytest.MonkeyPatch.context() as monkeypatch:
        native = start(kind, "native", world, monkeypatch)
        with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
            native.send("value")
        assert native.send(None) is not None  # the native one is still unstarted, and starts now
        native.close()


@pytest.mark.parametrize("kind", list(SCENARIOS))
def test_stop_iteration_from_a_collaborator_becomes_runtime_error(kind: str) -> None:
    messages = {}
    for side in ("frame", "native"):
        world = World([], False, ["stop"] * 3)
        with pytest.MonkeyPatch.context() as monkeypatch:
            coro = start(kind, side, world, monkeypatch)
            with pytest.raises(RuntimeError) as raised:
                coro.send(None)
        assert isinstance(raised.value.__cause__, StopIteration)
        messages[side] = str(raised.value)
    assert messages == {"frame": "generator raised StopIteration", "native": "coroutine raised StopIteration"}


# --- faults found on the way, pinned ----------------------------------------------------------


class CheckHolding:
    """A check function that can be made to refer back to the coroutine."""

    coroutine: Any = None

    def __call__(self) -> Stubborn:
        return Stubborn()


def test_a_coroutine_resurrected_by_its_finalizer_stays_collectable(monkeypatch: pytest.MonkeyPatch) -> None:
    # Dropping a suspended coroutine closes it; when that fails the error goes
    # to sys.unraisablehook together with the coroutine, and a hook that keeps
    # it resurrects the object. It must still be tracked by the collector, or
    # any cycle it later joins leaks for good.
    kept: list[Any] = []
    monkeypatch.setattr("sys.unraisablehook", lambda unraisable: kept.append(unraisable.object))
    monkeypatch.setattr(poller, "asyncio", FakeAsyncio())
    check = CheckHolding()
    coro = StatusPoller(Config()).poll_until_complete(check, 100, 1)
    coro.send(None)
    alive = weakref.ref(coro)
    del coro
    (resurrected,) = [obj for obj in kept if obj is alive()]
    assert gc.is_tracked(resurrected)
    check.coroutine = resurrected  # coroutine -> check_fn -> coroutine
    kept.clear()
    del resurrected, check
    gc.collect()
    assert alive() is None


class QuietStop(StopIteration):
    pass


@pytest.mark.parametrize("stop", [StopIteration, QuietStop])
def test_stop_iteration_thrown_at_an_await_on_an_iterator_without_throw_is_its_value(stop: type) -> None:
    # The interpreter's await takes a StopIteration arriving at the await
    # point as the awaited object's return value.
    world = World(["a"], False, ["iterator"], frozenset())
    coro = start("get_generation_upload_urls", "frame", world, pytest.MonkeyPatch())
    assert coro.send(None) == "post:a"
    with pytest.raises(StopIteration) as returned:
        coro.throw(stop({"upload_urls": ["from the stop"]}))
    assert returned.value.value == {"upload_urls": ["from the stop"]}
