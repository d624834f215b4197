"""Each compiled module against its twin, the Python it stands for at its real
source lines: the definitions declared in it, and the same traceback entries on the
same failures."""

from __future__ import annotations

import asyncio
import importlib
import inspect
import traceback
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest
from support import (
    MODULES,
    Config,
    FakeAsyncio,
    Ready,
    Status,
    annotations_of,
    declarations_of,
    load_twin,
    signature_line,
)

# Compares the compiled modules with their Python, which is all there is where
# they are not in use.
pytestmark = pytest.mark.compiled_only


def definitions(module: ModuleType) -> dict[str, Any]:
    """The module's own functions and methods by qualified name."""
    found = {}
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module.__name__ or getattr(value, "__name__", name) != name:
            continue  # another module's, or a second name
        if inspect.isclass(value):
            for attribute, member in vars(value).items():
                function = inspect.unwrap(getattr(member, "wrapped", member))
                if hasattr(function, "__code__"):
                    found[f"{name}.{attribute}"] = function
        elif hasattr(value, "__code__") and not name.startswith("_"):
            found[name] = inspect.unwrap(value)
    return found


@pytest.mark.parametrize("dotted", MODULES)
def test_definitions_are_those_of_the_python(dotted: str) -> None:
    # What the compiled module is declared with comes from its Python: the same
    # functions, lines, locals, docstrings (after the signature line),
    # annotations and defaults, classes and doctest table.
    module, declared = importlib.import_module(dotted), declarations_of(dotted)
    compiled, twin = definitions(module), definitions(load_twin(dotted))
    assert sorted(compiled) == sorted(twin) == sorted(f.qualname for f in declared.functions())
    for f in declared.functions():
        function = compiled[f.qualname]
        assert function.__code__.co_firstlineno == f.line == twin[f.qualname].__code__.co_firstlineno, f.qualname
        assert function.__code__.co_varnames == twin[f.qualname].__code__.co_varnames, f.qualname
        doc = None if f.doc is None else f"{signature_line(f)}\n\n{inspect.cleandoc(f.doc)}"
        assert function.__doc__ == doc, f.qualname
        assert list(function.__annotations__.items()) == list(annotations_of(f).items()), f.qualname
        defaults = tuple(p.default.value for p in f.parameters if p.default is not None)
        assert function.__defaults__ == (defaults or None), f.qualname
        assert (function.__qualname__, function.__module__) == (f.qualname, dotted)
        assert asyncio.iscoroutinefunction(function) is f.is_async, f.qualname
    for cls in declared.classes():
        compiled_class = getattr(module, cls.name)
        assert compiled_class.__doc__ == cls.doc
        assert [base.__name__ for base in compiled_class.__bases__] == (list(cls.bases) or ["object"])
    assert module.__doc__ == declared.doc
    assert module.__test__ == declared.doctests()


class Unreadable:
    """A model instance whose `blueprint` or `result.get` raises."""

    def __init__(self, where: str) -> None:
        self.where = where

    @property
    def blueprint(self) -> Any:
        if self.where == "blueprint":
            raise LookupError("blueprint")
        return None

    @property
    def result(self) -> Any:
        return {"blueprint": "b"} if self.where == "blueprint" else Broken(blueprint="b")


class Broken(dict):
    def get(self, *args: Any) -> Any:
        raise LookupError("get")


class HTTP:
    def __init__(self, answer: Any = None, error: BaseException | None = None) -> None:
        self.answer, self.error = answer, error

    def post(self, *args: Any, **kwargs: Any) -> Ready:
        if self.error:
            raise self.error
        return Ready(self.answer)

    get = post


class Storage:
    """httpx as the upload sees it: a client whose put answers with `status`."""

    def __init__(self, status: int) -> None:
        self.status = status

    def AsyncClient(self) -> Storage:  # noqa: N802 - the name httpx gives it
        return self

    async def __aenter__(self) -> Storage:
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        return None

    def put(self, *args: Any, **kwargs: Any) -> Ready:
        return Ready(Status(None, status_code=self.status, text="denied"))


class OnPremise:
    def generate_blueprint(self, **kwargs: Any) -> Ready:
        return Ready(7)

    def validate_blueprint(self, text: Any) -> Any:
        raise LookupError("validate")


def poll(status: Any, on_progress: Any = None, timeout: int = 60) -> Callable[[ModuleType], Any]:
    def run(module: ModuleType) -> Any:
        module.asyncio = FakeAsyncio(step=1.0)
        poller = module.StatusPoller(Config())
        return asyncio.run(poller.poll_until_complete(lambda: Ready(status), timeout, 1, on_progress))

    return run


def handler(module: ModuleType) -> Any:
    return module.FileHandler(Config())


