"""File handler: checking, describing and reading input files on disk and in
file objects."""

from __future__ import annotations

import builtins
import gc
import io
import os
import warnings
from pathlib import Path
from typing import Any

import pytest
from support import annotations_of, declaration, traceback_entries

import velquor_ai.util.tamsel as tamsel
from velquor_ai.config import Config
from velquor_ai.exceptions import ValidationError
from velquor_ai.util.tamsel import FileHandler

LIMIT = 16
UNKNOWN_EXTENSION = "clip.zqx9"  # not in any mime.types


@pytest.fixture
def handler() -> FileHandler:
    return FileHandler(Config(max_file_size=LIMIT, environ={}))


def write(path: Path, size: int) -> Path:
    path.write_bytes(bytes(range(size)))
    return path


def entry_lines(exc: BaseException, method: str) -> list[int]:
    name = f"velquor_ai.util.tamsel.FileHandler.{method}"
    return [e.lineno for e in traceback_entries(exc) if e.name == name]


def test_module_namespace_and_class() -> None:
    # The module's Python also binds a helper of its own, _is_binary_file.
    names = [n for n in vars(tamsel) if not n.startswith("_")]
    assert names == [
        "logging", "mimetypes", "Path", "Any", "BinaryIO", "Dict", "Union",
        "Config", "ValidationError", "logger", "FileHandler",
    ]  # fmt: skip
    assert list(vars(tamsel))[-1] == "__test__" and tamsel.__test__ == {}
    assert tamsel.logger.name == "velquor_ai.util.tamsel"
    assert FileHandler.__bases__ == (object,) and type(FileHandler) is type
    assert FileHandler.__doc__ == "Handle file operations and validation."
    assert (FileHandler.__module__, FileHandler.__qualname__) == ("velquor_ai.util.tamsel", "FileHandler")


@pytest.mark.parametrize(
    ("method", "annotations", "line", "first_doc_line"),
    [
        ("__init__", {"config": "Config", "return": "None"}, 17, "Initialize file handler."),
        (
            "prepare_file",
            {"file": "Union[str, Path, BinaryIO]", "file_type": "str", "return": "Dict[str, Any]"},
            25,
            "Prepare file for upload.",
        ),
        ("read_file", {"file_info": "Dict[str, Any]", "return": "bytes"}, 72, "Read file content."),
    ],
)
def test_method_declarations(method: str, annotations: dict[str, str], line: int, first_doc_line: str) -> None:
    # As the Python declares them; the compiled methods are held to it in test_twins.py.
    declared = declaration("velquor_ai.util.tamsel", f"FileHandler.{method}")
    assert (annotations_of(declared), declared.line) == (annotations, line)
    assert declared.doc.split("\n")[0] == first_doc_line
    assert getattr(FileHandler, method).__qualname__ == f"FileHandler.{method}"


def test_config_is_kept_and_read_at_use(tmp_path: Path) -> None:
    config = Config(max_file_size=LIMIT, environ={})
    handler = FileHandler(config=config)
    assert handler.config is config
    big = write(tmp_path / "big.bin", LIMIT + 10)
    with pytest.raises(ValidationError):
        handler.prepare_file(big, "image")
    config.max_file_size = LIMIT + 10
    assert handler.prepare_file(big, "image")["size"] == LIMIT + 10


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: FileHandler(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: FileHandler(None).prepare_file("x"), "prepare_file() takes exactly 3 positional arguments (2 given)"),
        (
            lambda: FileHandler(None).prepare_file("x", None),
            "Argument 'file_type' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda: FileHandler(None).read_file(None),
            "Argument 'file_info' has incorrect type (expected dict, got NoneType)",
        ),
    ],
)
def test_call_boundary(call: Any, message: str) -> None:
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


# ------------------------------------------------------------------ path shape


@pytest.mark.parametrize(("size", "accepted"), [(0, True), (LIMIT, True), (LIMIT + 1, False)])
def test_size_limit(handler: FileHandler, tmp_path: Path, size: int, accepted: bool) -> None:
    path = write(tmp_path / "data.bin", size)
    if accepted:
        assert handler.prepare_file(str(path), "image")["size"] == size
        return
    with pytest.raises(ValidationError) as caught:
        handler.prepare_file(str(path), "image")
    assert str(caught.value) == f"File too large (Any): {size} bytes (max: {LIMIT})"
    assert caught.value.field == "file"
    assert entry_lines(caught.value, "prepare_file") == [45]


