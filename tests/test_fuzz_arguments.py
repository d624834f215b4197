"""Every public function, method and constructor of the compiled modules, called
with random argument lists, keyword names and values, against a Python twin.

The twin binds and checks arguments as the call boundary is meant to (counts,
keywords, exact built-in types, int conversion) and runs a plain Python body
that does what the function is meant to do, on the same collaborators. Both
must end alike: the same result, or the same exception with the same message,
after the same calls into the collaborators. Coroutines are driven with fake
HTTP clients, fake on-premise clients and scripted awaitables, so that their
bodies run too.

Values are built twice from one drawn recipe, once per side, so that a side
effect of one run (a seek, an attribute set by a validator) cannot leak into
the other.
"""

from __future__ import annotations

import ctypes
import io
import mimetypes
import os
import re
import tempfile
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Optional, Union

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pydantic import BaseModel, model_validator

from velquor_ai import _vostrel
from velquor_ai.models import blueprint
from velquor_ai.models.common import StatusEnum
from velquor_ai.models.execution import ErrorDetail
from velquor_ai.resources import generations, uploads
from velquor_ai.resources.base import BaseResource
from velquor_ai.util import poller, tamsel, validators

# --- hostile values -------------------------------------------------------------


class Boom(Exception):
    pass


class Halt(BaseException):
    """Like KeyboardInterrupt: not an Exception, must still pass through untouched."""


def _raiser(dunder: str, error: type[BaseException]) -> Callable[..., Any]:
    def method(self: object, *args: object) -> Any:
        raise error(dunder)

    return method


