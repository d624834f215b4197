"""HTTP client of the service: JSON in, JSON out, typed errors, retries.

Every request is built whole from the configuration (address, key, timeout,
retries) and the client's default headers, so one connection pool can serve
several `HTTPClient`s with different settings (`HTTPClient.with_config`), and a
caller's own `httpx.AsyncClient` (proxies, certificates, event hooks) can be used
as it is. Our own pool follows the event loop (see `LoopPool`), so a client
outlives the loops that use it.

A request that fails for a passing reason (no answer, a timeout, 408, 429, 5xx)
is sent again up to `config.max_retries` times, with the pauses of `RetryPolicy`.
Every POST carries an `Idempotency-Key` header, the same on every retry of one
call, so that the service can tell a retry from a new request and never does the
work twice.
"""

from __future__ import annotations

import json as jsonlib
import re
import uuid
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Self

import httpx

from ._checks import RequestOptions, check_headers
from ._logging import redact_text
from ._pool import LoopPool
from ._retry import RetryPolicy
from ._version import __version__
from .config import DEFAULT_BASE_URL, ENV_BASE_URL, Config
from .exceptions import (
    APIConnectionError,
    APIError,
    APIResponseValidationError,
    APITimeoutError,
    ValidationError,
    error_for_status,
)

__all__ = [
    "REQUEST_ID_HEADER",
    "USER_AGENT",
    "HTTPClient",
    "decoded_body",
    "host_of",
    "idempotency_key",
    "last_request_id",
    "no_answer",
    "request_options",
    "request_timeout",
    "timed_out",
    "unexpected_answer",
]

USER_AGENT = f"velquor-ai-python/{__version__}"
IDEMPOTENCY_HEADER = "Idempotency-Key"
REQUEST_ID_HEADER = "x-request-id"

# The key the next POST of this task sends, when its caller cannot pass one
# (see `idempotency_key`).
_next_key: ContextVar[str | None] = ContextVar("velquor_idempotency_key", default=None)


@contextmanager
def idempotency_key(key: str | None) -> Iterator[None]:
    """Give the POSTs sent by this task inside the block the key `key`.

    For callers that reach `HTTPClient.post` through code that does not pass the
    key on (the resources). With None, every POST gets a key of its own.

    Examples:
        >>> with idempotency_key("order-17"):
        ...     record = await generations.create("What is shown?")
    """
    token = _next_key.set(key)
    try:
        yield
    finally:
        _next_key.reset(token)


_options: ContextVar[RequestOptions | None] = ContextVar("velquor_request_options", default=None)


@contextmanager
def request_options(options: RequestOptions | None) -> Iterator[None]:
    """Give the requests sent by this task inside the block `options` (None
    for none); the requests after it go without them.

    Examples:
        >>> with request_options(RequestOptions(headers={"X-Trace": "t-1"})):
        ...     record = await generations.create("What is shown?")
    """
    token = _options.set(options)
    try:
        yield
    finally:
        _options.reset(token)


def request_timeout(config: Config) -> float | httpx.Timeout:
    """The timeout of a request sent now: the call's, else the configuration's."""
    options = _options.get()
    if options is None or options.timeout is None:
        return config.timeout
    return options.timeout


@dataclass(frozen=True, slots=True)
class _Answer:
    """The last success answer this task decoded, for `unexpected_answer` and
    `last_request_id`. Its body is decoded to text only when an error quotes
    it, and the response itself is not kept (nor its request and connection)."""

    request: str
    status: int
    headers: httpx.Headers
    content: bytes

    @property
    def text(self) -> str:
        # Decoded as the response decodes it: by its declared charset.
        return httpx.Response(self.status, headers=self.headers, content=self.content[: 4 * _EXCERPT]).text[:_EXCERPT]

    @property
    def request_id(self) -> str | None:
        request_id: str | None = self.headers.get(REQUEST_ID_HEADER)
        return request_id


