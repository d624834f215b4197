"""Generation models: classes built by the compiled module's class statements,
pydantic field handling, and the blueprint-extracting validator."""

from __future__ import annotations

import asyncio
import inspect
from types import SimpleNamespace
from typing import Any

import pydantic
import pytest
from support import annotations_of, declaration, signature_line, traceback_entries

import velquor_ai
import velquor_ai.models.blueprint as blueprint
from velquor_ai.models.blueprint import (
    BlueprintGenerationResponse,
    GenerationResult,
    GenerationStatus,
)
from velquor_ai.models.common import StatusEnum
from velquor_ai.models.execution import ErrorDetail

VALIDATOR_ENTRY = "velquor_ai.models.blueprint.GenerationResult.extract_blueprint_from_result"

RESULT_FIELDS = {
    "generation_id": "str",
    "status": "StatusEnum",
    "result": "Optional[Dict[str, Any]]",
    "blueprint": "Optional[str]",
    "error": "Optional[Union[str, ErrorDetail]]",
    "created_at": "Optional[str]",
    "updated_at": "Optional[str]",
    "completed_at": "Optional[str]",
}
STATUS_FIELDS = {
    "generation_id": "str",
    "status": "StatusEnum",
    "estimated_time": "Optional[int]",
    "error": "Optional[Union[str, ErrorDetail]]",
}


def test_module_namespace_in_binding_order() -> None:
    names = list(vars(blueprint))
    assert names[-1] == "__test__"
    assert [n for n in names if not n.startswith("__")] == [
        "Any", "Dict", "Optional", "Union", "BaseModel", "model_validator",
        "StatusEnum", "ErrorDetail",
        "GenerationResult", "GenerationStatus", "BlueprintGenerationResponse",
    ]  # fmt: skip
    assert blueprint.__test__ == {}
    assert blueprint.__doc__ == "Generation data models."
    assert BlueprintGenerationResponse is GenerationResult


@pytest.mark.parametrize(
    ("cls", "doc", "fields"),
    [
        (GenerationResult, "Generation result (from GET /v1/generation/{id}/result).", RESULT_FIELDS),
        (GenerationStatus, "Generation status response.", STATUS_FIELDS),
    ],
)
def test_class_statement(cls: type[pydantic.BaseModel], doc: str, fields: dict[str, str]) -> None:
    assert type(cls) is type(pydantic.BaseModel)
    assert cls.__bases__ == (pydantic.BaseModel,)
    assert cls.__module__ == "velquor_ai.models.blueprint"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ == doc
    if velquor_ai.compiled:  # the Python's annotations are evaluated
        assert list(cls.__annotations__.items()) == list(fields.items())
    assert list(cls.model_fields) == list(fields)
    assert cls.model_config == {}


@pytest.mark.parametrize("cls", [GenerationResult, GenerationStatus])
@pytest.mark.parametrize("missing", ["generation_id", "status"])
def test_required_fields(cls: type[pydantic.BaseModel], missing: str) -> None:
    data = {"generation_id": "g-1", "status": "completed"}
    del data[missing]
    with pytest.raises(pydantic.ValidationError) as caught:
        cls(**data)
    assert [(e["loc"], e["type"]) for e in caught.value.errors()] == [((missing,), "missing")]


def test_status_defaults_and_enum() -> None:
    status = GenerationStatus(generation_id="g-1", status="processing")
    assert status.status is StatusEnum.PROCESSING
    assert status.estimated_time is None and status.error is None
    assert GenerationStatus(generation_id="g", status="pending", estimated_time="12").estimated_time == 12


def test_round_trip_through_model_dump() -> None:
    original = GenerationResult(
        generation_id="g-1",
        status=StatusEnum.FAILED,
        result={"blueprint": "bp", "score": 3},
        error=ErrorDetail(code="E1", message="broken"),
        created_at="2024-01-01T00:00:00Z",
    )
    dumped = original.model_dump()
    assert dumped["blueprint"] == "bp"
    again = GenerationResult.model_validate(dumped)
    assert again == original
    assert isinstance(again.error, ErrorDetail)


ABSENT = object()


