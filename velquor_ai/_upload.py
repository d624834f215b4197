"""The upload stage of a generation: input files checked, then sent to storage.

A generation's `images` and `videos` are walked here from end to end. Before
anything is sent, `prepare_inputs` checks every file (a path must name a
readable regular file within the size limit, and not be a URL; a file object,
alone or in a (filename, content) pair, must be binary and is measured; bytes
in a pair are read as a file object) and fixes what is uploaded: the name, the
content type and the size. Its messages name the file they are about (see
`describe_input`). Once the service has given the presigned URLs,
`match_upload_urls` pairs each file with its URL and `upload_all` streams the
files through the client's `StorageClient`, a few at a time, reporting progress:

    inputs = prepare_inputs(config, images, videos)
    ...  # the generation is created, its upload URLs asked for
    targets = match_upload_urls(answer, [item.filename for item in inputs])
    await upload_all(storage, generation_id, inputs, targets, 4, on_progress)

On-premise generations upload nothing; `local_paths` checks their files the
same way and gives the paths the local library reads.
"""

from __future__ import annotations

import asyncio
import io
import mimetypes
import os
import re
import stat
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO, TypeGuard

from ._http import REQUEST_ID_HEADER
from ._logging import redact_url
from ._progress import ProgressCallback, ProgressEvent, ProgressKind, emit
from ._storage import CHUNK_SIZE, FileSource, StorageClient
from .config import Config
from .exceptions import APIError, ValidationError

if TYPE_CHECKING:
    from .types import FileInput
    from .util.tamsel import FileHandler

__all__ = [
    "CheckedInput",
    "describe_input",
    "local_paths",
    "match_upload_urls",
    "measure_file_object",
    "prepare_inputs",
    "upload_all",
]


@dataclass(slots=True)
class CheckedInput:
    """One input file after checking: what to send and how to read it."""

    info: dict[str, Any]
    filename: str
    content_type: str
    # Bytes found when the file was checked: exactly what is uploaded.
    size: int


def prepare_inputs(config: Config, images: list[FileInput], videos: list[FileInput]) -> list[CheckedInput]:
    """Check every input file before anything is sent."""
    from .util.tamsel import FileHandler

    handler = FileHandler(config)
    inputs: list[CheckedInput] = []
    for kind, files in (("image", images), ("video", videos)):
        for index, file in enumerate(files):
            label = describe_input(file, f"{kind}s[{index}]")
            try:
                item = _prepare_input(handler, file, kind, label, config.max_file_size)
                # The name goes into a JSON request: a lone surrogate (a name
                # of bytes that are not UTF-8) could not be sent.
                item.filename.encode("utf-8")
            except OSError as exc:
                raise ValidationError(
                    f"Cannot use {kind} file {label}: {exc.strerror or exc}",
                    field="file",
                ) from exc
            except ValueError as exc:  # a NUL in the path, a name UTF-8 cannot encode
                raise ValidationError(f"Cannot use {kind} file {label!r}: {exc}", field="file") from exc
            inputs.append(item)
    return inputs


def local_paths(config: Config, files: list[FileInput], kind: str, name: str) -> list[FileInput]:
    """Check on-premise inputs: existing regular files within the size limit.

    `name` is the argument that holds them ("images", "input_files"), named in
    the messages about a file given other than as a path.
    """
    from .util.tamsel import FileHandler

    handler = FileHandler(config)
    paths: list[FileInput] = []
    for index, file in enumerate(files):
        path = _as_path(file)
        if path is None:
            given = "a (filename, content) pair" if isinstance(file, tuple) else type(file).__name__
            raise ValidationError(
                f"On-premise mode reads files from disk: give the {kind} file "
                f"{describe_input(file, f'{name}[{index}]')} as a path, not {given}",
                field="file",
            )
        try:
            _refuse_url(path, kind)
            _check_path(path, kind, config.max_file_size)
            info = handler.prepare_file(path, kind)
        except OSError as exc:
            raise ValidationError(
                f"Cannot use {kind} file {path}: {exc.strerror or exc}",
                field="file",
            ) from exc
        except ValueError as exc:  # a NUL in the path, say
            raise ValidationError(f"Cannot use {kind} file {path!r}: {exc}", field="file") from exc
        paths.append(info["path"])
    return paths