@pytest.mark.parametrize(
    ("name", "file_type", "expected"),
    [
        ("photo.png", "video", "image/png"),
        ("movie.mp4", "image", "video/mp4"),
        (UNKNOWN_EXTENSION, "video", "video/mp4"),
        (UNKNOWN_EXTENSION, "image", "image/jpeg"),
        (UNKNOWN_EXTENSION, "audio", "application/octet-stream"),
        (UNKNOWN_EXTENSION, "Image", "application/octet-stream"),
        (UNKNOWN_EXTENSION, "VIDEO", "application/octet-stream"),
        ("no_extension", "", "application/octet-stream"),
    ],
)
def test_content_type(handler: FileHandler, tmp_path: Path, name: str, file_type: str, expected: str) -> None:
    path = write(tmp_path / name, 3)
    assert handler.prepare_file(path, file_type) == {
        "filename": name,
        "content_type": expected,
        "size": 3,
        "path": str(path),
    }


def test_str_and_path_give_the_same_info(handler: FileHandler, tmp_path: Path) -> None:
    path = write(tmp_path / "a.png", 5)
    info = handler.prepare_file(str(path), "image")
    assert list(info) == ["filename", "content_type", "size", "path"]
    assert info == handler.prepare_file(path, "image")


@pytest.mark.parametrize("as_path", [True, False])
def test_missing_path(handler: FileHandler, tmp_path: Path, as_path: bool) -> None:
    missing = tmp_path / "gone" / "x.png"
    with pytest.raises(ValidationError) as caught:
        handler.prepare_file(missing if as_path else str(missing), "image")
    assert str(caught.value) == f"File not found: {missing}"
    assert caught.value.field == "file"
    assert entry_lines(caught.value, "prepare_file") == [41]


def test_directory_passes_prepare_but_not_read(tmp_path: Path) -> None:
    handler = FileHandler(Config(max_file_size=1 << 30, environ={}))
    info = handler.prepare_file(tmp_path, "image")
    assert info["filename"] == tmp_path.name and info["path"] == str(tmp_path)
    with pytest.raises(IsADirectoryError) as caught:
        handler.read_file(info)
    assert entry_lines(caught.value, "read_file") == [85]


# ------------------------------------------------------------ file-object shape


class MinimalBinary:
    """Binary reader outside the io hierarchy."""

    def __init__(self, data: bytes) -> None:
        self._inner = io.BytesIO(data)
        self.read = self._inner.read
        self.seek = self._inner.seek


def named_bytes_io(data: bytes) -> io.BytesIO:
    stream = io.BytesIO(data)
    stream.name = "memory.png"  # type: ignore[attr-defined]
    return stream


@pytest.mark.parametrize(
    ("make", "filename"),
    [
        (io.BytesIO, "upload"),
        (named_bytes_io, "memory.png"),
        (MinimalBinary, "upload"),
    ],
)
def test_binary_file_objects(handler: FileHandler, make: Any, filename: str) -> None:
    data = bytes(range(LIMIT * 4))  # the size limit does not apply to file objects
    stream = make(data)
    info = handler.prepare_file(stream, "video")
    assert list(info) == ["filename", "content_type", "size", "file_obj"]
    assert info == {"filename": filename, "content_type": "application/octet-stream", "size": None, "file_obj": stream}
    assert info["file_obj"] is stream
    assert handler.read_file(info) == data


def test_opened_binary_file(handler: FileHandler, tmp_path: Path) -> None:
    path = write(tmp_path / "big.bin", LIMIT * 2)
    with open(path, "rb") as stream:
        info = handler.prepare_file(stream, "image")
        assert info["filename"] == str(path)
        stream.read()  # whatever the position, reading starts from 0
        assert handler.read_file(info) == handler.read_file(info) == path.read_bytes()
        assert not stream.closed


class TextLike:
    encoding = "utf-8"

    def read(self) -> str:
        return ""

    def seek(self, offset: int) -> int:
        return 0


class ReadOnly:
    def read(self) -> bytes:
        return b""


