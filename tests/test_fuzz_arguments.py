"""Every public function, method and constructor of the compiled modules, called
with random argument lists, keyword names and values, against its twin.

The twin is the module's Python as the package runs it where the compiled
modules are not in use: arguments bound and checked by their annotations
(counts, keywords, exact built-in types, int conversion), declared results
checked, on the same collaborators. Both must end alike: the same result, or the same exception with the same message,
after the same calls into the collaborators. Coroutines are driven with fake
HTTP clients, fake on-premise clients and scripted awaitables, so that their
bodies run too.

Values are built twice from one drawn recipe, once per side, so that a side
effect of one run (a seek, an attribute set by a validator) cannot leak into
the other.
"""

from __future__ import annotations

import functools
import importlib
import io
import os
import re
import tempfile
import warnings
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import BaseModel
from support import MODULES, FakeAsyncio, Halt, Param, Status, compiled_twins, params_of

from velquor_ai.models.common import StatusEnum

# Compares the compiled modules with their Python, which is all there is where
# they are not in use.
pytestmark = pytest.mark.compiled_only

# --- hostile values -------------------------------------------------------------


class Boom(Exception):
    pass


def _raiser(dunder: str, error: type[BaseException]) -> Callable[..., Any]:
    def method(self: object, *args: object) -> Any:
        raise error(dunder)

    return method


HOSTILE_DUNDERS = [
    "__index__",
    "__int__",
    "__float__",
    "__fspath__",
    "__await__",
    "__bool__",
    "__eq__",
    "__len__",
    "__iter__",
    "__str__",
    "__format__",
    "__lt__",
    "__gt__",
    "__contains__",
    "__getitem__",
    "keys",
    "get",
    "seek",
    "read",
]


def hostile_class(dunder: str, error: type[BaseException]) -> type:
    namespace: dict[str, Any] = {dunder: _raiser(dunder, error), "__repr__": lambda self: f"<{dunder} raises>"}
    if dunder == "__eq__":
        namespace["__hash__"] = lambda self: 7
    return type(f"Raising{dunder.strip('_').title()}{error.__name__}", (), namespace)


class RaisingHash:
    def __hash__(self) -> int:
        raise Boom("__hash__")

    def __repr__(self) -> str:
        return "<__hash__ raises>"


class RaisingGetattr:
    def __getattr__(self, name: str) -> Any:
        raise Boom(f"getattr {name}")

    def __repr__(self) -> str:
        return "<__getattr__ raises>"


HOSTILE = {f"{d}/{e.__name__}": hostile_class(d, e) for d in HOSTILE_DUNDERS for e in (Boom, Halt)}
HOSTILE["__hash__"] = RaisingHash
HOSTILE["__getattr__"] = RaisingGetattr


class SubStr(str):
    pass


class SubBytes(bytes):
    pass


class SubInt(int):
    pass


class SubFloat(float):
    pass


class SubList(list):
    pass


class SubDict(dict):
    pass


class KeyStr(str):
    """A keyword name that is a str subclass: matched by ==, not by identity."""


class RaisingEqKey(str):
    def __eq__(self, other: object) -> bool:
        raise Boom("keyword __eq__")

    __hash__ = str.__hash__


SUBCLASSES = {"str": SubStr, "bytes": SubBytes, "int": SubInt, "float": SubFloat, "list": SubList, "dict": SubDict}
HUGE_TEXT = "a" * (1 << 20)
HUGE_BYTES = b"\x00" * (1 << 20)


class Record:
    """What the blueprint validator reads: a `blueprint` and a `result`."""

    def __init__(self, blueprint_value: Any, result: Any) -> None:
        self.blueprint = blueprint_value
        self.result = result


class Ready:
    """An awaitable that yields `ticks` times, then returns its value."""

    def __init__(self, value: Any, ticks: int = 1) -> None:
        self.value = value
        self.ticks = ticks

    def __await__(self) -> Any:
        for _ in range(self.ticks):
            yield "tick"
        return self.value

    def __repr__(self) -> str:
        return "Ready()"


# --- recipes: drawn once, built once per side ----------------------------------------

ATOMS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=2**63, max_value=2**200),
    st.floats(),
    st.text(max_size=12),
    st.sampled_from(
        ["", "gen_123", "a.png", "clip.MP4", "x/y", "..", "\ud800", "a\x00b", "completed", "failed", "image", "video"]
    ),
    st.binary(max_size=8),
    st.complex_numbers(max_magnitude=10),
)