_last_answer: ContextVar[_Answer | None] = ContextVar("velquor_last_answer", default=None)
_EXCERPT = 500


def unexpected_answer(error: Exception) -> APIResponseValidationError:
    """The error that stands for the last success answer of this task not
    fitting the record made from it (`error`, the model's complaint).

    Examples:
        >>> try:
        ...     status = await generations.start(generation_id)
        ... except pydantic.ValidationError as exc:
        ...     raise unexpected_answer(exc) from exc
    """
    answer = _last_answer.get()
    detail = _first_line(error)
    if answer is None:
        return APIResponseValidationError(f"The service's answer does not have the expected form: {detail}")
    return APIResponseValidationError(
        f"The service's answer to {answer.request} (HTTP {answer.status}) does not have the expected form: {detail}",
        status_code=answer.status,
        body=answer.text,
        request_id=answer.request_id,
    )


def _first_line(error: Exception) -> str:
    """The model's complaint in short: pydantic's first error, on one line."""
    errors = getattr(error, "errors", None)
    if callable(errors):
        try:
            first = errors()[0]
            where = ".".join(str(part) for part in first.get("loc", ())) or "the answer"
            return f"{where}: {first.get('msg', 'not accepted')}"
        except Exception:  # noqa: BLE001 - only a fuller description is lost
            pass
    return " ".join(str(error).split())[:200] or type(error).__name__


def last_request_id() -> str | None:
    """The `x-request-id` of the service's answer to the last request this task
    completed (None when the answer had none): read it right after the await
    of a resource call, as the answer it was built from.

    Examples:
        >>> record = await generations.create("What is shown?")
        >>> last_request_id()
        'req_5f0c...'
    """
    answer = _last_answer.get()
    return None if answer is None else answer.request_id


# Keys under which services commonly put the reason of an error answer.
_MESSAGE_KEYS = ("detail", "message", "error")


