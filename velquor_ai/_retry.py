"""When a failed request is tried again, and after how long.

One policy serves the service's requests and the uploads to storage alike:

- retried: connection errors and timeouts (no answer came back), and the answers
  408, 429 and every 5xx;
- never retried: every other answer, the other 4xx among them;
- the pause before retry n (1, 2, ...) is 0.5 s doubled n - 1 times, capped at
  8 s, less up to a quarter at random (jitter), unless the answer says how long
  to wait: `retry-after-ms` (milliseconds) or `Retry-After` (seconds, or an HTTP
  date), taken when it is between 0 and 60 s.

    policy = RetryPolicy(max_retries=2)
    outcome = await policy.run(lambda attempt: client.send(request), what="POST /v1/generation")
    outcome.response, outcome.error, outcome.tries

Each retry leaves one INFO record on the "velquor_ai._retry" logger: the request,
what made it fail, the attempt out of the allowed ones, the pause and the
generation concerned, for example

    POST /v1/generation/gen_1/start: HTTP 503 Service Unavailable on attempt 1 of 3;
    retrying in 0.47s [generation gen_1]

The record also carries these as attributes (`attempt`, `max_attempts`,
`delay`, `cause`, `generation_id`) for handlers that filter or format them.
"""

from __future__ import annotations

import asyncio
import email.utils
import logging
import math
import random
import time
from collections.abc import Awaitable, Callable, Iterator, Mapping
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from http import HTTPStatus

import httpx

from ._logging import redact_text

__all__ = [
    "DEFAULT_MAX_RETRIES",
    "Outcome",
    "RetryPolicy",
    "about_generation",
    "current_generation",
    "is_retryable_error",
    "is_retryable_status",
    "retry_after",
]

DEFAULT_MAX_RETRIES = 2
INITIAL_DELAY = 0.5
MAX_DELAY = 8.0
MAX_RETRY_AFTER = 60.0
# The computed pause is shortened by up to this share, at random, so that
# clients that failed together do not come back together.
JITTER = 0.25

logger = logging.getLogger(__name__)

# The generation the requests of this task belong to, named in the retry records.
_generation: ContextVar[str | None] = ContextVar("velquor_generation", default=None)


@contextmanager
def about_generation(generation_id: str) -> Iterator[None]:
    """Name `generation_id` in the retry records of the requests sent inside the block.

    Examples:
        >>> with about_generation("gen_1"):
        ...     await generations.start("gen_1")
    """
    token = _generation.set(generation_id)
    try:
        yield
    finally:
        _generation.reset(token)


def current_generation() -> str | None:
    """The generation set by the innermost `about_generation` of this task, or None."""
    return _generation.get()


def is_retryable_status(status: int) -> bool:
    """Whether an answer with this HTTP status is worth trying again.

    Examples:
        >>> [is_retryable_status(s) for s in (200, 404, 408, 429, 503)]
        [False, False, True, True, True]
    """
    return status in (408, 429) or status >= 500


def is_retryable_error(error: BaseException) -> bool:
    """Whether a request that raised `error` (and got no answer) may be sent again.

    Timeouts, refused or dropped connections and a server that closed the
    connection without answering qualify; mistakes of the request itself (a bad
    URL, an unsupported protocol) do not.
    """
    return isinstance(error, (httpx.TimeoutException, httpx.NetworkError, httpx.RemoteProtocolError))


def retry_after(headers: Mapping[str, str] | None, now: float | None = None) -> float | None:
    """The pause an answer asks for, in seconds, or None when it asks for none.

    `retry-after-ms` wins over `Retry-After`; a value that cannot be read, is
    negative or exceeds 60 s counts as not given.

    Examples:
        >>> retry_after({"retry-after": "2"})
        2.0
        >>> retry_after({"retry-after-ms": "1500", "retry-after": "9"})
        1.5
        >>> retry_after({"retry-after": "3600"}) is None
        True
    """
    if not headers:
        return None
    seconds: float | None = None
    millis = _header(headers, "retry-after-ms")
    if millis is not None:
        seconds = _number(millis)
        if seconds is not None:
            seconds /= 1000
    if seconds is None:
        value = _header(headers, "retry-after")
        if value is not None:
            seconds = _number(value)
            if seconds is None:
                seconds = _http_date_delay(value, time.time() if now is None else now)
    if seconds is None or not 0 <= seconds <= MAX_RETRY_AFTER:
        return None
    return seconds


@dataclass(frozen=True, slots=True)
class Outcome:
    """What the last try of a request gave.

    Attributes:
        response: The last answer, or None when the last try got none.
        error: What the last try raised instead of answering, or None.
        tries: How many times the request was sent.
    """

    response: httpx.Response | None
    error: httpx.HTTPError | None
    tries: int


