"""Connection pools that follow the event loop they are used on.

An `httpx.AsyncClient`'s connections belong to the event loop that opened them:
another loop can neither use nor close them. A client object of ours may
outlive a loop (one `asyncio.run` after another), so each loop that uses a
`LoopPool` gets an `httpx.AsyncClient` of its own, closed when that loop shuts
down (`asyncio.run` and `asyncio.Runner` shut their loops down) or when the
pool is closed, whichever comes first.
"""

from __future__ import annotations

import asyncio
import weakref
from collections.abc import AsyncGenerator

import httpx

from ._checks import check_event_loop
from .exceptions import VelquorAIError

__all__ = ["LoopPool"]


class LoopPool:
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
    ) -> None:
        """Set the pool up; clients are made when a loop first asks.

        Args:
            given: A caller's client to use instead of clients of our own.
            transport: httpx transport for our own clients (None: the network).
        """
        self.given = given
        self._transport = transport
        self._closed = False
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
        if self.given is not None:
            return self.given
        loop = asyncio.get_running_loop()
        own = self._by_loop.get(loop)
        if own is None:
            # No base URL, no headers, redirects not followed: each request
            # brings its own.
            own = httpx.AsyncClient(transport=self._transport)
            closer = _close_with_loop(own)
            # Its first step registers it with the loop, whose shutdown
            # closes it while the loop still runs.
            await anext(closer)
            self._by_loop[loop] = own
            self._closers[loop] = closer
        return own

    async def aclose(self) -> None:
        """Close our clients (not a given one). Calling it again does nothing."""
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


async def _close_with_loop(client: httpx.AsyncClient) -> AsyncGenerator[None, None]:
    try:
        yield
    finally:
        await client.aclose()
