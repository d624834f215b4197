"""An httpx client whose requests go out through aiohttp (the `aiohttp` extra).

httpx's own connection pool looks at every connection it holds on each
request, and asks the operating system whether each idle one is still open:
its cost per request grows with the number of connections, which is what
many generations at once make. aiohttp's pool hands out an idle connection
without that walk. `AiohttpClient` is an `httpx.AsyncClient` in every other
respect (requests, responses, event hooks, auth, proxies from arguments or the
environment, mounts), and raises httpx's exceptions, so the clients' retries
and error messages work on it unchanged:

    pip install 'velquor-ai[aiohttp]'

    async with AsyncVelquorAI(api_key="sk-...", http_client=AiohttpClient()) as client:
        ...

    async with AsyncVelquorAI(api_key="sk-...", http_backend="aiohttp") as client:
        ...  # the client's own pools (service and storage) on aiohttp

Each event loop that sends through a transport gets an aiohttp session of its
own, made at its first request; `aclose()` closes the session of the running
loop (one of a loop that has ended is dropped with the loop).

What differs from httpx's transport: HTTP/1.1 only (http2=True is refused),
no SOCKS proxies, no per-phase write timeout (aiohttp has none); the connect
timeout bounds the socket's connection, the pool timeout the wait for a
connection, the read timeout each read. A request that brings no timeouts
gets httpx's default of 5 seconds for each.
"""

from __future__ import annotations

import asyncio
import ssl
import weakref
from collections.abc import AsyncIterator
from typing import Any

import httpx

from ._fork import ForkAware, park
from ._network import prepare

try:
    import aiohttp
    import yarl
except ImportError as exc:  # pragma: no cover - the extra is not installed
    raise ImportError("The aiohttp transport needs aiohttp: pip install 'velquor-ai[aiohttp]'", name=exc.name) from exc

__all__ = ["AiohttpClient", "AiohttpTransport"]

# Bytes read from a response at a time.
READ_CHUNK = 1 << 16
DEFAULT_TIMEOUT = httpx.Timeout(5.0)
# httpx's: at most 100 connections, idle ones kept 5 seconds.
DEFAULT_LIMITS = httpx.Limits(max_connections=100, max_keepalive_connections=20)
# Headers aiohttp would add on its own; httpx has set the ones it wants.
_AUTO_HEADERS = ("Accept", "Accept-Encoding", "User-Agent", "Content-Type")