class HTTPClient:
    """Send requests to the service and decode its JSON answers.

    Attributes:
        config: The configuration the client was built from.

    Examples:
        >>> async with HTTPClient(Config(api_key="sk-test")) as http:
        ...     answer = await http.get("/v1/generation/gen-1/result")
    """

    config: Config
    default_headers: dict[str, str]

    def __init__(
        self,
        config: Config,
        *,
        transport: httpx.AsyncBaseTransport | None = None,
        http_client: httpx.AsyncClient | None = None,
        default_headers: Mapping[str, str] | None = None,
        client_class: type[httpx.AsyncClient] = httpx.AsyncClient,
    ) -> None:
        """Set the client up; connections are opened by the first request.

        Args:
            config: Base URL, API key, request timeout and `max_retries` (read
                at each request).
            transport: httpx transport to use instead of the network one (for
                example `httpx.ASGITransport` to talk to an in-process service).
            http_client: An `httpx.AsyncClient` of the caller's to send the
                requests with; the caller keeps it and closes it.
            default_headers: Headers added to every request; they win over the
                client's own (User-Agent, Accept, Authorization).
            client_class: The class of the pool's own httpx clients.

        Raises:
            ValidationError: If a header name or value is not a string fit for
                an HTTP header, or both `transport` and `http_client` are given.
        """
        if transport is not None and http_client is not None:
            raise ValidationError("Pass either transport or http_client, not both", field="transport")
        if http_client is not None and not isinstance(http_client, httpx.AsyncClient):
            raise ValidationError(
                f"http_client must be an httpx.AsyncClient, not {type(http_client).__name__}",
                field="http_client",
            )
        self.config = config
        self.default_headers = check_headers(default_headers)
        self._pool = LoopPool(http_client, transport, client_class)
        self._owns_pool = True
        self._policy = RetryPolicy(max_retries=config.max_retries)

    def with_config(self, config: Config, default_headers: Mapping[str, str] | None = None) -> HTTPClient:
        """Return a client with other settings over the same connections.

        Closing the new client leaves the connections open; closing this one
        closes them for both.

        Args:
            config: Settings of the new client.
            default_headers: Its default headers (this client's when None).
        """
        twin = HTTPClient.__new__(HTTPClient)
        twin.config = config
        twin.default_headers = self.default_headers if default_headers is None else check_headers(default_headers)
        twin._pool = self._pool
        twin._owns_pool = False
        twin._policy = RetryPolicy(max_retries=config.max_retries)
        return twin

    async def post(
        self,
        path: str,
        json: dict[str, Any] | None = None,
        *,
        idempotency_key: str | None = None,
    ) -> dict[str, Any]:
        """Send a POST request, with an `Idempotency-Key` header.

        Args:
            path: Service-relative path beginning with "/v1/".
            json: Request body, sent as JSON; with None the request has no body.
            idempotency_key: Key of the request. Sending the same key with the
                same request again gets the first answer instead of doing the
                work twice. Default: the key set by `idempotency_key()`, else a
                new random one. Every retry of this call sends the same key.

        Returns:
            The decoded JSON object of the answer ({} for an empty answer).

        Raises:
            ValidationError: If the path is not a plain service path.
            APIError: For an error status (as its subclass) or an answer that is
                not a JSON object.
            APIConnectionError: If no answer came back.
            APITimeoutError: If no answer came back within the timeout.
        """
        key = idempotency_key or _next_key.get() or str(uuid.uuid4())
        headers = {IDEMPOTENCY_HEADER: key}
        if json is None:
            return await self._request("POST", path, headers=headers)
        return await self._request("POST", path, headers=headers, json=json)

    async def get(self, path: str) -> dict[str, Any]:
        """Send a GET request.

        Args:
            path: Service-relative path beginning with "/v1/".

        Returns:
            The decoded JSON object of the answer ({} for an empty answer).

        Raises:
            ValidationError: If the path is not a plain service path.
            APIError: For an error status (as its subclass) or an answer that is
                not a JSON object.
            APIConnectionError: If no answer came back.
            APITimeoutError: If no answer came back within the timeout.
        """
        return await self._request("GET", path)

    async def aclose(self) -> None:
        """Close the connection pool. The client cannot be used afterwards.

        A caller's `http_client` is left open, and so are the connections of
        a client made by `with_config`.
        """
        if self._owns_pool:
            await self._pool.aclose()

    async def close_given(self) -> None:
        """Close the caller's `http_client`, for an owner that alone can."""
        if self._owns_pool:
            await self._pool.close_given()

    async def __aenter__(self) -> Self:
        """Return the client itself."""
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Close the connection pool."""
        await self.aclose()

    async def _request(self, method: str, path: str, **kwargs: Any) -> dict[str, Any]:
        _check_path(path)
        # Read per request, so that a changed configuration applies at once.
        config = self.config
        options = _options.get()
        timeout = request_timeout(config)
        policy = self._policy
        if policy.max_retries != config.max_retries:
            policy = self._policy = RetryPolicy(max_retries=config.max_retries)
        client = await self._pool.client()
        url = config.base_url + path
        headers: dict[str, str] | httpx.Headers = {"User-Agent": USER_AGENT, "Accept": "application/json"}
        if config.api_key:
            headers["Authorization"] = f"Bearer {config.api_key}"
        if self.default_headers or options is not None:
            # Later ones win, whatever the case of their names.
            headers = httpx.Headers(headers)
            headers.update(self.default_headers)
            if options is not None:
                headers.update(options.headers)
                if options.query:
                    kwargs["params"] = options.query
                if options.body and isinstance(kwargs.get("json"), dict):
                    kwargs["json"] = {**kwargs["json"], **options.body}
        # Our own names only (Idempotency-Key): none of them is set above.
        headers.update(kwargs.pop("headers", {}))

        async def send(attempt: int) -> httpx.Response:
            return await client.request(
                method,
                url,
                headers=headers,
                timeout=timeout,
                # Never: the API key would follow to an address not configured.
                follow_redirects=False,
                **kwargs,
            )

        try:
            outcome = await policy.run(send, what=f"{method} {path}")
        except httpx.HTTPError as exc:  # not worth a retry: a fault of the request
            raise APIConnectionError(f"{method} {path} failed: {no_answer(exc, url)}") from exc
        if outcome.response is not None:
            decoded = _decode(outcome.response, outcome.tries)
            response = outcome.response
            _last_answer.set(_Answer(f"{method} {path}", response.status_code, response.headers, response.content))
            return decoded
        tries = _tries(outcome.tries)
        error = outcome.error
        assert error is not None
        if isinstance(error, httpx.TimeoutException):
            raise APITimeoutError(f"{method} {path} {timed_out(error, url, timeout)}{tries}") from error
        hint = ""
        if isinstance(error, httpx.ConnectError) and config.base_url == DEFAULT_BASE_URL:
            hint = (
                f"; base_url is the default, {DEFAULT_BASE_URL}: pass base_url= or set {ENV_BASE_URL} "
                "if the service is elsewhere"
            )
        raise APIConnectionError(f"{method} {path} failed: {no_answer(error, url)}{tries}{hint}") from error


def host_of(url: str | httpx.URL) -> str:
    """The host and port a URL addresses, and nothing else of it (its user
    information and query may be secrets).

    Examples:
        >>> host_of("https://user:pw@storage.example/put?signature=abc")
        'storage.example:443'
        >>> host_of("http://[::1]:8000/v1/generation")
        '[::1]:8000'
    """
    try:
        parsed = httpx.URL(url)
    except (httpx.InvalidURL, TypeError, ValueError):
        return "an address that is not a URL"
    host = parsed.host or "no host"
    port = parsed.port or {"http": 80, "https": 443}.get(parsed.scheme)
    if ":" in host:
        host = f"[{host}]"
    return host if port is None else f"{host}:{port}"


def no_answer(error: httpx.HTTPError, url: str | httpx.URL) -> str:
    """What a request to `url` that got no answer met, naming its host.

    Examples:
        >>> no_answer(httpx.ConnectError("All connection attempts failed"), "http://127.0.0.1:8000/v1/generation")
        'could not connect to 127.0.0.1:8000 (All connection attempts failed)'
    """
    detail = redact_text(str(error)) or type(error).__name__
    if isinstance(error, httpx.ConnectError):
        return f"could not connect to {host_of(url)} ({detail})"
    return f"the connection to {host_of(url)} failed ({detail})"


def timed_out(error: httpx.TimeoutException, url: str | httpx.URL, timeout: float | httpx.Timeout) -> str:
    """How a request to `url` timed out, naming its host: "timed out after 5s
    connecting to 127.0.0.1:8000"."""
    if isinstance(error, httpx.ConnectTimeout):
        doing = "connecting to"
    elif isinstance(error, httpx.PoolTimeout):
        doing = "waiting for a free connection to"
    else:
        doing = "waiting for"
    return f"timed out after {_timeout_text(timeout)} {doing} {host_of(url)}"


