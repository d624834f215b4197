"""Base class of the service resources."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .._http import HTTPClient

__all__ = ["BaseResource"]


class BaseResource:
    """A group of service operations that share one HTTP client.

    Attributes:
        _http: The client through which the resource sends its requests. Subclasses
            read it; nothing reassigns it.
    """

    def __init__(self, http_client: HTTPClient) -> None:
        """Keep the HTTP client.

        Args:
            http_client: Client used for every request of the resource; any object
                with the coroutine methods `post(path, json=...)` and `get(path)`.
        """
        self._http = http_client
