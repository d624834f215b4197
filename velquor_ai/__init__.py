"""Python client of the blueprint service.

Configuration and the exception hierarchy are available from the package root;
the compiled core modules are imported from their own modules.
"""

# Bound before anything else: modules imported below (and the HTTP client, which
# puts it into its User-Agent) read it from the partly initialised package.
__version__ = "0.1.0"

from .config import Config
from .exceptions import (
    APIConnectionError,
    APIError,
    APITimeoutError,
    AuthenticationError,
    BadRequestError,
    ConflictError,
    InternalServerError,
    NotFoundError,
    PermissionDeniedError,
    RateLimitError,
    TimeoutError,  # the package's own, not the builtin
    UnprocessableEntityError,
    ValidationError,
    VelquorAIError,
)

__all__ = [
    "APIConnectionError",
    "APIError",
    "APITimeoutError",
    "AuthenticationError",
    "BadRequestError",
    "Config",
    "ConflictError",
    "InternalServerError",
    "NotFoundError",
    "PermissionDeniedError",
    "RateLimitError",
    "TimeoutError",
    "UnprocessableEntityError",
    "ValidationError",
    "VelquorAIError",
    "__version__",
]