LEAVES = st.one_of(
    ATOMS.map(lambda v: ("atom", v)),
    st.tuples(st.sampled_from(sorted(SUBCLASSES)), ATOMS).map(lambda t: ("sub",) + t),
    st.sampled_from(sorted(HOSTILE)).map(lambda name: ("hostile", name)),
    st.text(max_size=8).map(lambda text: ("path", text)),
    st.binary(max_size=8).map(lambda data: ("bytearray", data)),
    st.binary(max_size=8).map(lambda data: ("bytesio", data)),
    st.text(max_size=8).map(lambda text: ("stringio", text)),
    st.sampled_from(["completed", "failed", "pending", "COMPLETED", None]).map(lambda s: ("status", s)),
    st.sampled_from(["text", "bytes"]).map(lambda what: ("huge", what)),
)

# Real files, for the handler's path branch: one under the size limit of most
# draws, one over it, and a directory.
FILE_DIR = Path(tempfile.mkdtemp(prefix="velquor-fuzz-"))
(FILE_DIR / "small.png").write_bytes(b"\x89PNG" * 4)
(FILE_DIR / "large.bin").write_bytes(b"x" * 5000)
(FILE_DIR / "noext").write_bytes(b"data")
(FILE_DIR / "folder").mkdir()
FILES = st.tuples(
    st.sampled_from(["realfile", "realpath"]),
    st.sampled_from(["small.png", "large.bin", "noext", "folder", "missing.mp4"]),
)

RECIPES = st.recursive(
    LEAVES,
    lambda children: st.one_of(
        st.lists(children, max_size=4).map(lambda items: ("list", items)),
        st.lists(children, max_size=3).map(lambda items: ("tuple", items)),
        st.lists(
            st.tuples(
                st.sampled_from(
                    [
                        "path",
                        "file_obj",
                        "filename",
                        "output",
                        "blueprint",
                        "status",
                        "generation_id",
                        "result",
                        "error",
                        "x",
                    ]
                ),
                children,
            ),
            max_size=4,
        ).map(lambda items: ("dict", items)),
        children.map(lambda inner: ("ready", inner)),
    ),
    max_leaves=8,
)


class Builder:
    """Builds recipes, remembering every object it made so that results can
    refer to them by position rather than by identity."""

    def __init__(self) -> None:
        self.made: list[Any] = []

    def __call__(self, recipe: tuple[Any, ...]) -> Any:
        kind = recipe[0]
        if kind == "atom":
            return recipe[1]
        if kind == "sub":
            value: Any = SUBCLASSES[recipe[1]](*self._sub_args(recipe[1], recipe[2]))
        elif kind == "hostile":
            value = HOSTILE[recipe[1]]()
        elif kind == "path":
            value = Path("fuzz-missing-dir", recipe[1].replace("\x00", ""))
        elif kind == "bytearray":
            value = bytearray(recipe[1])
        elif kind == "bytesio":
            value = io.BytesIO(recipe[1])
        elif kind == "stringio":
            value = io.StringIO(recipe[1])
        elif kind == "status":
            value = Status(recipe[1], error="why")
        elif kind == "list":
            value = [self(item) for item in recipe[1]]
        elif kind == "tuple":
            value = tuple(self(item) for item in recipe[1])
        elif kind == "dict":
            value = {key: self(item) for key, item in recipe[1]}
            # open() takes an integer path as a descriptor of this process:
            # the frame side would read and close whatever it names (stdin,
            # pytest's capture files, a socket) before the twin gets it.
            if hasattr(type(value.get("path")), "__index__"):
                value["path"] = str(FILE_DIR / "descriptor")
        elif kind == "huge":
            return HUGE_TEXT if recipe[1] == "text" else HUGE_BYTES
        elif kind in ("realfile", "realpath"):
            value = FILE_DIR / recipe[1]
            return str(value) if kind == "realfile" else value
        elif kind == "record":
            value = Record(self(recipe[1]), self(recipe[2]))
        elif kind == "ready":
            value = Ready(self(recipe[1]))
        else:  # pragma: no cover - a recipe kind without a builder
            raise AssertionError(kind)
        self.made.append(value)
        return value

    @staticmethod
    def _sub_args(kind: str, atom: Any) -> tuple[Any, ...]:
        converters = {
            "str": str,
            "bytes": lambda v: v if isinstance(v, bytes) else b"s",
            "int": lambda v: 3,
            "float": lambda v: 2.5,
            "list": lambda v: [v],
            "dict": lambda v: {"k": v},
        }
        try:
            return (converters[kind](atom),)
        except Exception:  # noqa: BLE001 - a str() that fails: use a plain value
            return ()


