"""Package code around the compiled core: exceptions, configuration, models,
blueprint normalisation and the HTTP client (against a real local HTTP server)."""

from __future__ import annotations

import asyncio
import json
import math
import pickle
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import httpx
import pydantic
import pytest
from support import MODULES

import velquor_ai
from velquor_ai import exceptions as exc
from velquor_ai._http import HTTPClient
from velquor_ai.config import DEFAULT_BASE_URL, Config
from velquor_ai.models.common import StatusEnum
from velquor_ai.models.execution import ErrorDetail, ExecutionResult
from velquor_ai.util.helpers import normalize_blueprint

# --------------------------------------------------------------------- exceptions


@pytest.mark.parametrize(
    ("status", "cls"),
    [
        (400, exc.BadRequestError),
        (401, exc.AuthenticationError),
        (403, exc.PermissionDeniedError),
        (404, exc.NotFoundError),
        (409, exc.ConflictError),
        (422, exc.UnprocessableEntityError),
        (429, exc.RateLimitError),
        (500, exc.InternalServerError),
        (503, exc.InternalServerError),
        (599, exc.InternalServerError),
        (418, exc.APIError),
        (302, exc.APIError),
    ],
)
def test_error_for_status_picks_class_and_keeps_answer(status: int, cls: type) -> None:
    error = exc.error_for_status(status, "raw body")
    assert type(error) is cls
    assert (error.status_code, error.body) == (status, "raw body")
    assert str(error).startswith(f"HTTP {status}")
    assert str(exc.error_for_status(status, None, "said so")) == "said so"


def test_timeouts_are_the_package_own_and_catchable_as_one_family() -> None:
    assert exc.TimeoutError is not TimeoutError
    assert not issubclass(exc.TimeoutError, TimeoutError)
    with pytest.raises(exc.TimeoutError):
        raise exc.APITimeoutError("slow")
    with pytest.raises(exc.APIConnectionError):
        raise exc.APITimeoutError("slow")
    for cls in (exc.ValidationError, exc.TimeoutError, exc.APIError):
        assert issubclass(cls, velquor_ai.VelquorAIError)


def test_star_import_leaves_the_builtin_timeout_error_alone() -> None:
    names: dict[str, object] = {}
    exec("from velquor_ai import *", names)
    assert "TimeoutError" not in names
    assert names["VelquorTimeoutError"] is exc.TimeoutError is velquor_ai.TimeoutError


def _of_generation(error: exc.VelquorAIError) -> exc.VelquorAIError:
    error.generation_id = "gen_1"
    return error


@pytest.mark.parametrize(
    "error",
    [
        exc.ValidationError("bad id", field="generation_id"),
        exc.NotFoundError("gone", status_code=404, body='{"detail":"gone"}'),
        exc.ConflictError("busy", status_code=409, body={"detail": ["busy"]}, text='{"detail":["busy"]}'),
        exc.APITimeoutError("GET /v1/x timed out"),
        exc.TimeoutError("Operation timed out after 5s"),
        # What leaves generate after creation: request id and generation kept.
        exc.InternalServerError("HTTP 503", status_code=503, request_id="req_1"),
        _of_generation(exc.UploadError("refused", 403, "<Error/>", "a.png")),
        _of_generation(exc.APITimeoutError("GET /v1/x timed out")),
        exc.GenerationTimeoutError("late", generation_id="gen_1"),
    ],
    ids=type,
)
def test_exceptions_survive_pickling(error: Exception) -> None:
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error)
    assert str(copy) == str(error)
    assert copy.__dict__ == error.__dict__


# ------------------------------------------------------------------ configuration


def test_config_defaults_arguments_and_environment() -> None:
    assert Config(environ={}) == Config(
        api_key=None,
        base_url=DEFAULT_BASE_URL,
        timeout=30.0,
        max_poll_interval=30,
        max_file_size=100 * 1024 * 1024,
        max_retries=2,
        environ={},
    )
    env = {
        "VELQUOR_API_KEY": " sk-env \n",
        "VELQUOR_BASE_URL": "https://svc.local/api/",
        "VELQUOR_TIMEOUT": "2.5",
        "VELQUOR_MAX_POLL_INTERVAL": "12.5",
        "VELQUOR_MAX_FILE_SIZE": "1024",
        "VELQUOR_MAX_RETRIES": "0",
    }
    from_env = Config(environ=env)
    assert (from_env.api_key, from_env.base_url) == ("sk-env", "https://svc.local/api")
    assert (from_env.timeout, from_env.max_poll_interval) == (2.5, 12.5)
    assert (from_env.max_file_size, from_env.max_retries) == (1024, 0)
    given = Config("sk-arg", "http://h:1", 3, 4, 5, 7, environ=env)
    assert (given.api_key, given.base_url, given.timeout) == (
        "sk-arg",
        "http://h:1",
        3.0,
    )
    assert (given.max_poll_interval, given.max_file_size, given.max_retries) == (4, 5, 7)
    # Empty variables count as unset.
    assert Config(environ=dict.fromkeys(env, "")) == Config(environ={})


