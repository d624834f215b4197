"""What a connection pool needs before its first request, made once per process.

Two costs would otherwise fall on the event loop, as a pause of tens of
milliseconds in the middle of the first request (a web server on that loop
stops answering meanwhile):

- the TLS context: httpx builds one for every client it makes, reading and
  parsing the whole certificate bundle each time;
- modules httpx imports only when it first sends (its connection pool, the
  network backend, the HTTP/1.1 state machine).

`prepare()` does both once per process for each set of TLS settings, and every
pool with those settings shares the one context. It runs at once when called
outside an event loop (a client built at start-up), and on a worker thread when
called on one, so that the loop never waits for it; `PreparedNetwork.context`
hands the result to a coroutine without blocking:

    prepared = prepare()  # at client construction
    ...
    context = await prepared.context()  # in the first request on a loop
    client = httpx.AsyncClient(verify=context)

A shared context is never changed after it is made. httpcore sets the ALPN
protocols of the context it is given at every connection it opens; the shared
context takes that as a no-op while the protocols are the ones it already has
(every pool of ours speaks HTTP/1.1), since changing a context that another
thread is opening a connection with would free memory that thread is reading.

The context is made as httpx makes it (`httpx.create_ssl_context`), from the
settings and the environment as they are when the client is built:
`SSL_CERT_FILE` and `SSL_CERT_DIR` (when `trust_env` is on) and
`SSLKEYLOGFILE` are part of the key, so a client built after one of them
changed gets a context of its own. A certificate file that changes on disk
is not read again (as with any one httpx client).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import importlib
import os
import ssl
import threading
from collections.abc import Iterable
from typing import Any

from .exceptions import APIConnectionError

__all__ = ["PreparedNetwork", "SharedSSLContext", "prepare", "warm_imports"]

# Imported by httpx and httpcore on first use rather than at import; imported
# here before the first request instead. The last two are ours, imported by a
# generation's first status check and file check.
FIRST_USE_MODULES = (
    "httpcore",
    "h11",
    "certifi",
    "sniffio",
    "anyio",
    "httpcore._backends.anyio",
    "anyio._backends._asyncio",
    "concurrent.futures.thread",
    "velquor_ai.util.poller",
    "velquor_ai.util.tamsel",
)

HTTP11 = ["http/1.1"]

_lock = threading.Lock()
_contexts: dict[tuple[Any, ...], concurrent.futures.Future[ssl.SSLContext]] = {}
_imported = False


class SharedSSLContext(ssl.SSLContext):
    """An `ssl.SSLContext` shared by many connection pools: its ALPN protocols
    are set once, and setting them again to the same list does nothing."""

    _alpn: list[str] | None = None

    def set_alpn_protocols(self, alpn_protocols: Iterable[str]) -> None:
        """Set the protocols the first time; later calls must name the same ones.

        Raises:
            ValueError: If other protocols are asked for than those set.
        """
        protocols = list(alpn_protocols)
        if self._alpn is None:
            super().set_alpn_protocols(protocols)
            self._alpn = protocols
        elif protocols != self._alpn:
            raise ValueError(f"This TLS context is shared and speaks {self._alpn}, not {protocols}")


class PreparedNetwork:
    """The imports and the TLS context of one set of settings, ready or on the way."""

    def __init__(self, key: tuple[Any, ...]) -> None:
        self._key = key
        _start(key)  # begun now, found in the cache when asked for

    async def context(self) -> ssl.SSLContext:
        """The TLS context, waited for without blocking the event loop.

        Raises:
            APIConnectionError: If it cannot be made (an `SSL_CERT_FILE` that
                cannot be read, say), with what making it raised as its cause.
        """
        # Looked up each time: one that failed has left the cache (made anew
        # for each pool, as httpx would: the file may be there now), and so
        # has one still being made when this process forked, by a thread this
        # process lacks.
        future = _start(self._key)
        try:
            if not future.done():
                await asyncio.wrap_future(future)
            return future.result()
        except Exception as exc:
            raise APIConnectionError(f"Cannot set up TLS from {_settings_text(self._key)}: {exc}") from exc


def settings_key(verify: bool | str, cert: Any, trust_env: bool) -> tuple[Any, ...]:
    """What the context made for these settings depends on, the environment included."""
    environ = os.environ
    return (
        verify,
        cert,
        trust_env,
        environ.get("SSL_CERT_FILE") if trust_env else None,
        environ.get("SSL_CERT_DIR") if trust_env else None,
        environ.get("SSLKEYLOGFILE"),
    )


def _settings_text(key: tuple[Any, ...]) -> str:
    """The settings a context was made from, as a message names them (the
    file of a client certificate, never its password)."""
    verify, cert, _, cert_file, cert_dir, keylog = key
    named = {
        "verify": verify if isinstance(verify, str) else None,
        "cert": cert if isinstance(cert, str) or cert is None else cert[0],
        "SSL_CERT_FILE": cert_file,
        "SSL_CERT_DIR": cert_dir,
        "SSLKEYLOGFILE": keylog,
    }
    given = [f"{name}={value}" for name, value in named.items() if value]
    return ", ".join(given) or "the default certificate bundle"


def prepare(verify: bool | str = True, cert: Any = None, trust_env: bool = True) -> PreparedNetwork:
    """The shared TLS context for these settings, made now or on its way, with
    the modules the first request needs imported before it is ready.

    Outside an event loop the work is done before this returns; on a running
    loop it is done on a worker thread.

    Args:
        verify: httpx's `verify`: True (the certificate bundle, or
            `SSL_CERT_FILE`/`SSL_CERT_DIR` with `trust_env`), False, or a path.
        cert: httpx's `cert`: a client certificate file, or (file, key[, password]).
        trust_env: Whether the `SSL_CERT_*` variables count.

    Examples:
        >>> prepared = prepare()
        >>> client = httpx.AsyncClient(verify=await prepared.context())
    """
    return PreparedNetwork(settings_key(verify, cert, trust_env))


def _start(key: tuple[Any, ...]) -> concurrent.futures.Future[ssl.SSLContext]:
    """The future of the context for `key`: the cached one, or a new one being made."""
    with _lock:
        future = _contexts.get(key)
        if future is not None:
            return future
        future = _contexts[key] = concurrent.futures.Future()
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        _make(key, future)
    else:
        # Not a daemon: the interpreter waits for it at exit (tens of
        # milliseconds) instead of stopping it in the middle of an import or of
        # the compiled modules' code, which a daemon thread woken during
        # finalization cannot survive.
        threading.Thread(target=_make, args=(key, future), name="velquor-ai-prepare").start()
    return future


def warm_imports() -> None:
    """Import what the first request would import on the event loop. Once per process."""
    global _imported
    if not _imported:
        for name in FIRST_USE_MODULES:
            try:
                importlib.import_module(name)
            except ImportError:  # pragma: no cover - left to the first request
                pass
        _imported = True


def _make(key: tuple[Any, ...], future: concurrent.futures.Future[ssl.SSLContext]) -> None:
    if not future.set_running_or_notify_cancel():  # pragma: no cover - never cancelled
        return
    try:
        warm_imports()
        import httpx

        verify, cert, trust_env = key[:3]
        context = httpx.create_ssl_context(verify=verify, cert=cert, trust_env=trust_env)
        # Still this process's own object: made shared before anyone sees it.
        context.__class__ = SharedSSLContext
        context.set_alpn_protocols(HTTP11)
    except BaseException as error:
        # Not kept: the next client with these settings tries again.
        with _lock:
            if _contexts.get(key) is future:
                del _contexts[key]
        future.set_exception(error)
        if not isinstance(error, Exception):
            raise
        return
    future.set_result(context)


def _forget_unfinished() -> None:
    """In a forked child: contexts still being made are made by a thread the
    child does not have; forget them (finished ones stay usable)."""
    global _lock
    _lock = threading.Lock()
    for key, future in list(_contexts.items()):
        if not future.done():
            del _contexts[key]


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_unfinished)