COMPILED = {dotted: importlib.import_module(dotted) for dotted in MODULES}
TWINS = compiled_twins()


# --- fake collaborators ------------------------------------------------------------------


class Recorder:
    def __init__(self, build: Builder, recipes: dict[str, Any]) -> None:
        self.build = build
        self.recipes = recipes
        self.calls: list[Any] = []

    def reply(self, what: str) -> Any:
        mode, recipe = self.recipes.get(what, ("await", ("atom", None)))
        if mode == "raise":
            raise Boom(what)
        if recipe == ("s3",):  # a storage answer with the drawn status code
            return Ready(Response(self.build(self.recipes["status"]), "denied"))
        value = self.build(recipe)
        return Ready(value) if mode == "await" else value


class FakeHTTP(Recorder):
    def post(self, path: Any, **kwargs: Any) -> Any:
        self.calls.append(("post", path, sorted(kwargs), repr(kwargs.get("json"))[:200]))
        return self.reply("post")

    def get(self, path: Any) -> Any:
        self.calls.append(("get", path))
        return self.reply("get")


class FakeUploads(Recorder):
    def get_generation_upload_urls(self, generation_id: Any, filenames: Any) -> Any:
        self.calls.append(("urls", generation_id, len(filenames)))
        return self.reply("urls")


class FakeOnPremise(Recorder):
    def generate_blueprint(self, **kwargs: Any) -> Any:
        self.calls.append(("generate", sorted(kwargs), repr(kwargs.get("input_data"))))
        return self.reply("generate")

    def validate_blueprint(self, blueprint_text: Any) -> Any:
        self.calls.append(("validate", repr(blueprint_text)[:80]))
        mode, recipe = self.recipes.get("validate", ("plain", ("atom", "bp")))
        if mode == "raise":
            raise Boom("validate")
        return self.build(recipe)

    def execute_blueprint(self, **kwargs: Any) -> Any:
        self.calls.append(("execute", sorted(kwargs), repr(kwargs.get("input_data"))))
        return self.reply("execute")


class FakeS3Client(Recorder):
    async def __aenter__(self) -> Any:
        self.calls.append("enter")
        mode, _ = self.recipes.get("enter", ("self", None))
        if mode == "raise":
            raise Boom("enter")
        return self

    async def __aexit__(self, *exc_info: Any) -> Any:
        self.calls.append(("exit", exc_info[0].__name__ if exc_info[0] else None))
        return self.recipes.get("swallow", False)

    def put(self, url: Any, **kwargs: Any) -> Any:
        self.calls.append(("put", url, sorted(kwargs), kwargs.get("headers"), kwargs.get("timeout")))
        return self.reply("put")


class Response:
    def __init__(self, status_code: Any, text: Any) -> None:
        self.status_code = status_code
        self.text = text


class FakeHttpx:
    def __init__(self, client: FakeS3Client) -> None:
        self.client = client

    def AsyncClient(self) -> FakeS3Client:  # noqa: N802 - the name httpx gives it
        return self.client


# --- the targets ---------------------------------------------------------------------------


@dataclass
class Target:
    module: str  # the module's dotted name
    path: str  # where the callable sits in it: "FileHandler.read_file"
    kind: str = "function"  # function, method, coroutine, constructor, model
    instance: Callable[[ModuleType, Builder, dict[str, Any]], Any] | None = None  # builds `self` for methods

    @property
    def name(self) -> str:
        return self.path.rsplit(".", 1)[-1]

    def resolve(self, side: str) -> Any:
        found: Any = (COMPILED if side == "frame" else TWINS)[self.module]
        for part in self.path.split("."):
            found = getattr(found, part)
        return found

    @functools.cached_property
    def signature(self) -> tuple[list[Param], bool]:
        if self.kind == "model":
            return [], False
        twin = self.resolve("twin")
        function = twin.__init__ if self.kind == "constructor" else twin
        return params_of(getattr(function, "__wrapped__", function))

    @property
    def params(self) -> list[Param]:
        return self.signature[0]

    @property
    def varargs(self) -> bool:
        return self.signature[1]