class AiohttpTransport(httpx.AsyncBaseTransport, ForkAware):
    """An httpx transport that sends with an aiohttp session.

    Examples:
        >>> client = httpx.AsyncClient(transport=AiohttpTransport())
    """

    def __init__(
        self,
        *,
        verify: ssl.SSLContext | str | bool = True,
        cert: Any = None,
        trust_env: bool = True,
        limits: httpx.Limits = DEFAULT_LIMITS,
        proxy: httpx.Proxy | None = None,
    ) -> None:
        """Set the transport up; sessions and connections are made by the first request.

        Args:
            verify: As for httpx: True (the certificate bundle, or
                `SSL_CERT_FILE`/`SSL_CERT_DIR` with `trust_env`), False, a
                path, or an `ssl.SSLContext`.
            cert: As for httpx: a client certificate to present.
            trust_env: Whether the `SSL_CERT_*` variables count for `verify=True`.
            limits: Most connections (`max_connections`, None for no limit),
                and how long an idle one is kept (`keepalive_expiry`).
            proxy: An HTTP proxy to send through.

        Raises:
            ValueError: For a SOCKS proxy.
        """
        ForkAware.__init__(self)
        if proxy is not None and proxy.url.scheme not in ("http", "https"):
            raise ValueError(f"The aiohttp transport cannot use a {proxy.url.scheme} proxy")
        if isinstance(verify, ssl.SSLContext):
            self._ssl: ssl.SSLContext | None = verify
            self._prepared = None
        else:
            self._ssl = None
            self._prepared = prepare(verify, cert, trust_env)
        self._limits = limits
        self._proxy = proxy
        self._sessions: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, aiohttp.ClientSession] = (
            weakref.WeakKeyDictionary()
        )

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        """Send `request` and return its answer, its body still to be read.

        Raises:
            httpx.TimeoutException, httpx.NetworkError, httpx.RemoteProtocolError,
            httpx.ProxyError, httpx.UnsupportedProtocol: as httpx's transport would.
            APIConnectionError: If the TLS context of `verify` and `cert`
                cannot be made (httpx's own transport refuses them when made).
        """
        session = await self._session()
        timeouts = request.extensions.get("timeout") or DEFAULT_TIMEOUT.as_dict()
        headers = request.headers
        # What reading the request's own body raised (a file that changed, say):
        # aiohttp would wrap it as a connection error.
        body_errors: list[BaseException] = []
        if "content-length" in headers and isinstance(request.stream, httpx.ByteStream):
            data: Any = await request.aread()
        elif "content-length" in headers or "transfer-encoding" in headers:
            data = _body(request, body_errors)
        else:
            data = None
        proxy = self._proxy
        with _mapped(request, "connect", body_errors):
            response = await session.request(
                request.method,
                # As httpx encoded it: a presigned URL's signature covers its exact form.
                yarl.URL(str(request.url), encoded=True),
                headers=headers.multi_items(),
                data=data,
                skip_auto_headers=[name for name in _AUTO_HEADERS if name not in headers],
                allow_redirects=False,
                timeout=aiohttp.ClientTimeout(
                    total=None,
                    connect=timeouts.get("pool"),
                    sock_connect=timeouts.get("connect"),
                    sock_read=timeouts.get("read"),
                ),
                proxy=None if proxy is None else str(proxy.url),
                proxy_auth=None if proxy is None or proxy.raw_auth is None else aiohttp.BasicAuth(*_auth(proxy)),
                proxy_headers=None if proxy is None else dict(proxy.headers.items()),
            )
        return httpx.Response(
            response.status,
            headers=list(response.raw_headers),
            stream=_ResponseStream(response, request),
            extensions={"http_version": b"HTTP/1.1", "reason_phrase": (response.reason or "").encode("latin-1")},
        )

    async def aclose(self) -> None:
        """Close the running loop's session and its connections; forget the others."""
        self.check_fork()
        sessions = dict(self._sessions)
        self._sessions.clear()
        try:
            current = asyncio.get_running_loop()
        except RuntimeError:  # pragma: no cover - closed outside a loop
            return
        session = sessions.get(current)
        if session is not None:
            await session.close()

    def _leave_parent(self) -> None:
        # The parent's sessions, their connections and the loops they run on
        # are left to it; this process makes its own.
        park(dict(self._sessions))
        self._sessions = weakref.WeakKeyDictionary()

    async def _session(self) -> aiohttp.ClientSession:
        self.check_fork()
        loop = asyncio.get_running_loop()
        session = self._sessions.get(loop)
        if session is not None:
            return session
        if self._prepared is not None:
            context = await self._prepared.context()
        else:
            assert self._ssl is not None
            context = self._ssl
        session = self._sessions.get(loop)  # made by another task meanwhile
        if session is None:
            limits = self._limits
            connector = aiohttp.TCPConnector(
                limit=limits.max_connections or 0,
                limit_per_host=0,
                keepalive_timeout=limits.keepalive_expiry if limits.keepalive_expiry is not None else 3600,
                ssl=context,
            )
            session = aiohttp.ClientSession(
                connector=connector,
                # httpx decodes, follows redirects, handles cookies and reads
                # the proxy settings.
                auto_decompress=False,
                cookie_jar=aiohttp.DummyCookieJar(),
                trust_env=False,
                timeout=aiohttp.ClientTimeout(total=None),
            )
            # aiohttp sends a GET or PUT again, once, when a kept-alive
            # connection turns out closed; the clients' retry policy decides
            # that (and counts it), so the session does not.
            session._retry_connection = False
            self._sessions[loop] = session
        return session


