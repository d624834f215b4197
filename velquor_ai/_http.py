"""HTTP client of the service: JSON in, JSON out, typed errors.

One `httpx.AsyncClient` per `HTTPClient`, with the base URL, timeout and headers of
the configuration. Requests are sent once: there are no retries, so a failed call
raises at once and the caller decides whether to try again.
"""

from __future__ import annotations

import json as jsonlib
from types import TracebackType
from typing import Any, Self

import httpx

from . import __version__
from .config import Config
from .exceptions import (
    APIConnectionError,
    APIError,
    APITimeoutError,
    ValidationError,
    error_for_status,
)

__all__ = ["USER_AGENT", "HTTPClient"]

USER_AGENT = f"velquor-ai-python/{__version__}"

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

    def __init__(
        self, config: Config, *, transport: httpx.AsyncBaseTransport | None = None
    ) -> None:
        """Create the underlying connection pool.

        Args:
            config: Base URL and API key (taken now) and request timeout (read
                at each request).
            transport: httpx transport to use instead of the network one (for
                example `httpx.ASGITransport` to talk to an in-process service).
        """
        self.config = config
        headers = {"User-Agent": USER_AGENT, "Accept": "application/json"}
        if config.api_key:
            headers["Authorization"] = f"Bearer {config.api_key}"
        self._client = httpx.AsyncClient(
            base_url=config.base_url,
            headers=headers,
            timeout=config.timeout,
            transport=transport,
        )

    async def post(
        self, path: str, json: dict[str, Any] | None = None
    ) -> dict[str, Any]:
        """Send a POST request.

        Args:
            path: Service-relative path beginning with "/v1/".
            json: Request body, sent as JSON; with None the request has no body.

        Returns:
            The decoded JSON object of the answer ({} for an empty answer).

        Raises:
            ValidationError: If the path is not a plain service path.
            APIError: For an error status (as its subclass) or an answer that is
                not a JSON object.
            APIConnectionError: If no answer came back.
            APITimeoutError: If no answer came back within the timeout.
        """
        if json is None:
            return await self._request("POST", path)
        return await self._request("POST", path, json=json)

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
        """Close the connection pool. The client cannot be used afterwards."""
        await self._client.aclose()

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
        timeout = self.config.timeout
        try:
            response = await self._client.request(
                method, path, timeout=timeout, **kwargs
            )
        except httpx.TimeoutException as exc:
            raise APITimeoutError(
                f"{method} {path} timed out after {timeout:g}s"
            ) from exc
        except httpx.RequestError as exc:
            raise APIConnectionError(
                f"{method} {path} failed: {str(exc) or type(exc).__name__}"
            ) from exc
        return _decode(response)


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
    if any(ch in "?#\\" or ch.isspace() or not ch.isprintable() for ch in path):
        raise ValidationError(
            f"Request path contains a character that is not allowed: {path!r}",
            field="path",
        )
    if any(segment in ("", ".", "..") for segment in path[1:].split("/")):
        raise ValidationError(
            f"Request path contains an empty or dot segment: {path!r}", field="path"
        )


def _decode(response: httpx.Response) -> dict[str, Any]:
    status = response.status_code
    text = response.text
    if not 200 <= status < 300:
        # 3xx lands here too: redirects are not followed, so that the API key is
        # never sent to an address the caller did not configure.
        raise error_for_status(status, text, _error_message(text))
    if not response.content.strip():
        return {}
    try:
        data = response.json()
    except ValueError as exc:
        raise APIError(
            f"Service answered {status} with a body that is not JSON "
            f"(content type {response.headers.get('content-type', 'unknown')!r})",
            status_code=status,
            body=text,
        ) from exc
    if not isinstance(data, dict):
        raise APIError(
            f"Service answered {status} with JSON {type(data).__name__}, "
            "expected an object",
            status_code=status,
            body=text,
        )
    return data


def _error_message(text: str) -> str | None:
    """Pick the reason out of an error answer's body, if it states one."""
    try:
        data = jsonlib.loads(text)
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