def with_config(cls: str, limit: str) -> Callable[[ModuleType, Builder, dict[str, Any]], Any]:
    def instance(module: ModuleType, build: Builder, env: dict[str, Any]) -> Any:
        obj = object.__new__(getattr(module, cls))
        obj.config = type("Config", (), {limit: build(env["cap"])})()
        return obj

    return instance


def with_http(cls: str) -> Callable[[ModuleType, Builder, dict[str, Any]], Any]:
    def instance(module: ModuleType, build: Builder, env: dict[str, Any]) -> Any:
        obj = object.__new__(getattr(module, cls))
        obj._http = env["http"]
        obj._uploads = env["uploads"]
        return obj

    return instance


VALIDATORS, TAMSEL, POLLER = "velquor_ai.util.validators", "velquor_ai.util.tamsel", "velquor_ai.util.poller"
MODELS, UPLOADS = "velquor_ai.models.blueprint", "velquor_ai.resources.uploads"
GENERATIONS, VOSTREL = "velquor_ai.resources.generations", "velquor_ai._vostrel"
TARGETS = [
    Target(VALIDATORS, "validate_execution_id"),
    Target(VALIDATORS, "validate_generation_id"),
    Target(POLLER, "StatusPoller", "constructor"),
    Target(POLLER, "StatusPoller.poll_until_complete", "coroutine", with_config("StatusPoller", "max_poll_interval")),
    Target(TAMSEL, "FileHandler", "constructor"),
    Target(TAMSEL, "FileHandler.prepare_file", "method", with_config("FileHandler", "max_file_size")),
    Target(TAMSEL, "FileHandler.read_file", "method", with_config("FileHandler", "max_file_size")),
    Target(MODELS, "GenerationResult", "model"),
    Target(MODELS, "GenerationStatus", "model"),
    Target(MODELS, "GenerationResult.extract_blueprint_from_result"),
    Target(UPLOADS, "UploadsResource", "constructor"),
    Target(UPLOADS, "UploadsResource._infer_content_type", "method", with_http("UploadsResource")),
    Target(UPLOADS, "UploadsResource.get_generation_upload_urls", "coroutine", with_http("UploadsResource")),
    Target(UPLOADS, "UploadsResource.get_execution_upload_urls", "coroutine", with_http("UploadsResource")),
    Target(UPLOADS, "UploadsResource.upload_file_to_s3", "coroutine", with_http("UploadsResource")),
    Target(UPLOADS, "UploadsResource.upload_files", "coroutine", with_http("UploadsResource")),
    Target(GENERATIONS, "GenerationsResource", "constructor"),
    Target(GENERATIONS, "GenerationsResource.create", "coroutine", with_http("GenerationsResource")),
    Target(GENERATIONS, "GenerationsResource.get_upload_urls", "coroutine", with_http("GenerationsResource")),
    Target(GENERATIONS, "GenerationsResource.start", "coroutine", with_http("GenerationsResource")),
    Target(GENERATIONS, "GenerationsResource.get_result", "coroutine", with_http("GenerationsResource")),
    Target(VOSTREL, "prepare_file_paths"),
    Target(VOSTREL, "create_generation_result"),
    Target(VOSTREL, "create_execution_result"),
    Target(VOSTREL, "generate_blueprint_vostrel", "coroutine"),
    Target(VOSTREL, "execute_blueprint_vostrel", "coroutine"),
]

# --- running one side ---------------------------------------------------------------------

# Object addresses, whole or as pydantic's shortened reprs leave them ("obj...4cc0>").
ADDRESS = re.compile(r"0?x[0-9a-fA-F]{6,}|\.\.\.[0-9a-fA-Fx]*>")
TIMESTAMP_FIELDS = {"created_at", "completed_at"}