def test_config_reads_process_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("VELQUOR_TIMEOUT", "7")
    monkeypatch.setenv("VELQUOR_API_KEY", "sk-process")
    config = Config()
    assert (config.timeout, config.api_key) == (7.0, "sk-process")
    assert "sk-process" not in repr(config)


@pytest.mark.parametrize(
    ("variable", "value"),
    [
        ("VELQUOR_TIMEOUT", "soon"),
        ("VELQUOR_TIMEOUT", "0"),
        ("VELQUOR_TIMEOUT", "nan"),
        ("VELQUOR_MAX_POLL_INTERVAL", "-5"),
        ("VELQUOR_MAX_POLL_INTERVAL", "0.5"),
        ("VELQUOR_MAX_FILE_SIZE", "1.5"),
        ("VELQUOR_MAX_FILE_SIZE", "0"),
        ("VELQUOR_MAX_RETRIES", "-1"),
        ("VELQUOR_MAX_RETRIES", "2.5"),
        ("VELQUOR_BASE_URL", "localhost:8000"),
        ("VELQUOR_API_KEY", "two words"),
    ],
)
def test_config_refuses_bad_environment_naming_the_variable(variable: str, value: str) -> None:
    with pytest.raises(exc.ValidationError, match=variable) as info:
        Config(environ={variable: value})
    assert info.value.field == variable.removeprefix("VELQUOR_").lower()


@pytest.mark.parametrize(
    ("field", "value"),
    [
        ("timeout", 0),
        ("timeout", -1.0),
        ("timeout", math.inf),
        ("timeout", True),
        ("timeout", "5"),
        ("max_poll_interval", 0),
        ("max_poll_interval", 0.5),
        ("max_file_size", -1),
        ("max_file_size", 2.0),
        ("max_retries", -1),
        ("max_retries", 1.0),
        ("max_retries", True),
        ("base_url", "ftp://host"),
        ("base_url", "http://host/?q=1"),
        ("api_key", "sk\nInjected: 1"),
    ],
)
def test_config_refuses_bad_values_also_on_assignment(field: str, value: Any) -> None:
    with pytest.raises(exc.ValidationError) as info:
        Config(**{field: value}, environ={})
    assert info.value.field == field
    config = Config(environ={})
    with pytest.raises(exc.ValidationError):
        setattr(config, field, value)


# ------------------------------------------------------------------------ models


@pytest.mark.parametrize("member", list(StatusEnum))
def test_status_members_are_their_strings(member: StatusEnum) -> None:
    assert member == member.value
    assert StatusEnum(member.value) is member
    assert f"{member}" == str(member) == member.value


def test_execution_result_from_service_answer() -> None:
    result = ExecutionResult.model_validate(
        {
            "execution_id": "ex-1",
            "status": "failed",
            "error": {"code": "E42", "message": "input unreadable"},
        }
    )
    assert result.status is StatusEnum.FAILED
    assert result.error == ErrorDetail(code="E42", message="input unreadable")
    assert str(result.error) == "E42: input unreadable"
    # Mutable default is per instance.
    result.output_files.append("/tmp/out")
    assert ExecutionResult(execution_id="ex-2", status="completed").output_files == []
    assert ExecutionResult(execution_id="e", status="pending", error="x").error == "x"


@pytest.mark.parametrize(
    "data",
    [
        {"status": "completed"},
        {"execution_id": "e"},
        {"execution_id": "e", "status": "exploded"},
    ],
)
def test_execution_result_refuses_incomplete_answers(data: dict[str, Any]) -> None:
    with pytest.raises(pydantic.ValidationError):
        ExecutionResult.model_validate(data)


def test_packages_import_without_compiled_modules() -> None:
    code = (
        "import sys, velquor_ai, velquor_ai.resources, velquor_ai.resources.base, "
        "velquor_ai.models, velquor_ai.models.common, velquor_ai.models.execution, "
        "velquor_ai.util, velquor_ai.util.helpers, velquor_ai.types, velquor_ai._http\n"
        f"compiled = set({MODULES!r})\n"
        "print(sorted(compiled & set(sys.modules)))"
    )
    root = str(Path(__file__).resolve().parents[1])
    # -P: the package as installed (or built in place on PYTHONPATH), not the
    # sources in the working directory, which refuse to import unbuilt.
    out = subprocess.run(
        [sys.executable, "-P", "-c", code],
        capture_output=True,
        text=True,
        cwd=root,
        check=True,
    )
    assert out.stdout.strip() == "[]"


