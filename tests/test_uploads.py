"""UploadsResource: upload URL requests against a recording HTTP client, and the
presigned PUT against a real HTTP server on 127.0.0.1."""

import asyncio
import gc
import inspect
import logging
import re
import threading
import types
import warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import httpx
import pytest
from support import RecordingHTTP, StrSubclass, annotations_of, declaration, entries, signature_line

import velquor_ai
from velquor_ai.exceptions import ValidationError
from velquor_ai.resources import uploads
from velquor_ai.resources.uploads import UploadsResource

MODULE = "velquor_ai.resources.uploads"


REQUESTS = {
    "get_generation_upload_urls": ("/v1/generation/", "generation_id", 35),
    "get_execution_upload_urls": ("/v1/execution/", "execution_id", 62),
}


@pytest.mark.parametrize("method", REQUESTS)
def test_request_posts_names_with_content_types_and_returns_the_answer(method):
    answer = {"upload_urls": [{"filename": "a.png", "upload_url": "https://s3/x"}]}
    http = RecordingHTTP(answer)
    names = ["a.png", "B.JPG", "archive.tar.gz", "README", "x.unknownext", "a.png"]
    result = asyncio.run(getattr(UploadsResource(http), method)("id 1", names))
    assert result is answer
    prefix = REQUESTS[method][0]
    [(verb, path, kwargs)] = http.calls
    assert (verb, path) == ("post", f"{prefix}id 1/upload")
    assert list(kwargs) == ["json"]
    files = kwargs["json"]["files"]
    assert [list(entry) for entry in files] == [["filename", "content_type"]] * len(names)
    assert [(e["filename"], e["content_type"]) for e in files] == [
        ("a.png", "image/png"),
        ("B.JPG", "image/jpeg"),
        ("archive.tar.gz", "application/x-tar"),
        ("README", "application/octet-stream"),
        ("x.unknownext", "application/octet-stream"),
        ("a.png", "image/png"),
    ]


@pytest.mark.parametrize("method", REQUESTS)
def test_empty_list_still_sends_the_request(method):
    http = RecordingHTTP()
    asyncio.run(getattr(UploadsResource(http), method)("id", []))
    assert http.calls == [("post", f"{REQUESTS[method][0]}id/upload", {"json": {"files": []}})]


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("method", REQUESTS)
@pytest.mark.parametrize(("answer", "message"), [(None, None), ([], "list"), (DictSubclass(), "DictSubclass")])
def test_answer_must_be_exactly_a_dict_or_none(method, answer, message):
    http = RecordingHTTP(answer)
    coro = getattr(UploadsResource(http), method)("id", ["a.png"])
    if message is None:
        assert asyncio.run(coro) is None
        return
    with pytest.raises(TypeError, match=f"^Expected dict, got {message}$") as caught:
        asyncio.run(coro)
    assert len(http.calls) == 1
    assert entries(caught.value)[-1] == (method, REQUESTS[method][2] + 25)