def shape(value: Any, made: list[Any], depth: int = 0) -> Any:
    """A comparable picture of a result: built inputs by position, the rest by value."""
    if depth > 6:
        return "..."
    for index, obj in enumerate(made):
        if value is obj:
            return ("made", index)
    if value is None or type(value) in (bool, int, bytes, complex, StatusEnum):
        return repr(value)[:300]
    if type(value) is str:
        return value if len(value) < 300 else ("long str", len(value), hash(value))
    if type(value) is float:
        return repr(value)
    if type(value) in (list, tuple):
        return (type(value).__name__, [shape(item, made, depth + 1) for item in value])
    if type(value) is dict:
        return ("dict", [(shape(k, made, depth + 1), shape(v, made, depth + 1)) for k, v in value.items()])
    if isinstance(value, BaseModel):
        fields = dict(value.__dict__)
        if TIMESTAMP_FIELDS <= fields.keys() and fields["created_at"] is not None:
            assert fields["created_at"] == fields["completed_at"]
            fields = {k: v for k, v in fields.items() if k not in TIMESTAMP_FIELDS}
        return ("model", type(value).__name__, shape(fields, made, depth + 1))
    if hasattr(type(value), "__dict__") and isinstance(getattr(value, "__dict__", None), dict):
        return ("object", type(value).__name__, shape(dict(vars(value)), made, depth + 1))
    return ("object", type(value).__name__)


def describe_error(error: BaseException) -> tuple[Any, ...]:
    try:
        text = str(error)
    except Exception as failure:  # noqa: BLE001 - a message that cannot be shown is still compared
        text = f"<str failed: {type(failure).__name__}>"
    return (type(error).__name__, ADDRESS.sub("x?", text), len(getattr(error, "__notes__", ())))


def drive(coro: Any, steps: int, made: list[Any]) -> tuple[Any, ...]:
    """Runs a coroutine for at most `steps` resumptions, then closes it."""
    yielded = 0
    try:
        for _ in range(steps):
            coro.send(None)
            yielded += 1
    except StopIteration as stop:
        return ("returned", yielded, shape(stop.value, made))
    except BaseException as error:  # noqa: BLE001 - compared with the twin's
        return ("raised", yielded, describe_error(error))
    try:
        coro.close()
    except BaseException as error:  # noqa: BLE001
        return ("close raised", yielded, describe_error(error))
    return ("closed", yielded)


@dataclass
class Draw:
    self_recipe: Any
    args: list[Any]
    kwargs: list[tuple[Any, Any]]
    env: dict[str, Any]
    steps: int


def run_side(target: Target, draw: Draw, side: str, monkeypatch: pytest.MonkeyPatch) -> tuple[Any, ...]:
    build = Builder()
    calls: list[Any] = []
    env = dict(draw.env)
    collaborators = {
        "http": FakeHTTP(build, env["replies"]),
        "uploads": FakeUploads(build, env["replies"]),
        "client": FakeOnPremise(build, env["replies"]),
    }
    s3 = FakeS3Client(build, env["replies"])
    env.update(collaborators)
    modules = COMPILED if side == "frame" else TWINS
    monkeypatch.setattr(modules[UPLOADS], "httpx", FakeHttpx(s3))

    def sleep(seconds: Any) -> Ready:
        calls.append(("sleep", seconds))
        return Ready(None)

    # The poller's `asyncio`: a clock that moves one second per reading.
    monkeypatch.setattr(modules[POLLER], "asyncio", FakeAsyncio(step=1.0, sleep=sleep))

    def value(recipe: Any) -> Any:
        if recipe == ("collaborator",):
            return collaborators["client"]
        if recipe == ("check_fn",):
            statuses = iter(env["statuses"])
            return lambda: Ready(build(next(statuses, ("status", "pending"))))
        return build(recipe)

    args = [value(recipe) for recipe in draw.args]
    kwargs = {KEY_CLASSES[cls](text): value(recipe) for (cls, text), recipe in draw.kwargs}
    if target.instance is not None:
        instance = (
            target.instance(modules[target.module], build, env)
            if draw.self_recipe is None
            else (value(draw.self_recipe))
        )
        args.insert(0, instance)

    def finish(result: Any) -> tuple[Any, ...]:
        if target.kind == "coroutine":
            return ("coroutine", drive(result, draw.steps, build.made))
        return ("returned", shape(result, build.made))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            called = target.resolve(side)
            if side == "twin" and target.kind == "constructor":
                result = object.__new__(called)
                called.__init__(result, *args, **kwargs)
            else:
                result = called(*args, **kwargs)
            outcome = finish(result)
        except BaseException as error:  # noqa: BLE001 - compared with the other side's
            outcome = ("raised at call", describe_error(error))
    calls.extend(collaborator.calls for collaborator in (*collaborators.values(), s3))
    return outcome, shape_calls(calls)


def shape_calls(calls: list[Any]) -> str:
    return ADDRESS.sub("x?", repr(calls))


# --- drawing calls ---------------------------------------------------------------------------