@dataclass(frozen=True, slots=True)
class RetryPolicy:
    """How often and after what pause a failed request is sent again.

    Attributes:
        max_retries: Tries after the first; 0 sends every request once.
        initial_delay: Pause before the first retry, in seconds.
        max_delay: Longest computed pause, in seconds.
    """

    max_retries: int = DEFAULT_MAX_RETRIES
    initial_delay: float = INITIAL_DELAY
    max_delay: float = MAX_DELAY

    def backoff(self, retry: int, rand: Callable[[], float] = random.random) -> float:
        """The computed pause before retry number `retry` (1 for the first).

        Examples:
            >>> RetryPolicy().backoff(1, rand=lambda: 0.0)
            0.5
            >>> RetryPolicy().backoff(10, rand=lambda: 0.0)
            8.0
        """
        base = min(self.initial_delay * 2.0 ** (retry - 1), self.max_delay)
        return base * (1 - JITTER * rand())

    def delay(
        self,
        retry: int,
        headers: Mapping[str, str] | None = None,
        rand: Callable[[], float] = random.random,
    ) -> float:
        """The pause before retry number `retry`: what the answer asked for, if
        it asked for an acceptable pause, else the computed one."""
        asked = retry_after(headers)
        return self.backoff(retry, rand) if asked is None else asked

    def should_retry(
        self,
        tries: int,
        *,
        response: httpx.Response | None = None,
        error: BaseException | None = None,
    ) -> bool:
        """Whether a request sent `tries` times, which gave `response` or raised
        `error`, is to be sent again."""
        if tries > self.max_retries:
            return False
        if response is not None:
            return is_retryable_status(response.status_code)
        return error is not None and is_retryable_error(error)

    async def run(
        self,
        send: Callable[[int], Awaitable[httpx.Response]],
        *,
        deadline: float | None = None,
        sleep: Callable[[float], Awaitable[object]] = asyncio.sleep,
        what: str = "request",
        generation_id: str | None = None,
    ) -> Outcome:
        """Send a request until it needs no retry, or the retries are spent.

        Args:
            send: Sends the request once; called with the try's number (1, 2,
                ...). It must send the whole request anew each time (a body
                stream reopened from its start, the same idempotency key).
            deadline: `time.monotonic()` value after which no retry is begun
                (a pause that would end past it is not taken).
            sleep: The pause (tests pass a fake).
            what: The request as the retry records name it, such as
                "POST /v1/generation"; no secrets (a presigned URL without its
                query).
            generation_id: The generation named in the retry records; default
                the one of `about_generation`.

        Returns:
            The last answer or the last retryable error, with the number of tries.
            Errors that are not worth a retry propagate from `send` unchanged.
        """
        tries = 0
        while True:
            tries += 1
            response: httpx.Response | None = None
            error: httpx.HTTPError | None = None
            try:
                response = await send(tries)
            except httpx.HTTPError as exc:
                if not is_retryable_error(exc):
                    raise
                error = exc
            if not self.should_retry(tries, response=response, error=error):
                return Outcome(response, error, tries)
            pause = self.delay(tries, response.headers if response is not None else None)
            if deadline is not None and time.monotonic() + pause > deadline:
                return Outcome(response, error, tries)
            _log_retry(
                what,
                _cause(response, error),
                tries,
                self.max_retries + 1,
                pause,
                generation_id or _generation.get(),
            )
            if response is not None:
                # The answer is dropped unread; its connection goes back to the pool.
                await response.aclose()
            await sleep(pause)


def _cause(response: httpx.Response | None, error: BaseException | None) -> str:
    """What made a try fail, in words: "HTTP 503 Service Unavailable", "ConnectError: ..."."""
    if response is not None:
        try:
            phrase = HTTPStatus(response.status_code).phrase
        except ValueError:
            phrase = ""
        return f"HTTP {response.status_code} {phrase}".rstrip()
    name = type(error).__name__
    detail = str(error)
    return f"{name}: {redact_text(detail)}" if detail else name


def _log_retry(
    what: str,
    cause: str,
    attempt: int,
    max_attempts: int,
    delay: float,
    generation_id: str | None,
) -> None:
    about = f" [generation {generation_id}]" if generation_id else ""
    logger.info(
        "%s: %s on attempt %d of %d; retrying in %.2fs%s",
        what,
        cause,
        attempt,
        max_attempts,
        delay,
        about,
        extra={
            "attempt": attempt,
            "max_attempts": max_attempts,
            "delay": delay,
            "cause": cause,
            "generation_id": generation_id,
        },
    )


def _header(headers: Mapping[str, str], name: str) -> str | None:
    value = headers.get(name)
    if value is None and not isinstance(headers, httpx.Headers):
        # A plain dict: match the name without regard to case.
        for key, candidate in headers.items():
            if key.lower() == name:
                return candidate
    return value


def _number(text: str) -> float | None:
    try:
        value = float(text.strip())
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _http_date_delay(text: str, now: float) -> float | None:
    try:
        when = email.utils.parsedate_to_datetime(text.strip())
    except (TypeError, ValueError, IndexError):
        return None
    if when.tzinfo is None:
        return None
    return max(0.0, when.timestamp() - now)
