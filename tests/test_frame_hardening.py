"""The frame against hostile Python code and against the native behaviour it
stands for: special-method lookups that rewrite classes, coroutines freed in
awkward states, deep await chains, failed imports, second awaiters, models
built from answers, exception context and coroutine introspection."""

from __future__ import annotations

import asyncio
import gc
import inspect
import subprocess
import sys
import textwrap
import types
import warnings
import weakref
from typing import Any

import pytest
from support import Stubborn, colliding_key, side_module

from velquor_ai.resources import uploads
from velquor_ai.resources.uploads import UploadsResource
from velquor_ai.util import validators

# Compares the compiled modules with their Python, which is all there is where
# they are not in use.
pytestmark = pytest.mark.compiled_only

UPLOADS, GENERATIONS = "velquor_ai.resources.uploads", "velquor_ai.resources.generations"


class PutResponse:
    status_code = 201
    text = "ok"


# --- special-method lookup ------------------------------------------------------------


def rebasing_manager(calls: list[Any]) -> type:
    """A class whose dict holds a str-subclass key colliding with "__aenter__":
    comparing it during the lookup rebases the class, which frees the MRO the
    lookup walks, and reuses that memory for a tuple of impostors."""

    class Impostor:
        async def __aenter__(self) -> Any:
            calls.append("Impostor.__aenter__")
            return self

    class Base:
        async def __aenter__(self) -> Any:
            calls.append("Base.__aenter__")
            return self

        async def put(self, url: str, **kwargs: Any) -> PutResponse:
            return PutResponse()

    class Other(Base):
        async def __aexit__(self, *exc_info: Any) -> bool:
            calls.append("Other.__aexit__")
            return False

    def rebase() -> None:
        manager.__bases__ = (Other,)
        calls.append([tuple([Impostor] * 4) for _ in range(20)])  # one takes the freed MRO

    class Start(Base):
        pass

    manager = type("Manager", (Start,), {colliding_key("__aenter__", rebase): None})
    return manager


@pytest.mark.parametrize("side", ["frame", "native"])
def test_special_method_lookup_survives_a_class_rebased_by_a_key_comparison(monkeypatch, side):
    calls: list[Any] = []
    manager = rebasing_manager(calls)
    module = side_module(side, UPLOADS)
    monkeypatch.setattr(module, "httpx", type("Httpx", (), {"AsyncClient": staticmethod(manager)}))
    run = module.UploadsResource(None).upload_file_to_s3("u", b"d", "t")
    assert asyncio.run(run) == {"status": "uploaded", "size": 1}
    # The walk goes on over the MRO it started with; the exit is then found
    # on the rebased class.
    assert [call for call in calls if isinstance(call, str)] == ["Base.__aenter__", "Other.__aexit__"]


# --- a coroutine freed while suspended inside an except block -----------------------------


@types.coroutine
def tick() -> Any:
    yield "tick"


class StubbornExitClient:
    """An S3 client whose PUT suspends and whose __aexit__ never finishes."""

    entered: Any = None  # weak reference to the last one entered
    owner: Any = None  # set to close a reference cycle

    async def __aenter__(self) -> StubbornExitClient:
        StubbornExitClient.entered = weakref.ref(self)
        return self

    def __aexit__(self, *exc_info: Any) -> Stubborn:
        return Stubborn()

    def put(self, url: str, **kwargs: Any) -> Any:
        return tick()


def suspended_in_the_exit(monkeypatch, kept: list[Any]) -> None:
    """An upload dropped while its PUT is pending: its finalizer throws
    GeneratorExit in, the exit handler awaits __aexit__, which ignores it;
    the failed close goes to an unraisable hook that keeps the coroutine."""
    monkeypatch.setattr(uploads, "httpx", type("Httpx", (), {"AsyncClient": StubbornExitClient}))
    messages: list[str] = []

    def keep(unraisable: Any) -> None:  # as test harnesses do, for coroutines
        messages.append(str(unraisable.exc_value))
        if asyncio.iscoroutine(unraisable.object):
            kept.append(unraisable.object)

    monkeypatch.setattr("sys.unraisablehook", keep)
    coro = UploadsResource(None).upload_file_to_s3("u", b"d", "t")
    assert coro.send(None) == "tick"
    try:
        raise LookupError("handled while the coroutine is dropped")
    except LookupError:
        del coro
    assert messages == ["coroutine ignored GeneratorExit"] and len(kept) == 1