KEYWORDS = st.one_of(
    st.sampled_from(
        [
            "self",
            "x",
            "json",
            "execution_id",
            "generation_id",
            "filenames",
            "check_fn",
            "timeout",
            "interval",
            "on_progress",
            "config",
            "file",
            "file_type",
            "file_info",
            "filename",
            "upload_url",
            "file_data",
            "content_type",
            "upload_urls",
            "question",
            "http_client",
            "uploads",
            "client",
            "prompt",
            "images",
            "videos",
            "blueprint",
            "input_files",
            "result_dict",
            "status",
            "generation_id",
            "\u00e9t\u00e9",
            "",
        ]
    ),
    st.text(max_size=6),
)


KEY_CLASSES = {"str": str, "KeyStr": KeyStr, "RaisingEqKey": RaisingEqKey}
# A keyword name as (class, text): built per side like any other value.
KEYWORD_NAMES = st.tuples(st.sampled_from(["str", "str", "str", "KeyStr", "RaisingEqKey"]), KEYWORDS)


REPLY = st.tuples(st.sampled_from(["await", "await", "await", "plain", "raise"]), RECIPES)
GOOD_DICTS = st.fixed_dictionaries(
    {
        "generation_id": st.sampled_from(["g", 5]).map(lambda v: ("atom", v)),
        "status": st.sampled_from(["completed", "failed", "created", "nope"]).map(lambda v: ("atom", v)),
    },
    optional={"blueprint": RECIPES, "result": RECIPES, "error": RECIPES, "estimated_time": RECIPES},
).map(lambda d: ("dict", list(d.items())))


# What the fake collaborators answer (see Recorder.reply).
REPLIES = st.fixed_dictionaries(
    {
        "post": st.one_of(REPLY, st.tuples(st.just("await"), GOOD_DICTS)),
        "get": st.one_of(REPLY, st.tuples(st.just("await"), GOOD_DICTS)),
        "urls": REPLY,
        "generate": REPLY,
        "execute": st.one_of(REPLY, st.tuples(st.just("await"), RECIPES.map(lambda r: ("dict", [("output", r)])))),
        "validate": st.tuples(st.sampled_from(["plain", "plain", "raise"]), RECIPES),
        "put": st.one_of(st.tuples(st.just("await"), st.just(("s3",))), REPLY),
        "status": st.sampled_from([("atom", 200), ("atom", 204), ("atom", 403), ("atom", 202)]) | RECIPES,
        "enter": st.tuples(st.sampled_from(["self", "self", "raise"]), st.none()),
        "swallow": st.booleans(),
    }
)


@st.composite
def draws(draw: st.DrawFn, target: Target) -> Draw:
    params = target.params[1:] if target.instance or target.kind == "constructor" else target.params
    specials: list[Any] = [RECIPES]
    if target.name == "poll_until_complete":
        specials.append(st.just(("check_fn",)))
    if target.name.endswith("_vostrel"):
        specials.append(st.just(("collaborator",)))
    value = st.one_of(*specials)
    mode = draw(st.sampled_from(["proper", "proper", "proper", "mutated", "random"]))
    args: list[Any] = []
    kwargs: list[tuple[Any, Any]] = []
    if mode == "random" or target.varargs:
        count = draw(st.integers(0, len(params) + 2))
        args = [draw(st.one_of(value, plausible_value(target, 0))) for _ in range(count)]
        if draw(st.booleans()):
            kwargs = draw(st.lists(st.tuples(KEYWORD_NAMES, value), max_size=2, unique_by=lambda kv: kv[0][1]))
    else:
        # A call a caller could mean: every required parameter, by position
        # up to a point and by its own name after it, mostly plausible values.
        supplied = [p for p in params if p.default is ... or draw(st.booleans())]
        positional = draw(st.integers(0, len(supplied)))
        for i, param in enumerate(supplied):
            chosen = draw(
                st.one_of(plausible_value(target, params.index(param)), value)
                if draw(st.integers(0, 4)) == 0
                else plausible_value(target, params.index(param))
            )
            if i < positional and supplied[: i + 1] == params[: i + 1]:
                args.append(chosen)
            else:
                kwargs.append((("str", param.name), chosen))
        if mode == "mutated":
            change = draw(st.sampled_from(["extra", "drop", "keyword", "subclass name", "duplicate"]))
            if change == "extra":
                args.append(draw(value))
            elif change == "drop" and (args or kwargs):
                (args if args else kwargs).pop()
            elif change == "keyword":
                kwargs.append((draw(KEYWORD_NAMES), draw(value)))
            elif change == "subclass name" and kwargs:
                (_, name), item = kwargs.pop(0)
                kwargs.insert(0, ((draw(st.sampled_from(["KeyStr", "RaisingEqKey"])), name), item))
            elif change == "duplicate" and args and params:
                kwargs.append((("str", params[0].name), draw(value)))
            kwargs = list({key[1]: (key, item) for key, item in kwargs}.values())
    if target.kind == "model":
        good = draw(GOOD_DICTS)
        kwargs = [*[(("str", key), item) for key, item in good[1]], *kwargs]
        kwargs = list({key[1]: (key, item) for key, item in kwargs}.values())
    # Only a coroutine meets its collaborators' replies: the rest get none drawn.
    replies = draw(REPLIES) if target.kind == "coroutine" else {}
    env = {
        "replies": replies,
        "cap": draw(st.one_of(st.sampled_from([("atom", 30), ("atom", 12.5), ("atom", 1000)]), RECIPES)),
        "statuses": draw(
            st.lists(st.one_of(LEAVES, st.sampled_from([("status", "completed"), ("status", "failed")])), max_size=4)
        ),
    }
    self_recipe = None if target.instance is None or draw(st.integers(0, 9)) else draw(RECIPES)
    return Draw(self_recipe, args, kwargs, env, draw(st.sampled_from([0, 1, 40, 40, 40])))


