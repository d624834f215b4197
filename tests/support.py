"""Stand-ins and helpers shared by the tests, the fuzzers, the soak run and the benchmarks."""

from __future__ import annotations

import ast
import asyncio
import ctypes
import functools
import importlib
import importlib.util
import inspect
import json
import os
import threading
import traceback
import typing
from collections.abc import Callable, Generator
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

from pydantic import BaseModel

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


# --- the twins behind the call boundary -----------------------------------------------
#
# The compiled modules bind and check arguments as a call boundary is meant to
# (counts, keywords, exact built-in types, int conversion) and check declared
# results; their twins, called through `as_compiled`, do the same.


@dataclass
class Param:
    name: str
    check: str = "any"  # any, str, bytes, int, list, dict, optlist
    default: Any = field(default=..., repr=False)


def tp_name(cls: type) -> str:
    """The type's C-level name, as the interpreter's messages show it ("_io.BytesIO")."""
    # tp_name follows the variable-size object header of the type object.
    return ctypes.c_char_p.from_address(id(cls) + 3 * ctypes.sizeof(ctypes.c_ssize_t)).value.decode()


def number_check(value: Any) -> bool:
    cls = type(value)
    return any(hasattr(cls, name) for name in ("__index__", "__int__", "__float__")) or isinstance(value, complex)


EXACT = {"str": str, "bytes": bytes, "list": list, "dict": dict, "optlist": list}


def bind(
    name: str, params: list[Param], args: tuple[Any, ...], kwargs: dict[str, Any], varargs: bool = False
) -> list[Any]:
    if varargs:
        if kwargs:
            raise TypeError(f"{name}() got an unexpected keyword argument '{str.__str__(next(iter(kwargs)))}'")
        return list(args)
    nparams = len(params)
    nrequired = max((i + 1 for i, p in enumerate(params) if p.default is ...), default=0)
    has_defaults = nrequired < nparams

    def count_error(word: str, expected: int, given: int) -> TypeError:
        return TypeError(
            f"{name}() takes {word} {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"
        )

    if len(args) > nparams:
        raise count_error("at most" if has_defaults else "exactly", nparams, len(args))
    bound: list[Any] = list(args) + [...] * (nparams - len(args))
    for key, value in kwargs.items():
        index = next((i for i, p in enumerate(params) if p.name is key), None)
        if index is None:
            for i, p in enumerate(params):
                if type(key) is str:
                    matched = key == p.name
                else:
                    matched = bool(key == p.name)
                if matched:
                    index = i
                    break
        if index is None:
            raise TypeError(f"{name}() got an unexpected keyword argument '{str.__str__(key)}'")
        if index < len(args) or bound[index] is not ...:
            raise TypeError(f"{name}() got multiple values for keyword argument '{str.__str__(key)}'")
        bound[index] = value
    for i in range(len(args), nparams):
        if bound[i] is ...:
            if i < nrequired:
                raise count_error("at least" if has_defaults else "exactly", nrequired, i)
            bound[i] = params[i].default
    for i, p in enumerate(params):
        value = bound[i]
        if p.check == "int":
            if type(value) is int:
                continue
            if not number_check(value):
                raise argument_type_error(p.name, "int", value)
            bound[i] = int(value)
        elif p.check in EXACT:
            if p.check == "optlist" and value is None:
                continue
            if type(value) is not EXACT[p.check]:
                raise argument_type_error(p.name, EXACT[p.check].__name__, value)
    return bound


def argument_type_error(name: str, expected: str, value: Any) -> TypeError:
    error = TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {tp_name(type(value))})")
    if value is not None and isinstance(value, {"int": int}.get(expected) or EXACT.get(expected, list)):
        error.add_note("subclass refused")
    return error


def check_result(value: Any, cls: type | None) -> Any:
    if cls is not None and value is not None and type(value) is not cls:
        raise TypeError(f"Expected {cls.__name__}, got {tp_name(type(value))}")
    return value


MODULES = [
    "velquor_ai.util.validators",
    "velquor_ai.util.tamsel",
    "velquor_ai.util.poller",
    "velquor_ai.models.blueprint",
    "velquor_ai.resources.uploads",
    "velquor_ai.resources.generations",
    "velquor_ai._vostrel",
]
RESULT_TYPES = {"str": str, "bytes": bytes, "list": list, "dict": dict}