def test_freeing_a_body_suspended_in_an_exit_handler_leaves_sys_exception_alone(monkeypatch):
    kept: list[Any] = []
    suspended_in_the_exit(monkeypatch, kept)
    alive = weakref.ref(kept[0])
    try:
        raise KeyError("unrelated")
    except KeyError as current:
        kept.clear()  # the last reference: the body is destroyed here
        assert alive() is None
        assert sys.exception() is current
    assert sys.exception() is None


def test_collecting_a_body_suspended_in_an_exit_handler_leaves_sys_exception_alone(monkeypatch):
    kept: list[Any] = []
    suspended_in_the_exit(monkeypatch, kept)
    coro = kept.pop()
    StubbornExitClient.entered().owner = coro  # coroutine -> client (in its slots) -> coroutine
    alive = weakref.ref(coro)
    del coro
    gc.collect()
    assert alive() is None
    assert sys.exception() is None
    try:
        raise KeyError("unrelated")
    except KeyError as current:
        gc.collect()
        assert sys.exception() is current


# --- deep await chains ---------------------------------------------------------------------


class Chain:
    """An HTTP client whose answer is the request of a resource one link
    further down, until `links` run out; the last answer waits on `leaf`."""

    def __init__(self, links: int, leaf: Any, side: str = "frame") -> None:
        self.links = links
        self.leaf = leaf
        self.side = side

    def post(self, path: str, json: Any = None) -> Any:
        if self.links == 0:
            return self.leaf()
        return chain(self.links - 1, self.leaf, self.side)


def chain(links: int, leaf: Any, side: str = "frame") -> Any:
    resource = side_module(side, UPLOADS).UploadsResource(Chain(links, leaf, side))
    return resource.get_generation_upload_urls("g", [])


async def answer() -> dict[str, Any]:
    return {"upload_urls": []}


@pytest.mark.parametrize("side", ["frame", "native"])
def test_a_deep_chain_of_awaiting_coroutines_raises_recursion_error(side):
    links = 25_000
    coro = chain(links, answer, side)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # no coroutine is left unstarted
        with pytest.raises(RecursionError, match="^maximum recursion depth exceeded$"):
            asyncio.run(coro)
        del coro
        gc.collect()


@pytest.mark.parametrize("operation", ["send", "throw", "close"])
def test_a_deep_chain_under_the_limit_is_driven_to_its_end(operation):
    async def leaf() -> dict[str, Any]:
        await tick()
        return {"upload_urls": ["leaf"]}

    coro = chain(3_000, leaf)
    assert coro.send(None) == "tick"
    if operation == "send":
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == {"upload_urls": ["leaf"]}
    elif operation == "throw":
        with pytest.raises(KeyError, match="thrown"):
            coro.throw(KeyError("thrown"))
    else:
        assert coro.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


# --- a second awaiter --------------------------------------------------------------------


class PendingHTTP:
    """An HTTP client whose GET waits on a future of the running loop."""

    def __init__(self) -> None:
        self.answer: asyncio.Future[Any] = asyncio.get_running_loop().create_future()

    def get(self, path: str) -> asyncio.Future[Any]:
        return self.answer


@pytest.mark.parametrize("side", ["frame", "native"])
def test_a_second_awaiter_is_refused_and_cancelling_it_spares_the_first(side):
    async def awaiter(coro: Any) -> Any:
        return await coro

    async def main() -> None:
        http = PendingHTTP()
        coro = side_module(side, GENERATIONS).GenerationsResource(http, None).get_result("g")
        first = asyncio.create_task(awaiter(coro))
        await asyncio.sleep(0)  # the first task now drives the coroutine
        second = asyncio.create_task(awaiter(coro))
        await asyncio.sleep(0)
        second.cancel()
        with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
            await second
        assert not first.done() and not http.answer.cancelled()
        http.answer.set_result({"generation_id": "g", "status": "completed"})
        assert (await first).generation_id == "g"

    asyncio.run(main())