HOSTILE_DUNDERS = [
    "__index__", "__int__", "__float__", "__fspath__", "__await__", "__bool__", "__eq__",
    "__len__", "__iter__", "__str__", "__format__", "__lt__", "__gt__", "__contains__",
    "__getitem__", "keys", "get", "seek", "read",
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


class Status:
    def __init__(self, status: Any, error: Any = None, has_error: bool = True) -> None:
        self.status = status
        if has_error:
            self.error = error

    def __repr__(self) -> str:
        return f"Status({self.status!r})"


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
    st.sampled_from(["", "gen_123", "a.png", "clip.MP4", "x/y", "..", "\ud800", "a\x00b", "completed", "failed",
                     "image", "video"]),
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
FILES = st.tuples(st.sampled_from(["realfile", "realpath"]), st.sampled_from(["small.png", "large.bin", "noext",
                                                                             "folder", "missing.mp4"]))

RECIPES = st.recursive(
    LEAVES,
    lambda children: st.one_of(
        st.lists(children, max_size=4).map(lambda items: ("list", items)),
        st.lists(children, max_size=3).map(lambda items: ("tuple", items)),
        st.lists(st.tuples(st.sampled_from(["path", "file_obj", "filename", "output", "blueprint", "status",
                                            "generation_id", "result", "error", "x"]), children),
                 max_size=4).map(lambda items: ("dict", items)),
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
        converters = {"str": str, "bytes": lambda v: v if isinstance(v, bytes) else b"s", "int": lambda v: 3,
                      "float": lambda v: 2.5, "list": lambda v: [v], "dict": lambda v: {"k": v}}
        try:
            return (converters[kind](atom),)
        except Exception:  # noqa: BLE001 - a str() that fails: use a plain value
            return ()


# --- the call boundary, as it is meant to bind and check --------------------------------


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


def bind(name: str, params: list[Param], args: tuple[Any, ...], kwargs: dict[str, Any], varargs: bool = False) -> list[Any]:
    if varargs:
        if kwargs:
            raise TypeError(f"{name}() got an unexpected keyword argument '{str.__str__(next(iter(kwargs)))}'")
        return list(args)
    nparams = len(params)
    nrequired = max((i + 1 for i, p in enumerate(params) if p.default is ...), default=0)
    has_defaults = nrequired < nparams

    def count_error(word: str, expected: int, given: int) -> TypeError:
        return TypeError(f"{name}() takes {word} {expected} positional argument{'' if expected == 1 else 's'} "
                         f"({given} given)")

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


def check_result(value: Any, cls: type) -> Any:
    if value is not None and type(value) is not cls:
        raise TypeError(f"Expected {cls.__name__}, got {tp_name(type(value))}")
    return value


def int_local(value: Any) -> int:
    if type(value) is int:
        return value
    if not number_check(value):
        raise TypeError(f"Expected int, got {tp_name(type(value))}")
    return int(value)


def call_with_mapping(cls: Callable[..., Any], mapping: Any) -> Any:
    if mapping is None:
        raise TypeError("argument after ** must be a mapping, not NoneType")
    return cls(**mapping)


# --- twin models ---------------------------------------------------------------------


class Twins:
    """pydantic models declared as the compiled module declares them."""

    class GenerationResult(BaseModel):
        generation_id: str
        status: StatusEnum
        result: Optional[Dict[str, Any]] = None
        blueprint: Optional[str] = None
        error: Optional[Union[str, ErrorDetail]] = None
        created_at: Optional[str] = None
        updated_at: Optional[str] = None
        completed_at: Optional[str] = None

        @model_validator(mode="after")
        def extract_blueprint_from_result(self) -> Any:
            return extract_blueprint(self)

    class GenerationStatus(BaseModel):
        generation_id: str
        status: StatusEnum
        estimated_time: Optional[int] = None
        error: Optional[Union[str, ErrorDetail]] = None


# The interpreter names a callable by module and qualified name in its call
# errors ("velquor_ai.models.blueprint.GenerationResult() argument after **
# ..."): the twins carry the names of the models they stand for.
for twin_model in (Twins.GenerationResult, Twins.GenerationStatus):
    twin_model.__module__ = "velquor_ai.models.blueprint"
    twin_model.__qualname__ = twin_model.__name__


def extract_blueprint(self: Any) -> Any:
    if not self.blueprint and self.result and isinstance(self.result, dict):
        self.blueprint = self.result.get("blueprint")
    return self


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


class FakeLoop:
    def __init__(self) -> None:
        self.now = 0.0

    def time(self) -> float:
        self.now += 1.0
        return self.now


class FakeAsyncio:
    """The poller's `asyncio`: a clock that moves one second per reading."""

    def __init__(self, calls: list[Any]) -> None:
        self.loop = FakeLoop()
        self.calls = calls

    def get_event_loop(self) -> FakeLoop:
        return self.loop

    def sleep(self, seconds: Any) -> Ready:
        self.calls.append(("sleep", seconds))
        return Ready(None)


# --- twins of the bodies --------------------------------------------------------------------


def leaves_path_segment(identifier: str) -> bool:
    refused = any(ord(c) < 0x20 or c in "\x7f/\\?#%" for c in identifier)
    return refused or identifier in (".", "..")


def twin_validator(kind: str) -> Callable[..., Any]:
    def body(identifier: Any) -> None:
        if len(identifier) == 0:
            raise validators.ValidationError(f"{kind.title()} ID cannot be empty", field=f"{kind}_id")
        if leaves_path_segment(identifier):
            raise validators.ValidationError(
                f"{kind.title()} ID contains characters not allowed in a URL path segment", field=f"{kind}_id")

    return body


async def twin_poll(self: Any, check_fn: Any, timeout: Any, interval: Any, on_progress: Any) -> Any:
    start_time = poller.asyncio.get_event_loop().time()
    current_interval = interval
    while True:
        elapsed = poller.asyncio.get_event_loop().time() - start_time
        if elapsed > timeout:
            raise poller.SDKTimeoutError(f"Operation timed out after {timeout}s")
        status = await check_fn()
        if on_progress:
            on_progress(status)
        if hasattr(status, "status"):
            if status.status == "completed":
                poller.logger.info("Task completed successfully")
                return status
            if status.status == "failed":
                error_msg = getattr(status, "error", "Unknown error")
                raise RuntimeError(f"Task failed: {error_msg}")
        await poller.asyncio.sleep(current_interval)
        cap = self.config.max_poll_interval
        grown = current_interval * 1.5
        current_interval = int_local(cap if cap < grown else grown)
        poller.logger.debug(f"Polling... (next interval: {current_interval}s)")


def is_binary_file(file: Any) -> bool:
    if isinstance(file, io.TextIOBase):
        return False
    if isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        return True
    if hasattr(file, "encoding"):
        return False
    return callable(getattr(file, "read", None)) and callable(getattr(file, "seek", None))


def twin_prepare_file(self: Any, file: Any, file_type: Any) -> Any:
    if isinstance(file, (str, Path)):
        file_path = Path(file)
        if not file_path.exists():
            raise tamsel.ValidationError(f"File not found: {file_path}", field="file")
        file_size = file_path.stat().st_size
        if file_size > self.config.max_file_size:
            raise tamsel.ValidationError(
                f"File too large (Any): {file_size} bytes (max: {self.config.max_file_size})", field="file")
        content_type = mimetypes.guess_type(str(file_path))[0]
        if not content_type:
            content_type = "image/jpeg" if file_type == "image" else "video/mp4" if file_type == "video" else (
                "application/octet-stream")
        return check_result({"filename": file_path.name, "content_type": content_type, "size": file_size,
                             "path": str(file_path)}, dict)
    if is_binary_file(file):
        return {"filename": getattr(file, "name", "upload"), "content_type": "application/octet-stream",
                "size": None, "file_obj": file}
    raise tamsel.ValidationError(f"Unsupported file type: {type(file)}", field="file")


def twin_read_file(self: Any, file_info: dict[str, Any]) -> Any:
    if "path" in file_info:
        with open(file_info["path"], "rb") as f:
            return check_result(f.read(), bytes)
    if "file_obj" in file_info:
        file_obj = file_info["file_obj"]
        file_obj.seek(0)
        return check_result(file_obj.read(), bytes)
    raise tamsel.ValidationError("Cannot read file: no path or file_obj", field="file")


def twin_infer_content_type(self: Any, filename: Any) -> Any:
    content_type, _ = uploads.mimetypes.guess_type(filename)
    return check_result(content_type if content_type else "application/octet-stream", str)


def twin_upload_urls(kind: str) -> Callable[..., Any]:
    async def body(self: Any, identifier: Any, filenames: Any) -> Any:
        getattr(uploads, f"validate_{kind}_id")(identifier)
        files = []
        for filename in filenames:
            content_type = self._infer_content_type(filename)
            files.append({"filename": filename, "content_type": content_type})
        request = {"files": files}
        response = await self._http.post(f"/v1/{kind}/{identifier}/upload", json=request)
        return check_result(response, dict)

    return body


async def twin_upload_file_to_s3(self: Any, upload_url: Any, file_data: Any, content_type: Any) -> Any:
    async with uploads.httpx.AsyncClient() as s3_client:
        response = await s3_client.put(upload_url, content=file_data, headers={"Content-Type": content_type},
                                       timeout=60.0)
        status = response.status_code
        if status != 200 and status != 201 and status != 204:
            raise Exception(f"S3 upload failed (Any): {response.status_code} {response.text}")
        uploads.logger.info(f"File uploaded to S3 successfully ({len(file_data)} bytes)")
        return check_result({"status": "uploaded", "size": len(file_data)}, dict)


async def twin_upload_files(self: Any, upload_urls: Any) -> None:
    for url_info in upload_urls:
        uploads.logger.info(f"Uploading {url_info.get('filename')}...")
        uploads.logger.warning("File upload not fully implemented yet")


def twin_generations_init(self: Any, http_client: Any, uploads_resource: Any) -> None:
    BaseResource.__init__(self, http_client)
    self._uploads = uploads_resource


async def twin_create(self: Any, question: Any) -> Any:
    response = await self._http.post("/v1/generation", json={"question": question})
    return call_with_mapping(Twins.GenerationResult, response)


async def twin_get_upload_urls(self: Any, generation_id: Any, filenames: Any) -> Any:
    return check_result(await self._uploads.get_generation_upload_urls(generation_id, filenames), dict)


async def twin_start(self: Any, generation_id: Any) -> Any:
    generations.validate_generation_id(generation_id)
    response = await self._http.post(f"/v1/generation/{generation_id}/start")
    return call_with_mapping(Twins.GenerationStatus, response)


async def twin_get_result(self: Any, generation_id: Any) -> Any:
    generations.validate_generation_id(generation_id)
    response = await self._http.get(f"/v1/generation/{generation_id}/result")
    return call_with_mapping(Twins.GenerationResult, response)


def twin_prepare_file_paths(*file_lists: Any) -> Any:
    file_paths = []
    for file_list in file_lists:
        if not file_list:
            continue
        for file_input in file_list:
            if isinstance(file_input, str):
                file_paths.append(file_input)
            elif hasattr(file_input, "__fspath__"):
                file_paths.append(str(file_input))
            else:
                raise ValueError(f"Unsupported file type: {type(file_input)}")
    return file_paths


def twin_create_generation_result(blueprint_text: Any) -> Any:
    now = "T"
    return Twins.GenerationResult(generation_id="on-premise-generated", status=StatusEnum.COMPLETED,
                                  blueprint=blueprint_text, result={"blueprint": blueprint_text}, created_at=now,
                                  completed_at=now)


def twin_create_execution_result(result_dict: Any) -> Any:
    output_list = result_dict.get("output", [])
    output_files = [item for item in output_list if isinstance(item, str) and ("/" in item or "\\" in item)]
    return _vostrel.ExecutionResult(execution_id="on-premise-executed", status=StatusEnum.COMPLETED,
                                    results=result_dict, output_files=output_files, error=None, created_at="T",
                                    completed_at="T")


async def twin_generate(client: Any, prompt: Any, images: Any, videos: Any) -> Any:
    input_data = twin_prepare_file_paths(images, videos)
    _vostrel.logger.info("Generating blueprint via on-premise client...")
    blueprint_text = await client.generate_blueprint(question=prompt, input_data=input_data if input_data else None)
    validated = client.validate_blueprint(blueprint_text)
    return twin_create_generation_result(*bind("create_generation_result", [Param("blueprint", "str")],
                                               (validated,), {}))


async def twin_execute(client: Any, blueprint_input: Any, input_files: Any) -> Any:
    blueprint_text = _vostrel.normalize_blueprint(blueprint_input)
    input_data = twin_prepare_file_paths(input_files)
    if not input_data:
        raise ValueError("At least one input file is required for execution")
    _vostrel.logger.info("Executing blueprint via on-premise client...")
    result_dict = await client.execute_blueprint(blueprint=blueprint_text, input_data=input_data)
    return twin_create_execution_result(*bind("create_execution_result", [Param("result_dict", "dict")],
                                              (result_dict,), {}))


# --- the targets ---------------------------------------------------------------------------

SELF = Param("self")


@dataclass
class Target:
    name: str
    real: Callable[[], Callable[..., Any]]  # the compiled callable, fetched when called
    params: list[Param]
    twin: Callable[..., Any]
    instance: Callable[[Builder, dict[str, Any]], Any] | None = None  # builds `self` for methods
    varargs: bool = False
    kind: str = "function"  # function, method, coroutine, constructor, python-constructor


def poller_instance(build: Builder, env: dict[str, Any]) -> Any:
    obj = poller.StatusPoller.__new__(poller.StatusPoller)
    obj.config = type("Config", (), {"max_poll_interval": build(env["cap"])})()
    return obj


def handler_instance(build: Builder, env: dict[str, Any]) -> Any:
    obj = tamsel.FileHandler.__new__(tamsel.FileHandler)
    obj.config = type("Config", (), {"max_file_size": build(env["cap"])})()
    return obj


def uploads_instance(build: Builder, env: dict[str, Any]) -> Any:
    obj = uploads.UploadsResource.__new__(uploads.UploadsResource)
    obj._http = env["http"]
    return obj


def generations_instance(build: Builder, env: dict[str, Any]) -> Any:
    obj = generations.GenerationsResource.__new__(generations.GenerationsResource)
    obj._http = env["http"]
    obj._uploads = env["uploads"]
    return obj


TARGETS = [
    Target("validate_execution_id", lambda: validators.validate_execution_id, [Param("execution_id", "str")],
           twin_validator("execution")),
    Target("validate_generation_id", lambda: validators.validate_generation_id, [Param("generation_id", "str")],
           twin_validator("generation")),
    Target("StatusPoller", lambda: poller.StatusPoller, [SELF, Param("config")],
           lambda self, config: setattr(self, "config", config), kind="constructor"),
    Target("poll_until_complete", lambda: poller.StatusPoller.poll_until_complete,
           [SELF, Param("check_fn"), Param("timeout", "int"), Param("interval", "int"), Param("on_progress", default=None)],
           twin_poll, poller_instance, kind="coroutine"),
    Target("FileHandler", lambda: tamsel.FileHandler, [SELF, Param("config")],
           lambda self, config: setattr(self, "config", config), kind="constructor"),
    Target("prepare_file", lambda: tamsel.FileHandler.prepare_file, [SELF, Param("file"), Param("file_type", "str")],
           twin_prepare_file, handler_instance, kind="method"),
    Target("read_file", lambda: tamsel.FileHandler.read_file, [SELF, Param("file_info", "dict")], twin_read_file,
           handler_instance, kind="method"),
    Target("GenerationResult", lambda: blueprint.GenerationResult, [], Twins.GenerationResult, kind="model"),
    Target("GenerationStatus", lambda: blueprint.GenerationStatus, [], Twins.GenerationStatus, kind="model"),
    Target("extract_blueprint_from_result", lambda: blueprint.GenerationResult.extract_blueprint_from_result,
           [SELF], extract_blueprint),
    Target("UploadsResource", lambda: uploads.UploadsResource, [Param("http_client")], BaseResource.__init__,
           kind="python-constructor"),
    Target("_infer_content_type", lambda: uploads.UploadsResource._infer_content_type,
           [SELF, Param("filename", "str")], twin_infer_content_type, uploads_instance, kind="method"),
    Target("get_generation_upload_urls", lambda: uploads.UploadsResource.get_generation_upload_urls,
           [SELF, Param("generation_id", "str"), Param("filenames", "list")], twin_upload_urls("generation"),
           uploads_instance, kind="coroutine"),
    Target("get_execution_upload_urls", lambda: uploads.UploadsResource.get_execution_upload_urls,
           [SELF, Param("execution_id", "str"), Param("filenames", "list")], twin_upload_urls("execution"),
           uploads_instance, kind="coroutine"),
    Target("upload_file_to_s3", lambda: uploads.UploadsResource.upload_file_to_s3,
           [SELF, Param("upload_url", "str"), Param("file_data", "bytes"),
            Param("content_type", "str", "application/octet-stream")],
           twin_upload_file_to_s3, uploads_instance, kind="coroutine"),
    Target("upload_files", lambda: uploads.UploadsResource.upload_files, [SELF, Param("upload_urls", "list")],
           twin_upload_files, uploads_instance, kind="coroutine"),
    Target("GenerationsResource", lambda: generations.GenerationsResource,
           [SELF, Param("http_client"), Param("uploads")], twin_generations_init, kind="constructor"),
    Target("create", lambda: generations.GenerationsResource.create, [SELF, Param("question", "str")], twin_create,
           generations_instance, kind="coroutine"),
    Target("get_upload_urls", lambda: generations.GenerationsResource.get_upload_urls,
           [SELF, Param("generation_id", "str"), Param("filenames", "list")], twin_get_upload_urls,
           generations_instance, kind="coroutine"),
    Target("start", lambda: generations.GenerationsResource.start, [SELF, Param("generation_id", "str")], twin_start,
           generations_instance, kind="coroutine"),
    Target("get_result", lambda: generations.GenerationsResource.get_result, [SELF, Param("generation_id", "str")],
           twin_get_result, generations_instance, kind="coroutine"),
    Target("prepare_file_paths", lambda: _vostrel.prepare_file_paths, [], twin_prepare_file_paths, varargs=True),
    Target("create_generation_result", lambda: _vostrel.create_generation_result, [Param("blueprint", "str")],
           twin_create_generation_result),
    Target("create_execution_result", lambda: _vostrel.create_execution_result, [Param("result_dict", "dict")],
           twin_create_execution_result),
    Target("generate_blueprint_vostrel", lambda: _vostrel.generate_blueprint_vostrel,
           [Param("client"), Param("prompt", "str"), Param("images", "optlist"), Param("videos", "optlist")],
           twin_generate, kind="coroutine"),
    Target("execute_blueprint_vostrel", lambda: _vostrel.execute_blueprint_vostrel,
           [Param("client"), Param("blueprint"), Param("input_files", "optlist")], twin_execute, kind="coroutine"),
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
    monkeypatch.setattr(uploads, "httpx", FakeHttpx(s3))
    monkeypatch.setattr(poller, "asyncio", FakeAsyncio(calls))

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
        instance = target.instance(build, env) if draw.self_recipe is None else value(draw.self_recipe)
        args.insert(0, instance)

    def finish(result: Any) -> tuple[Any, ...]:
        if target.kind == "coroutine":
            return ("coroutine", drive(result, draw.steps, build.made))
        return ("returned", shape(result, build.made))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if side == "frame":
                result = target.real()(*args, **kwargs)
            elif target.kind == "constructor":
                cls = target.real()
                obj = cls.__new__(cls)
                target.twin(*bind("__init__", target.params, (obj, *args), kwargs))
                result = obj
            elif target.kind == "python-constructor":
                cls = target.real()
                obj = cls.__new__(cls)
                target.twin(obj, *args, **kwargs)
                result = obj
            elif target.kind == "model":
                result = target.twin(*args, **kwargs)
            else:
                result = target.twin(*bind(target.name, target.params, tuple(args), kwargs, target.varargs))
            outcome = finish(result)
        except BaseException as error:  # noqa: BLE001 - compared with the other side's
            outcome = ("raised at call", describe_error(error))
    calls.extend(collaborator.calls for collaborator in (*collaborators.values(), s3))
    return outcome, shape_calls(calls)


def shape_calls(calls: list[Any]) -> str:
    return ADDRESS.sub("x?", repr(calls))


# --- drawing calls ---------------------------------------------------------------------------

KEYWORDS = st.one_of(
    st.sampled_from(["self", "x", "json", "execution_id", "generation_id", "filenames", "check_fn", "timeout",
                     "interval", "on_progress", "config", "file", "file_type", "file_info", "filename",
                     "upload_url", "file_data", "content_type", "upload_urls", "question", "http_client", "uploads",
                     "client", "prompt", "images", "videos", "blueprint", "input_files", "result_dict", "status",
                     "generation_id", "\u00e9t\u00e9", ""]),
    st.text(max_size=6),
)


KEY_CLASSES = {"str": str, "KeyStr": KeyStr, "RaisingEqKey": RaisingEqKey}
# A keyword name as (class, text): built per side like any other value.
KEYWORD_NAMES = st.tuples(st.sampled_from(["str", "str", "str", "KeyStr", "RaisingEqKey"]), KEYWORDS)


REPLY = st.tuples(st.sampled_from(["await", "await", "await", "plain", "raise"]), RECIPES)
GOOD_DICTS = st.fixed_dictionaries(
    {"generation_id": st.sampled_from(["g", 5]).map(lambda v: ("atom", v)),
     "status": st.sampled_from(["completed", "failed", "created", "nope"]).map(lambda v: ("atom", v))},
    optional={"blueprint": RECIPES, "result": RECIPES, "error": RECIPES, "estimated_time": RECIPES},
).map(lambda d: ("dict", list(d.items())))


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
        args = [draw(st.one_of(value, plausible_value(target, 0))) for _ in range(draw(st.integers(0, len(params) + 2)))]
        if draw(st.booleans()):
            kwargs = draw(st.lists(st.tuples(KEYWORD_NAMES, value), max_size=2, unique_by=lambda kv: kv[0][1]))
    else:
        # A call a caller could mean: every required parameter, by position
        # up to a point and by its own name after it, mostly plausible values.
        supplied = [p for p in params if p.default is ... or draw(st.booleans())]
        positional = draw(st.integers(0, len(supplied)))
        for i, param in enumerate(supplied):
            chosen = draw(st.one_of(plausible_value(target, params.index(param)), value)
                          if draw(st.integers(0, 4)) == 0 else plausible_value(target, params.index(param)))
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
    replies = {
        "post": draw(st.one_of(REPLY, st.tuples(st.just("await"), GOOD_DICTS))),
        "get": draw(st.one_of(REPLY, st.tuples(st.just("await"), GOOD_DICTS))),
        "urls": draw(REPLY),
        "generate": draw(REPLY),
        "execute": draw(st.one_of(REPLY, st.tuples(st.just("await"), RECIPES.map(lambda r: ("dict", [("output", r)]))))),
        "validate": draw(st.tuples(st.sampled_from(["plain", "plain", "raise"]), RECIPES)),
        "put": draw(st.one_of(st.tuples(st.just("await"), st.just(("s3",))), REPLY)),
        "status": draw(st.sampled_from([("atom", 200), ("atom", 204), ("atom", 403), ("atom", 202)]) | RECIPES),
        "enter": (draw(st.sampled_from(["self", "self", "raise"])), None),
        "swallow": draw(st.booleans()),
    }
    env = {
        "replies": replies,
        "cap": draw(st.one_of(st.sampled_from([("atom", 30), ("atom", 12.5), ("atom", 1000)]), RECIPES)),
        "statuses": draw(st.lists(st.one_of(LEAVES, st.sampled_from([("status", "completed"), ("status", "failed")])),
                                  max_size=4)),
    }
    self_recipe = None if target.instance is None or draw(st.integers(0, 9)) else draw(RECIPES)
    return Draw(self_recipe, args, kwargs, env, draw(st.sampled_from([0, 1, 40, 40, 40])))


def plausible_value(target: Target, index: int) -> st.SearchStrategy[Any]:
    params = target.params[1:] if target.instance or target.kind == "constructor" else target.params
    if target.varargs:
        return st.lists(st.one_of(st.text(max_size=5).map(lambda t: ("atom", t)), LEAVES), max_size=3).map(
            lambda items: ("list", items))
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
        "str": st.sampled_from(["", "gen_1", "a.png", "x.tar.gz", "\ud800", "id with/slash"]).map(lambda v: ("atom", v)),
        "bytes": st.binary(max_size=16).map(lambda v: ("atom", v)),
        "int": st.sampled_from([0, 1, 2, -1, 2.9, True, 1 << 70]).map(lambda v: ("atom", v)),
        "list": st.lists(st.one_of(st.text(max_size=6).map(lambda t: ("atom", t)), RECIPES), max_size=3).map(
            lambda items: ("list", items)),
        "optlist": st.one_of(st.just(("atom", None)), st.lists(st.one_of(
            st.text(max_size=6).map(lambda t: ("atom", t)), LEAVES), max_size=3).map(lambda items: ("list", items))),
        "dict": st.one_of(GOOD_DICTS, st.lists(st.tuples(st.sampled_from(["path", "file_obj", "output", "x"]),
                                                         st.one_of(FILES, RECIPES)),
                                               max_size=2).map(lambda items: ("dict", items))),
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