@pytest.mark.parametrize(
    ("top", "result", "expected"),
    [
        ("top", {"blueprint": "inner"}, "top"),
        (ABSENT, {"blueprint": "inner"}, "inner"),
        ("", {"blueprint": "inner"}, "inner"),
        ("", {"other": 1}, None),
        ("", {}, ""),
        (ABSENT, {}, None),
        (ABSENT, {"other": 1}, None),
        (ABSENT, None, None),
        (ABSENT, {"blueprint": {"steps": [1, 2]}}, {"steps": [1, 2]}),
    ],
)
@pytest.mark.parametrize("build", ["constructor", "model_validate"])
def test_validator_moves_blueprint(top: Any, result: Any, expected: Any, build: str) -> None:
    data: dict[str, Any] = {"generation_id": "g-1", "status": "completed", "result": result}
    if top is not ABSENT:
        data["blueprint"] = top
    model = GenerationResult(**data) if build == "constructor" else GenerationResult.model_validate(data)
    assert model.blueprint == expected
    assert type(model.blueprint) is type(expected)


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (type("Sub", (dict,), {})(blueprint="from-subclass"), "from-subclass"),
        ([("blueprint", "x")], None),  # truthy but not a dict: left alone
    ],
)
def test_validator_called_directly(result: Any, expected: Any) -> None:
    model = SimpleNamespace(blueprint=None, result=result)
    assert GenerationResult.extract_blueprint_from_result(model) is model
    assert GenerationResult.extract_blueprint_from_result(self=model) is model
    assert model.blueprint == expected


class Explosive:
    def __bool__(self) -> bool:
        raise RuntimeError("truth test failed")


class ExplosiveDict(dict):
    def get(self, *args: Any) -> Any:
        raise RuntimeError("get failed")


@pytest.mark.parametrize(
    ("fields", "message", "line"),
    [
        ({"blueprint": Explosive()}, "truth test failed", 35),
        ({"result": ExplosiveDict(a=1)}, "get failed", 36),
    ],
)
def test_exception_in_validator_reaches_caller(fields: dict[str, Any], message: str, line: int) -> None:
    # A constructed instance keeps its unvalidated values; validating it again
    # runs the after-validator on exactly those values.
    model = GenerationResult.model_construct(generation_id="g", status=StatusEnum.COMPLETED, **fields)
    with pytest.raises(RuntimeError, match=message) as caught:
        GenerationResult.model_validate(model)
    entries = [(e.name, e.lineno, e.filename) for e in traceback_entries(caught.value)]
    assert (VALIDATOR_ENTRY, line, "velquor_ai/models/blueprint.py") in entries


def test_validator_function_object() -> None:
    f = GenerationResult.extract_blueprint_from_result
    assert f.__name__ == "extract_blueprint_from_result"
    assert f.__qualname__ == "GenerationResult.extract_blueprint_from_result"
    assert f.__module__ == "velquor_ai.models.blueprint"
    # As the Python declares it; the compiled function is held to it in test_twins.py.
    declared = declaration("velquor_ai.models.blueprint", "GenerationResult.extract_blueprint_from_result")
    assert f"{signature_line(declared)}\n\n{inspect.cleandoc(declared.doc)}" == (
        "GenerationResult.extract_blueprint_from_result(self) -> 'GenerationResult'\n\n"
        "Extract blueprint from result dict if not already set at top level.\n\n"
        "This handles backward compatibility:\n"
        "- New format: blueprint is at top level (API returns it directly)\n"
        "- Old format: blueprint is inside result.blueprint\n\n"
        "Returns:\n"
        "    GenerationResult: Self instance with blueprint extracted"
    )
    assert (annotations_of(declared), declared.line) == ({"return": "'GenerationResult'"}, 23)
    assert not asyncio.iscoroutinefunction(f)
    assert list(inspect.signature(f).parameters) == ["self"]
    registered = GenerationResult.__pydantic_decorators__.model_validators
    assert registered["extract_blueprint_from_result"].func is f
    assert registered["extract_blueprint_from_result"].info.mode == "after"


@pytest.mark.compiled_only
def test_validator_presents_itself_like_a_python_function() -> None:
    f = GenerationResult.extract_blueprint_from_result
    assert f.__code__.co_filename == "velquor_ai/models/blueprint.py"
    assert not f.__code__.co_flags & 0x80
    assert inspect.signature(f).return_annotation == "'GenerationResult'"


@pytest.mark.parametrize(
    ("args", "given"),
    [((), 0), ((SimpleNamespace(), SimpleNamespace()), 2)],
)
def test_validator_argument_count(args: tuple[Any, ...], given: int) -> None:
    with pytest.raises(TypeError) as caught:
        GenerationResult.extract_blueprint_from_result(*args)
    assert str(caught.value) == (f"extract_blueprint_from_result() takes exactly 1 positional argument ({given} given)")
    if velquor_ai.compiled:  # the Python's boundary adds no entry of its own
        last = traceback_entries(caught.value)[-1]
        assert (last.name, last.lineno) == (VALIDATOR_ENTRY, 23)
