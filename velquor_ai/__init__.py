"""Python client of the blueprint service.

    with VelquorAI(api_key="sk-...", base_url="https://...") as client:
        result = client.generate("What is in the image?", images=["cat.png"])
        print(result.blueprint)

    async with AsyncVelquorAI(api_key="sk-...", base_url="https://...") as client:
        result = await client.generate("What is in the image?", images=["cat.png"])

The client, its configuration and the exception hierarchy are available from the
package root. The compiled core modules are imported from their own modules, and
only when first used, so importing the package stays light.
"""

import importlib.util as _importlib_util

# The compiled modules live beside their sources only once built. Python started
# in a source checkout imports the sources from there; fail at once, saying
# what to do, rather than halfway through the first call.
if _importlib_util.find_spec(f"{__name__}.util.validators") is None:
    raise ImportError(
        f"velquor_ai's compiled modules are not built in {__path__[0]}: run "
        "`make install` or `pip install .` and use the installed package (from "
        "outside the source tree), or `make dev` to build them in place"
    )
del _importlib_util

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