class AiohttpClient(httpx.AsyncClient):
    """An `httpx.AsyncClient` whose requests go out through aiohttp, proxies
    (given or from the environment) included.

    Examples:
        >>> async with AiohttpClient(timeout=30) as http:
        ...     response = await http.get("https://example.org")
    """

    def _init_transport(
        self,
        verify: ssl.SSLContext | str | bool = True,
        cert: Any = None,
        trust_env: bool = True,
        http1: bool = True,
        http2: bool = False,
        limits: httpx.Limits = DEFAULT_LIMITS,
        transport: httpx.AsyncBaseTransport | None = None,
    ) -> httpx.AsyncBaseTransport:
        if transport is not None:
            return transport
        _refuse_http2(http2)
        return AiohttpTransport(verify=verify, cert=cert, trust_env=trust_env, limits=limits)

    def _init_proxy_transport(
        self,
        proxy: httpx.Proxy,
        verify: ssl.SSLContext | str | bool = True,
        cert: Any = None,
        trust_env: bool = True,
        http1: bool = True,
        http2: bool = False,
        limits: httpx.Limits = DEFAULT_LIMITS,
    ) -> httpx.AsyncBaseTransport:
        _refuse_http2(http2)
        return AiohttpTransport(verify=verify, cert=cert, trust_env=trust_env, limits=limits, proxy=proxy)


def _refuse_http2(http2: bool) -> None:
    if http2:
        raise ValueError("The aiohttp transport speaks HTTP/1.1 only: leave http2 off")


def _auth(proxy: httpx.Proxy) -> tuple[str, str]:
    assert proxy.raw_auth is not None
    user, password = proxy.raw_auth
    return user.decode("latin-1"), password.decode("latin-1")


async def _body(request: httpx.Request, errors: list[BaseException]) -> AsyncIterator[bytes]:
    try:
        async for chunk in request.stream:  # type: ignore[union-attr]
            yield chunk
    except BaseException as error:
        errors.append(error)
        raise


class _ResponseStream(httpx.AsyncByteStream):
    def __init__(self, response: aiohttp.ClientResponse, request: httpx.Request) -> None:
        self._response = response
        self._request = request

    async def __aiter__(self) -> AsyncIterator[bytes]:
        with _mapped(self._request, "read"):
            async for chunk in self._response.content.iter_chunked(READ_CHUNK):
                yield chunk

    async def aclose(self) -> None:
        # Back to the pool when the body was read to its end, else closed.
        self._response.release()


class _mapped:
    """Raise httpx's exception for aiohttp's, as httpx's own transport would."""

    def __init__(self, request: httpx.Request, phase: str, body_errors: list[BaseException] | None = None) -> None:
        self.request = request
        self.phase = phase
        self.body_errors = body_errors

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, traceback: Any) -> None:
        if error is None:
            return
        if self.body_errors and error is not self.body_errors[0]:
            # The request's body failed: its own error, as httpx raises it.
            raise self.body_errors[0]
        if not isinstance(error, (aiohttp.ClientError, TimeoutError)):
            return
        request = self.request
        message = str(error) or type(error).__name__
        mapped: httpx.TransportError
        if isinstance(error, aiohttp.ConnectionTimeoutError):
            mapped = httpx.ConnectTimeout(message, request=request)
        elif isinstance(error, TimeoutError):
            if self.phase == "connect" and not isinstance(error, aiohttp.SocketTimeoutError):
                mapped = httpx.PoolTimeout(message, request=request)
            else:
                mapped = httpx.ReadTimeout(message, request=request)
        elif isinstance(error, aiohttp.ClientProxyConnectionError):
            mapped = httpx.ProxyError(message, request=request)
        elif isinstance(error, aiohttp.ClientConnectorError):
            mapped = httpx.ConnectError(message, request=request)
        elif isinstance(error, (aiohttp.ServerDisconnectedError, aiohttp.ClientPayloadError)):
            mapped = httpx.RemoteProtocolError(message, request=request)
        elif isinstance(error, aiohttp.ClientResponseError):
            # An answer that is not HTTP: a status line or header aiohttp cannot read.
            mapped = httpx.RemoteProtocolError(message, request=request)
        elif isinstance(error, (aiohttp.InvalidURL, aiohttp.NonHttpUrlClientError)):
            mapped = httpx.UnsupportedProtocol(message, request=request)
        elif isinstance(error, aiohttp.ClientOSError):
            # Reset or broken once connected (a failed connection is a ClientConnectorError).
            mapped = httpx.ReadError(message, request=request)
        else:
            mapped = httpx.NetworkError(message, request=request)
        raise mapped from error
