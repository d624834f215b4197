"""Python client of the blueprint service.

    with VelquorAI(api_key="sk-...", base_url="https://...") as client:
        result = client.generate("What is in the image?", images=["cat.png"])
        print(result.blueprint)

    async with AsyncVelquorAI(api_key="sk-...", base_url="https://...") as client:
        result = await client.generate("What is in the image?", images=["cat.png"])

The client, its configuration and the exception hierarchy are available from the
package root. The core modules are imported from their own modules, and only
when first used, so importing the package stays light; `compiled` says whether
they are the compiled ones or their Python.
"""

from typing import TYPE_CHECKING, Any

from . import _mode

#: True when the package runs its compiled core modules, False when it runs
#: their Python (where none are built for this interpreter, or when
#: VELQUOR_PURE_PYTHON=1 asks for it).
compiled: bool = _mode.use_compiled_modules(__path__[0])
if not compiled:
    from ._pure import install as _install_pure

    _install_pure(__name__, _mode.CORE_MODULES)
    del _install_pure

from ._logging import setup_logging as _setup_logging

_setup_logging()
del _setup_logging

from ._version import __version__
from .batch import Job, JobOutcome
from .client import AsyncVelquorAI, ProgressEvent, VelquorAI
from .config import Config
from .exceptions import (
    APIConnectionError,
    APIError,
    APIResponseValidationError,
    APITimeoutError,
    AuthenticationError,
    BadRequestError,
    ConflictError,
    GenerationFailedError,
    GenerationTimeoutError,
    InternalServerError,
    NotFoundError,
    OnPremiseError,
    PermissionDeniedError,
    RateLimitError,
    TimeoutError,  # noqa: F401 - the package's own; left out of __all__, see below
    UnprocessableEntityError,
    UploadError,
    ValidationError,
    VelquorAIError,
)
from .exceptions import TimeoutError as VelquorTimeoutError

if TYPE_CHECKING:
    from ._aiohttp import AiohttpClient as AiohttpClient
    from ._aiohttp import AiohttpTransport as AiohttpTransport


def __getattr__(name: str) -> Any:
    """`AiohttpClient` and `AiohttpTransport`, imported when first asked for:
    they need the `aiohttp` extra (ImportError, naming it, without)."""
    if name in ("AiohttpClient", "AiohttpTransport"):
        from . import _aiohttp

        return getattr(_aiohttp, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "APIConnectionError",
    "APIError",
    "APIResponseValidationError",
    "APITimeoutError",
    "AsyncVelquorAI",
    "AuthenticationError",
    "BadRequestError",
    "Config",
    "ConflictError",
    "GenerationFailedError",
    "GenerationTimeoutError",
    "InternalServerError",
    "Job",
    "JobOutcome",
    "NotFoundError",
    "OnPremiseError",
    "PermissionDeniedError",
    "ProgressEvent",
    "RateLimitError",
    "UnprocessableEntityError",
    "UploadError",
    "ValidationError",
    "VelquorAI",
    "VelquorAIError",
    "VelquorTimeoutError",
    "__version__",
]
# `velquor_ai.TimeoutError` still names the package's timeout error, but a star
# import brings it in as `VelquorTimeoutError`, leaving the builtin alone.
