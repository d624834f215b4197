"""Uploads of input files to object storage through presigned URLs.

One `StorageClient` per client object sends the uploads: through a connection
pool of its own, or through the caller's `httpx.AsyncClient` (the client's
`http_client`, or a `storage_http_client` for storage alone), whose proxies,
TLS settings, mounts and environment settings then apply. Either way a storage
request carries only what its presigned URL was signed for: it is built bare
and sent with `send`, so neither the API key nor the service's or the caller's
default headers, cookies or auth reach storage (the caller's event hooks do
see it). Each upload is a PUT whose body is streamed from the file in
chunks read by a worker thread, so a large video never sits in memory whole and
the event loop keeps serving other tasks while it goes out (a file on disk of
at most `INLINE_READ` bytes is read at once on the loop, and closed before the
request waits for a connection):

    storage = StorageClient(config)
    source = FileSource.for_path("clip.mp4", size=os.stat("clip.mp4").st_size)
    await storage.upload(url, source, "video/mp4", generation_id="gen_1")
    await storage.aclose()

The size given with the source is the size that was checked before anything
was sent; it is the `Content-Length` of the PUT, and a file found to hold more
or fewer bytes than that while it is read is refused (`FileChangedError`),
never sent truncated or padded. Timeouts and retries follow the configuration:
408, 429, 5xx, a dropped connection or a timeout is tried again with the body
reopened from its start; any other refusal raises `UploadError` at once, as
does a URL that cannot be used (another scheme than http or https, no host,
characters a URL cannot hold).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, BinaryIO

import httpx

from ._http import decoded_body, no_answer, request_timeout, timed_out
from ._logging import redact_url
from ._pool import LoopPool
from ._retry import RetryPolicy
from .config import Config
from .exceptions import APIConnectionError, APITimeoutError, UploadError, ValidationError

__all__ = [
    "CHUNK_SIZE",
    "FileChangedError",
    "FileSource",
    "StorageClient",
]

# Bytes read from a file at a time, and the most sent between two progress reports.
CHUNK_SIZE = 1 << 20
# A file on disk this small is read on the event loop: the trip to a worker
# thread and back costs more than reading it from the page cache.
INLINE_READ = 1 << 16


SentCallback = Callable[[int], object]


class FileChangedError(ValidationError):
    """An input file no longer holds the bytes it held when it was checked.

    Attributes:
        filename: Name of the file.
        expected: Its size when it was checked, in bytes.
        found: What was found instead, in words.
    """

    def __init__(self, filename: str, expected: int, found: str) -> None:
        """Create the error.

        Args:
            filename: Name of the file.
            expected: Its size when it was checked, in bytes.
            found: What was found instead, in words ("more bytes", "3 bytes").
        """
        message = (
            f"File {filename} changed after it was checked: it had {expected:,} "
            f"bytes then and {found} now; it was not uploaded"
        )
        super().__init__(message, field="file")
        self.filename = filename
        self.expected = expected
        self.found = found

    def __reduce__(self) -> tuple[Any, ...]:
        """Rebuild from the three values, then the other attributes."""
        return (type(self), (self.filename, self.expected, self.found), self.__dict__)


@dataclass(slots=True)
class FileSource:
    """Where an upload's bytes come from, and how many there are.

    Attributes:
        filename: Name shown in errors and progress reports.
        size: Bytes to send, as found when the file was checked.
        path: Path of a file on disk, opened anew for each try; or None.
        file_obj: A binary file object (read from offset 0, never closed); or None.
        lock: Held while `file_obj` is read, for a file object given twice.
    """

    filename: str
    size: int
    path: str | None = None
    file_obj: BinaryIO | None = None
    lock: asyncio.Lock = field(default_factory=asyncio.Lock)

    @classmethod
    def for_path(cls, path: str, size: int, filename: str | None = None) -> FileSource:
        """A file on disk whose checked size is `size`.

        Examples:
            >>> FileSource.for_path("/tmp/a.png", 12).filename
            'a.png'
        """
        return cls(filename or os.path.basename(path), size, path=path)

    @classmethod
    def for_file_object(cls, file_obj: BinaryIO, size: int, filename: str) -> FileSource:
        """A binary file object holding `size` bytes from offset 0."""
        return cls(filename, size, file_obj=file_obj)


class _Body:
    """The PUT body of one try: exactly `source.size` bytes, read in a worker thread.

    Not an async generator on purpose: one abandoned half-way would be closed
    by a task the event loop creates for it; this one is closed by its owner.
    """

    def __init__(self, source: FileSource, on_sent: SentCallback | None) -> None:
        self.source = source
        self.on_sent = on_sent
        self.remaining = source.size
        self.sent = 0
        self._file: Any = None
        self._last = 0
        self._ready: bytes | None = None
        self._pending: concurrent.futures.Future[Any] | None = None

    async def open(self) -> None:
        """Open the file (or rewind the file object), check its size and read
        the first chunk, in one trip to a worker thread (on the loop for a
        small file on disk)."""
        if self._owned and self.source.size <= INLINE_READ:
            self._file, self._ready = _start(self.source)
        else:
            self._file, self._ready = await self._in_thread(_start, self.source)
        if self._owned and self.whole() is not None:
            # All of it read (and found to end there): the descriptor is not
            # held while the request waits for a connection.
            self._close_file()
        if self.on_sent is not None:
            self.on_sent(0)

    @property
    def _owned(self) -> bool:
        """Whether the file is opened here (a path), and so closed here."""
        return self.source.path is not None

    def whole(self) -> bytes | None:
        """All the bytes to send, when the first chunk read is all of them."""
        ready = self._ready
        return ready if ready is not None and len(ready) == self.source.size else None

    def __aiter__(self) -> _Body:
        return self

    async def __anext__(self) -> bytes:
        # Asked for more: what was handed out before has been written.
        if self._last:
            self.sent += self._last
            self._last = 0
            if self.on_sent is not None:
                self.on_sent(self.sent)
        if self.remaining == 0:
            raise StopAsyncIteration
        chunk: bytes
        if self._ready is not None:
            chunk, self._ready = self._ready, None
        else:
            chunk = await self._in_thread(
                _read_chunk,
                self._file,
                min(CHUNK_SIZE, self.remaining),
                self.remaining,
                self.source,
            )
        self.remaining -= len(chunk)
        self._last = len(chunk)
        return chunk

    async def aclose(self) -> None:
        """Close the file if it was opened here, after any read under way."""
        pending, self._pending = self._pending, None
        if pending is not None and not pending.done():
            try:
                await asyncio.wrap_future(pending)
            except asyncio.CancelledError:
                pending.add_done_callback(lambda _: self._close_file())
                raise
            except Exception:  # noqa: S110 - its error was reported to the reader
                pass
        self._close_file()

    def _close_file(self) -> None:
        file, self._file = self._file, None
        if self._owned and file is not None:
            file.close()

    async def _in_thread(self, function: Callable[..., Any], *args: Any) -> Any:
        loop = asyncio.get_running_loop()
        future: concurrent.futures.Future[Any] = concurrent.futures.Future()

        def run() -> None:
            if not future.set_running_or_notify_cancel():
                return
            try:
                future.set_result(function(*args))
            except BaseException as exc:  # noqa: BLE001 - handed to the awaiting task
                future.set_exception(exc)

        self._pending = future
        loop.run_in_executor(None, run)
        try:
            result = await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            if function is _start and self._owned:
                # A file opened by a read that could not be stopped is closed
                # when the read ends.
                future.add_done_callback(_close_result)
            raise
        self._pending = None
        return result


def _close_result(future: concurrent.futures.Future[Any]) -> None:
    if not future.cancelled() and future.exception() is None:
        file, _ = future.result()
        file.close()


def _start(source: FileSource) -> tuple[Any, bytes | None]:
    """The file ready to read from offset 0, and its first chunk."""
    if source.path is not None:
        file = _open_checked(source)
    else:
        file = source.file_obj
        _rewind_checked(source)
    if source.size == 0:
        return file, None
    try:
        first = _read_chunk(file, min(CHUNK_SIZE, source.size), source.size, source)
    except BaseException:
        if source.path is not None:
            file.close()
        raise
    return file, first


def _open_checked(source: FileSource) -> Any:
    assert source.path is not None
    file = open(source.path, "rb")  # noqa: SIM115 - closed by its _Body
    try:
        found = os.fstat(file.fileno()).st_size
        if found != source.size:
            raise FileChangedError(source.filename, source.size, f"{found:,} bytes")
        if source.size == 0 and file.read(1):
            raise FileChangedError(source.filename, 0, "more bytes")
    except BaseException:
        file.close()
        raise
    return file


def _rewind_checked(source: FileSource) -> None:
    file = source.file_obj
    assert file is not None
    file.seek(0)
    if source.size == 0:
        if _piece(file, 1, source):
            raise FileChangedError(source.filename, 0, "more bytes")
        file.seek(0)


def _piece(file: Any, count: int, source: FileSource) -> bytes:
    data = file.read(count)
    if data is None:
        raise ValidationError(
            f"File object for {source.filename} returned no data (a non-blocking stream with nothing ready)",
            field="file",
        )
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValidationError(
            f"File object for {source.filename} returned {type(data).__name__}, not bytes",
            field="file",
        )
    if len(data) > count:
        raise ValidationError(
            f"File object for {source.filename} returned more bytes than asked for",
            field="file",
        )
    return bytes(data) if not isinstance(data, bytes) else data


def _read_chunk(file: Any, wanted: int, remaining: int, source: FileSource) -> bytes:
    """Read `wanted` bytes; when they are the last, make sure no more follow."""
    chunk = _piece(file, wanted, source)
    if len(chunk) < wanted:
        pieces = [chunk]
        got = len(chunk)
        while got < wanted:
            piece = _piece(file, wanted - got, source)
            if not piece:
                sent = source.size - remaining + got
                raise FileChangedError(source.filename, source.size, f"only {sent:,} bytes")
            pieces.append(piece)
            got += len(piece)
        chunk = b"".join(pieces)
    if wanted == remaining and _piece(file, 1, source):
        # Checked before the last bytes go out, so that storage never sees a
        # complete body of a file that has grown.
        raise FileChangedError(source.filename, source.size, "more bytes")
    return chunk


class StorageClient:
    """Connection pool for uploads to presigned storage URLs.

    Attributes:
        config: The client's configuration; `timeout` (each phase of a request:
            connect, write, read, waiting for a pooled connection; a call's
            own `request_timeout` instead, see `request_options`) and
            `max_retries` are read at each upload.

    Examples:
        >>> storage = StorageClient(Config(api_key="sk-test"))
        >>> await storage.upload(url, FileSource.for_path(path, size), "image/png")
        >>> await storage.aclose()
    """

    def __init__(
        self,
        config: Config,
        *,
        transport: httpx.AsyncBaseTransport | None = None,
        http_client: httpx.AsyncClient | None = None,
        client_class: type[httpx.AsyncClient] = httpx.AsyncClient,
    ) -> None:
        """Set the pool up; no connection is made before the first upload.

        Args:
            config: The client's configuration.
            transport: httpx transport to use instead of the network one.
            http_client: A caller's client to send the uploads through
                (bare requests: none of its headers, cookies or auth).
            client_class: The class of the pool's own httpx clients.
        """
        self.config = config
        # No base URL and no headers of the service's: a presigned URL carries
        # its own authorisation. Redirects are not followed.
        self._pool = LoopPool(http_client, transport, client_class)
        self._owns_pool = True

    def with_config(self, config: Config) -> StorageClient:
        """Return a storage client with other settings over the same connections.

        Closing the new client leaves the connections open; closing this one
        closes them for both.
        """
        twin = StorageClient.__new__(StorageClient)
        twin.config = config
        twin._pool = self._pool
        twin._owns_pool = False
        return twin

    async def aclose(self) -> None:
        """Close the pool's connections. Calling it again does nothing.

        A caller's `http_client` is left open.
        """
        if self._owns_pool:
            await self._pool.aclose()

    async def close_given(self) -> None:
        """Close the caller's `http_client`, for an owner that alone can."""
        if self._owns_pool:
            await self._pool.close_given()

    async def upload(
        self,
        url: str,
        source: FileSource,
        content_type: str,
        *,
        generation_id: str | None = None,
        on_sent: SentCallback | None = None,
    ) -> httpx.Response:
        """PUT the file's bytes to a presigned URL, trying again where it helps.

        Args:
            url: The presigned URL.
            source: The file and its checked size.
            content_type: The Content-Type the URL was signed for.
            generation_id: Named in errors.
            on_sent: Called with the bytes of this file sent so far (0 again
                when a retry starts over), at least every `CHUNK_SIZE` bytes.

        Returns:
            Storage's answer (2xx).

        Raises:
            UploadError: If storage refused the upload, or still failed it when
                the retries were spent.
            APITimeoutError: If storage did not answer within the timeout.
            APIConnectionError: If storage could not be reached.
            FileChangedError: If the file's size differs from `source.size`.
            ValidationError: If the file can no longer be read.
        """
        target = _usable_url(url, source.filename, generation_id)
        client = await self._pool.client()
        timeout = request_timeout(self.config)
        # Exactly what the URL was signed for, and the length.
        headers = {"Content-Type": content_type, "Content-Length": str(source.size)}
        policy = RetryPolicy(max_retries=getattr(self.config, "max_retries", 2))

        async def send(attempt: int) -> httpx.Response:
            body = _Body(source, on_sent)
            try:
                await body.open()
                request = httpx.Request(
                    "PUT",
                    target,
                    headers=headers,
                    # A file read whole goes as one piece, not as a stream.
                    content=body.whole() or body,
                    extensions={"timeout": httpx.Timeout(timeout).as_dict()},
                )
                # Sent as built: no default headers, cookies or auth of the
                # client's, and no redirect to follow with the file.
                return await client.send(request, auth=None, follow_redirects=False)
            finally:
                await body.aclose()

        async with source.lock:
            try:
                outcome = await policy.run(
                    send,
                    what=f"PUT {redact_url(url)} ({source.filename})",
                    generation_id=generation_id,
                )
            except OSError as exc:
                # Deleted or made unreadable after it was checked.
                raise ValidationError(
                    f"Cannot read {source.filename}: {exc.strerror or exc}",
                    field="file",
                ) from exc
            except httpx.HTTPError as exc:  # not worth a retry: the proxy refused, a bad header, ...
                raise APIConnectionError(f"Upload of {source.filename} failed: {no_answer(exc, url)}") from exc
        tries = "" if outcome.tries == 1 else f" (after {outcome.tries} tries)"
        if outcome.error is not None:
            if isinstance(outcome.error, httpx.TimeoutException):
                raise APITimeoutError(
                    f"Upload of {source.filename} {timed_out(outcome.error, url, timeout)}{tries}"
                ) from outcome.error
            raise APIConnectionError(
                f"Upload of {source.filename} failed{tries}: {no_answer(outcome.error, url)}"
            ) from outcome.error
        response = outcome.response
        assert response is not None
        if not 200 <= response.status_code < 300:
            raise refusal(response, source.filename, generation_id, tries)
        return response