@pytest.mark.parametrize("method", REQUESTS)
@pytest.mark.parametrize("identifier", ["", "a/b", "..", ".", "a\\b", "a?b", "a#b", "%2e", "a\nb"])
def test_identifier_is_refused_before_any_request(method, identifier):
    http = RecordingHTTP()
    with pytest.raises(ValidationError) as caught:
        asyncio.run(getattr(UploadsResource(http), method)(identifier, ["a.png"]))
    assert caught.value.field == REQUESTS[method][1]
    assert http.calls == []
    assert (method, REQUESTS[method][2] + 15) in entries(caught.value)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("g", ("a.png",)), "Argument 'filenames' has incorrect type (expected list, got tuple)"),
        ((5, ["a.png"]), "Argument '{id}' has incorrect type (expected str, got int)"),
        ((StrSubclass("g"), ["a.png"]), "Argument '{id}' has incorrect type (expected str, got StrSubclass)"),
        (("g", None), "Argument 'filenames' has incorrect type (expected list, got NoneType)"),
        (("g",), "{method}() takes exactly 3 positional arguments (2 given)"),
    ],
)
@pytest.mark.parametrize("method", REQUESTS)
def test_wrong_arguments_raise_at_the_call_before_any_coroutine(method, args, message):
    http = RecordingHTTP()
    with warnings.catch_warnings(record=True) as caught_warnings:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as caught:
            getattr(UploadsResource(http), method)(*args)
        gc.collect()
    assert str(caught.value) == message.format(id=REQUESTS[method][1], method=method)
    assert caught_warnings == [] and http.calls == []
    # Only a count error gets an entry of its own, at the def line, from the
    # compiled modules (the Python's boundary adds none).
    tail = entries(caught.value)[-1]
    if len(args) == 1 and velquor_ai.compiled:
        assert tail == (f"{MODULE}.UploadsResource.{method}", REQUESTS[method][2])
    else:
        assert tail[0].startswith("test_")


def test_a_name_that_is_not_a_str_is_refused_while_building_the_body():
    http = RecordingHTTP()
    with pytest.raises(TypeError, match=r"Argument 'filename' has incorrect type \(expected str, got int\)") as caught:
        asyncio.run(UploadsResource(http).get_generation_upload_urls("g", ["a.png", 3]))
    assert http.calls == []
    assert entries(caught.value)[-1] == ("get_generation_upload_urls", 55)


def test_content_type_is_looked_up_on_self_and_the_module_at_each_call(monkeypatch):
    class Custom(UploadsResource):
        def _infer_content_type(self, filename):
            return "text/" + filename

    http = RecordingHTTP()
    asyncio.run(Custom(http).get_execution_upload_urls("e", ["x"]))
    assert http.calls[0][2]["json"]["files"] == [{"filename": "x", "content_type": "text/x"}]

    guesses = {"zero.x": ("", None), "num.x": (42, None), "three.x": ("a", None, None), "one.x": ("a",)}
    monkeypatch.setattr(uploads, "mimetypes", types.SimpleNamespace(guess_type=guesses.__getitem__))
    resource = UploadsResource(http)
    assert resource._infer_content_type("zero.x") == "application/octet-stream"
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        resource._infer_content_type("num.x")
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        resource._infer_content_type("three.x")
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$") as caught:
        resource._infer_content_type("one.x")
    assert entries(caught.value)[-1] == (f"{MODULE}.UploadsResource._infer_content_type", 32)


METHODS = {
    "_infer_content_type": (23, False, "UploadsResource._infer_content_type(self, str filename: str) -> str"),
    "get_generation_upload_urls": (35, True, "UploadsResource.get_generation_upload_urls(self, str generation_id: str, list filenames: List[str]) -> Dict[str, Any]"),
    "get_execution_upload_urls": (62, True, "UploadsResource.get_execution_upload_urls(self, str execution_id: str, list filenames: List[str]) -> Dict[str, Any]"),
    "upload_file_to_s3": (89, True, "UploadsResource.upload_file_to_s3(self, str upload_url: str, bytes file_data: bytes, str content_type: str = 'application/octet-stream') -> Dict[str, Any]"),
    "upload_files": (124, True, "UploadsResource.upload_files(self, list upload_urls: List[Dict[str, Any]]) -> None"),
}  # fmt: skip


@pytest.mark.parametrize("name", METHODS)
def test_method_declarations_and_doctest_table(name):
    # As the Python declares them; the compiled methods are held to it in test_twins.py.
    line, is_async, signature = METHODS[name]
    declared = declaration(MODULE, f"UploadsResource.{name}")
    assert (declared.line, declared.is_async, signature_line(declared)) == (line, is_async, signature)
    assert asyncio.iscoroutinefunction(getattr(UploadsResource, name)) is is_async
    key = f"UploadsResource.{name} (line {line})"
    if is_async:
        raw = uploads.__test__[key]
        assert raw == declared.doc
        assert raw.endswith("\n        ") and re.search(rf">>> (\w+ = )?await client\.uploads\.{name}\(", raw)
    else:
        assert key not in uploads.__test__


