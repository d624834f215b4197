"""GenerationsResource against a recording HTTP client, with the real models and
the real uploads resource."""

import asyncio
import gc
import inspect
import subprocess
import sys
import types
import warnings

import pydantic
import pytest
from support import RecordingHTTP, StrSubclass, annotations_of, declaration, entries, signature_line

import velquor_ai
from velquor_ai.exceptions import ValidationError
from velquor_ai.models.blueprint import GenerationResult, GenerationStatus
from velquor_ai.models.common import StatusEnum
from velquor_ai.resources import generations
from velquor_ai.resources.base import BaseResource
from velquor_ai.resources.generations import GenerationsResource
from velquor_ai.resources.uploads import UploadsResource

MODULE = "velquor_ai.resources.generations"


def resource(*answers):
    http = RecordingHTTP(*answers)
    return GenerationsResource(http, UploadsResource(http)), http


@pytest.mark.parametrize("question", ["What is in the image?", ""])
def test_create_posts_the_question_and_builds_the_result(question):
    answer = {"generation_id": "gen_1", "status": "created", "unknown_key": 1}
    generations_resource, http = resource(answer)
    result = asyncio.run(generations_resource.create(question))
    assert http.calls == [("post", "/v1/generation", {"json": {"question": question}})]
    assert type(result) is GenerationResult
    assert (result.generation_id, result.status, result.blueprint) == ("gen_1", StatusEnum.CREATED, None)
    assert answer == {"generation_id": "gen_1", "status": "created", "unknown_key": 1}


def test_start_posts_the_path_alone_and_get_result_reads_the_result():
    generations_resource, http = resource(
        {"generation_id": "gen 1", "status": "pending", "estimated_time": 30},
        types.MappingProxyType({"generation_id": "gen 1", "status": "completed", "result": {"blueprint": "B"}}),
    )
    status = asyncio.run(generations_resource.start("gen 1"))
    result = asyncio.run(generations_resource.get_result("gen 1"))
    assert http.calls == [("post", "/v1/generation/gen 1/start", {}), ("get", "/v1/generation/gen 1/result", {})]
    assert type(status) is GenerationStatus and status.estimated_time == 30
    assert type(result) is GenerationResult and result.blueprint == "B"


def test_get_upload_urls_goes_through_the_uploads_resource():
    answer = {"upload_urls": [{"filename": "input.jpg", "upload_url": "https://s3/x"}]}
    generations_resource, http = resource(answer)
    assert asyncio.run(generations_resource.get_upload_urls("gen_1", ["input.jpg"])) is answer
    assert http.calls == [
        ("post", "/v1/generation/gen_1/upload", {"json": {"files": [{"filename": "input.jpg", "content_type": "image/jpeg"}]}})
    ]  # fmt: skip