def run(coroutine: Any) -> Any:
    return asyncio.run(coroutine)


FAILURES: dict[str, tuple[str, Callable[[ModuleType], Any]]] = {
    "empty execution id": ("velquor_ai.util.validators", lambda m: m.validate_execution_id("")),
    "generation id with a slash": ("velquor_ai.util.validators", lambda m: m.validate_generation_id("a/b")),
    "missing path": ("velquor_ai.util.tamsel", lambda m: handler(m).prepare_file("/nonexistent", "image")),
    "file too large": ("velquor_ai.util.tamsel", lambda m: handler(m).prepare_file(__file__, "image")),
    "unsupported file": ("velquor_ai.util.tamsel", lambda m: handler(m).prepare_file(3, "image")),
    "path gone at read": ("velquor_ai.util.tamsel", lambda m: handler(m).read_file({"path": "/nonexistent"})),
    "nothing to read": ("velquor_ai.util.tamsel", lambda m: handler(m).read_file({})),
    "deadline passed": ("velquor_ai.util.poller", poll(Status("pending"), timeout=3)),
    "failed status": ("velquor_ai.util.poller", poll(Status("failed", error="boom"))),
    "progress callback raises": ("velquor_ai.util.poller", poll(Status("pending"), on_progress=len)),
    "unreadable blueprint": (
        "velquor_ai.models.blueprint",
        lambda m: m.GenerationResult.extract_blueprint_from_result(Unreadable("blueprint")),
    ),
    "unreadable result": (
        "velquor_ai.models.blueprint",
        lambda m: m.GenerationResult.extract_blueprint_from_result(Unreadable("result")),
    ),
    "request refused": (
        "velquor_ai.resources.uploads",
        lambda m: run(m.UploadsResource(HTTP(error=KeyError())).get_generation_upload_urls("g", [])),
    ),
    "content type unknown": (
        "velquor_ai.resources.uploads",
        lambda m: (setattr(m, "mimetypes", None), run(m.UploadsResource(HTTP()).get_execution_upload_urls("e", ["a"]))),
    ),
    "storage answers 500": (
        "velquor_ai.resources.uploads",
        lambda m: (setattr(m, "httpx", Storage(500)), run(m.UploadsResource(HTTP()).upload_file_to_s3("u", b"data"))),
    ),
    "empty generation id": (
        "velquor_ai.resources.generations",
        lambda m: run(m.GenerationsResource(HTTP(), None).start("")),
    ),
    "answer is None": (
        "velquor_ai.resources.generations",
        lambda m: run(m.GenerationsResource(HTTP(), None).create("q")),
    ),
    "answer is not a mapping": (
        "velquor_ai.resources.generations",
        lambda m: run(m.GenerationsResource(HTTP(answer=7), None).create("q")),
    ),
    "result refused": (
        "velquor_ai.resources.generations",
        lambda m: run(m.GenerationsResource(HTTP(error=LookupError()), None).get_result("g")),
    ),
    "unsupported input": ("velquor_ai._vostrel", lambda m: m.prepare_file_paths([1])),
    "execution without inputs": ("velquor_ai._vostrel", lambda m: run(m.execute_blueprint_vostrel(None, "bp", []))),
    "blueprint refused": (
        "velquor_ai._vostrel",
        lambda m: run(m.generate_blueprint_vostrel(OnPremise(), "q", None, None)),
    ),
    "output not iterable": ("velquor_ai._vostrel", lambda m: m.create_execution_result({"output": 5})),
}


def frame_entries(error: BaseException, filename: str) -> list[tuple[str, int | None]]:
    """(name, line) of each traceback entry of one file. The compiled module names
    the entries of bindings and plain bodies by module and qualified name; the
    last part of it is the name the Python frame has."""
    found = traceback.extract_tb(error.__traceback__)
    return [(e.name.rsplit(".", 1)[-1], e.lineno) for e in found if e.filename == filename]


@pytest.mark.parametrize("failure", FAILURES)
def test_traceback_entries_match_the_twin(failure: str, monkeypatch: pytest.MonkeyPatch) -> None:
    dotted, scenario = FAILURES[failure]
    compiled, twin = importlib.import_module(dotted), load_twin(dotted)
    for name in ("asyncio", "httpx", "mimetypes"):
        if hasattr(compiled, name):
            monkeypatch.setattr(compiled, name, getattr(compiled, name))
    raised = []
    for module in (compiled, twin):
        with pytest.raises(Exception) as caught:
            scenario(module)
        raised.append(caught.value)
    assert type(raised[0]) is type(raised[1])
    compiled_entries = frame_entries(raised[0], dotted.replace(".", "/") + ".py")
    assert compiled_entries
    assert compiled_entries == frame_entries(raised[1], twin.__file__)
