"""On-premise mode: input paths, result builders, and generation and execution
through a local client (a recording stand-in, then the real library on real files)."""

from __future__ import annotations

import asyncio
import datetime as dt
import gc
import inspect
import io
import json
import logging
import os
import subprocess
import sys
import warnings
from collections import OrderedDict, defaultdict
from pathlib import Path
from typing import Any

import pytest
from support import Entry, annotations_of, declaration, signature_line, traceback_entries

import velquor_ai
from velquor_ai import _vostrel as vostrel
from velquor_ai._vostrel import (
    create_execution_result,
    create_generation_result,
    execute_blueprint_vostrel,
    generate_blueprint_vostrel,
    prepare_file_paths,
)
from velquor_ai.models.blueprint import GenerationResult
from velquor_ai.models.common import StatusEnum
from velquor_ai.models.execution import ExecutionResult
from velquor_api_client import BlueprintError, VelquorAPIClient

LOGGER = "velquor_ai._vostrel"
GENERATING = "Generating blueprint via on-premise client..."
EXECUTING = "Executing blueprint via on-premise client..."


class StrPath(str):
    pass


class FsPathLookupFails:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    @property
    def __fspath__(self) -> Any:
        raise self.error


class TwoNames:
    def __fspath__(self) -> str:
        return "by-fspath"

    def __str__(self) -> str:
        return "by/str"


def logged(caplog: pytest.LogCaptureFixture) -> list[tuple[str, int, str]]:
    return [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name.startswith("velquor")]


def line_of(function: Any) -> int:
    """The def line of a module function (of the function as written, where the Python runs)."""
    return inspect.unwrap(function).__code__.co_firstlineno


def line_inside(entry: Entry, function: Any, next_function: Any) -> bool:
    return line_of(function) < entry.lineno < line_of(next_function)


# ------------------------------------------------------------------ file paths


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((), []),
        ((None, []), []),
        ((["a.png", Path("dir/b.mp4")], None, ["c.png"]), ["a.png", "dir/b.mp4", "c.png"]),
        ((["same.png", "same.png"], ["same.png"]), ["same.png"] * 3),
        ((("t.png",), iter(["g.png"]), {"k.png": 1}), ["t.png", "g.png", "k.png"]),
        (([TwoNames()],), ["by/str"]),
    ],
)
def test_paths_keep_argument_and_element_order(args: tuple[Any, ...], expected: list[str]) -> None:
    assert prepare_file_paths(*args) == expected


def test_string_paths_are_handed_on_as_the_same_objects() -> None:
    plain, subclass = "".join(["in/", "a.png"]), StrPath("in/b.png")
    first, second = prepare_file_paths([plain, subclass])
    assert first is plain and second is subclass


@pytest.mark.parametrize(
    ("element", "shown"),
    [
        (7, "<class 'int'>"),
        (b"a.png", "<class 'bytes'>"),
        (None, "<class 'NoneType'>"),
        (io.BytesIO(b"data"), "<class '_io.BytesIO'>"),
        (FsPathLookupFails(AttributeError("absent")), str(FsPathLookupFails)),
    ],
)
def test_unsupported_element_raises_value_error(element: Any, shown: str) -> None:
    with pytest.raises(ValueError) as info:
        prepare_file_paths(["ok.png"], ["fine.png", element, "never.png"])
    assert str(info.value) == "Unsupported file type: " + shown
    entry = traceback_entries(info.value)[-1]
    assert (entry.name, entry.filename) == ("velquor_ai._vostrel.prepare_file_paths", "velquor_ai/_vostrel.py")
    assert line_inside(entry, prepare_file_paths, create_generation_result)


class StrFails:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __fspath__(self) -> str:
        return "never"

    def __str__(self) -> str:
        raise self.error


