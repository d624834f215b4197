"""Identifier validators: which identifiers pass, how refusals are raised, and
where their traceback entries point."""

from __future__ import annotations

import builtins
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import annotations_of, declaration, entries_below_caller, signature_line

import velquor_ai.util.validators as validators
from velquor_ai.exceptions import ValidationError
from velquor_ai.util.validators import validate_execution_id, validate_generation_id

SOURCE = "velquor_ai/util/validators.py"
SEGMENT_BREAKERS = "/\\?#%" + "".join(map(chr, range(0x20))) + "\x7f"


@dataclass(frozen=True)
class Validator:
    function: Callable[..., Any]
    field: str
    empty_message: str
    segment_message: str
    empty_line: int
    segment_line: int

    @property
    def entry_name(self) -> str:
        return f"velquor_ai.util.validators.{self.function.__name__}"


EXECUTION = Validator(
    validate_execution_id,
    "execution_id",
    "Execution ID cannot be empty",
    "Execution ID contains characters not allowed in a URL path segment",
    19,
    21,
)
GENERATION = Validator(
    validate_generation_id,
    "generation_id",
    "Generation ID cannot be empty",
    "Generation ID contains characters not allowed in a URL path segment",
    35,
    37,
)
both_validators = pytest.mark.parametrize("validator", [EXECUTION, GENERATION], ids=["execution", "generation"])


class RecordedCall(Exception):
    """Stands in for ValidationError and keeps how it was called."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__()
        self.call = (args, kwargs)


@both_validators
@pytest.mark.parametrize(
    "identifier",
    [
        "gen_123",
        "exec_123",
        " ",
        "   ",
        "é",
        "日本",
        "😀",
        "...",
        ".a",
        "a.",
        "..a",
        ". ",
        "a b",
        "\x80",
        "\x85",
        "\u2028",
        "\u2215",  # division slash: only the ASCII separators leave a segment
        "a" * 10_000,
    ],
)
def test_valid_identifiers_return_none(validator: Validator, identifier: str) -> None:
    assert validator.function(identifier) is None
    assert validator.function(**{validator.field: identifier}) is None


@pytest.mark.parametrize(("name", "line"), [("validate_execution_id", 6), ("validate_generation_id", 22)])
def test_declarations(name: str, line: int) -> None:
    # As the Python declares them; the compiled functions are held to it in test_twins.py.
    declared = declaration("velquor_ai.util.validators", name)
    param = name.removeprefix("validate_")
    assert (declared.line, signature_line(declared)) == (line, f"{name}(str {param}: str) -> None")
    assert list(annotations_of(declared).items()) == [(param, "str"), ("return", "None")]


@both_validators
def test_empty_identifier_is_refused_with_its_field(validator: Validator) -> None:
    with pytest.raises(ValidationError) as caught:
        validator.function("")
    error = caught.value
    assert type(error) is ValidationError
    assert str(error) == validator.empty_message
    assert error.field == validator.field
    assert entries_below_caller(error) == [(validator.entry_name, SOURCE, validator.empty_line)]


@both_validators
@pytest.mark.parametrize(
    "identifier",
    [
        "x/../../admin",
        "x?y=1",
        "a#b",
        "a%2F",
        "a\\b",
        "/",
        "a/",
        "😀/",
        "%",
        "\x00",
        "\x7f",
        "\t",
        "\n",
        "a\rb",
        "\x1f",
        "gen\x00_123",
        ".",
        "..",
    ],
)
def test_identifier_that_leaves_its_path_segment_is_refused(validator: Validator, identifier: str) -> None:
    with pytest.raises(ValidationError) as caught:
        validator.function(identifier)
    error = caught.value
    assert str(error) == validator.segment_message
    assert error.field == validator.field
    assert entries_below_caller(error) == [(validator.entry_name, SOURCE, validator.segment_line)]


allowed_text = st.text(
    st.characters(codec="utf-8", exclude_characters=SEGMENT_BREAKERS), min_size=1, max_size=30
).filter(lambda text: text not in {".", ".."})


@settings(max_examples=150, deadline=None)
@given(text=allowed_text, breaker=st.sampled_from(SEGMENT_BREAKERS), position=st.integers(min_value=0))
def test_any_segment_breaker_anywhere_is_refused(text: str, breaker: str, position: int) -> None:
    at = position % (len(text) + 1)
    spoiled = text[:at] + breaker + text[at:]
    for validator in (EXECUTION, GENERATION):
        assert validator.function(text) is None
        with pytest.raises(ValidationError, match="not allowed in a URL path segment"):
            validator.function(spoiled)


@both_validators
@pytest.mark.parametrize("kind", ["empty", "segment"])
def test_validation_error_is_called_with_message_and_field_keyword(
    validator: Validator, kind: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(validators, "ValidationError", RecordedCall)
    identifier, message = ("", validator.empty_message) if kind == "empty" else ("a/b", validator.segment_message)
    with pytest.raises(RecordedCall) as caught:
        validator.function(identifier)
    assert caught.value.call == ((message,), {"field": validator.field})


@both_validators
def test_validation_error_is_looked_up_when_called(validator: Validator, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(validators, "ValidationError", RecordedCall)
    with pytest.raises(RecordedCall):
        validator.function("")
    monkeypatch.undo()
    with pytest.raises(ValidationError):
        validator.function("")


@both_validators
def test_builtins_stand_in_for_a_missing_global(validator: Validator, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delattr(validators, "ValidationError")
    with pytest.raises(NameError, match="^name 'ValidationError' is not defined$") as caught:
        validator.function("")
    assert entries_below_caller(caught.value) == [(validator.entry_name, SOURCE, validator.empty_line)]

    monkeypatch.setattr(builtins, "ValidationError", RecordedCall, raising=False)
    with pytest.raises(RecordedCall):
        validator.function("")


@both_validators
@pytest.mark.parametrize(("identifier", "line_of"), [("", "empty_line"), ("a?b", "segment_line")])
def test_failing_constructor_propagates_from_the_raising_line(
    validator: Validator, identifier: str, line_of: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    def explode(message: str, field: str) -> None:
        raise KeyError(field)

    monkeypatch.setattr(validators, "ValidationError", explode)
    with pytest.raises(KeyError) as caught:
        validator.function(identifier)
    assert caught.value.args == (validator.field,)
    # The constructor's own frame, then the validator's entry on top of it.
    entries = entries_below_caller(caught.value)
    assert entries[0] == (validator.entry_name, SOURCE, getattr(validator, line_of))
    assert [name for name, _, _ in entries[1:]] == ["explode"]


@both_validators
@pytest.mark.parametrize(
    ("returned", "expected"),
    [
        (KeyError, KeyError),  # a class is instantiated, as `raise` does
        (ValueError("given"), ValueError),
        (42, TypeError),
    ],
)
def test_whatever_the_constructor_returns_is_raised(
    validator: Validator, returned: object, expected: type[BaseException], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(validators, "ValidationError", lambda message, field: returned)
    with pytest.raises(expected) as caught:
        validator.function("")
    if isinstance(returned, BaseException):
        assert caught.value is returned
    if expected is TypeError:
        assert str(caught.value) == "raise: exception class must be a subclass of BaseException"
    assert entries_below_caller(caught.value)[0][2] == validator.empty_line


@both_validators
def test_refusal_inside_a_handler_keeps_the_handled_exception_as_context(validator: Validator) -> None:
    handled = LookupError("while handling")
    try:
        raise handled
    except LookupError:
        with pytest.raises(ValidationError) as caught:
            validator.function("")
    assert caught.value.__context__ is handled
    assert caught.value.__cause__ is None