def _usable_url(url: str, filename: str, generation_id: str | None) -> httpx.URL:
    """The upload URL as httpx reads it, or `UploadError` when it cannot be
    used (refused before anything is sent)."""
    reason = None
    try:
        target = httpx.URL(url)
    except (httpx.InvalidURL, TypeError, ValueError) as exc:
        reason = str(exc) or "not a URL"
    else:
        if target.scheme not in ("http", "https"):
            reason = f"scheme {target.scheme!r} is not http or https"
        elif not target.host:
            reason = "it names no host"
        else:
            return target
    message = f"The service gave an upload URL for {filename} that cannot be used ({reason}): {redact_url(url)!r}"
    if generation_id is not None:
        message += f" [generation {generation_id}]"
    error = UploadError(message, filename=filename)
    error.generation_id = generation_id
    raise error


def refusal(
    response: httpx.Response,
    filename: str,
    generation_id: str | None = None,
    tries: str = "",
) -> UploadError:
    """The `UploadError` for a storage answer that is not a success.

    The message names the file, the status and storage's own reason, taken
    from the `<Message>` (or `<Code>`) of its XML error body.
    """
    status = response.status_code
    body = response.text
    reason = _element(body, "Message")
    if reason is None:
        reason = _element(body, "Code")
    detail = reason.strip() if reason is not None else body.strip()[:200]
    message = f"Storage refused the upload of {filename} (HTTP {status}){tries}"
    if detail:
        message += f": {detail}"
    if generation_id is not None:
        message += f" [generation {generation_id}]"
    error = UploadError(message, status_code=status, body=decoded_body(response, body), filename=filename, text=body)
    error.generation_id = generation_id
    return error


def _element(xml: str, tag: str) -> str | None:
    """The text of the first `<tag>...</tag>` of an XML error body, or None.

    Two searches, each once over the body: a pattern with a lazy group would
    go over the rest of the body again from every opening tag that is never
    closed, and a body of a few hundred kilobytes would hold the event loop
    for minutes.
    """
    start = xml.find(f"<{tag}>")
    if start < 0:
        return None
    start += len(tag) + 2
    end = xml.find(f"</{tag}>", start)
    return None if end < 0 else xml[start:end]