# --- models built from the service's answer ------------------------------------------------


class PairsMapping:
    """keys() and __getitem__ are all that dict() asks of a mapping."""

    def __init__(self, pairs: list[tuple[Any, Any]]) -> None:
        self.pairs = pairs

    def keys(self) -> list[Any]:
        return [key for key, _ in self.pairs]

    def __getitem__(self, key: Any) -> Any:
        return dict(self.pairs)[key]


class DictWithOtherKeys(dict):
    """A dict subclass is copied as a dict, whatever keys() says."""

    def keys(self) -> Any:
        return ["ignored"]


class KeysRaisingAttributeError:
    def keys(self) -> Any:
        raise AttributeError("keys")


RESULT = {"generation_id": "g", "status": "completed"}


@pytest.mark.parametrize(
    "answer",
    [
        list(RESULT.items()),
        "generation_id",
        42,
        PairsMapping(list(RESULT.items())),
        PairsMapping([("generation_id", "g"), ("generation_id", "h")]),
        PairsMapping([(1, "g")]),
        DictWithOtherKeys(RESULT),
        KeysRaisingAttributeError(),
    ],
    ids=["pairs", "str", "int", "mapping", "repeated-key", "int-key", "dict-subclass", "keys-attribute-error"],
)
def test_the_answer_is_converted_with_dict_as_the_twin_does(answer):
    class HTTP:
        async def get(self, path: str) -> Any:
            return answer

    outcomes = []
    for side in ("frame", "twin"):
        coro = side_module(side, GENERATIONS).GenerationsResource(HTTP(), None).get_result("g")
        try:
            outcomes.append(("returned", asyncio.run(coro).generation_id))
        except Exception as error:  # noqa: BLE001 - compared with the twin's
            outcomes.append((type(error).__name__, str(error)))
    assert outcomes[0] == outcomes[1]


# --- exception context of what is thrown in ----------------------------------------------------


class FailingPutClient:
    """An S3 client whose PUT fails and whose __aexit__ then waits."""

    def __init__(self, wait: Any) -> None:
        self.wait = wait

    async def __aenter__(self) -> FailingPutClient:
        return self

    async def __aexit__(self, *exc_info: Any) -> bool:
        await self.wait()
        return False

    async def put(self, url: str, **kwargs: Any) -> Any:
        raise ConnectionError("PUT failed")


def failing_upload(side: str, monkeypatch: pytest.MonkeyPatch, client: FailingPutClient) -> Any:
    module = side_module(side, UPLOADS)
    monkeypatch.setattr(module, "httpx", type("Httpx", (), {"AsyncClient": staticmethod(lambda: client)}))
    return module.UploadsResource(None).upload_file_to_s3("u", b"d", "t")


def with_context(error: BaseException) -> BaseException:
    error.__context__ = LookupError("earlier")
    return error


def thrown_while_exiting(side: str, monkeypatch, throw: Any) -> BaseException:
    """What leaves an upload that gets `throw` while awaiting its client's exit."""

    async def wait() -> None:
        await tick()

    coro = failing_upload(side, monkeypatch, FailingPutClient(wait))
    assert coro.send(None) == "tick"
    with pytest.raises(BaseException) as raised:
        coro.throw(throw())
    return raised.value


@pytest.mark.parametrize(
    "throw",
    [asyncio.CancelledError, lambda: asyncio.CancelledError("instance"), lambda: with_context(KeyError("thrown"))],
    ids=["class", "instance", "instance-with-context"],
)
def test_an_exception_thrown_into_an_exit_handler_is_chained_to_the_pending_one(monkeypatch, throw):
    frame, native = (thrown_while_exiting(side, monkeypatch, throw) for side in ("frame", "native"))
    assert type(frame) is type(native)
    assert repr(frame.__context__) == repr(native.__context__) == "ConnectionError('PUT failed')"