def check_of(annotation: Any) -> str:
    """The check the boundary makes of a value declared with this annotation."""
    if annotation in (str, bytes, int):
        return annotation.__name__
    origin = typing.get_origin(annotation)
    if origin in (list, dict):
        return origin.__name__
    if origin is typing.Union:
        rest = [arg for arg in typing.get_args(annotation) if arg is not type(None)]
        if len(rest) == 1 and typing.get_origin(rest[0]) is list:
            return "optlist"
    return "any"


def params_of(function: Callable[..., Any]) -> tuple[list[Param], bool]:
    """The parameters of a twin function as the boundary binds them, and whether it takes *args."""
    parameters = inspect.signature(function).parameters.values()
    params = [
        Param(p.name, check_of(p.annotation), ... if p.default is p.empty else p.default)
        for p in parameters
        if p.kind is not p.VAR_POSITIONAL
    ]
    return params, any(p.kind is p.VAR_POSITIONAL for p in parameters)


def as_compiled(function: Callable[..., Any]) -> Callable[..., Any]:
    """A twin function called as the compiled one is: its arguments bound and
    checked by their annotations. What it gives back is the function's own
    result (a coroutine stays the twin's, with nothing around it)."""
    params, varargs = params_of(function)

    def call(*args: Any, **kwargs: Any) -> Any:
        return function(*bind(function.__name__, params, args, kwargs, varargs))

    call.__wrapped__ = function  # type: ignore[attr-defined]
    return call


def declared(value: Any, annotation: Any) -> Any:
    """A result as the compiled function gives it back: checked when its type is declared."""
    return check_result(value, RESULT_TYPES.get(check_of(annotation)))


def mapping(value: Any) -> Any:
    """What `**value` expands in a compiled body: None is refused with a text of its own."""
    if value is None:
        raise TypeError("argument after ** must be a mapping, not NoneType")
    return value


class BehindTheBoundary(ast.NodeTransformer):
    """Rewrites a twin's source as its compiled module runs it: every `return x`
    of a function becomes `return declared(x, <its return annotation>)`, and
    every `**x` becomes `**mapping(x)`. Lines stay where they were."""

    def visit_FunctionDef(self, node: ast.FunctionDef | ast.AsyncFunctionDef) -> Any:
        returns = node.returns or ast.Constant(None)
        own: list[ast.AST] = list(node.body)  # its statements, not those of functions inside it
        while own:
            child = own.pop()
            if isinstance(child, ast.Return) and child.value is not None:
                child.value = ast.Call(ast.Name("__declared__", ast.Load()), [child.value, returns], [])
            if not isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)):
                own.extend(ast.iter_child_nodes(child))
        return self.generic_visit(node)

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_Call(self, node: ast.Call) -> Any:
        for keyword in node.keywords:
            if keyword.arg is None:
                keyword.value = ast.Call(ast.Name("__mapping__", ast.Load()), [keyword.value], [])
        return self.generic_visit(node)


def load_behind_the_boundary(dotted: str) -> ModuleType:
    """A twin whose bodies check results and `**` expansions as the compiled ones do."""
    path = TWINS / (dotted.replace(".", "/") + ".py")
    spec = importlib.util.spec_from_file_location(f"{dotted}_twin", path)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    tree = ast.fix_missing_locations(BehindTheBoundary().visit(ast.parse(path.read_text(), str(path))))
    vars(module).update(__declared__=declared, __mapping__=mapping)
    exec(compile(tree, str(path), "exec", dont_inherit=True), vars(module))
    return module


@functools.cache
def compiled_twins() -> dict[str, ModuleType]:
    """The twins of the seven modules behind the boundary, each calling the
    others' twins where the compiled module calls a compiled one; their
    functions bind arguments as the compiled ones do (the models' methods stay
    as pydantic calls them). Loaded once: tests that patch a twin's globals put
    them back."""
    compiled = {dotted: importlib.import_module(dotted) for dotted in MODULES}
    twins = {dotted: load_behind_the_boundary(dotted) for dotted in MODULES}
    for dotted, twin in twins.items():
        for name, value in list(vars(twin).items()):
            if getattr(value, "__module__", None) != twin.__name__:
                continue
            if inspect.isfunction(value) and hasattr(compiled[dotted], name):
                setattr(twin, name, as_compiled(value))
            elif inspect.isclass(value) and not issubclass(value, BaseModel):
                for attribute, member in list(vars(value).items()):
                    if inspect.isfunction(member):
                        setattr(value, attribute, as_compiled(member))
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
