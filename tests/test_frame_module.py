"""The compiled-module frame as a caller meets it through the validators:
argument binding and type checks, function introspection, traceback entries,
module import, and the absence of reference and memory leaks."""

from __future__ import annotations

import asyncio
import builtins
import copy
import gc
import importlib
import inspect
import json
import os
import pickle
import subprocess
import sys
import textwrap
import tracemalloc
import types
from collections.abc import Callable
from typing import Any

import pytest
from support import StrSubclass, entries_below_caller

import velquor_ai.util.validators as validators
from velquor_ai.exceptions import ValidationError
from velquor_ai.util.validators import validate_execution_id, validate_generation_id

# About the compiled modules themselves: their types, code objects and frame.
pytestmark = pytest.mark.compiled_only

MODULE = "velquor_ai.util.validators"
SOURCE = "velquor_ai/util/validators.py"

# function, its parameter, the other validator's parameter, def line
FUNCTIONS = [
    (validate_execution_id, "execution_id", "generation_id", 6),
    (validate_generation_id, "generation_id", "execution_id", 22),
]
each_function = pytest.mark.parametrize(
    ("function", "param", "other_param", "def_line"), FUNCTIONS, ids=["execution", "generation"]
)


# ------------------------------------------------------------------ binding


@each_function
@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "{name}() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, "{name}() takes exactly 1 positional argument (2 given)"),
        # The count is checked before the body could refuse the empty string.
        (("", "b", "c"), {}, "{name}() takes exactly 1 positional argument (3 given)"),
        ((), {"x": "a"}, "{name}() got an unexpected keyword argument 'x'"),
        ((), {"{other}": "a"}, "{name}() got an unexpected keyword argument '{other}'"),
        ((), {"{param}": "a", "extra": "b"}, "{name}() got an unexpected keyword argument 'extra'"),
        (("a",), {"{param}": "b"}, "{name}() got multiple values for keyword argument '{param}'"),
        (("",), {"{param}": ""}, "{name}() got multiple values for keyword argument '{param}'"),
        ((None,), {"{param}": "b"}, "{name}() got multiple values for keyword argument '{param}'"),
    ],
)
def test_binding_errors_point_at_the_def_line(
    function: Callable[..., Any],
    param: str,
    other_param: str,
    def_line: int,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    message: str,
) -> None:
    fill = {"name": function.__name__, "param": param, "other": other_param}
    kwargs = {key.format(**fill): value for key, value in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message.format(**fill)
    assert entries_below_caller(caught.value) == [(f"{MODULE}.{function.__name__}", SOURCE, def_line)]


@each_function
def test_keywords_are_matched_by_value_not_identity(
    function: Callable[..., Any], param: str, other_param: str, def_line: int
) -> None:
    built = "".join(param.partition("_"))  # equal to the name but a distinct object
    assert function(**{built: "x"}) is None
    assert function(**{StrSubclass(param): "x"}) is None
    with pytest.raises(ValidationError):
        function(**{StrSubclass(param): ""})


@each_function
@pytest.mark.parametrize(("args", "kwargs"), [((), {1: "x"}), (("a",), {1: "x"}), ((), {None: "x"})])
def test_non_string_keywords_are_refused(
    function: Callable[..., Any],
    param: str,
    other_param: str,
    def_line: int,
    args: tuple[Any, ...],
    kwargs: dict[Any, Any],
) -> None:
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        function(*args, **kwargs)


@each_function
@pytest.mark.parametrize(
    ("value", "type_name", "noted"),
    [
        (None, "NoneType", False),
        (123, "int", False),
        (b"gen", "bytes", False),
        (1.5, "float", False),
        (["x"], "list", False),
        (StrSubclass("x"), "StrSubclass", True),
        # Type comes before content: an empty subclass instance is not a ValidationError.
        (StrSubclass(""), "StrSubclass", True),
    ],
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_arguments_of_the_wrong_type_are_refused_at_the_call(
    function: Callable[..., Any],
    param: str,
    other_param: str,
    def_line: int,
    value: object,
    type_name: str,
    noted: bool,
    by_keyword: bool,
) -> None:
    with pytest.raises(TypeError) as caught:
        if by_keyword:
            function(**{param: value})
        else:
            function(value)
    error = caught.value
    assert str(error) == f"Argument '{param}' has incorrect type (expected str, got {type_name})"
    if noted:
        assert len(error.__notes__) == 1
        assert "ubclass" in error.__notes__[0]
    else:
        assert not hasattr(error, "__notes__")
    # Refused types get no entry of their own.
    assert entries_below_caller(error) == []


# ------------------------------------------------------------ function objects


@each_function
def test_function_object_attributes(function: Callable[..., Any], param: str, other_param: str, def_line: int) -> None:
    name = function.__name__
    assert name == f"validate_{param}"
    assert function.__qualname__ == name
    assert function.__module__ == MODULE
    assert function.__globals__ is validators.__dict__
    assert function.__defaults__ is None
    assert function.__kwdefaults__ is None
    assert function._is_coroutine is False
    assert not asyncio.iscoroutinefunction(function)
    assert not inspect.iscoroutinefunction(function)
    assert str(inspect.signature(function)) == f"({param}: 'str') -> 'None'"
    assert name in repr(function)
    assert callable(function)


@each_function
def test_code_object(function: Callable[..., Any], param: str, other_param: str, def_line: int) -> None:
    code = function.__code__
    assert isinstance(code, types.CodeType)
    # Its line and names of locals are those of the Python (test_twins.py).
    assert (code.co_name, code.co_qualname) == (function.__name__, function.__name__)
    assert code.co_filename == SOURCE
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (1, 0, 0)
    assert code.co_flags & inspect.CO_COROUTINE == 0
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0


@pytest.mark.parametrize(
    ("function", "doc"),
    [
        (
            validate_execution_id,
            "validate_execution_id(str execution_id: str) -> None\n\nValidate execution ID format.\n\nArgs:\n"
            "    execution_id (str): Execution ID to validate.\n\nRaises:\n"
            "    ValidationError: If execution ID is invalid.",
        ),
        (
            validate_generation_id,
            "validate_generation_id(str generation_id: str) -> None\n\nValidate generation ID format.\n\nArgs:\n"
            "    generation_id (str): Generation ID to validate.\n\nRaises:\n"
            "    ValidationError: If generation ID is invalid.",
        ),
    ],
    ids=["execution", "generation"],
)
def test_docstring_starts_with_the_signature_line(function: Callable[..., Any], doc: str) -> None:
    assert function.__doc__ == doc


@each_function
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_stores_a_reference(
    function: Callable[..., Any], param: str, other_param: str, def_line: int, protocol: int
) -> None:
    data = pickle.dumps(function, protocol=protocol)
    assert function.__name__.encode() in data
    assert pickle.loads(data) is function


@each_function
def test_copies_are_the_function_itself(
    function: Callable[..., Any], param: str, other_param: str, def_line: int
) -> None:
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


@each_function
def test_stored_on_a_class_it_binds_like_a_function(
    function: Callable[..., Any], param: str, other_param: str, def_line: int
) -> None:
    class Holder:
        check = function

    instance = Holder()
    assert Holder.check is function
    assert function.__get__(None, Holder) is function  # type: ignore[attr-defined]
    bound = instance.check
    assert isinstance(bound, types.MethodType)
    assert (bound.__self__, bound.__func__) == (instance, function)

    # The instance arrives as the identifier.
    with pytest.raises(TypeError) as caught:
        bound()
    assert str(caught.value) == f"Argument '{param}' has incorrect type (expected str, got Holder)"
    assert entries_below_caller(caught.value) == []

    name = function.__name__
    binding_entry = [(f"{MODULE}.{name}", SOURCE, def_line)]
    with pytest.raises(TypeError) as caught:
        bound("x")
    assert str(caught.value) == f"{name}() takes exactly 1 positional argument (2 given)"
    assert entries_below_caller(caught.value) == binding_entry
    with pytest.raises(TypeError) as caught:
        bound(**{param: "x"})
    assert str(caught.value) == f"{name}() got multiple values for keyword argument '{param}'"
    assert entries_below_caller(caught.value) == binding_entry


# ---------------------------------------------------------------------- import


def run_fresh(script: str) -> Any:
    """Runs a script in a new interpreter; the script prints one JSON value."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_module_attributes() -> None:
    assert validators.__test__ == {}
    assert validators.__doc__ == "Input validation utilities."
    assert validators.__name__ == MODULE
    assert validators.__package__ == "velquor_ai.util"
    assert validators.__builtins__ is builtins
    assert validators.__file__ == validators.__spec__.origin
    assert validators.__loader__ is validators.__spec__.loader
    assert not hasattr(validators, "__path__")
    assert validators.ValidationError is ValidationError


def test_namespace_order_after_a_fresh_import() -> None:
    names = run_fresh(
        """
        import json
        import velquor_ai.util.validators as module
        print(json.dumps(list(vars(module))))
        """
    )
    assert names[:2] == ["__name__", "__doc__"]
    assert set(names[:-4]) == {
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "__builtins__",
    }
    assert names[-4:] == ["ValidationError", "validate_execution_id", "validate_generation_id", "__test__"]


def test_import_again_gives_the_same_module_without_running_its_body(monkeypatch: pytest.MonkeyPatch) -> None:
    class Marker(Exception):
        def __init__(self, message: str, field: str) -> None:
            super().__init__(message, field)

    monkeypatch.setattr(validators, "ValidationError", Marker)
    # The import sets a spec of its own on the module it finds: the original comes back after.
    monkeypatch.setattr(validators, "__spec__", validators.__spec__)
    monkeypatch.delitem(sys.modules, MODULE)
    again = importlib.import_module(MODULE)
    assert again is validators
    assert sys.modules[MODULE] is validators
    # A second run of the body would have bound the real class again.
    assert again.ValidationError is Marker
    assert again.validate_execution_id is validate_execution_id
    with pytest.raises(Marker):
        again.validate_execution_id("")


@pytest.mark.parametrize(
    ("collaborator", "error_type", "message"),
    [
        ("None", "ModuleNotFoundError", "import of velquor_ai.exceptions halted; None in sys.modules"),
        ("types.ModuleType('velquor_ai.exceptions')", "ImportError", "cannot import name ValidationError"),
    ],
    ids=["module-missing", "name-missing"],
)
def test_import_without_the_collaborator_fails_and_a_later_import_retries(
    collaborator: str, error_type: str, message: str
) -> None:
    result = run_fresh(
        f"""
        import json, sys, traceback, types
        import velquor_ai.util
        real = sys.modules["velquor_ai.exceptions"]
        sys.modules["velquor_ai.exceptions"] = {collaborator}
        try:
            import velquor_ai.util.validators
        except ImportError as error:
            last = traceback.extract_tb(error.__traceback__)[-1]
            failure = [type(error).__name__, str(error), last.name, last.filename, last.lineno]
        else:
            failure = None
        left_behind = "{MODULE}" in sys.modules or hasattr(velquor_ai.util, "validators")
        sys.modules["velquor_ai.exceptions"] = real
        import velquor_ai.util.validators as module
        try:
            module.validate_generation_id("")
        except real.ValidationError as error:
            retried = [error.field, list(vars(module))[-4:]]
        print(json.dumps([failure, left_behind, retried]))
        """
    )
    failure, left_behind, retried = result
    assert failure == [error_type, message, f"init {MODULE}", SOURCE, 3]
    assert left_behind is False
    assert retried == [
        "generation_id",
        ["ValidationError", "validate_execution_id", "validate_generation_id", "__test__"],
    ]


def test_collaborator_is_taken_from_sys_modules_by_its_dotted_name() -> None:
    result = run_fresh(
        """
        import json, sys, types
        import velquor_ai.util
        stand_in = types.ModuleType("velquor_ai.exceptions")
        class ValidationError(Exception):
            def __init__(self, message, field):
                super().__init__(message, field)
        stand_in.ValidationError = ValidationError
        sys.modules["velquor_ai.exceptions"] = stand_in
        from velquor_ai.util.validators import validate_execution_id
        try:
            validate_execution_id("a#b")
        except ValidationError as error:
            print(json.dumps(list(error.args)))
        """
    )
    assert result == ["Execution ID contains characters not allowed in a URL path segment", "execution_id"]


def test_a_second_interpreter_is_refused() -> None:
    pytest.importorskip("_interpreters")
    result = run_fresh(
        """
        import json, os, _interpreters
        import velquor_ai, velquor_ai.util.validators
        root = os.path.dirname(os.path.dirname(velquor_ai.__file__))
        other = _interpreters.create("legacy")
        _interpreters.exec(other, f'''
        import json, sys
        sys.path.insert(0, {root!r})
        try:
            import velquor_ai.util.validators
        except ImportError as error:
            message = str(error)
        else:
            message = None
        print(json.dumps(message), flush=True)
        ''')
        """
    )
    assert result == "Interpreter change detected - this module can only be loaded into one interpreter per process."


# ------------------------------------------------------------------- no leaks


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.slow
def test_repeated_calls_leak_neither_references_nor_memory() -> None:
    # Built at run time so that none of them is interned or immortal.
    valid = "".join(["gen", "_123"])
    refused = "".join(["x", "/y"])
    subclassed = StrSubclass("x")
    wrong = 10**40
    keywords = ["".join(param.partition("_")) for _, param, _, _ in FUNCTIONS]
    functions: list[Callable[..., Any]] = [function for function, _, _, _ in FUNCTIONS]
    watched = [valid, refused, subclassed, wrong, StrSubclass, ValidationError, *keywords, *functions]

    def run(rounds: int) -> None:
        # Seven calls a round, so each validator is called 7 * rounds times.
        for function, keyword in zip(functions, keywords, strict=True):
            by_keyword = {keyword: valid}
            for _ in range(rounds):
                function(valid)
                function(**by_keyword)
                for empty_or_refused in ("", refused):
                    try:
                        function(empty_or_refused)
                    except ValidationError:
                        pass
                for wrong_type in (subclassed, wrong):
                    try:
                        function(wrong_type)
                    except TypeError:
                        pass
                try:
                    function()
                except TypeError:
                    pass

    rounds = 200_000 // 7
    run(rounds)
    gc.collect()
    counts = [sys.getrefcount(item) for item in watched]
    resident = resident_bytes()
    run(rounds)
    gc.collect()
    resident_growth = resident_bytes() - resident
    assert [sys.getrefcount(item) for item in watched] == counts

    tracemalloc.start()
    try:
        run(rounds // 10)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        run(rounds // 2)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    # One leaked object per failing call would be megabytes here.
    assert traced_growth < 64 * 1024
    # AddressSanitizer holds freed memory in quarantine: RSS says nothing there.
    if "ASAN_OPTIONS" not in os.environ:
        assert resident_growth < 1024 * 1024
