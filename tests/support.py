"""Stand-ins and helpers shared by the tests, the fuzzers, the soak run and the benchmarks."""

from __future__ import annotations

import asyncio
import functools
import importlib
import inspect
import json
import os
import sys
import threading
import traceback
from collections.abc import Callable, Generator
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any, NamedTuple

import velquor_ai
import velquor_ai._declarations
import velquor_ai._mode
import velquor_ai._pure
from velquor_ai._declarations import ANY


def load_twin(dotted: str) -> ModuleType:
    """The Python of a core module as the package runs it where the compiled
    module is not in use (its call boundary included), as a new module.

    It is named beside the module, so that its relative imports find the
    package's own modules; it is never put in sys.modules. Its functions are
    the boundary's wrappers: `inspect.unwrap` gives the function as written.

    >>> inspect.unwrap(load_twin("velquor_ai.util.validators").validate_generation_id).__code__.co_firstlineno
    22
    """
    return velquor_ai._pure.load(dotted, f"{dotted}_twin")


class Entry(NamedTuple):
    name: str
    filename: str
    lineno: int | None


def traceback_entries(error: BaseException) -> list[Entry]:
    """The entries of an exception's traceback, as `traceback.extract_tb` gives them.

    Where the package runs the core modules' Python, the entries are told as the
    compiled modules tell theirs, so that one expectation serves both: the call
    boundary's own frames are left out, and a module's frames are named by its
    source path relative to the package root and, like the compiled functions,
    by dotted module and qualified name (the plain name for async functions,
    "init" and the module for its body)."""
    found = []
    for frame, line in traceback.walk_tb(error.__traceback__):
        code = frame.f_code
        name, filename = code.co_name, code.co_filename
        module = frame.f_globals.get("__name__")
        if not velquor_ai.compiled:
            if filename == velquor_ai._pure.__file__:
                continue
            if module in MODULES and filename == getattr(sys.modules.get(module), "__file__", None):
                filename = module.replace(".", "/") + ".py"
                if name == "<module>":
                    name = f"init {module}"
                elif not code.co_flags & inspect.CO_COROUTINE:
                    name = f"{module}.{code.co_qualname}"
        found.append(Entry(name, filename, line))
    return found


# --- what the modules' Python declares ---------------------------------------------


@functools.cache
def declarations_of(dotted: str) -> velquor_ai._declarations.Module:
    """What a core module's Python declares: the `.py` file the package ships beside it."""
    package, _, short = dotted.rpartition(".")
    path = Path(importlib.import_module(package).__path__[0]) / f"{short}.py"
    return velquor_ai._declarations.read(path.read_bytes(), str(path))


def declaration(dotted: str, qualname: str) -> velquor_ai._declarations.Function:
    return next(f for f in declarations_of(dotted).functions() if f.qualname == qualname)


def annotations_of(function: velquor_ai._declarations.Function) -> dict[str, str]:
    """The annotations of a declared function as the compiled one has them: texts, "return" last."""
    found = {p.name: p.annotation for p in function.parameters if p.annotation is not None}
    return found | ({} if function.returns is None else {"return": function.returns})


def signature_line(function: velquor_ai._declarations.Function) -> str:
    """The first line of the compiled function's __doc__: its signature, with the
    type each checked parameter is tested for before its name."""
    parts = []
    for p in function.parameters:
        tested = "" if p.varargs or p.check == "any" else {"optional list": "list"}.get(p.check, p.check) + " "
        text = tested + ("*" if p.varargs else "") + p.name
        text += "" if p.annotation is None else f": {p.annotation}"
        text += "" if p.default is None else f" = {p.default.value!r}"
        parts.append(text)
    return f"{function.qualname}({', '.join(parts)})" + ("" if function.returns is None else f" -> {function.returns}")


def entries(error: BaseException) -> list[tuple[str, int | None]]:
    """(name, line) of each traceback entry of an exception."""
    return [(entry.name, entry.lineno) for entry in traceback_entries(error)]


def entries_below_caller(error: BaseException) -> list[tuple[str, str, int | None]]:
    """The traceback entries added beneath the test function that made the call."""
    return [tuple(entry) for entry in traceback_entries(error)[1:]]  # type: ignore[misc]


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


def _tcp_sockets() -> list[tuple[int, int, str]]:
    """(local port, remote port, state) of this process's TCP sockets."""
    inodes = {t[8:-1] for t in _descriptor_targets() if t.startswith("socket:[")}
    sockets = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            if fields[9] in inodes:
                local, remote = (int(address.rsplit(":", 1)[1], 16) for address in fields[1:3])
                sockets.append((local, remote, fields[3]))
    return sockets


# State 0A is LISTEN: a server's listening socket has its port as local port.
def connections_to(port: int) -> int:
    """Open sockets of this process connected to `port` on the loopback."""
    return sum(1 for _, remote, state in _tcp_sockets() if remote == port and state != "0A")


