"""The blocking client, `VelquorAI`, and the machinery under it.

`VelquorAI` runs an `AsyncVelquorAI` on an event loop of its own, in a thread
started by the first call and kept for the client's life (so connections are
reused between calls), and waits for each call there:

- `_LoopThread` is that loop and its thread: `run` hands it a coroutine from any
  thread and blocks until the coroutine is done; `close` stops both.
- The decorators `_same_arguments`, `_blocking`, `_sharing` and `_wrapping` turn
  an empty method of `VelquorAI` into the blocking form of the async client's
  method of the same name, with that method's parameters for type checkers and
  its Args, Returns and Raises in the docstring: a new method of the async
  client gets its blocking twin in a few lines.
- A finaliser stops the thread of a client dropped without `close`.
- In a process forked from the one that made the client, the first call starts
  a loop, a thread and connections of the child's own; the parent's are left
  untouched (`_fork`).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import functools
import inspect
import threading
import weakref
from collections.abc import Callable, Coroutine, Iterable, Iterator, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any, Concatenate, ParamSpec, Self, TypeVar

import httpx
import sniffio

from ._async import AsyncVelquorAI
from ._fork import ForkAware, park
from ._sync_resources import SyncGenerationsResource, SyncUploadsResource
from .batch import DEFAULT_CONCURRENCY, BatchProgressCallback, Job, JobOutcome, iterate_blocking
from .config import Config
from .exceptions import VelquorAIError

if TYPE_CHECKING:
    from velquor_api_client import VelquorAPIClient

    from .types import QueryValue

__all__ = ["VelquorAI"]

_R = TypeVar("_R")
_P = ParamSpec("_P")
_F = TypeVar("_F", bound=Callable[..., Any])


class _LoopThread(ForkAware):
    """An event loop running in a thread of its own until `close`.

    The loop and its thread start with the first call, so a client made in a
    process that later forks (gunicorn with `--preload`) leaves no thread
    behind when it was not used before the fork. `run` hands a coroutine to
    the loop and blocks until it is done, from any number of threads at once.
    Interrupted while it waits (Ctrl-C), it cancels the coroutine's task,
    waits until the task has finished, and re-raises. In a forked child the
    parent's loop and thread are left alone (see `_fork`) and the first call
    starts a loop of the child's own.
    """

    def __init__(self) -> None:
        super().__init__()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()
        self._closed = False

    def _leave_parent(self) -> None:
        park(self._loop, self._thread)
        self._loop = None
        self._thread = None
        self._lock = threading.Lock()

    def _started(self) -> asyncio.AbstractEventLoop:
        """The running loop; started here if there is none (lock held)."""
        if self._loop is None:
            loop = asyncio.new_event_loop()
            thread = threading.Thread(target=_serve, args=(loop,), name="velquor-ai-loop", daemon=True)
            thread.start()
            self._loop, self._thread = loop, thread
        return self._loop

    def run(self, coroutine: Coroutine[Any, Any, _R]) -> _R:
        self.check_fork()
        if threading.current_thread() is self._thread:
            coroutine.close()
            # Blocking here would wait for the very loop that is blocked.
            raise VelquorAIError("A VelquorAI client cannot be called from its own callbacks")
        outcome: concurrent.futures.Future[_R] = concurrent.futures.Future()
        tasks: list[asyncio.Task[_R]] = []

        with self._lock:
            if self._closed:
                coroutine.close()
                raise VelquorAIError("The client is closed")
            loop = self._started()

            def start() -> None:
                task = loop.create_task(coroutine, context=_loop_context())
                tasks.append(task)
                task.add_done_callback(functools.partial(_settle, outcome))

            loop.call_soon_threadsafe(start)
        try:
            return outcome.result()
        except BaseException:
            if not outcome.done():
                # Interrupted while waiting (KeyboardInterrupt from Ctrl-C):
                # the work stops too, and is over when the interrupt goes on.
                loop.call_soon_threadsafe(lambda: tasks[0].cancel())
                _wait_through_interrupts(outcome)
            raise

    def close(self, last: Coroutine[Any, Any, None]) -> None:
        """Run `last`, cancel what still runs, stop the loop and its thread.

        A client never used in this process gets a loop for the length of
        `last` alone (which has nothing of this process to close but a
        caller's `http_client`).
        """
        self.check_fork()
        with self._lock:
            if self._closed:
                last.close()
                return
            self._closed = True
            loop = self._started()
            thread = self._thread
        assert thread is not None
        shutdown = self._shutdown(loop, last)
        if threading.current_thread() is thread:
            # From the loop itself (a finaliser run there): no waiting.
            loop.create_task(shutdown).add_done_callback(lambda _: loop.stop())
            return
        try:
            _run_threadsafe(shutdown, loop).result()
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join()

    @staticmethod
    async def _shutdown(loop: asyncio.AbstractEventLoop, last: Coroutine[Any, Any, None]) -> None:
        try:
            await last
        finally:
            # Calls that other threads still wait for end as "closed during
            # the call".
            others = asyncio.all_tasks() - {asyncio.current_task()}
            for task in others:
                task.cancel()
            await asyncio.gather(*others, return_exceptions=True)
            await loop.shutdown_asyncgens()
            await loop.shutdown_default_executor()


def _serve(loop: asyncio.AbstractEventLoop) -> None:
    try:
        loop.run_forever()
    finally:
        loop.close()


def _loop_context() -> contextvars.Context:
    """The caller's context variables, for a task run on the client's loop,
    without the mark of the caller's async library: a call made from a trio
    task must not make sniffio (and with it httpx) take our asyncio loop for
    trio's."""
    context = contextvars.copy_context()
    context.run(sniffio.current_async_library_cvar.set, None)
    return context


def _run_threadsafe(
    coroutine: Coroutine[Any, Any, _R], loop: asyncio.AbstractEventLoop
) -> concurrent.futures.Future[_R]:
    """`asyncio.run_coroutine_threadsafe`, in a context of `_loop_context`."""
    outcome: concurrent.futures.Future[_R] = concurrent.futures.Future()

    def start() -> None:
        task = loop.create_task(coroutine, context=_loop_context())
        task.add_done_callback(functools.partial(_settle, outcome))

    loop.call_soon_threadsafe(start)
    return outcome


def _settle(outcome: concurrent.futures.Future[_R], task: asyncio.Task[_R]) -> None:
    """Pass a finished task's result or error to the thread that waits for it."""
    if task.cancelled():
        outcome.set_exception(VelquorAIError("The client was closed during the call"))
    elif (error := task.exception()) is not None:
        outcome.set_exception(error)
    else:
        outcome.set_result(task.result())


def _wait_through_interrupts(outcome: concurrent.futures.Future[Any]) -> None:
    while True:
        try:
            concurrent.futures.wait([outcome])
            return
        except KeyboardInterrupt:
            continue  # a second Ctrl-C: the cancelled work is nearly done


def _stop(runner: _LoopThread, client: AsyncVelquorAI) -> None:
    runner.close(_close_all(client))


async def _close_all(client: AsyncVelquorAI) -> None:
    await client.aclose()
    if client._http is not None:
        # The connections of a caller's http_client belong to this loop: no
        # other can use or close them once it stops.
        await client._http.close_given()
    if client._storage is not None:
        await client._storage.close_given()


def _same_arguments(
    init: Callable[Concatenate[AsyncVelquorAI, _P], None],
) -> Callable[[Callable[[VelquorAI], None]], Callable[Concatenate[VelquorAI, _P], None]]:
    """Give the decorated `VelquorAI.__init__` the async client's parameters."""

    def decorate(
        stub: Callable[[VelquorAI], None],
    ) -> Callable[Concatenate[VelquorAI, _P], None]:
        @functools.wraps(init)
        def __init__(self: VelquorAI, /, *args: _P.args, **kwargs: _P.kwargs) -> None:
            client = AsyncVelquorAI.__new__(AsyncVelquorAI)
            try:
                init(client, *args, **kwargs)
            except TypeError as error:
                _rename(error, init, __init__)
                raise
            self._adopt(client, None)

        return _present(__init__, stub, init)

    return decorate


def _blocking(
    method: Callable[Concatenate[AsyncVelquorAI, _P], Coroutine[Any, Any, _R]],
) -> Callable[[Callable[[VelquorAI], None]], Callable[Concatenate[VelquorAI, _P], _R]]:
    """Make the decorated method the blocking form of an async client method."""

    def decorate(stub: Callable[[VelquorAI], None]) -> Callable[Concatenate[VelquorAI, _P], _R]:
        @functools.wraps(method)
        def call(self: VelquorAI, /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
            try:
                coroutine = method(self._client, *args, **kwargs)
            except TypeError as error:
                _rename(error, method, call)
                raise
            return self._runner.run(coroutine)

        return _present(call, stub, method)

    return decorate


def _sharing(
    method: Callable[Concatenate[AsyncVelquorAI, _P], AsyncVelquorAI],
) -> Callable[[Callable[[VelquorAI], None]], Callable[Concatenate[VelquorAI, _P], VelquorAI]]:
    """Make the decorated method wrap the async client that `method` derives."""

    def decorate(
        stub: Callable[[VelquorAI], None],
    ) -> Callable[Concatenate[VelquorAI, _P], VelquorAI]:
        @functools.wraps(method)
        def call(self: VelquorAI, /, *args: _P.args, **kwargs: _P.kwargs) -> VelquorAI:
            try:
                client = method(self._client, *args, **kwargs)
            except TypeError as error:
                _rename(error, method, call)
                raise
            twin = type(self).__new__(type(self))
            twin._adopt(client, self._runner)
            return twin

        return _present(call, stub, method)

    return decorate


def _wrapping(
    factory: Callable[_P, AsyncVelquorAI],
) -> Callable[
    [Callable[[type[VelquorAI]], None]],
    Callable[Concatenate[type[VelquorAI], _P], VelquorAI],
]:
    """Make the decorated class method wrap the async client `factory` builds."""

    def decorate(
        stub: Callable[[type[VelquorAI]], None],
    ) -> Callable[Concatenate[type[VelquorAI], _P], VelquorAI]:
        @functools.wraps(factory)
        def build(cls: type[VelquorAI], /, *args: _P.args, **kwargs: _P.kwargs) -> VelquorAI:
            try:
                client = factory(*args, **kwargs)
            except TypeError as error:
                _rename(error, factory, build)
                raise
            twin = cls.__new__(cls)
            twin._adopt(client, None)
            return twin

        # The class method's own function, so that binding drops `cls` only.
        build.__wrapped__ = getattr(factory, "__func__", factory)
        return _present(build, stub, factory)

    return decorate


def _rename(error: TypeError, original: Callable[..., Any], twin: Callable[..., Any]) -> None:
    """Make an argument error of the async client's method name the method the
    caller called: "VelquorAI.generate() got an unexpected keyword argument".

    Only an error of the call itself is renamed (arguments that do not fit the
    parameters), which has no frame of `original` in its traceback; a
    TypeError from inside `original` is left as it is.
    """
    traceback = error.__traceback__
    if traceback is None or traceback.tb_next is not None or not error.args:
        return
    message = error.args[0]
    prefix = f"{original.__qualname__}("
    if isinstance(message, str) and message.startswith(prefix):
        error.args = (twin.__qualname__ + message[len(prefix) - 1 :], *error.args[1:])


def _present(twin: _F, stub: Callable[..., Any], original: Callable[..., Any]) -> _F:
    """Name `twin` as the stub; document it with the stub's text (examples of
    its own) and the original's Args, Returns and Raises sections."""
    twin.__name__ = stub.__name__
    twin.__qualname__ = stub.__qualname__
    twin.__module__ = stub.__module__
    own = inspect.cleandoc(stub.__doc__ or "")
    theirs = inspect.cleandoc(original.__doc__ or "")
    starts = [i for i in map(theirs.find, _SHARED_SECTIONS) if i >= 0]
    if starts:
        shared = theirs[min(starts) :].partition("\nExamples:")[0].strip()
        head, examples, tail = own.partition("\nExamples:")
        own = f"{head.rstrip()}\n\n{shared}\n" + (f"\nExamples:{tail}" if examples else "")
    twin.__doc__ = own
    return twin


_SHARED_SECTIONS = ("\nArgs:", "\nReturns:", "\nRaises:")


class VelquorAI:
    """Client of the blueprint service for code that does not use asyncio.

    The blocking twin of `AsyncVelquorAI`: same constructor, same methods
    without `await`. It runs an `AsyncVelquorAI` on an event loop in a thread
    of its own, started by the first call and kept until `close`, so
    connections are reused from one call to the next. One client may be used
    from several threads at once, and in processes forked after it was made
    (each gets a thread and connections of its own). Ctrl-C during a call
    stops the call's work before `KeyboardInterrupt` goes on. `on_progress`
    callbacks run on the client's thread.

    Attributes:
        config: The configuration in use.
        upload_concurrency: How many input files are uploaded at the same time.
        local_client: The on-premise library client, or None in remote mode.

    Examples:
        >>> with VelquorAI(api_key="sk-...", base_url=URL) as client:
        ...     result = client.generate("What is shown?", images=["cat.png"])
        ...     print(result.blueprint)

        On this machine, with the on-premise library:

        >>> with VelquorAI.on_premise(workdir="out") as client:
        ...     generated = client.generate("What is shown?", images=["cat.png"])
        ...     executed = client.execute(generated.blueprint, ["cat.png"])
    """

    _client: AsyncVelquorAI
    _runner: _LoopThread
    _finalizer: weakref.finalize[[_LoopThread, AsyncVelquorAI], VelquorAI] | None

    @_same_arguments(AsyncVelquorAI.__init__)
    def __init__(self) -> None:
        """Build the client and start its event loop thread.

        Takes the arguments of `AsyncVelquorAI`, with the same defaults.

        Examples:
            >>> client = VelquorAI(api_key="sk-...", timeout=60, max_retries=4)
        """

    def _adopt(self, client: AsyncVelquorAI, runner: _LoopThread | None) -> None:
        # Built only once the async client exists: a refused setting leaves no
        # thread behind.
        self._client = client
        client._facade = type(self).__name__
        if runner is None:
            self._runner = _LoopThread()
            # Closes the loop thread of a client that is dropped unclosed.
            self._finalizer = weakref.finalize(self, _stop, self._runner, client)
        else:
            self._runner = runner
            self._finalizer = None

    @classmethod
    @_wrapping(AsyncVelquorAI.on_premise)
    def on_premise(cls) -> None:
        """Build a client that works with the on-premise library.

        Arguments and errors are those of `AsyncVelquorAI.on_premise`.

        Examples:
            >>> with VelquorAI.on_premise(workdir="out") as client:
            ...     result = client.generate("What is shown?", images=["a.png"])
        """

    @property
    def config(self) -> Config:
        """The configuration in use."""
        return self._client.config

    @property
    def upload_concurrency(self) -> int:
        """How many input files are uploaded at the same time."""
        return self._client.upload_concurrency

    @property
    def local_client(self) -> VelquorAPIClient | None:
        """The on-premise library client, or None in remote mode."""
        return self._client.local_client

    @property
    def is_on_premise(self) -> bool:
        """Whether the client works with the on-premise library."""
        return self._client.is_on_premise

    @property
    def generations(self) -> SyncGenerationsResource:
        """The generation resource (remote mode only): the service's generation
        records one request at a time, blocking (see `SyncGenerationsResource`).

        Examples:
            >>> record = client.generations.create("What is shown?")
            >>> client.generations.get_result(record.generation_id).status
            'created'
        """
        return SyncGenerationsResource(self._client.generations, self._runner)

    @property
    def uploads(self) -> SyncUploadsResource:
        """The upload resource (remote mode only), blocking (see `SyncUploadsResource`)."""
        return SyncUploadsResource(self._client.uploads, self._runner)

    @_blocking(AsyncVelquorAI.generate)
    def generate(self) -> None:
        """Generate a blueprint that answers a question about images and videos.

        Blocks until the result is there. Arguments, result and errors are those
        of `AsyncVelquorAI.generate`.

        Examples:
            >>> result = client.generate("What is shown?", images=["cat.png"])
            >>> print(result.blueprint)
        """

    @_blocking(AsyncVelquorAI.wait_for_result)
    def wait_for_result(self) -> None:
        """Wait for the result of a generation started earlier.

        Blocks until the result is there. Arguments, result and errors are those
        of `AsyncVelquorAI.wait_for_result`.

        Examples:
            >>> try:
            ...     result = client.generate("What is shown?", timeout=60)
            ... except GenerationTimeoutError as error:
            ...     result = client.wait_for_result(error.generation_id, timeout=600)
        """

    def generate_many(
        self,
        jobs: Iterable[Job | Mapping[str, Any]],
        *,
        concurrency: int = DEFAULT_CONCURRENCY,
        timeout: float = 300,
        interval: float = 2,
        on_progress: BatchProgressCallback | None = None,
        extra_headers: Mapping[str, str] | None = None,
        extra_query: Mapping[str, QueryValue] | None = None,
        extra_body: Mapping[str, Any] | None = None,
        request_timeout: float | httpx.Timeout | None = None,
    ) -> Iterator[JobOutcome]:
        """Run many generations, `concurrency` at a time, and yield each outcome
        as soon as its job ends.

        The blocking form of `AsyncVelquorAI.generate_many`, with the same
        arguments: an ordinary iterator. `jobs` is read on the client's thread,
        one job each time a slot frees up; `on_progress` runs there too. Leaving
        the loop (`break`, an exception, Ctrl-C) cancels the generations in
        flight before it goes on.

        Raises:
            ValidationError: If `concurrency`, `jobs`, `on_progress` or an
                option of the requests is refused.
            VelquorAIError: If the client is closed.

        Examples:
            >>> jobs = [Job("What is shown?", images=[p], key=p) for p in paths]
            >>> for outcome in client.generate_many(jobs, concurrency=32, extra_headers={"X-Run": "nightly"}):
            ...     print(outcome.key, outcome.ok, outcome.generation_id)
        """
        batch = self._client.generate_many(
            jobs,
            concurrency=concurrency,
            timeout=timeout,
            interval=interval,
            on_progress=on_progress,
            extra_headers=extra_headers,
            extra_query=extra_query,
            extra_body=extra_body,
            request_timeout=request_timeout,
        )
        return iterate_blocking(self._runner.run, batch)

    @_blocking(AsyncVelquorAI.execute)
    def execute(self) -> None:
        """Execute a blueprint on input files (on-premise mode).

        Blocks until it is done. Arguments, result and errors are those of
        `AsyncVelquorAI.execute`.

        Examples:
            >>> executed = client.execute(blueprint_text, ["cat.png"])
            >>> executed.output_files
        """

    @_sharing(AsyncVelquorAI.with_options)
    def with_options(self) -> None:
        """Return a client with some settings changed, over the same connections.

        The new client shares this one's thread and connection pool; closing it
        leaves them running, closing this client stops them for both. Arguments
        are those of `AsyncVelquorAI.with_options`.

        Examples:
            >>> quick = client.with_options(timeout=5)
        """

    def close(self) -> None:
        """Close the connection pool and stop the client's thread.

        A given `http_client` (and `storage_http_client`) is closed too: its
        connections belong to that thread. Calls still running in other
        threads end with `VelquorAIError`. Calling it again does nothing.
        """
        if self._finalizer is not None:
            self._finalizer()
        else:
            # A client from with_options: the thread belongs to its origin.
            try:
                self._runner.run(self._client.aclose())
            except VelquorAIError:
                pass  # the origin is closed already

    def __enter__(self) -> Self:
        """Return the client itself."""
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the client."""
        self.close()

    def __repr__(self) -> str:
        """Show the mode and the service address."""
        return type(self).__name__ + self._client._describe()
