"""Client configuration: constructor arguments first, environment variables second.

| argument            | environment variable        | default                      |
|---------------------|-----------------------------|------------------------------|
| `api_key`           | `VELQUOR_API_KEY`           | none: no auth header is sent |
| `base_url`          | `VELQUOR_BASE_URL`          | `http://127.0.0.1:8000`      |
| `timeout`           | `VELQUOR_TIMEOUT`           | 30.0 seconds per request     |
| `max_poll_interval` | `VELQUOR_MAX_POLL_INTERVAL` | 30 seconds                   |
| `max_file_size`     | `VELQUOR_MAX_FILE_SIZE`     | 104857600 bytes (100 MiB)    |
| `max_retries`       | `VELQUOR_MAX_RETRIES`       | 2 (0: every request once)    |

`max_retries` is how many times a request that failed for a passing reason (no
answer, a timeout, 408, 429 or a 5xx) is sent again.

The default address is the local reference service that the demos and tests start;
point `base_url` (or `VELQUOR_BASE_URL`) at the deployment you use. An environment
variable that is set but empty counts as unset. `timeout` is a number of seconds
or an `httpx.Timeout` (separate connect, read, write and pool limits); the
variable holds a number.

Values are checked when they are set, at construction and on later assignment, and
refused with `ValidationError` naming the setting (and the variable, when the value
came from the environment).
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Mapping
from typing import Any, ClassVar
from urllib.parse import urlsplit

import httpx

from ._logging import redact_url
from .exceptions import ValidationError

__all__ = ["DEFAULT_BASE_URL", "Config", "check_timeout"]

DEFAULT_BASE_URL = "http://127.0.0.1:8000"
DEFAULT_TIMEOUT = 30.0
DEFAULT_MAX_POLL_INTERVAL = 30
DEFAULT_MAX_FILE_SIZE = 100 * 1024 * 1024
DEFAULT_MAX_RETRIES = 2

ENV_API_KEY = "VELQUOR_API_KEY"
ENV_BASE_URL = "VELQUOR_BASE_URL"
ENV_TIMEOUT = "VELQUOR_TIMEOUT"
ENV_MAX_POLL_INTERVAL = "VELQUOR_MAX_POLL_INTERVAL"
ENV_MAX_FILE_SIZE = "VELQUOR_MAX_FILE_SIZE"
ENV_MAX_RETRIES = "VELQUOR_MAX_RETRIES"


def _check_api_key(value: Any) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise ValidationError("api_key must be a string", field="api_key")
    key: str = value.strip()
    if not key:
        return None
    # The key goes into an HTTP header: anything outside visible ASCII would
    # either be refused by the transport or split the header.
    if not all("!" <= ch <= "~" for ch in key):
        raise ValidationError("api_key may contain only visible ASCII characters", field="api_key")
    return key


def _check_base_url(value: Any) -> str:
    if not isinstance(value, str):
        raise ValidationError("base_url must be a string", field="base_url")
    url: str = value.strip()
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ValidationError(
            f"base_url must be an http:// or https:// URL with a host, got {url!r}",
            field="base_url",
        )
    if parts.query or parts.fragment:
        raise ValidationError("base_url must not carry a query or fragment", field="base_url")
    return url.rstrip("/")


def _check_positive_number(name: str, value: Any, minimum: float = 0.0) -> float | int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValidationError(f"{name} must be a number of seconds", field=name)
    if not math.isfinite(value) or value <= 0 or value < minimum:
        bound = f"at least {minimum:g}" if minimum > 0 else "greater than 0"
        raise ValidationError(f"{name} must be {bound}, got {value!r}", field=name)
    return value


def check_timeout(value: Any, name: str = "timeout") -> float | httpx.Timeout:
    """Return a request timeout: seconds (> 0), or an `httpx.Timeout` whose
    limits are each None or seconds (> 0). `name` is the setting's name in
    the `ValidationError` that refuses it."""
    if isinstance(value, httpx.Timeout):
        # None in a phase means "no limit" there, as httpx has it.
        for phase in ("connect", "read", "write", "pool"):
            limit = getattr(value, phase)
            if limit is not None:
                _check_positive_number(f"{name}.{phase}", limit)
        return value
    return float(_check_positive_number(name, value))


def _check_max_poll_interval(value: Any) -> float | int:
    # The poller sleeps whole seconds (it truncates with int()), so a cap below
    # one second would turn into back-to-back status requests.
    return _check_positive_number("max_poll_interval", value, minimum=1.0)


def _check_max_file_size(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValidationError("max_file_size must be an integer number of bytes", field="max_file_size")
    if value <= 0:
        raise ValidationError(
            f"max_file_size must be greater than 0, got {value!r}",
            field="max_file_size",
        )
    return value


def _check_max_retries(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValidationError("max_retries must be a whole number", field="max_retries")
    if value < 0:
        raise ValidationError(f"max_retries must not be negative, got {value!r}", field="max_retries")
    return value


def _parse_number(text: str) -> int | float:
    try:
        return int(text)
    except ValueError:
        return float(text)


_CHECKS: dict[str, Callable[[Any], Any]] = {
    "api_key": _check_api_key,
    "base_url": _check_base_url,
    "timeout": check_timeout,
    "max_poll_interval": _check_max_poll_interval,
    "max_file_size": _check_max_file_size,
    "max_retries": _check_max_retries,
}


class Config:
    """Settings of a client, with environment fallbacks.

    Attributes:
        api_key: Bearer token sent with every request, or None to send none.
        base_url: Address of the service, without a trailing slash.
        timeout: Request timeout: seconds (float, > 0) or an `httpx.Timeout`.
        max_poll_interval: Cap of the status poll interval in seconds (>= 1).
        max_file_size: Largest accepted input file in bytes (int, > 0).
        max_retries: Retries of a request that failed for a passing reason
            (int, >= 0; 0 turns retries off).

    Examples:
        >>> Config(api_key="sk-test", timeout=10).timeout
        10.0
    """

    __slots__ = (
        "api_key",
        "base_url",
        "max_file_size",
        "max_poll_interval",
        "max_retries",
        "timeout",
    )

    api_key: str | None
    base_url: str
    timeout: float | httpx.Timeout
    max_poll_interval: float | int
    max_file_size: int
    max_retries: int

    def __init__(
        self,
        api_key: str | None = None,
        base_url: str | None = None,
        timeout: float | httpx.Timeout | None = None,
        max_poll_interval: float | None = None,
        max_file_size: int | None = None,
        max_retries: int | None = None,
        *,
        environ: Mapping[str, str] | None = None,
    ) -> None:
        """Resolve every setting from its argument, its variable or its default.

        Args:
            api_key: API key; falls back to VELQUOR_API_KEY.
            base_url: Service address; falls back to VELQUOR_BASE_URL.
            timeout: Request timeout, in seconds or as an `httpx.Timeout`; falls
                back to VELQUOR_TIMEOUT (seconds).
            max_poll_interval: Poll interval cap in seconds; falls back to
                VELQUOR_MAX_POLL_INTERVAL.
            max_file_size: Input file limit in bytes; falls back to
                VELQUOR_MAX_FILE_SIZE.
            max_retries: Retries per request; falls back to VELQUOR_MAX_RETRIES.
            environ: Mapping read instead of `os.environ` (for tests and embedding).

        Raises:
            ValidationError: If a value, given or read from the environment, is invalid.
        """
        env = os.environ if environ is None else environ
        self.api_key = api_key if api_key is not None else _from_env(env, ENV_API_KEY, "api_key", str, None)
        self.base_url = (
            base_url if base_url is not None else _from_env(env, ENV_BASE_URL, "base_url", str, DEFAULT_BASE_URL)
        )
        self.timeout = (
            timeout if timeout is not None else _from_env(env, ENV_TIMEOUT, "timeout", _parse_number, DEFAULT_TIMEOUT)
        )
        self.max_poll_interval = (
            max_poll_interval
            if max_poll_interval is not None
            else _from_env(
                env,
                ENV_MAX_POLL_INTERVAL,
                "max_poll_interval",
                _parse_number,
                DEFAULT_MAX_POLL_INTERVAL,
            )
        )
        self.max_file_size = (
            max_file_size
            if max_file_size is not None
            else _from_env(env, ENV_MAX_FILE_SIZE, "max_file_size", int, DEFAULT_MAX_FILE_SIZE)
        )
        self.max_retries = (
            max_retries
            if max_retries is not None
            else _from_env(env, ENV_MAX_RETRIES, "max_retries", int, DEFAULT_MAX_RETRIES)
        )

    def __setattr__(self, name: str, value: Any) -> None:
        """Check a setting before storing it."""
        check = _CHECKS.get(name)
        if check is not None:
            value = check(value)
        object.__setattr__(self, name, value)

    def __eq__(self, other: object) -> bool:
        """Compare all settings."""
        if not isinstance(other, Config):
            return NotImplemented
        return all(getattr(self, n) == getattr(other, n) for n in self.__slots__)

    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        """Show the settings, with the API key and any password in the address masked."""
        key = None if self.api_key is None else "***"
        return (
            f"Config(api_key={key!r}, base_url={redact_url(self.base_url)!r}, "
            f"timeout={self.timeout!r}, max_poll_interval={self.max_poll_interval!r}, "
            f"max_file_size={self.max_file_size!r}, "
            f"max_retries={self.max_retries!r})"
        )


def _env_text(env: Mapping[str, str], variable: str) -> str | None:
    value = env.get(variable)
    return value if value else None


def _from_env(
    env: Mapping[str, str],
    variable: str,
    field: str,
    parse: Callable[[str], Any],
    default: Any,
) -> Any:
    """Read, parse and check one variable, naming it in any error."""
    text = _env_text(env, variable)
    if text is None:
        return default
    try:
        value = parse(text.strip())
        return _CHECKS[field](value)
    except (ValueError, ValidationError) as exc:
        detail = exc.message if isinstance(exc, ValidationError) else "not a valid value"
        raise ValidationError(
            f"Invalid value {text!r} in environment variable {variable}: {detail}",
            field=field,
        ) from exc