def connections_served(port: int) -> int:
    """Connections that a server of this process listening on `port` still holds."""
    return sum(1 for local, _, state in _tcp_sockets() if local == port and state != "0A")


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


class Script:
    """An awaitable whose `__await__` is a generator: it yields `yields`, then
    returns `result`, and records in `log` what is sent, thrown and closed into
    it. Told to `swallow`, it ends with `recovered` when something is thrown in,
    instead of letting it go on out; `on_send`, if given, is called with each
    value sent in, once it is recorded.

    >>> log = []
    >>> steps = Script(["a"], "done", log, name="check").__await__()
    >>> next(steps)
    'a'
    >>> try:
    ...     steps.send("x")
    ... except StopIteration as stop:
    ...     print(stop.value, log)
    done [('check', 'sent', 'x')]
    """

    def __init__(
        self,
        yields: list[Any],
        result: Any = None,
        log: list[Any] | None = None,
        *,
        name: str = "script",
        swallow: bool = False,
        recovered: Any = None,
        on_send: Callable[[Any], object] | None = None,
    ) -> None:
        self.yields = list(yields)
        self.result = result
        self.log = [] if log is None else log
        self.name = name
        self.swallow = swallow
        self.recovered = recovered
        self.on_send = on_send

    def __await__(self) -> Generator[Any, Any, Any]:
        try:
            for value in self.yields:
                sent = yield value
                self.log.append((self.name, "sent", sent))
                if self.on_send is not None:
                    self.on_send(sent)
        except GeneratorExit:
            self.log.append((self.name, "closed"))
            raise
        except BaseException as error:
            self.log.append((self.name, "thrown", type(error).__name__, str(error)))
            if self.swallow:
                return self.recovered
            raise
        return self.result


class RecordingHTTP:
    """Stands in for the package's HTTP client: `post` and `get` record each call
    as (method, path, keyword arguments) and answer with `answers` in turn, the
    last one for every call after it (an empty list of upload URLs when none is
    given). Each answer comes after one pass of the event loop, so that
    concurrent requests interleave.

    >>> http = RecordingHTTP({"status": "created"})
    >>> asyncio.run(http.post("/v1/generation", json={})), http.calls
    ({'status': 'created'}, [('post', '/v1/generation', {'json': {}})])
    """

    def __init__(self, *answers: Any) -> None:
        self.answers = list(answers) if answers else [{"upload_urls": []}]
        self.calls: list[tuple[str, str, dict[str, Any]]] = []

    async def _answer(self, method: str, path: str, kwargs: dict[str, Any]) -> Any:
        self.calls.append((method, path, kwargs))
        await asyncio.sleep(0)
        return self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]

    def post(self, path: str, **kwargs: Any) -> Any:
        return self._answer("post", path, kwargs)

    def get(self, path: str, **kwargs: Any) -> Any:
        return self._answer("get", path, kwargs)


# --- the twins -----------------------------------------------------------------------
#
# The fuzzers draw arguments by what the boundary makes of each parameter.


@dataclass
class Param:
    name: str
    check: str = ANY  # what the boundary makes of it: one of velquor_ai._declarations' checks
    default: Any = field(default=..., repr=False)


MODULES = [f"velquor_ai.{name}" for name in velquor_ai._mode.CORE_MODULES]


def params_of(function: Callable[..., Any]) -> tuple[list[Param], bool]:
    """The parameters of a twin function, as written (`inspect.unwrap` of the
    twin's), as the boundary binds them, and whether it takes *args. The checks
    are those its module's Python declares: none for a function from outside
    the core modules, such as a method a class inherits from one."""
    home = function.__module__.removesuffix("_twin")
    declared = declarations_of(home).functions() if home in MODULES else ()
    checks = {p.name: p.check for f in declared if f.qualname == function.__qualname__ for p in f.parameters}
    parameters = inspect.signature(function).parameters.values()
    params = [
        Param(p.name, checks.get(p.name, ANY), ... if p.default is p.empty else p.default)
        for p in parameters
        if p.kind is not p.VAR_POSITIONAL
    ]
    return params, any(p.kind is p.VAR_POSITIONAL for p in parameters)


@functools.cache
def compiled_twins() -> dict[str, ModuleType]:
    """The twins of the seven modules, each calling the others' twins where the
    compiled module calls a compiled one. Loaded once: tests that patch a
    twin's globals put them back."""
    compiled = {dotted: importlib.import_module(dotted) for dotted in MODULES}
    twins = {dotted: load_twin(dotted) for dotted in MODULES}
    for twin in twins.values():
        for name, value in list(vars(twin).items()):
            home = getattr(value, "__module__", None)
            if home in twins and getattr(compiled[home], value.__name__, None) is value:
                setattr(twin, name, getattr(twins[home], value.__name__))
    # The interpreter names a callable by module and qualified name in its
    # call errors: the twin models carry the names of those they stand for.
    for model in (
        twins["velquor_ai.models.blueprint"].GenerationResult,
        twins["velquor_ai.models.blueprint"].GenerationStatus,
    ):
        model.__module__ = "velquor_ai.models.blueprint"
    return twins