def test_annotations_defaults_and_module_namespace():
    def annotations(name):
        return annotations_of(declaration(MODULE, f"UploadsResource.{name}"))

    assert annotations("upload_file_to_s3") == {
        "upload_url": "str", "file_data": "bytes", "content_type": "str", "return": "Dict[str, Any]",
    }  # fmt: skip
    content_type = inspect.signature(UploadsResource.upload_file_to_s3).parameters["content_type"]
    assert content_type.default == "application/octet-stream"
    assert annotations("upload_files") == {"upload_urls": "List[Dict[str, Any]]", "return": "None"}
    assert annotations("get_execution_upload_urls") == {
        "execution_id": "str", "filenames": "List[str]", "return": "Dict[str, Any]",
    }  # fmt: skip
    assert annotations("_infer_content_type") == {"filename": "str", "return": "str"}
    assert list(uploads.__test__) == [f"UploadsResource.{n} (line {METHODS[n][0]})" for n in list(METHODS)[1:]]
    names = [n for n in vars(uploads) if not n.startswith("__")] + ["__test__"]
    assert names == [
        "logging", "mimetypes", "Any", "Dict", "List", "httpx", "validate_execution_id",
        "validate_generation_id", "BaseResource", "logger", "UploadsResource", "__test__",
    ]  # fmt: skip
    assert uploads.logger.name == MODULE


@pytest.mark.parametrize(
    ("name", "args"),
    [
        ("get_generation_upload_urls", ("g", [])),
        ("get_execution_upload_urls", ("e", [])),
        ("upload_file_to_s3", ("http://127.0.0.1:9/", b"")),
        ("upload_files", ([],)),
    ],
)
def test_coroutine_identity_and_never_awaited_warning(name, args):
    coro = getattr(UploadsResource(RecordingHTTP()), name)(*args)
    assert coro.__qualname__ == f"UploadsResource.{name}" and coro.__name__ == name
    assert coro.cr_code is inspect.unwrap(getattr(UploadsResource, name)).__code__
    with pytest.warns(RuntimeWarning, match=f"^coroutine 'UploadsResource.{name}' was never awaited$"):
        del coro
        gc.collect()


# --- the presigned PUT, against a real server -----------------------------------------


class S3Server:
    """A ThreadingHTTPServer on 127.0.0.1 that records each request and answers as configured."""

    def __init__(self):
        self.requests = []
        self.status, self.body, self.headers = 200, b"", {}
        self.stall = False
        self.release = threading.Event()
        self.received = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_PUT(self):
                data = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                server.requests.append((self.command, self.path, dict(self.headers), data))
                server.received.set()
                if server.stall:
                    server.release.wait()
                    return
                self.send_response(server.status)
                for key, value in server.headers.items():
                    self.send_header(key, value)
                if server.status != 204:
                    self.send_header("Content-Length", str(len(server.body)))
                self.end_headers()
                if server.status != 204:
                    self.wfile.write(server.body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.01,), daemon=True)
        self.thread.start()

    def url(self, path="/bucket/key.bin?X-Amz-Signature=a%2Fb&X-Amz-Expires=60"):
        return f"http://127.0.0.1:{self.httpd.server_address[1]}{path}"

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def s3():
    server = S3Server()
    yield server
    server.close()