# ------------------------------------------------------------ normalize_blueprint


@pytest.mark.parametrize(
    ("given", "expected"),
    [
        ('{ "b": 1,\n "a": [true, null] }', '{"a":[true,null],"b":1}'),
        ({"z": {"é": 1.5}, "a": "x"}, '{"a":"x","z":{"é":1.5}}'),
        ({1: "int keys become strings"}, '{"1":"int keys become strings"}'),
        ("  [3, 2, 1] ", "[3,2,1]"),
        ("  describe every image\n", "describe every image"),
        ("{not json}", "{not json}"),
    ],
)
def test_normalize_blueprint_canonical_forms(given: Any, expected: str) -> None:
    assert normalize_blueprint(given) == expected


def test_normalize_blueprint_reads_path_like_as_utf8(tmp_path: Path) -> None:
    path = tmp_path / "blueprint.json"
    path.write_bytes(b'\xef\xbb\xbf\n{"q": "caf\xc3\xa9", "n": 1}\n')
    assert normalize_blueprint(path) == normalize_blueprint({"n": 1, "q": "café"})
    # A str is content, never a file name.
    assert normalize_blueprint(str(path)) == str(path)


@pytest.mark.parametrize(
    "make",
    [
        lambda tmp: "   ",
        lambda tmp: {},
        lambda tmp: b'{"a": 1}',
        lambda tmp: None,
        lambda tmp: '{"a": 1, "a": 2}',
        lambda tmp: '{"a": NaN}',
        lambda tmp: {"a": float("nan")},
        lambda tmp: {"a": object()},
        lambda tmp: {1: "one", "1": "uno"},
        lambda tmp: tmp / "missing.json",
        lambda tmp: tmp,
        lambda tmp: (tmp / "latin1.txt", (tmp / "latin1.txt").write_bytes(b"caf\xe9"))[0],
        lambda tmp: (tmp / "blank.json", (tmp / "blank.json").write_text(" \n"))[0],
    ],
    ids=[
        "blank", "empty-dict", "bytes", "none", "duplicate-key", "nan-text",
        "nan-value", "object-value", "colliding-keys", "missing-file", "directory",
        "not-utf8", "blank-file",
    ],
)  # fmt: skip
def test_normalize_blueprint_refusals(make: Any, tmp_path: Path) -> None:
    with pytest.raises(exc.ValidationError) as info:
        normalize_blueprint(make(tmp_path))
    assert info.value.field == "blueprint"


# ------------------------------------------------------------------- HTTP client