def side_module(side: str, dotted: str) -> ModuleType:
    """The compiled module on the "frame" side of a differential test, its twin on the other."""
    return importlib.import_module(dotted) if side == "frame" else compiled_twins()[dotted]


def package_env(**extra: str) -> dict[str, str]:
    """The environment for a child Python that imports the package under test
    (the installed one, or the sanitized build): no VELQUOR_ settings of ours."""
    import velquor_ai

    root = str(Path(velquor_ai.__file__).resolve().parents[1])
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELQUOR_")}
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    env.update(extra)
    return env


# --- a hostile service ---------------------------------------------------------------


@dataclass
class Reply:
    """One answer of `HostileService`: a status line, headers and a body as
    given (nothing checked), or a connection dropped before (`drop`) or in the
    middle of (`cut`) the answer."""

    status: int = 200
    body: bytes = b""
    headers: dict[str, str] = field(default_factory=dict)
    drop: bool = False
    cut: bool = False


HOSTILE_ID = "gen_hostile0123456789"


class HostileService:
    """A real HTTP/1.1 server on 127.0.0.1 that plays the service and its
    storage, answering each stage of a generation ("create", "upload", "put",
    "start", "result") with `script[stage]` when set, else as a sound service
    would. `upload_url` is the URL handed out for every file, with "{base}" for
    the server's own address. Every answer carries an x-request-id."""

    def __init__(self) -> None:
        self.script: dict[str, Reply] = {}
        self.upload_url = "{base}/storage/object?signature=abc"
        self.port = 0
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, name="hostile-service", daemon=True)

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def __enter__(self) -> HostileService:
        self._thread.start()
        assert self._ready.wait(10), "the hostile service did not start"
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(10)

    def _serve(self) -> None:
        async def main() -> None:
            self._stop = asyncio.Event()
            server = await asyncio.start_server(self._handle, "127.0.0.1", 0)
            self.port = server.sockets[0].getsockname()[1]
            self._ready.set()
            async with server:
                await self._stop.wait()

        self._loop.run_until_complete(main())
        self._loop.close()

    def sound(self, stage: str) -> Reply:
        """What a sound service answers at `stage`."""
        bodies: dict[str, Any] = {
            "create": {"generation_id": HOSTILE_ID, "status": "created"},
            "upload": None,
            "start": {"generation_id": HOSTILE_ID, "status": "processing"},
            "result": {"generation_id": HOSTILE_ID, "status": "completed", "blueprint": '{"steps": []}'},
        }
        if stage == "put":
            return Reply(200)
        return Reply(200, json.dumps(bodies[stage]).encode(), {"content-type": "application/json"})

    async def _handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while True:
                try:
                    head = await reader.readuntil(b"\r\n\r\n")
                except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
                    return
                lines = head.decode("latin-1").split("\r\n")
                method, path = lines[0].split(" ")[:2]
                sent = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
                length = int({k.lower(): v for k, v in sent.items()}.get("content-length", "0") or 0)
                body = await reader.readexactly(length) if length else b""
                stage = _stage(method, path)
                reply = self.script.get(stage) or self.sound(stage)
                if stage == "upload" and stage not in self.script:
                    reply = self._upload_urls(body)
                if reply.drop:
                    return
                payload = reply.body[: len(reply.body) // 2] if reply.cut else reply.body
                headers = {"x-request-id": f"req_{stage}", "content-length": str(len(reply.body)), **reply.headers}
                status_line = f"HTTP/1.1 {reply.status} {'OK' if reply.status < 400 else 'Error'}\r\n"
                head_out = status_line + "".join(f"{k}: {v}\r\n" for k, v in headers.items()) + "\r\n"
                writer.write(head_out.encode("latin-1", "replace") + payload)
                await writer.drain()
                if reply.cut:
                    return
        except (ConnectionError, asyncio.IncompleteReadError):
            return
        finally:
            writer.close()

    def _upload_urls(self, body: bytes) -> Reply:
        files = json.loads(body or b"{}").get("files", [])
        url = self.upload_url.replace("{base}", self.base_url)
        entries = [{"filename": f["filename"], "upload_url": url, "content_type": f["content_type"]} for f in files]
        return Reply(200, json.dumps({"upload_urls": entries}).encode(), {"content-type": "application/json"})


def _stage(method: str, path: str) -> str:
    if method == "PUT":
        return "put"
    if path == "/v1/generation":
        return "create"
    return path.rsplit("/", 1)[-1] if method == "POST" else "result"