def test_cancelling_an_upload_awaiting_its_exit_keeps_the_failed_put_as_context(monkeypatch):
    async def main(side: str) -> BaseException:
        task = asyncio.create_task(failing_upload(side, monkeypatch, FailingPutClient(lambda: asyncio.sleep(60))))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError) as raised:
            await task
        return raised.value.__context__

    contexts = [asyncio.run(main(side)) for side in ("frame", "native")]
    assert [repr(context) for context in contexts] == ["ConnectionError('PUT failed')"] * 2


# --- introspection -------------------------------------------------------------------


class Observed:
    """An awaitable that records the state and cr_await of `coroutine` while it
    is driven into, then yields once."""

    def __init__(self, states: list[Any]) -> None:
        self.states = states
        self.coroutine: Any = None

    def __await__(self) -> Any:
        self.states.append((inspect.getcoroutinestate(self.coroutine), self.coroutine.cr_await))
        yield "tick"
        self.states.append((inspect.getcoroutinestate(self.coroutine), self.coroutine.cr_await))
        return {"upload_urls": []}


@pytest.mark.parametrize("ending", ["send", "close", "close-unstarted"])
def test_inspect_and_cr_await_report_each_state_as_for_native_coroutines(ending):
    def lifecycle(side: str) -> list[Any]:
        states: list[Any] = []
        observed = Observed(states)
        http = type("HTTP", (), {"post": lambda self, path, json=None: observed})()
        coro = side_module(side, UPLOADS).UploadsResource(http).get_generation_upload_urls("g", [])
        observed.coroutine = coro
        states.append(inspect.getcoroutinestate(coro))
        if ending != "close-unstarted":
            coro.send(None)
            suspended_in = type(coro.cr_await).__name__
            states.append((inspect.getcoroutinestate(coro), coro.cr_suspended, coro.cr_frame is not None, suspended_in))
        if ending == "send":
            with pytest.raises(StopIteration):
                coro.send(None)
        else:
            coro.close()
        states.append((inspect.getcoroutinestate(coro), coro.cr_suspended, coro.cr_frame))
        return states

    assert lifecycle("frame") == lifecycle("native")


# --- keyword names of a str subclass ---------------------------------------------------------


class UnhashableName(str):
    """A keyword name whose hash refuses once the keywords dict is built."""

    refuse = False

    def __hash__(self) -> int:
        if UnhashableName.refuse:
            raise AssertionError("__hash__ of a str-subclass keyword name was called")
        return str.__hash__(self)

    __eq__ = str.__eq__


def python_validate_execution_id(execution_id: str) -> None:
    return None


@pytest.mark.parametrize(
    "function", [validators.validate_execution_id, python_validate_execution_id], ids=["frame", "python"]
)
def test_a_str_subclass_keyword_name_is_matched_by_equality_alone(monkeypatch, function):
    keywords = {UnhashableName("execution_id"): "exec_1"}
    monkeypatch.setattr(UnhashableName, "refuse", True)
    assert function(**keywords) is None


# --- failed imports -------------------------------------------------------------------


def test_failed_imports_leak_nothing() -> None:
    # A fresh interpreter: the module must not have been imported yet.
    script = textwrap.dedent(
        """
        import gc, sys, tracemalloc, types
        import velquor_ai.util
        sys.modules["velquor_ai.exceptions"] = types.ModuleType("velquor_ai.exceptions")

        def fail(times):
            for _ in range(times):
                try:
                    import velquor_ai.util.validators
                except ImportError as error:
                    assert error.__traceback__.tb_next.tb_frame.f_code.co_name == "init velquor_ai.util.validators"
                else:
                    raise AssertionError("imported")

        tracemalloc.start()
        fail(1000)  # until the interpreter's own caches have settled
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        fail(1000)
        gc.collect()
        print(tracemalloc.get_traced_memory()[0] - before)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # About 400 KiB when each failure kept a traceback code object.
    assert int(done.stdout) < 64 * 1024