class _RecordingServer:
    """A real HTTP server on 127.0.0.1 that records requests and plays answers."""

    def __init__(self) -> None:
        self.requests: list[dict[str, Any]] = []
        self.answers: dict[str, tuple[int, str, bytes]] = {}
        recorder = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def _serve(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                recorder.requests.append(
                    {
                        "method": self.command,
                        "path": self.path,
                        "headers": {k.lower(): v for k, v in self.headers.items()},
                        "body": self.rfile.read(length),
                    }
                )
                if self.path.endswith("/slow"):
                    time.sleep(1.0)
                status, ctype, body = recorder.answers.get(self.path, (200, "application/json", b'{"ok": true}'))
                self.send_response(status)
                if ctype:
                    self.send_header("Content-Type", ctype)
                if status in (301, 302):
                    self.send_header("Location", "http://127.0.0.2:9/v1/elsewhere")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_POST = _serve

            def log_message(self, *args: Any) -> None:
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.handle_error = lambda *args: None  # type: ignore[method-assign]
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"


@pytest.fixture
def server() -> Iterator[_RecordingServer]:
    running = _RecordingServer()
    thread = threading.Thread(target=running.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield running
    running.server.shutdown()
    running.server.server_close()


def _call(config: Config, method: str, *args: Any, **kwargs: Any) -> Any:
    async def go() -> Any:
        async with HTTPClient(config) as http:
            return await getattr(http, method)(*args, **kwargs)

    return asyncio.run(go())


@pytest.mark.parametrize(("api_key", "auth"), [("sk-test", "Bearer sk-test"), (None, None)])
def test_post_sends_json_with_headers(server: _RecordingServer, api_key: str | None, auth: str | None) -> None:
    config = Config(api_key=api_key, base_url=server.url, environ={})
    answer = _call(config, "post", "/v1/generation", json={"question": "Qué?"})
    assert answer == {"ok": True}
    [request] = server.requests
    assert (request["method"], request["path"]) == ("POST", "/v1/generation")
    assert json.loads(request["body"]) == {"question": "Qué?"}
    assert request["headers"]["content-type"] == "application/json"
    assert request["headers"].get("authorization") == auth
    assert request["headers"]["user-agent"] == f"velquor-ai-python/{velquor_ai.__version__}"


def test_bodiless_post_get_and_base_url_prefix(server: _RecordingServer) -> None:
    server.answers["/api/v1/generation/g-1/start"] = (204, "", b"")
    config = Config(base_url=server.url + "/api/", environ={})
    assert _call(config, "post", "/v1/generation/g-1/start") == {}
    assert _call(config, "get", "/v1/generation/g-1/result") == {"ok": True}
    start, result = server.requests
    assert (start["method"], start["body"]) == ("POST", b"")
    assert "content-type" not in start["headers"]
    assert (result["method"], result["path"]) == (
        "GET",
        "/api/v1/generation/g-1/result",
    )


@pytest.mark.parametrize(
    ("status", "body", "cls", "message"),
    [
        (400, b'{"detail": "question is empty"}', exc.BadRequestError,
         "question is empty (HTTP 400)"),
        (401, b'{"message": "bad key"}', exc.AuthenticationError, "bad key (HTTP 401)"),
        (403, b'{"error": {"message": "no"}}', exc.PermissionDeniedError, "no (HTTP 403)"),
        (404, b'{"detail": "Generation not found"}', exc.NotFoundError,
         "Generation not found (HTTP 404)"),
        (409, b'{"detail": "already started"}', exc.ConflictError, "already started (HTTP 409)"),
        (422, b'{"detail": [{"msg": "field required"}]}', exc.UnprocessableEntityError,
         '[{"msg": "field required"}] (HTTP 422)'),
        (429, b"slow down", exc.RateLimitError, "HTTP 429 Too Many Requests"),
        (500, b"<html>boom</html>", exc.InternalServerError, "HTTP 500 Internal Server Error"),
        (503, b"", exc.InternalServerError, "HTTP 503 Service Unavailable"),
        (302, b"", exc.APIError, "HTTP 302 Found"),
    ],
)  # fmt: skip
def test_error_statuses_raise_typed_errors(
    server: _RecordingServer, status: int, body: bytes, cls: type, message: str
) -> None:
    server.answers["/v1/generation"] = (status, "application/json", body)
    with pytest.raises(exc.APIError) as info:
        _call(
            Config(base_url=server.url, max_retries=0, environ={}),
            "post",
            "/v1/generation",
            json={},
        )
    assert type(info.value) is cls
    assert (str(info.value), info.value.status_code) == (message, status)
    assert info.value.text == body.decode()
    # Decoded where the answer is JSON (its content type says so, and it is).
    assert info.value.body == (json.loads(body) if body.startswith(b"{") else body.decode())
    assert len(server.requests) == 1  # no retry, no redirect followed


@pytest.mark.parametrize(
    ("ctype", "body"),
    [
        ("text/html", b"<html>ok</html>"),
        ("application/json", b"[1, 2]"),
        ("", b"\xff\xfe"),
    ],
)
def test_success_body_that_is_not_a_json_object(server: _RecordingServer, ctype: str, body: bytes) -> None:
    server.answers["/v1/generation/g/result"] = (200, ctype, body)
    with pytest.raises(exc.APIError) as info:
        _call(Config(base_url=server.url, environ={}), "get", "/v1/generation/g/result")
    assert type(info.value) is exc.APIError
    assert info.value.status_code == 200


def test_refused_connection_and_timeout(server: _RecordingServer, closed_port: int) -> None:
    with pytest.raises(exc.APIConnectionError) as info:
        _call(
            Config(base_url=f"http://127.0.0.1:{closed_port}", max_retries=0, environ={}),
            "get",
            "/v1/x",
        )
    assert isinstance(info.value.__cause__, httpx.ConnectError)
    assert info.value.status_code is None

    started = time.monotonic()
    with pytest.raises(exc.APITimeoutError) as timeout:
        _call(
            Config(base_url=server.url, timeout=0.2, max_retries=0, environ={}),
            "get",
            "/v1/slow",
        )
    assert time.monotonic() - started < 0.9
    assert isinstance(timeout.value.__cause__, httpx.TimeoutException)


@pytest.mark.parametrize(
    "path",
    [
        "/v1/generation/../../admin",
        "/v1/generation/./x",
        "/v1/generation//start",
        "/v1/generation/g?admin=1",
        "/v1/generation/g#frag",
        "/v1/generation/a b",
        "/v1/generation/g\r\nX-Injected: 1",
        "http://127.0.0.2/v1/generation",
        "//127.0.0.2/v1/generation",
        "/v2/generation",
    ],
)
def test_paths_that_leave_the_api_are_refused_before_sending(server: _RecordingServer, path: str) -> None:
    with pytest.raises(exc.ValidationError) as info:
        _call(Config(api_key="sk", base_url=server.url, environ={}), "get", path)
    assert info.value.field == "path"
    assert server.requests == []