def text_file(tmp_path: Path) -> Any:
    write(tmp_path / "t.txt", 3)
    return open(tmp_path / "t.txt", encoding="latin-1")


@pytest.mark.parametrize(
    "make",
    [
        lambda tmp: b"raw bytes",
        lambda tmp: bytearray(b"x"),
        lambda tmp: 7,
        lambda tmp: None,
        lambda tmp: io.StringIO("text"),
        text_file,
        lambda tmp: TextLike(),
        lambda tmp: ReadOnly(),
    ],
)
def test_unsupported_inputs(handler: FileHandler, tmp_path: Path, make: Any) -> None:
    value = make(tmp_path)
    with pytest.raises(ValidationError) as caught:
        handler.prepare_file(value, "image")
    assert str(caught.value) == f"Unsupported file type: {type(value)}"
    assert caught.value.field == "file"
    assert entry_lines(caught.value, "prepare_file") == [70]
    if hasattr(value, "close"):
        value.close()


def test_bytes_message(handler: FileHandler) -> None:
    with pytest.raises(ValidationError, match=r"^Unsupported file type: <class 'bytes'>$"):
        handler.prepare_file(b"data", "image")


# -------------------------------------------------------------------- reading


def test_read_by_path_and_path_precedence(handler: FileHandler, tmp_path: Path) -> None:
    path = write(tmp_path / "a.bin", 9)
    assert handler.read_file({"path": str(path)}) == path.read_bytes()
    assert handler.read_file({"path": path, "file_obj": io.BytesIO(b"other")}) == path.read_bytes()


def test_file_deleted_after_prepare(handler: FileHandler, tmp_path: Path) -> None:
    info = handler.prepare_file(write(tmp_path / "a.bin", 2), "image")
    os.remove(info["path"])
    with pytest.raises(FileNotFoundError):
        handler.read_file(info)


def test_read_empty_info(handler: FileHandler) -> None:
    with pytest.raises(ValidationError) as caught:
        handler.read_file({})
    assert (str(caught.value), caught.value.field) == ("Cannot read file: no path or file_obj", "file")


def test_dict_subclass_refused_before_lookup(handler: FileHandler) -> None:
    looked_up = []

    class Info(dict):
        def __contains__(self, key: object) -> bool:
            looked_up.append(key)
            return super().__contains__(key)

    with pytest.raises(TypeError) as caught:
        handler.read_file(Info(file_obj=io.BytesIO(b"x")))
    assert str(caught.value) == "Argument 'file_info' has incorrect type (expected dict, got Info)"
    assert len(caught.value.__notes__) == 1
    assert looked_up == []


class StrReader:
    def seek(self, offset: int) -> None:
        pass

    def read(self) -> str:
        return "text"


@pytest.mark.parametrize("file_obj", [StrReader(), io.StringIO("text")])
def test_read_result_must_be_bytes(handler: FileHandler, file_obj: Any) -> None:
    with pytest.raises(TypeError) as caught:
        handler.read_file({"file_obj": file_obj})
    assert str(caught.value) == "Expected bytes, got str"
    assert entry_lines(caught.value, "read_file") == [90]


@pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs a file whose read() fails")
def test_file_closed_when_read_fails(handler: FileHandler) -> None:
    # /proc/self/mem opens fine but reading from offset 0 fails with EIO. An
    # opened file left to the garbage collector warns that it was not closed.
    with warnings.catch_warnings(record=True) as caught_warnings:
        warnings.simplefilter("always", ResourceWarning)
        with pytest.raises(OSError) as caught:
            handler.read_file({"path": "/proc/self/mem"})
        gc.collect()
    assert entry_lines(caught.value, "read_file") == [86]
    assert [w for w in caught_warnings if issubclass(w.category, ResourceWarning)] == []


def test_open_looked_up_at_call_time(handler: FileHandler, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = write(tmp_path / "a.bin", 4)
    opened = []
    real_open = builtins.open

    def recording_open(*args: Any) -> Any:
        opened.append(args)
        return real_open(*args)

    monkeypatch.setattr(builtins, "open", recording_open)
    assert handler.read_file({"path": str(path)}) == bytes(range(4))
    assert opened == [(str(path), "rb")]