class Clients:
    """Replaces the module's `httpx`: a real AsyncClient subclass that records each client,
    its put keyword arguments and the arguments of its exit, and can shorten the timeout,
    swallow or fail at exit."""

    def __init__(self):
        self.created = []
        self.timeout = None
        self.exit_result = None
        self.exit_error = None
        owner = self

        class AsyncClient(httpx.AsyncClient):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.construction = (args, kwargs)
                owner.created.append(self)

            async def put(self, url, **kwargs):
                self.put_kwargs = dict(kwargs)
                if owner.timeout is not None:
                    kwargs["timeout"] = owner.timeout
                return await super().put(url, **kwargs)

            async def __aexit__(self, *exc_info):
                self.exit_args = exc_info
                result = await super().__aexit__(*exc_info)
                if owner.exit_error is not None:
                    raise owner.exit_error
                return owner.exit_result if owner.exit_result is not None else result

        self.module = types.SimpleNamespace(AsyncClient=AsyncClient)

    def all_closed(self):
        return all(client.is_closed for client in self.created)


@pytest.fixture
def clients(monkeypatch):
    recorder = Clients()
    monkeypatch.setattr(uploads, "httpx", recorder.module)
    return recorder


def upload(*args):
    return asyncio.run(UploadsResource(RecordingHTTP()).upload_file_to_s3(*args))


def upload_entries(error):
    """The traceback entries of upload_file_to_s3: one, named as the Python's, at the line that raised."""
    return [(name, line) for name, line in entries(error) if name.endswith("upload_file_to_s3")]