def plausible_value(target: Target, index: int) -> st.SearchStrategy[Any]:
    params = target.params[1:] if target.instance or target.kind == "constructor" else target.params
    if target.varargs:
        return st.lists(st.one_of(st.text(max_size=5).map(lambda t: ("atom", t)), LEAVES), max_size=3).map(
            lambda items: ("list", items)
        )
    check = params[index].check if index < len(params) else "any"
    name = params[index].name if index < len(params) else ""
    if name == "check_fn":
        return st.just(("check_fn",))
    if name == "client":
        return st.just(("collaborator",))
    if name == "file":
        return st.one_of(FILES, RECIPES)
    if target.name == "extract_blueprint_from_result":
        return st.tuples(st.just("record"), RECIPES, RECIPES)
    if name == "blueprint" and check == "any":
        return st.sampled_from(['{"b": 1}', "text", "", "[1, 2]"]).map(lambda v: ("atom", v)) | RECIPES
    return {
        "str": st.sampled_from(["", "gen_1", "a.png", "x.tar.gz", "\ud800", "id with/slash"]).map(
            lambda v: ("atom", v)
        ),
        "bytes": st.binary(max_size=16).map(lambda v: ("atom", v)),
        "int": st.sampled_from([0, 1, 2, -1, 2.9, True, 1 << 70]).map(lambda v: ("atom", v)),
        "list": st.lists(st.one_of(st.text(max_size=6).map(lambda t: ("atom", t)), RECIPES), max_size=3).map(
            lambda items: ("list", items)
        ),
        "optional list": st.one_of(
            st.just(("atom", None)),
            st.lists(st.one_of(st.text(max_size=6).map(lambda t: ("atom", t)), LEAVES), max_size=3).map(
                lambda items: ("list", items)
            ),
        ),
        "dict": st.one_of(
            GOOD_DICTS,
            st.lists(
                st.tuples(st.sampled_from(["path", "file_obj", "output", "x"]), st.one_of(FILES, RECIPES)), max_size=2
            ).map(lambda items: ("dict", items)),
        ),
        "any": RECIPES,
    }[check]


# Enough for every run of the suite; a longer campaign: VELQUOR_FUZZ_EXAMPLES=5000.
EXAMPLES = int(os.environ.get("VELQUOR_FUZZ_EXAMPLES", "150"))


@pytest.mark.parametrize("target", TARGETS, ids=[t.name for t in TARGETS])
def test_compiled_callables_end_as_their_twins(target: Target) -> None:
    @settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(draw=draws(target))
    def check(draw: Draw) -> None:
        with pytest.MonkeyPatch.context() as monkeypatch:
            frame = run_side(target, draw, "frame", monkeypatch)
        with pytest.MonkeyPatch.context() as monkeypatch:
            twin = run_side(target, draw, "twin", monkeypatch)
        assert frame == twin

    check()