def describe_input(file: object, place: str) -> str:
    """How the messages about an input file name it: its path, or the name of a
    file object, else its place among the arguments ("images[2] (BytesIO)").

    Examples:
        >>> describe_input("cat.png", "images[0]")
        'cat.png'
        >>> describe_input(io.BytesIO(b"x"), "images[1]")
        'images[1] (BytesIO)'
    """
    if isinstance(file, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(file))
        return redact_url(path) if _looks_like_url(path) else path
    if isinstance(file, tuple) and file and isinstance(file[0], str) and file[0]:
        return file[0]
    name = getattr(file, "name", None)
    if isinstance(name, str) and name:
        return name
    return f"{place} ({type(file).__name__})"


def _as_path(file: object) -> str | None:
    """The path string of a path-like input, or None for anything else."""
    if isinstance(file, str):
        return file
    if isinstance(file, os.PathLike):
        path = os.fspath(file)
        return path if isinstance(path, str) else None
    return None


# A scheme and a slash: "https://host/a.png", or the same made a path-like
# object ("https:/host/a.png"). One letter before the colon is a drive.
_URL_START = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+:/")


def _looks_like_url(path: str) -> bool:
    return _URL_START.match(path) is not None and not os.path.exists(path)


def _refuse_url(path: str, kind: str) -> None:
    """Refuse a URL given where a file is expected: it would otherwise be
    reported as a missing file, under a path with one slash less."""
    if _looks_like_url(path):
        raise ValidationError(
            f"{kind.capitalize()} file {redact_url(path)} is a URL, and URLs are not fetched: "
            "download the file and give its path, or give its bytes as (filename, bytes)",
            field="file",
        )


def _check_path(path: str, kind: str, limit: int) -> None:
    """Refuse, naming it, a path that is not a readable regular file within
    the size limit; the file handler's own checks come after and then pass.

    The handler lets directories and devices through (they would fail only
    when read, after the generation had been created), and its size message
    names no file.
    """
    try:
        found = os.stat(path)
    except FileNotFoundError:
        raise ValidationError(f"{kind.capitalize()} file not found: {path}", field="file") from None
    if not stat.S_ISREG(found.st_mode):
        raise ValidationError(f"Not a regular file: {path}", field="file")
    if not os.access(path, os.R_OK):
        raise ValidationError(f"File is not readable: {path}", field="file")
    _check_size(path, kind, found.st_size, limit)


def _check_size(label: str, kind: str, size: int, limit: int) -> None:
    if size > limit:
        raise ValidationError(
            f"{kind.capitalize()} file {label} is too large: {size} bytes (max: {limit})",
            field="file",
        )


def _prepare_input(handler: FileHandler, file: FileInput, kind: str, label: str, limit: int) -> CheckedInput:
    if isinstance(file, (str, os.PathLike)):
        path = _as_path(file)
        if path is None:
            raise ValidationError(
                f"Unsupported file path type for {kind} file {label}: {type(os.fspath(file)).__name__}",
                field="file",
            )
        _refuse_url(path, kind)
        _check_path(path, kind, limit)
        info = handler.prepare_file(Path(path), kind)
        return CheckedInput(info, info["filename"], info["content_type"], info["size"])
    given_name: str | None = None
    stream: object = file
    if isinstance(file, tuple):
        given_name, stream = _pair(file, kind, label)
    if isinstance(stream, io.TextIOBase) or (not _is_binary(stream) and hasattr(stream, "encoding")):
        raise ValidationError(
            f"The {kind} file {label} is open in text mode: open the file in binary mode ('rb')",
            field="file",
        )
    if not _is_binary(stream):
        raise ValidationError(
            f"{label} is not a file: give a path, a binary file object, or a (filename, bytes) or "
            f"(filename, binary file object) pair, not {_kind_of(stream)}",
            field="file",
        )
    info = handler.prepare_file(stream, kind)
    # A file object's name is whatever it was opened with (often a full path,
    # sometimes a descriptor number); only the last component is sent.
    raw_name = info["filename"] if given_name is None else given_name
    name = os.path.basename(raw_name) if isinstance(raw_name, str) else ""
    name = name or "upload"
    content_type = mimetypes.guess_type(name)[0] or ("image/jpeg" if kind == "image" else "video/mp4")
    size = _measure(stream, label)
    # The same limit as for a path: the size is what is uploaded.
    _check_size(label, kind, size, limit)
    return CheckedInput(info, name, content_type, size)