@pytest.mark.parametrize("make", [FsPathLookupFails, StrFails])
def test_errors_of_the_element_itself_propagate_unchanged(make: Any) -> None:
    error = LookupError("broken element")
    with pytest.raises(LookupError) as info:
        prepare_file_paths([make(error)])
    assert info.value is error


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: prepare_file_paths(file_lists=["a"]), TypeError,
         "prepare_file_paths() got an unexpected keyword argument 'file_lists'"),
        (lambda: prepare_file_paths(["a"], None, extra=1, more=2), TypeError,
         "prepare_file_paths() got an unexpected keyword argument 'extra'"),
        (lambda: prepare_file_paths(["a"], 5), TypeError, "'int' object is not iterable"),
    ],
)  # fmt: skip
def test_keywords_and_non_iterables_are_refused(call: Any, error: type, message: str) -> None:
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


# ------------------------------------------------------------------ builders


def assert_utc_stamp(stamp: str, before: dt.datetime, after: dt.datetime) -> None:
    parsed = dt.datetime.fromisoformat(stamp)
    assert stamp.endswith("+00:00") and parsed.utcoffset() == dt.timedelta(0)
    assert before <= parsed <= after


def test_generation_result_is_completed_with_one_utc_stamp() -> None:
    before = dt.datetime.now(dt.UTC)
    result = create_generation_result('{"a":1}')
    after = dt.datetime.now(dt.UTC)
    assert type(result) is GenerationResult and result.status is StatusEnum.COMPLETED
    assert (result.generation_id, result.blueprint, result.result, result.error) == (
        "on-premise-generated", '{"a":1}', {"blueprint": '{"a":1}'}, None,
    )  # fmt: skip
    assert result.completed_at == result.created_at
    assert_utc_stamp(result.created_at, before, after)


@pytest.mark.parametrize(
    ("answer", "output_files"),
    [
        ({}, []),
        ({"output": [], "steps": 1}, []),
        (
            {"output": ["out/a.json", "C:\\out\\b.json", "word", 42, None, StrPath("s/c"), "out/a.json"]},
            ["out/a.json", "C:\\out\\b.json", "s/c", "out/a.json"],
        ),
        ({"output": ("x/y", "z")}, ["x/y"]),
    ],
)
def test_execution_result_selects_path_like_outputs(answer: dict[str, Any], output_files: list[str]) -> None:
    before = dt.datetime.now(dt.UTC)
    result = create_execution_result(answer)
    after = dt.datetime.now(dt.UTC)
    assert type(result) is ExecutionResult and result.status is StatusEnum.COMPLETED
    assert (result.execution_id, result.results, result.output_files, result.error) == (
        "on-premise-executed", answer, output_files, None,
    )  # fmt: skip
    assert result.completed_at == result.created_at
    assert_utc_stamp(result.created_at, before, after)


def test_builders_hand_the_models_fixed_keywords_and_one_stamp(monkeypatch: pytest.MonkeyPatch) -> None:
    # The models are rebound after import: the builders must look them up at
    # call time. The clock answers differently on every call.
    built: list[dict[str, Any]] = []
    clock_calls: list[Any] = []

    class Clock:
        @staticmethod
        def now(tz: Any) -> dt.datetime:
            clock_calls.append(tz)
            return dt.datetime(2030, 1, 2, 3, 4, 5, len(clock_calls), tzinfo=tz)

    monkeypatch.setattr(vostrel, "datetime", Clock)
    monkeypatch.setattr(vostrel, "GenerationResult", lambda **kw: built.append(kw) or "generation")
    monkeypatch.setattr(vostrel, "ExecutionResult", lambda **kw: built.append(kw) or "execution")
    answer = {"output": ["a/b", 1]}
    assert create_generation_result("bp") == "generation"
    assert create_execution_result(answer) == "execution"
    generation, execution = built
    assert list(generation) == ["generation_id", "status", "blueprint", "result", "created_at", "completed_at"]
    assert list(execution) == [
        "execution_id", "status", "results", "output_files", "error", "created_at", "completed_at",
    ]  # fmt: skip
    assert execution["results"] is answer and execution["output_files"] == ["a/b"]
    assert clock_calls == [dt.UTC, dt.UTC]
    assert generation["created_at"] == "2030-01-02T03:04:05.000001+00:00"
    assert execution["created_at"] == "2030-01-02T03:04:05.000002+00:00"
    for keywords in built:
        assert keywords["created_at"] is keywords["completed_at"]