def _tries(count: int) -> str:
    """How often a request was sent, for the end of an error message."""
    return f" (after {count} tries)" if count > 1 else ""


def _timeout_text(timeout: float | httpx.Timeout) -> str:
    if isinstance(timeout, httpx.Timeout):
        return repr(timeout)
    return f"{timeout:g}s"


def _check_path(path: str) -> None:
    """Refuse paths that would leave the service's API.

    Identifiers are inserted verbatim into paths, so this is where a value such
    as "../admin", "x?y=1" or "//other.host/" is stopped before it can redirect
    the request, and the API key with it, elsewhere.
    """
    if not isinstance(path, str) or not path.startswith("/v1/"):
        raise ValidationError(
            f"Request path must be a string beginning with '/v1/', got {path!r}",
            field="path",
        )
    # Every whitespace character but the space is also unprintable.
    if not path.isprintable() or _NOT_IN_PATH.search(path):
        raise ValidationError(
            f"Request path contains a character that is not allowed: {path!r}",
            field="path",
        )
    if _EMPTY_OR_DOT_SEGMENT.search(path):
        raise ValidationError(f"Request path contains an empty or dot segment: {path!r}", field="path")


_NOT_IN_PATH = re.compile(r"[?#\\ ]")
# After the leading slash: a segment that is empty ("//", a slash at the end), "." or "..".
_EMPTY_OR_DOT_SEGMENT = re.compile(r"//|/\Z|/\.\.?(?:/|\Z)")