def _pair(pair: tuple[Any, ...], kind: str, label: str) -> tuple[str, Any]:
    """The name and the binary file object of a (filename, content) pair;
    bytes are read from a file object of their own."""
    if len(pair) != 2 or not isinstance(pair[0], str):
        raise ValidationError(
            f"The {kind} file {label} is a tuple of {len(pair)} ({', '.join(_kind_of(x) for x in pair)}): "
            "a file given as a pair is (filename, bytes) or (filename, binary file object)",
            field="file",
        )
    name, content = pair
    # Only the last component is sent, as for a file object's name.
    if os.path.basename(name) in ("", ".", ".."):
        raise ValidationError(
            f"The {kind} file {label} needs a file name in its (filename, content) pair, got {name!r}",
            field="file",
        )
    if isinstance(content, (bytes, bytearray, memoryview)):
        return name, io.BytesIO(content)
    if isinstance(content, (str, os.PathLike)):
        raise ValidationError(
            f"The {kind} file {label} is a pair of a name and a path: the content of a (filename, content) "
            "pair is bytes or a binary file object; give a path alone",
            field="file",
        )
    return name, content


def _kind_of(value: object) -> str:
    return "a (filename, content) pair" if isinstance(value, tuple) and len(value) == 2 else type(value).__name__


def _is_binary(file: object) -> TypeGuard[BinaryIO]:
    """Whether the file handler takes `file` as a binary file object."""
    if isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        return True
    if isinstance(file, io.TextIOBase) or hasattr(file, "encoding"):
        return False
    return callable(getattr(file, "read", None)) and callable(getattr(file, "seek", None))


def _measure(file: BinaryIO, label: str) -> int:
    """Bytes of a binary file object from offset 0, known before anything is sent."""
    try:
        return measure_file_object(file)
    except OSError:
        raise  # reported with the file's description by the caller
    except (TypeError, ValueError, AttributeError) as exc:
        raise ValidationError(f"Cannot read the file object {label}: {exc}", field="file") from exc


def measure_file_object(file_obj: Any) -> int:
    """Bytes a binary file object holds from offset 0; its position is kept.

    Objects that cannot seek to their end are read through once, a chunk at a
    time, and rewound.

    Examples:
        >>> measure_file_object(io.BytesIO(b"12345"))
        5

    Raises:
        OSError, ValueError, TypeError: If the object cannot be measured.
    """
    try:
        position = file_obj.tell()
        end = file_obj.seek(0, io.SEEK_END)
        if not isinstance(end, int):
            end = file_obj.tell()
        file_obj.seek(position)
        if isinstance(end, int) and not isinstance(end, bool):
            return end
    except (AttributeError, TypeError, OSError, ValueError):
        pass
    # seek(0) and read() are all the file handler asks of such an object.
    file_obj.seek(0)
    size = 0
    while True:
        piece = file_obj.read(CHUNK_SIZE)
        if not piece:
            break
        if not isinstance(piece, (bytes, bytearray, memoryview)):
            raise TypeError(f"read() returned {type(piece).__name__}, not bytes")
        size += len(piece)
    file_obj.seek(0)
    return size


def match_upload_urls(answer: Any, filenames: list[str]) -> list[dict[str, Any]]:
    """Pair each file with an upload target by name, in order for repeated names."""
    entries = answer.get("upload_urls") if isinstance(answer, dict) else None
    if not isinstance(entries, list):
        raise APIError("The service's upload URL answer has no 'upload_urls' list")
    by_name: dict[str, deque[dict[str, Any]]] = {}
    for entry in entries:
        if (
            isinstance(entry, dict)
            and isinstance(entry.get("filename"), str)
            and isinstance(entry.get("upload_url"), str)
        ):
            by_name.setdefault(entry["filename"], deque()).append(entry)
    matched: list[dict[str, Any]] = []
    for name in filenames:
        queue = by_name.get(name)
        if not queue:
            raise APIError(f"The service returned no upload URL for {name!r}")
        matched.append(queue.popleft())
    return matched