WRONG_BLUEPRINT = "Argument 'blueprint' has incorrect type (expected str, got "
WRONG_ANSWER = "Argument 'result_dict' has incorrect type (expected dict, got "


@pytest.mark.parametrize(
    ("call", "message", "notes"),
    [
        (lambda: create_generation_result(None), WRONG_BLUEPRINT + "NoneType)", 0),
        (lambda: create_generation_result(StrPath("bp")), WRONG_BLUEPRINT + "StrPath)", 1),
        (lambda: create_generation_result(),
         "create_generation_result() takes exactly 1 positional argument (0 given)", 0),
        (lambda: create_execution_result(OrderedDict(output=["a/b"])), WRONG_ANSWER + "collections.OrderedDict)", 1),
        (lambda: create_execution_result(defaultdict(list)), WRONG_ANSWER + "collections.defaultdict)", 1),
        (lambda: create_execution_result({}, {}),
         "create_execution_result() takes exactly 1 positional argument (2 given)", 0),
        (lambda: create_execution_result({"output": None}), "'NoneType' object is not iterable", 0),
    ],
)  # fmt: skip
def test_builders_refuse_wrong_arguments(call: Any, message: str, notes: int) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert len(getattr(info.value, "__notes__", [])) == notes


# ------------------------------------------------------------ coroutines, recorded