class RecordingUploads:
    def __init__(self, answer):
        self.answer, self.calls = answer, []

    async def get_generation_upload_urls(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer


@pytest.mark.parametrize(("answer", "error"), [(None, None), ({}, None), ([], "list"), ("x", "str")])
def test_get_upload_urls_returns_exactly_what_the_delegate_returned(answer, error):
    uploads = RecordingUploads(answer)
    names = ["a.png"]
    coro = GenerationsResource(None, uploads).get_upload_urls("g", names)
    if error:
        with pytest.raises(TypeError, match=f"^Expected dict, got {error}$") as caught:
            asyncio.run(coro)
        assert entries(caught.value)[-1] == ("get_upload_urls", 66)
    else:
        assert asyncio.run(coro) is answer
    [(args, kwargs)] = uploads.calls
    assert args == ("g", names) and args[1] is names and kwargs == {}


@pytest.mark.parametrize("identifier", ["", "a/b", ".."])
@pytest.mark.parametrize("call", ["start", "get_result", "get_upload_urls"])
def test_identifier_is_refused_before_any_request(call, identifier):
    generations_resource, http = resource()
    args = (identifier, ["a.png"]) if call == "get_upload_urls" else (identifier,)
    with pytest.raises(ValidationError) as caught:
        asyncio.run(getattr(generations_resource, call)(*args))
    assert caught.value.field == "generation_id" and http.calls == []


@pytest.mark.parametrize(
    ("call", "args", "message"),
    [
        ("start", (5,), "Argument 'generation_id' has incorrect type (expected str, got int)"),
        ("get_result", (StrSubclass("g"),), "Argument 'generation_id' has incorrect type (expected str, got StrSubclass)"),
        ("create", (None,), "Argument 'question' has incorrect type (expected str, got NoneType)"),
        ("get_upload_urls", ("g", ("a",)), "Argument 'filenames' has incorrect type (expected list, got tuple)"),
        ("start", (), "start() takes exactly 2 positional arguments (1 given)"),
    ],
)  # fmt: skip
def test_wrong_arguments_raise_at_the_call_before_any_coroutine(call, args, message):
    generations_resource, http = resource()
    with warnings.catch_warnings(record=True) as caught_warnings:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as caught:
            getattr(generations_resource, call)(*args)
        gc.collect()
    assert str(caught.value) == message and caught_warnings == [] and http.calls == []
    if not args and velquor_ai.compiled:  # the compiled modules' entry at the def line
        assert entries(caught.value)[-1] == (f"{MODULE}.GenerationsResource.start", 68)


@pytest.mark.parametrize(("call", "line"), [("create", 51), ("start", 83), ("get_result", 100)])
def test_models_are_built_from_the_answer_as_keywords(call, line):
    pairs = [("generation_id", "g"), ("status", "completed")]
    generations_resource, _ = resource(None, {1: "x"}, {"status": "completed"}, 42, "ab", pairs)
    coroutine = getattr(generations_resource, call)
    with pytest.raises(TypeError, match=r"^argument after \*\* must be a mapping, not NoneType$") as caught:
        asyncio.run(coroutine("g"))
    assert entries(caught.value)[-1] == (call, line)
    with pytest.raises(TypeError, match="keywords must be strings"):
        asyncio.run(coroutine("g"))
    with pytest.raises(pydantic.ValidationError):
        asyncio.run(coroutine("g"))
    # Anything but a dict is converted with dict() first, whose errors pass unchanged.
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        asyncio.run(coroutine("g"))
    with pytest.raises(ValueError, match="^dictionary update sequence element #0 has length 1; 2 is required$"):
        asyncio.run(coroutine("g"))
    assert asyncio.run(coroutine("g")).generation_id == "g"


def test_errors_of_the_http_client_pass_unchanged_with_the_body_entry():
    class Failing:
        async def post(self, path, **kwargs):
            raise ConnectionResetError(path)

    with pytest.raises(ConnectionResetError, match="^/v1/generation/g/start$") as caught:
        asyncio.run(GenerationsResource(Failing(), None).start("g"))
    names = entries(caught.value)
    assert names[-2:] == [("start", 82), ("post", names[-1][1])]


def test_concurrent_calls_keep_their_own_arguments():
    answers = [{"generation_id": f"g{i}", "status": "processing"} for i in range(3)]
    generations_resource, http = resource(*answers)

    async def main():
        return await asyncio.gather(*(generations_resource.get_result(f"g{i}") for i in range(3)))

    assert [r.generation_id for r in asyncio.run(main())] == ["g0", "g1", "g2"]
    assert [path for _, path, _ in http.calls] == [f"/v1/generation/g{i}/result" for i in range(3)]


def test_init_keeps_collaborators_through_the_class_hierarchy():
    order = []

    class Recording(BaseResource):
        def __init__(self, http_client):
            order.append(http_client)
            super().__init__(http_client)

    class Combined(GenerationsResource, Recording):
        pass

    combined = Combined("http", 3)
    assert (order, combined._http, combined._uploads) == (["http"], "http", 3)

    class Refusing(BaseResource):
        def __init__(self, http_client):
            raise LookupError(http_client)

    class Broken(GenerationsResource, Refusing):
        pass

    with pytest.raises(LookupError) as caught:
        Broken("http", None)
    assert (f"{MODULE}.GenerationsResource.__init__", 34) in entries(caught.value)
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 3 positional arguments \(2 given\)$"):
        GenerationsResource("http")


METHODS = {
    "__init__": (27, "GenerationsResource.__init__(self, http_client: 'HTTPClient', uploads: 'UploadsResource') -> None",
                 {"http_client": "'HTTPClient'", "uploads": "'UploadsResource'", "return": "None"}),
    "create": (37, "GenerationsResource.create(self, str question: str) -> GenerationResult",
               {"question": "str", "return": "GenerationResult"}),
    "get_upload_urls": (53, "GenerationsResource.get_upload_urls(self, str generation_id: str, list filenames: List[str]) -> Dict[str, Any]",
                        {"generation_id": "str", "filenames": "List[str]", "return": "Dict[str, Any]"}),
    "start": (68, "GenerationsResource.start(self, str generation_id: str) -> GenerationStatus",
              {"generation_id": "str", "return": "GenerationStatus"}),
    "get_result": (85, "GenerationsResource.get_result(self, str generation_id: str) -> GenerationResult",
                   {"generation_id": "str", "return": "GenerationResult"}),
}  # fmt: skip


@pytest.mark.parametrize("name", METHODS)
def test_method_declarations_and_doctest_table(name):
    # As the Python declares them; the compiled methods are held to it in test_twins.py.
    line, signature, annotations = METHODS[name]
    method = getattr(GenerationsResource, name)
    declared = declaration(MODULE, f"GenerationsResource.{name}")
    assert (declared.line, signature_line(declared), annotations_of(declared)) == (line, signature, annotations)
    key = f"GenerationsResource.{name} (line {line})"
    if name == "__init__":
        assert key not in generations.__test__ and not asyncio.iscoroutinefunction(method)
        return
    assert asyncio.iscoroutinefunction(method)
    raw = generations.__test__[key]
    assert raw == declared.doc and f"await client.generations.{name}(" in raw
    coro = method(GenerationsResource(None, None), *(["g", []] if name == "get_upload_urls" else ["g"]))
    assert coro.__qualname__ == f"GenerationsResource.{name}" and coro.cr_code is inspect.unwrap(method).__code__
    with pytest.warns(RuntimeWarning, match=f"^coroutine 'GenerationsResource.{name}' was never awaited$"):
        del coro
        gc.collect()


def test_module_namespace_and_docstrings():
    assert list(generations.__test__) == [f"GenerationsResource.{n} (line {METHODS[n][0]})" for n in list(METHODS)[1:]]
    names = [n for n in vars(generations) if not n.startswith("__")]
    assert names == [
        "logging", "TYPE_CHECKING", "Any", "Dict", "List", "GenerationResult", "GenerationStatus",
        "validate_generation_id", "BaseResource", "logger", "GenerationsResource",
    ]  # fmt: skip
    assert generations.logger.name == MODULE and generations.__doc__ == "Generation resource management."
    assert GenerationsResource.__doc__.startswith("Generation resource manager.\n\n    Maps to:\n")


# Everything the module imports is loaded first (the HTTP layer with the package
# itself), so that the flag set before its import changes nothing but its own
# guarded block.
TYPE_CHECKING_PROBE = """
import sys, typing
import httpx, velquor_ai._pool, velquor_ai._retry, velquor_ai.models.blueprint, velquor_ai.resources.base, velquor_ai.util.validators
before = set(sys.modules)
typing.TYPE_CHECKING = {flag}
from velquor_ai.resources import generations
new = set(sys.modules) - before - {{"velquor_ai.resources.generations"}}
print(sorted(name for name in new if name.startswith("velquor_ai")))
print(hasattr(generations, "HTTPClient"), hasattr(generations, "UploadsResource"))
"""


@pytest.mark.parametrize(
    ("flag", "expected"),
    [(False, "[]\nFalse False\n"), (True, "['velquor_ai.resources.uploads']\nTrue True\n")],
)
def test_type_checking_block_runs_only_when_the_flag_is_true(flag, expected):
    probe = subprocess.run(
        [sys.executable, "-c", TYPE_CHECKING_PROBE.format(flag=flag)], capture_output=True, text=True, check=True
    )
    assert probe.stdout == expected