async def upload_all(
    storage: StorageClient,
    generation_id: str,
    inputs: list[CheckedInput],
    targets: list[dict[str, Any]],
    concurrency: int,
    on_progress: ProgressCallback | None,
    request_id: str | None = None,
) -> None:
    """Stream every input file to its presigned URL, `concurrency` at a time.

    `request_id` is that of the answer that gave the URLs, for the first event.
    """
    limit = asyncio.Semaphore(concurrency)
    total = len(inputs)
    bytes_total = sum(item.size for item in inputs)
    done = 0
    bytes_done = 0  # of files stored
    in_flight: dict[int, int] = {}  # bytes sent of files still going out
    sources = _sources(inputs)

    def event(kind: ProgressKind, item: CheckedInput, sent: int, answer: str | None = None) -> ProgressEvent:
        return ProgressEvent(
            kind,
            generation_id,
            filename=item.filename,
            done=done,
            total=total,
            size=item.size,
            sent=sent,
            bytes_done=bytes_done + sum(in_flight.values()),
            bytes_total=bytes_total,
            request_id=answer,
        )

    async def upload(index: int, item: CheckedInput, target: dict[str, Any]) -> None:
        nonlocal done, bytes_done

        def sent(count: int) -> None:
            # Called with 0 when a try begins, then after each chunk; the
            # last one is reported by the "upload" event once stored.
            in_flight[index] = count
            if 0 < count < item.size:
                emit(on_progress, event("uploading", item, count))

        async with limit:
            content_type = target.get("content_type")
            if not isinstance(content_type, str) or not content_type:
                content_type = item.content_type
            answer = await _put(
                storage,
                target["upload_url"],
                sources[index],
                content_type,
                generation_id,
                sent if on_progress is not None else None,
            )
        in_flight.pop(index, None)
        done += 1
        bytes_done += item.size
        if on_progress is not None:  # made only for a callback
            emit(on_progress, event("upload", item, item.size, answer))

    if on_progress is not None:
        emit(
            on_progress,
            ProgressEvent("upload", generation_id, total=total, bytes_total=bytes_total, request_id=request_id),
        )
    if total == 1:
        # Nothing to run beside it: no task of its own.
        await upload(0, inputs[0], targets[0])
        return
    failure: BaseException | None = None
    try:
        # A failing upload cancels the others; leaving the group waits for them.
        async with asyncio.TaskGroup() as group:
            for index, (item, target) in enumerate(zip(inputs, targets, strict=True)):
                group.create_task(upload(index, item, target))
    except BaseExceptionGroup as group_error:
        failure = _first_leaf(group_error)
    if failure is not None:
        # Raised outside the handler, so the error keeps its own cause.
        raise failure


def _sources(inputs: list[CheckedInput]) -> list[FileSource]:
    """What each upload reads; one lock for a file object given more than once."""
    sources: list[FileSource] = []
    shared: dict[int, FileSource] = {}
    for item in inputs:
        if "path" in item.info:
            sources.append(FileSource.for_path(item.info["path"], item.size, item.filename))
            continue
        file_obj = item.info["file_obj"]
        source = FileSource.for_file_object(file_obj, item.size, item.filename)
        first = shared.setdefault(id(file_obj), source)
        source.lock = first.lock
        sources.append(source)
    return sources


async def _put(
    storage: StorageClient,
    url: str,
    source: FileSource,
    content_type: str,
    generation_id: str,
    on_sent: Callable[[int], object] | None,
) -> str | None:
    """Stream one file to storage (errors name the file and the generation);
    return the request id of storage's answer, if it gave one."""
    response = await storage.upload(url, source, content_type, generation_id=generation_id, on_sent=on_sent)
    await response.aclose()
    request_id: str | None = response.headers.get(REQUEST_ID_HEADER) or response.headers.get("x-amz-request-id")
    return request_id


def _first_leaf(group: BaseExceptionGroup[Any]) -> BaseException:
    first: BaseException = group.exceptions[0]
    while isinstance(first, BaseExceptionGroup):
        first = first.exceptions[0]
    return first