class RecordingClient:
    """Records every call; answers after really suspending once, as the library does."""

    def __init__(self, validated: Any = "validated", answer: Any = None, awaitable: bool = True) -> None:
        self.calls: list[Any] = []
        self.generated: Any = object()  # must reach validate_blueprint untouched
        self.validated = validated
        self.answer = {"output": ["out/report.json", "summary"]} if answer is None else answer
        self.awaitable = awaitable

    async def _deliver(self, value: Any) -> Any:
        await asyncio.sleep(0)
        if isinstance(value, BaseException):
            raise value
        return value

    def generate_blueprint(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(("generate_blueprint", args, kwargs))
        return self._deliver(self.generated) if self.awaitable else "not awaitable"

    def validate_blueprint(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(("validate_blueprint", args, kwargs))
        return self.validated

    def execute_blueprint(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(("execute_blueprint", args, kwargs))
        return self._deliver(self.answer) if self.awaitable else "not awaitable"


@pytest.fixture
def caplog_info(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    caplog.set_level(logging.INFO, logger=LOGGER)
    return caplog


@pytest.mark.parametrize(
    ("images", "videos", "input_data"),
    [
        (None, None, None),
        ([], [], None),
        (["a.png"], [Path("v/b.mp4")], ["a.png", "v/b.mp4"]),
        (None, ["only.mp4"], ["only.mp4"]),
    ],
)
def test_generation_passes_question_and_paths_and_validates(
    caplog_info: pytest.LogCaptureFixture, images: Any, videos: Any, input_data: Any
) -> None:
    client = RecordingClient()
    result = asyncio.run(generate_blueprint_vostrel(client, "What?", images, videos))
    assert client.calls == [
        ("generate_blueprint", (), {"question": "What?", "input_data": input_data}),
        ("validate_blueprint", (client.generated,), {}),
    ]
    assert type(result) is GenerationResult and result.status is StatusEnum.COMPLETED
    assert (result.generation_id, result.blueprint, result.result) == (
        "on-premise-generated", "validated", {"blueprint": "validated"},
    )  # fmt: skip
    assert logged(caplog_info) == [(LOGGER, logging.INFO, GENERATING)]


def test_execution_normalises_the_blueprint_and_runs_on_paths(caplog_info: pytest.LogCaptureFixture) -> None:
    client = RecordingClient(answer={"output": ["out/report.json", "summary"], "steps": 2})
    result = asyncio.run(execute_blueprint_vostrel(client, {"b": 1, "a": 2}, ["in/a.png", Path("in/b.png")]))
    assert client.calls == [
        ("execute_blueprint", (), {"blueprint": '{"a":2,"b":1}', "input_data": ["in/a.png", "in/b.png"]}),
    ]
    assert type(result) is ExecutionResult and result.status is StatusEnum.COMPLETED
    assert (result.execution_id, result.results, result.output_files, result.error) == (
        "on-premise-executed", client.answer, ["out/report.json"], None,
    )  # fmt: skip
    assert logged(caplog_info) == [(LOGGER, logging.INFO, EXECUTING)]


def test_coroutines_use_the_module_functions_bound_at_call_time(monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[Any] = []
    monkeypatch.setattr(vostrel, "prepare_file_paths", lambda *lists: seen.append(lists) or ["p/1"])
    monkeypatch.setattr(vostrel, "create_generation_result", lambda b: seen.append(b) or "generated")
    monkeypatch.setattr(vostrel, "create_execution_result", lambda d: seen.append(d) or "executed")
    client, images = RecordingClient(), ["img.png"]
    assert asyncio.run(generate_blueprint_vostrel(client, "Q", images, None)) == "generated"
    assert asyncio.run(execute_blueprint_vostrel(client, "bp", None)) == "executed"
    assert seen == [(images, None), "validated", (None,), client.answer]
    assert seen[0][0] is images and seen[3] is client.answer


@pytest.mark.parametrize(
    ("input_files", "message"),
    [
        (None, "At least one input file is required for execution"),
        ([], "At least one input file is required for execution"),
        ([b"a.png"], "Unsupported file type: <class 'bytes'>"),
    ],
)
def test_execution_refuses_missing_or_unsupported_files_before_the_client(
    monkeypatch: pytest.MonkeyPatch, caplog_info: pytest.LogCaptureFixture, input_files: Any, message: str
) -> None:
    normalised: list[Any] = []
    monkeypatch.setattr(vostrel, "normalize_blueprint", lambda b: normalised.append(b) or "text")
    client = RecordingClient()
    with pytest.raises(ValueError) as info:
        asyncio.run(execute_blueprint_vostrel(client, "bp", input_files))
    assert str(info.value) == message
    assert normalised == ["bp"] and client.calls == [] and logged(caplog_info) == []


@pytest.mark.parametrize(
    ("make_client", "run", "message"),
    [
        (lambda: RecordingClient(validated=None), lambda c: generate_blueprint_vostrel(c, "Q", None, None),
         WRONG_BLUEPRINT + "NoneType)"),
        (lambda: RecordingClient(validated=StrPath("bp")), lambda c: generate_blueprint_vostrel(c, "Q", None, None),
         WRONG_BLUEPRINT + "StrPath)"),
        (lambda: RecordingClient(answer=OrderedDict(output=[])), lambda c: execute_blueprint_vostrel(c, "bp", ["a"]),
         WRONG_ANSWER + "collections.OrderedDict)"),
        (lambda: RecordingClient(answer=["out/a"]), lambda c: execute_blueprint_vostrel(c, "bp", ["a"]),
         WRONG_ANSWER + "list)"),
        (lambda: RecordingClient(awaitable=False), lambda c: generate_blueprint_vostrel(c, "Q", None, None),
         "object str can't be used in 'await' expression"),
        (lambda: RecordingClient(awaitable=False), lambda c: execute_blueprint_vostrel(c, "bp", ["a"]),
         "object str can't be used in 'await' expression"),
    ],
)  # fmt: skip
def test_answers_of_the_wrong_type_are_refused(make_client: Any, run: Any, message: str) -> None:
    client = make_client()
    with pytest.raises(TypeError) as info:
        asyncio.run(run(client))
    assert str(info.value) == message
    assert client.calls  # refused after the client had answered


@pytest.mark.parametrize(
    ("name", "run", "next_function"),
    [
        ("generate_blueprint_vostrel", lambda c: generate_blueprint_vostrel(c, "Q", None, None),
         execute_blueprint_vostrel),
        ("execute_blueprint_vostrel", lambda c: execute_blueprint_vostrel(c, "bp", ["a"]), None),
    ],
)  # fmt: skip
def test_client_errors_propagate_unchanged_from_the_await(name: str, run: Any, next_function: Any) -> None:
    error = ConnectionError("local engine down")
    client = RecordingClient(answer=error)
    client.generated = error
    with pytest.raises(ConnectionError) as info:
        asyncio.run(run(client))
    assert info.value is error
    entry = next(e for e in traceback_entries(info.value) if e.name == name)
    function = getattr(vostrel, name)
    assert entry.lineno > line_of(function)
    if next_function is not None:
        assert line_inside(entry, function, next_function)


@pytest.mark.parametrize(
    ("run", "message"),
    [
        (lambda c: generate_blueprint_vostrel(c, 1, ("a.png",), None),
         "Argument 'prompt' has incorrect type (expected str, got int)"),
        (lambda c: generate_blueprint_vostrel(c, "Q", ("a.png",), None),
         "Argument 'images' has incorrect type (expected list, got tuple)"),
        (lambda c: generate_blueprint_vostrel(c, "Q", None, videos="v.mp4"),
         "Argument 'videos' has incorrect type (expected list, got str)"),
        (lambda c: generate_blueprint_vostrel(c, "Q", None),
         "generate_blueprint_vostrel() takes exactly 4 positional arguments (3 given)"),
        (lambda c: execute_blueprint_vostrel(c, "bp", ("a.png",)),
         "Argument 'input_files' has incorrect type (expected list, got tuple)"),
        (lambda c: execute_blueprint_vostrel(c, "bp"),
         "execute_blueprint_vostrel() takes exactly 3 positional arguments (2 given)"),
    ],
)  # fmt: skip
def test_bad_calls_fail_before_any_coroutine_exists(run: Any, message: str) -> None:
    client = RecordingClient()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as info:
            run(client)
        gc.collect()
    assert str(info.value) == message
    assert client.calls == [] and caught == []


@pytest.mark.parametrize(
    ("run", "name"),
    [
        (lambda c: generate_blueprint_vostrel(c, "Q", ["a.png"], None), "generate_blueprint_vostrel"),
        (lambda c: execute_blueprint_vostrel(c, "bp", ["a.png"]), "execute_blueprint_vostrel"),
    ],
)
def test_unawaited_coroutine_calls_nothing(
    monkeypatch: pytest.MonkeyPatch, caplog_info: pytest.LogCaptureFixture, run: Any, name: str
) -> None:
    client = RecordingClient()
    for helper in ("normalize_blueprint", "prepare_file_paths"):
        monkeypatch.setattr(vostrel, helper, lambda *a, helper=helper: client.calls.append(helper))
    with pytest.warns(RuntimeWarning, match=f"^coroutine '{name}' was never awaited$"):
        coroutine = run(client)
        assert asyncio.iscoroutine(coroutine)
        del coroutine
        gc.collect()
    assert client.calls == [] and logged(caplog_info) == []


def test_cancellation_reaches_the_client_awaitable() -> None:
    class Hanging(RecordingClient):
        def generate_blueprint(self, **kwargs: Any) -> Any:
            return self._hang()

        async def _hang(self) -> None:
            self.started.set()
            try:
                await asyncio.Event().wait()
            except asyncio.CancelledError:
                self.calls.append("cancelled")
                raise

    async def main() -> list[Any]:
        client = Hanging()
        client.started = asyncio.Event()
        task = asyncio.create_task(generate_blueprint_vostrel(client, "Q", None, None))
        await client.started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return client.calls

    assert asyncio.run(main()) == ["cancelled"]


# ------------------------------------------------------------ the real library


@pytest.fixture
def media(tmp_path: Path) -> tuple[Path, Path]:
    folder = tmp_path / "inputs"
    folder.mkdir()
    (folder / "photo.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(range(256)))
    (folder / "clip.mp4").write_bytes(b"\x00\x00\x00\x18ftypmp42" + b"\x01" * 500)
    return folder / "photo.png", folder / "clip.mp4"


def test_real_library_generates_and_executes_on_real_files(tmp_path: Path, media: tuple[Path, Path]) -> None:
    photo, clip = media
    client = VelquorAPIClient(workdir=tmp_path / "runs")
    generated = asyncio.run(generate_blueprint_vostrel(client, "What is shown?", [str(photo)], [clip]))
    decoded = json.loads(generated.blueprint)
    assert [entry["name"] for entry in decoded["inputs"]] == ["photo.png", "clip.mp4"]
    assert generated.result == {"blueprint": generated.blueprint}

    # A decoded blueprint object is normalised to text before the library sees it.
    executed = asyncio.run(execute_blueprint_vostrel(client, decoded, [clip, str(photo)]))
    assert executed.output_files == executed.results["output"]
    reports = [json.loads(Path(path).read_text()) for path in executed.output_files]
    assert [report["input"]["name"] for report in reports] == ["clip.mp4", "photo.png"]
    assert all(Path(path).is_relative_to(tmp_path / "runs") for path in executed.output_files)


def test_real_library_without_inputs_and_with_a_bad_blueprint(media: tuple[Path, Path]) -> None:
    client = VelquorAPIClient()
    generated = asyncio.run(generate_blueprint_vostrel(client, "Anything?", None, []))
    assert json.loads(generated.blueprint)["steps"] == [{"action": "answer"}]
    with pytest.raises(BlueprintError, match="unsupported version"):
        asyncio.run(
            execute_blueprint_vostrel(client, generated.blueprint.replace('"version":1', '"version":2'), [media[0]])
        )


# ------------------------------------------------------------ module surface


@pytest.mark.parametrize(
    ("function", "signature", "summary", "phrases"),
    [
        (prepare_file_paths, "prepare_file_paths(*file_lists: Optional[List[FileInput]]) -> List[str]",
         "Convert file inputs to list of file path strings.",
         ["Variable number of optional file input lists.", "List of file path strings.",
          "ValueError: If file type is not supported."]),
        (create_generation_result, "create_generation_result(str blueprint: str) -> GenerationResult",
         "Create GenerationResult from blueprint string.",
         ["Validated blueprint string.", "GenerationResult instance."]),
        (create_execution_result, "create_execution_result(dict result_dict: Dict[str, Any]) -> ExecutionResult",
         "Create ExecutionResult from on-premise execution response.",
         ["Response dictionary from on-premise client.", "ExecutionResult instance."]),
        (generate_blueprint_vostrel,
         "generate_blueprint_vostrel(client: 'VelquorAPIClient', str prompt: str, list images: "
         "Optional[List[FileInput]], list videos: Optional[List[FileInput]]) -> GenerationResult",
         "Generate blueprint using on-premise client.",
         ["VelquorAPIClient instance.", "User prompt/question.", "List of image files.", "List of video files.",
          "GenerationResult with blueprint string."]),
        (execute_blueprint_vostrel,
         "execute_blueprint_vostrel(client: 'VelquorAPIClient', blueprint: BlueprintInput, list input_files: "
         "Optional[List[FileInput]]) -> ExecutionResult",
         "Execute blueprint using on-premise client.",
         ["VelquorAPIClient instance.", "Blueprint content.", "List of input files.",
          "ExecutionResult with execution results.", "ValueError: If no input files provided."]),
    ],
)  # fmt: skip
def test_functions_document_themselves(function: Any, signature: str, summary: str, phrases: list[str]) -> None:
    # As the Python declares them; the compiled functions are held to it in test_twins.py.
    declared = declaration("velquor_ai._vostrel", function.__name__)
    assert (signature_line(declared), declared.doc.splitlines()[0]) == (signature, summary)
    assert all(phrase in declared.doc for phrase in phrases)
    assert "Args:" in declared.doc
    assert asyncio.iscoroutinefunction(function) == function.__name__.endswith("_vostrel")
    assert function.__module__ == "velquor_ai._vostrel"


def test_annotations_and_namespace() -> None:
    def annotations(function: Any) -> dict[str, str]:
        return annotations_of(declaration("velquor_ai._vostrel", function.__name__))

    optional_files = "Optional[List[FileInput]]"
    assert annotations(prepare_file_paths) == {"file_lists": optional_files, "return": "List[str]"}
    assert annotations(create_generation_result) == {"blueprint": "str", "return": "GenerationResult"}
    assert annotations(create_execution_result) == {"result_dict": "Dict[str, Any]", "return": "ExecutionResult"}
    assert list(annotations(generate_blueprint_vostrel).items()) == [
        ("client", "'VelquorAPIClient'"), ("prompt", "str"), ("images", optional_files),
        ("videos", optional_files), ("return", "GenerationResult"),
    ]  # fmt: skip
    assert list(annotations(execute_blueprint_vostrel).items()) == [
        ("client", "'VelquorAPIClient'"), ("blueprint", "BlueprintInput"), ("input_files", optional_files),
        ("return", "ExecutionResult"),
    ]  # fmt: skip
    assert [name for name in vars(vostrel) if not name.startswith("__")] == [
        "logging", "datetime", "timezone", "Any", "Dict", "List", "Optional", "GenerationResult", "StatusEnum",
        "ExecutionResult", "BlueprintInput", "FileInput", "normalize_blueprint", "logger", "VelquorAPIClient",
        "ON_PREMISE_AVAILABLE", "prepare_file_paths", "create_generation_result", "create_execution_result",
        "generate_blueprint_vostrel", "execute_blueprint_vostrel",
    ]  # fmt: skip
    assert list(vars(vostrel))[-1] == "__test__" and vostrel.__test__ == {}
    assert vostrel.__doc__ == "On-premise mode implementation for VelquorAI SDK."
    assert vostrel.logger is logging.getLogger(LOGGER)
    assert vostrel.ON_PREMISE_AVAILABLE is True and vostrel.VelquorAPIClient is VelquorAPIClient
    assert vostrel.datetime is dt.datetime and vostrel.timezone is dt.timezone


# ------------------------------------------------------------ without the library

CHILD = """
import json, sys, traceback
{setup}
try:
    import velquor_ai._vostrel as v
except Exception as error:
    # The module body's entry; its Python names it "<module>".
    entries = [[e.name.replace("<module>", "init velquor_ai._vostrel"), e.lineno]
               for e in traceback.extract_tb(error.__traceback__) if e.filename.endswith("_vostrel.py")]
    print(json.dumps(["failed", type(error).__name__, str(error), entries]))
else:
    names = [n for n in vars(v) if not n.startswith("__")]
    bound = names[names.index("logger") + 1 : names.index("prepare_file_paths")]
    print(json.dumps([v.ON_PREMISE_AVAILABLE, v.VelquorAPIClient is None, bound, v.prepare_file_paths(["a"])]))
"""

FINDER = """
class Finder:
    def find_spec(self, name, path=None, target=None):
        if name == "velquor_api_client":
            raise {error}
sys.meta_path.insert(0, Finder())
"""

ABSENT = [False, True, ["ON_PREMISE_AVAILABLE", "VelquorAPIClient"], ["a"]]


@pytest.mark.parametrize(
    ("setup", "expected"),
    [
        ("sys.modules['velquor_api_client'] = None", ABSENT),
        (FINDER.format(error="ModuleNotFoundError('No module named velquor_api_client', name=name)"), ABSENT),
        ("import types; sys.modules['velquor_api_client'] = types.ModuleType('velquor_api_client')", ABSENT),
        ("", [True, False, ["VelquorAPIClient", "ON_PREMISE_AVAILABLE"], ["a"]]),
        (FINDER.format(error="RuntimeError('library broken')"),
         ["failed", "RuntimeError", "library broken", [["init velquor_ai._vostrel", 16]]]),
    ],
)  # fmt: skip
def test_import_with_and_without_the_library(tmp_path: Path, setup: str, expected: list[Any]) -> None:
    package_root = str(Path(velquor_ai.__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))}
    child = subprocess.run(
        [sys.executable, "-c", CHILD.format(setup=setup)],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=True,
    )  # fmt: skip
    assert json.loads(child.stdout) == expected
