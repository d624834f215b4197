"""Connection pools that follow the event loop they are used on.

An `httpx.AsyncClient`'s connections belong to the event loop that opened them:
another loop can neither use nor close them. A client object of ours may
outlive a loop (one `asyncio.run` after another), so each loop that uses a
`LoopPool` gets an `httpx.AsyncClient` of its own, closed when that loop shuts
down (`asyncio.run` and `asyncio.Runner` shut their loops down) or when the
pool is closed, whichever comes first. The clients made for the network share
the process's TLS context for their settings (see `_network`), made when the
pool is, not on the loop.

In a process forked after the pool was used, the parent's clients and their
connections are left alone (see `_fork`): the child opens its own, and a
caller's client has its pooled connections set aside before the child sends
with it.
"""

from __future__ import annotations

import asyncio
import ssl
import weakref
from collections.abc import AsyncGenerator
from typing import Any

import httpx

from ._checks import check_event_loop
from ._fork import ForkAware, park
from ._network import prepare
from .exceptions import VelquorAIError

__all__ = ["LoopPool", "leave_connections"]


class LoopPool(ForkAware):
    """The `httpx.AsyncClient` for the running event loop.

    Attributes:
        given: A caller's client, used as it is on every loop, or None.

    Examples:
        >>> pool = LoopPool(None, None)
        >>> response = await (await pool.client()).get("https://example.org")
        >>> await pool.aclose()
    """

    def __init__(
        self,
        given: httpx.AsyncClient | None,
        transport: httpx.AsyncBaseTransport | None,
        client_class: type[httpx.AsyncClient] = httpx.AsyncClient,
    ) -> None:
        """Set the pool up; clients are made when a loop first asks.

        Args:
            given: A caller's client to use instead of clients of our own.
            transport: httpx transport for our own clients (None: the network).
            client_class: The class of our own clients (`AiohttpClient` for
                the aiohttp backend).
        """
        super().__init__()
        self.given = given
        self._transport = transport
        self._client_class = client_class
        # httpx's default settings: certificates checked against the bundle,
        # or SSL_CERT_FILE / SSL_CERT_DIR as set now.
        self._network = prepare() if given is None and transport is None else None
        self._closed = False
        # Set when a caller's client could not be freed of the connections
        # it had before this process forked.
        self._given_unusable = False
        self._by_loop: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, httpx.AsyncClient] = (
            weakref.WeakKeyDictionary()
        )
        self._closers: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, AsyncGenerator[None, None]] = (
            weakref.WeakKeyDictionary()
        )

    async def client(self) -> httpx.AsyncClient:
        """The client to send with on the running loop.

        Raises:
            VelquorAIError: If the pool is closed, or the running event loop
                is not asyncio's.
        """
        if self._closed:
            raise VelquorAIError("The client is closed")
        check_event_loop()
        self.check_fork()
        if self.given is not None:
            if self.given.is_closed:
                raise VelquorAIError("The http_client given to the client has been closed")
            if self._given_unusable:
                raise VelquorAIError(
                    "The http_client given to the client was used before this process was forked, "
                    "and its connections belong to the parent process: give a client made in this process"
                )
            return self.given
        loop = asyncio.get_running_loop()
        own = self._by_loop.get(loop)
        verify: ssl.SSLContext | bool = True
        if own is None and self._network is not None:
            # Awaited, never waited for: it may still be on its way.
            verify = await self._network.context()
            if self._closed:
                raise VelquorAIError("The client is closed")
            own = self._by_loop.get(loop)  # made meanwhile by another task
        if own is None:
            # No base URL, no headers, redirects not followed: each request
            # brings its own.
            own = self._client_class(transport=self._transport, verify=verify)
            closer = _close_with_loop(own)
            # Its first step registers it with the loop, whose shutdown
            # closes it while the loop still runs.
            await anext(closer)
            self._by_loop[loop] = own
            self._closers[loop] = closer
        return own

    async def aclose(self) -> None:
        """Close our clients (not a given one). Calling it again does nothing."""
        self.check_fork()
        self._closed = True
        closers = dict(self._closers)
        self._by_loop.clear()
        self._closers.clear()
        current = asyncio.get_running_loop()
        for loop, closer in closers.items():
            if loop is current:
                await closer.aclose()
            elif loop.is_running():
                # Closed on its own loop, which still serves other work.
                asyncio.run_coroutine_threadsafe(closer.aclose(), loop)

    async def close_given(self) -> None:
        """Close the caller's client, for an owner that alone can."""
        self.check_fork()
        if self.given is not None and not self._given_unusable:
            await self.given.aclose()

    def _leave_parent(self) -> None:
        park(dict(self._by_loop), dict(self._closers))
        self._by_loop = weakref.WeakKeyDictionary()
        self._closers = weakref.WeakKeyDictionary()
        if self.given is not None and not leave_connections(self.given):
            self._given_unusable = True


def leave_connections(client: httpx.AsyncClient) -> bool:
    """Set aside the pooled connections of a client inherited through a fork,
    so that it opens new ones; the old ones are parked, never closed.

    Returns:
        Whether it could be done: False when a transport of the client keeps
        its connections in a way not known here (it may be used only when it
        has none).
    """
    transports: list[object] = [getattr(client, "_transport", None)]
    transports += list(getattr(client, "_mounts", {}).values())
    for transport in transports:
        if transport is None or not isinstance(transport, httpx.AsyncHTTPTransport):
            continue  # in-process and mock transports hold no sockets
        pool: Any = getattr(transport, "_pool", None)
        connections = getattr(pool, "_connections", None)
        if not isinstance(connections, list):
            return False
        park(connections)
        try:
            pool._connections = []
            pool._requests = []
            # A lock that a thread of the parent may have held at the fork.
            pool._optional_thread_lock = type(pool._optional_thread_lock)()
        except (AttributeError, TypeError):
            return False
    return True


async def _close_with_loop(client: httpx.AsyncClient) -> AsyncGenerator[None, None]:
    try:
        yield
    finally:
        await client.aclose()