@pytest.mark.parametrize(
    ("data", "content_type", "status"),
    [
        (b"", None, 200),
        (bytes(range(256)) * 4, "image/png", 201),
        (b"\x00\r\n", "application/json", 204),
        (bytes(range(251)) * (20 * 2**20 // 251), None, 200),
    ],
    ids=["empty", "binary", "no-content", "20MiB"],
)
def test_put_delivers_the_bytes_and_reports_the_size(s3, caplog, data, content_type, status):
    caplog.set_level(logging.INFO, logger=MODULE)
    s3.status = status
    args = (s3.url(), data) + ((content_type,) if content_type else ())
    result = upload(*args)
    assert result == {"status": "uploaded", "size": len(data)} and list(result) == ["status", "size"]
    [(method, path, headers, body)] = s3.requests
    assert (method, path) == ("PUT", "/bucket/key.bin?X-Amz-Signature=a%2Fb&X-Amz-Expires=60")
    assert body == data and headers["Content-Length"] == str(len(data))
    assert headers["Content-Type"] == (content_type or "application/octet-stream")
    assert "Authorization" not in headers
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        (MODULE, logging.INFO, f"File uploaded to S3 successfully ({len(data)} bytes)")
    ]


def test_put_uses_a_fresh_default_client_with_a_60_second_timeout_and_closes_it(s3, clients):
    upload(s3.url(), b"x")
    upload(s3.url(), b"y")
    first, second = clients.created
    assert first is not second and first.construction == ((), {})
    headers = {"Content-Type": "application/octet-stream"}
    assert first.put_kwargs == {"content": b"x", "headers": headers, "timeout": 60.0}
    assert first.exit_args == (None, None, None) and clients.all_closed()


@pytest.mark.parametrize(("status", "body"), [(202, b"Accepted"), (302, b"Moved"), (403, b"Denied"), (500, b"")])
def test_refused_put_raises_plain_exception_after_closing_the_client(s3, clients, caplog, status, body):
    caplog.set_level(logging.DEBUG, logger=MODULE)
    s3.status, s3.body = status, body
    if status == 302:
        s3.headers = {"Location": s3.url("/elsewhere")}
    with pytest.raises(Exception) as caught:
        upload(s3.url(), b"data")
    error = caught.value
    assert type(error) is Exception
    assert str(error) == f"S3 upload failed (Any): {status} {body.decode()}"
    assert len(s3.requests) == 1 and caplog.records == []
    assert upload_entries(error) == [("upload_file_to_s3", 119)]
    [client] = clients.created
    innermost = error.__traceback__
    while innermost.tb_next is not None:
        innermost = innermost.tb_next
    assert client.exit_args == (Exception, error, innermost)
    assert clients.all_closed()


def test_refused_connection_raises_httpx_error_after_closing_the_client(clients, closed_port):
    with pytest.raises(httpx.ConnectError) as caught:
        upload(f"http://127.0.0.1:{closed_port}/key", b"data")
    assert upload_entries(caught.value) == [("upload_file_to_s3", 111)]
    assert clients.all_closed()


def test_silent_server_raises_httpx_timeout_after_closing_the_client(s3, clients):
    s3.stall = True
    clients.timeout = 0.2  # stands in for the 60.0 the method passes, recorded below
    with pytest.raises(httpx.ReadTimeout):
        upload(s3.url(), b"data")
    [client] = clients.created
    assert client.put_kwargs["timeout"] == 60.0 and clients.all_closed()


def test_cancelled_upload_closes_the_client_and_stays_cancelled(s3, clients):
    s3.stall = True

    async def main():
        task = asyncio.ensure_future(UploadsResource(None).upload_file_to_s3(s3.url(), b"data"))
        assert await asyncio.get_running_loop().run_in_executor(None, s3.received.wait, 30)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    [client] = clients.created
    assert client.exit_args[0] is asyncio.CancelledError and clients.all_closed()


def test_exit_that_swallows_ends_with_none_and_exit_error_chains_to_the_refusal(s3, clients):
    s3.status, s3.body = 403, b"Denied"
    clients.exit_result = True
    assert upload(s3.url(), b"data") is None
    clients.exit_result, clients.exit_error = None, KeyError("exit failed")
    with pytest.raises(KeyError) as caught:
        upload(s3.url(), b"data")
    assert str(caught.value.__context__) == "S3 upload failed (Any): 403 Denied"
    assert entries(caught.value)[-2][0] == "upload_file_to_s3" and entries(caught.value)[-2][1] == 110
    assert clients.all_closed()


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("u", bytearray(b"x")), "Argument 'file_data' has incorrect type (expected bytes, got bytearray)"),
        (("u", memoryview(b"x")), "Argument 'file_data' has incorrect type (expected bytes, got memoryview)"),
        ((StrSubclass("u"), b"x"), "Argument 'upload_url' has incorrect type (expected str, got StrSubclass)"),
        (("u", b"x", None), "Argument 'content_type' has incorrect type (expected str, got NoneType)"),
        (("u",), "upload_file_to_s3() takes at least 3 positional arguments (2 given)"),
        (("u", b"x", "t", "extra"), "upload_file_to_s3() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_upload_arguments_are_checked_before_any_client_exists(clients, args, message):
    with pytest.raises(TypeError) as caught:
        UploadsResource(None).upload_file_to_s3(*args)
    assert str(caught.value) == message and clients.created == []


@pytest.mark.parametrize(
    ("urls", "expected"),
    [
        ([], []),
        (
            [{"filename": "a.png", "upload_url": "https://s3/a"}, {"upload_url": "https://s3/b"}],
            ["Uploading a.png...", "File upload not fully implemented yet"] * 1
            + ["Uploading None...", "File upload not fully implemented yet"],
        ),
    ],
)
def test_upload_files_only_logs_each_entry(caplog, urls, expected):
    caplog.set_level(logging.INFO, logger=MODULE)
    http = RecordingHTTP()
    assert asyncio.run(UploadsResource(http).upload_files(urls)) is None
    assert [r.getMessage() for r in caplog.records] == expected
    assert [r.levelno for r in caplog.records] == [logging.INFO, logging.WARNING] * (len(expected) // 2)
    assert http.calls == []


def test_upload_files_stops_at_an_entry_that_is_not_a_mapping(caplog):
    caplog.set_level(logging.INFO, logger=MODULE)
    with pytest.raises(AttributeError) as caught:
        asyncio.run(UploadsResource(None).upload_files([{"filename": "a"}, "b"]))
    assert len(caplog.records) == 2
    assert entries(caught.value)[-1] == ("upload_files", 140)