def _decode(response: httpx.Response, tries: int = 1) -> dict[str, Any]:
    status = response.status_code
    if not 200 <= status < 300:
        # 3xx lands here too: redirects are not followed, so that the API key is
        # never sent to an address the caller did not configure.
        raise _status_error(response, response.text, tries)
    content = response.content
    if not content.strip():
        return {}
    try:
        # From the bytes, as response.json() does; the text (and the charset
        # it is decoded with) is needed only for an error.
        data = _json(content)
    except ValueError as exc:
        raise APIError(
            f"Service answered {status} with a body that is not JSON "
            f"(content type {response.headers.get('content-type', 'unknown')!r})",
            status_code=status,
            body=response.text,
            request_id=response.headers.get(REQUEST_ID_HEADER),
        ) from exc
    if not isinstance(data, dict):
        raise APIError(
            f"Service answered {status} with JSON {type(data).__name__}, expected an object",
            status_code=status,
            body=data,
            request_id=response.headers.get(REQUEST_ID_HEADER),
            text=response.text,
        )
    return data


def _json(data: str | bytes) -> Any:
    """Decode JSON from an answer; JSON nested deeper than the decoder can go
    is refused as not JSON (`ValueError`), like any other body it cannot read."""
    try:
        return jsonlib.loads(data)
    except RecursionError as exc:
        raise ValueError("JSON nested too deeply to decode") from exc


def decoded_body(response: httpx.Response, text: str) -> object:
    """An answer's body for `APIError.body`: its JSON decoded when the answer
    says it is JSON (and it is), else its text."""
    media_type = response.headers.get("content-type", "").partition(";")[0].strip().lower()
    if media_type != "application/json" and not media_type.endswith("+json"):
        return text
    try:
        return _json(text)
    except ValueError:
        return text


def _status_error(response: httpx.Response, text: str, tries: int) -> APIError:
    """The typed error of an error answer; its message names the status, as in
    "Generation gen_1 not found (HTTP 404)" or, when the answer gives no reason,
    "HTTP 503 Service Unavailable"."""
    status = response.status_code
    reason = _error_message(text)
    if reason:
        after = f", after {tries} tries" if tries > 1 else ""
        message = f"{reason} (HTTP {status}{after})"
    else:
        message = error_for_status(status, None).message + _tries(tries)
    return error_for_status(
        status, decoded_body(response, text), message, request_id=response.headers.get(REQUEST_ID_HEADER), text=text
    )


def _error_message(text: str) -> str | None:
    """Pick the reason out of an error answer's body, if it states one."""
    try:
        data = _json(text)
    except ValueError:
        return None
    if not isinstance(data, dict):
        return None
    for key in _MESSAGE_KEYS:
        value = data.get(key)
        if isinstance(value, dict) and isinstance(value.get("message"), str):
            value = value["message"]
        if isinstance(value, str) and value.strip():
            return value.strip()
        if value not in (None, "", [], {}):
            # Structured detail, e.g. a list of field errors: keep it readable.
            return jsonlib.dumps(value, ensure_ascii=False, sort_keys=True)
    return None
