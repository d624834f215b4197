"""Exception hierarchy of the velquor_ai package.

Every exception the package raises on purpose derives from `VelquorAIError`, so a
caller can catch the whole family with one clause:

    VelquorAIError
    ├── ValidationError           bad argument or configuration value
    ├── TimeoutError              an operation ran out of its time budget
    │   │                         (not the builtin `TimeoutError`; the package
    │   │                         root exports it as `VelquorTimeoutError`)
    │   └── GenerationTimeoutError    a generation did not finish in time
    ├── GenerationFailedError     the service reported a generation as failed
    ├── OnPremiseError            the on-premise library failed (I/O, bad output)
    └── APIError                  the service or the network failed a request
        ├── BadRequestError           400
        ├── AuthenticationError       401
        ├── PermissionDeniedError     403
        ├── NotFoundError             404
        ├── ConflictError             409
        ├── UnprocessableEntityError  422
        ├── RateLimitError            429
        ├── InternalServerError       500 and above
        ├── UploadError               object storage refused an upload
        ├── APIResponseValidationError    a success answer of a form not expected
        └── APIConnectionError        no answer: refused, reset, DNS, TLS, ...
            └── APITimeoutError       no answer in time (also a `TimeoutError`)
"""

from __future__ import annotations

from http import HTTPStatus
from typing import Any

__all__ = [
    "APIConnectionError",
    "APIError",
    "APIResponseValidationError",
    "APITimeoutError",
    "AuthenticationError",
    "BadRequestError",
    "ConflictError",
    "GenerationFailedError",
    "GenerationTimeoutError",
    "InternalServerError",
    "NotFoundError",
    "OnPremiseError",
    "PermissionDeniedError",
    "RateLimitError",
    "TimeoutError",
    "UnprocessableEntityError",
    "UploadError",
    "ValidationError",
    "VelquorAIError",
    "error_for_status",
]


class VelquorAIError(Exception):
    """Base class of every exception raised by the package.

    Attributes:
        generation_id: Identifier of the generation the failure belongs to, when
            one had been created (set on every error that leaves
            `AsyncVelquorAI.generate` after creation), else None. With it the
            caller can pick the generation up again with `wait_for_result`.
    """

    generation_id: str | None = None


class ValidationError(VelquorAIError):
    """An argument or configuration value was refused before anything was sent.

    Attributes:
        message: What is wrong, in words.
        field: Name of the offending argument or setting, or None.
    """

    def __init__(self, message: str, field: str | None = None) -> None:
        """Create the error.

        Args:
            message: What is wrong, in words.
            field: Name of the offending argument or setting.
        """
        # Both values go into args so that the exception survives pickling
        # (multiprocessing, logging handlers in other processes) intact.
        super().__init__(message, field)
        self.message = message
        self.field = field

    def __str__(self) -> str:
        """Return the message alone."""
        return self.message


class TimeoutError(VelquorAIError):  # shadows the builtin on purpose
    """An operation ran out of its time budget (for example a status poll).

    This is not the builtin `TimeoutError`; catch `velquor_ai.TimeoutError`.
    """

    def __init__(self, message: str) -> None:
        """Create the error.

        Args:
            message: What timed out, in words.
        """
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        """Return the message alone."""
        return self.message


class GenerationTimeoutError(TimeoutError):
    """A generation was still running when the caller's time budget ran out.

    The generation goes on on the service; its identifier lets the caller fetch
    the result later.

    Attributes:
        message: What timed out, in words.
        generation_id: Identifier of the generation, or None in on-premise mode.
    """

    def __init__(self, message: str, generation_id: str | None = None) -> None:
        """Create the error.

        Args:
            message: What timed out, in words.
            generation_id: Identifier of the unfinished generation.
        """
        super().__init__(message)
        self.generation_id = generation_id

    def __reduce__(
        self,
    ) -> tuple[type[GenerationTimeoutError], tuple[str, str | None], dict[str, Any]]:
        """Rebuild from the message and the identifier, then the other attributes."""
        return (type(self), (self.message, self.generation_id), self.__dict__)


class GenerationFailedError(VelquorAIError):
    """The service finished a generation with the status "failed".

    Attributes:
        message: What went wrong, in words (includes the service's reason).
        generation_id: Identifier of the failed generation.
        error: The service's reason as it reported it: text, an `ErrorDetail`,
            or None when it gave none.
    """

    def __init__(self, message: str, generation_id: str | None = None, error: Any = None) -> None:
        """Create the error.

        Args:
            message: What went wrong, in words.
            generation_id: Identifier of the failed generation.
            error: The reason the service reported.
        """
        super().__init__(message, generation_id, error)
        self.message = message
        self.generation_id = generation_id
        self.error = error

    def __str__(self) -> str:
        """Return the message alone."""
        return self.message


class OnPremiseError(VelquorAIError):
    """The on-premise library failed for a reason other than the caller's input,
    for example an input file that could not be read or an output that could not
    be written.

    Attributes:
        message: What went wrong, in words.
    """

    def __init__(self, message: str) -> None:
        """Create the error.

        Args:
            message: What went wrong, in words.
        """
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        """Return the message alone."""
        return self.message


class APIError(VelquorAIError):
    """A request to the service failed.

    Attributes:
        message: What went wrong, taken from the service's answer where it said so.
        status_code: HTTP status of the answer, or None when there was no answer.
        body: The answer's body: its decoded JSON (a dict, a list, ...) when the
            answer was JSON, else its text; None when there was no answer.
        text: The answer's body as text, JSON or not; None when there was no
            answer.
        request_id: The service's identifier of the request (its `x-request-id`
            answer header), or None when there was no answer or it sent none.
            Quote it when reporting a problem to the service's operators.

    Examples:
        >>> try:
        ...     client.generate("What is shown?", images=["cat.png"])
        ... except APIError as error:
        ...     if isinstance(error.body, dict):
        ...         print(error.body.get("detail"))
    """

    request_id: str | None = None
    text: str | None = None

    def __init__(
        self,
        message: str,
        status_code: int | None = None,
        body: object = None,
        *,
        request_id: str | None = None,
        text: str | None = None,
    ) -> None:
        """Create the error.

        Args:
            message: What went wrong, in words.
            status_code: HTTP status of the answer, if any.
            body: The answer's body, decoded when it was JSON, if any.
            request_id: The answer's `x-request-id` header, if any.
            text: The answer's body as text; default `body` when that is text.
        """
        # Called by name, not through super(): in APITimeoutError the next class
        # in the MRO is the package TimeoutError, whose constructor takes only
        # the message.
        VelquorAIError.__init__(self, message, status_code, body)
        self.message = message
        self.status_code = status_code
        self.body = body
        if text is None and isinstance(body, str):
            text = body
        if text is not None:
            self.text = text
        if request_id is not None:
            self.request_id = request_id

    def __str__(self) -> str:
        """Return the message alone."""
        return self.message


class BadRequestError(APIError):
    """The service refused the request as malformed (400)."""


class AuthenticationError(APIError):
    """The API key is missing or was not accepted (401)."""


class PermissionDeniedError(APIError):
    """The API key may not do what was asked (403)."""


class NotFoundError(APIError):
    """The addressed generation, execution or route does not exist (404)."""


class ConflictError(APIError):
    """The request conflicts with the record's current state (409)."""


class UnprocessableEntityError(APIError):
    """The request was well formed but its content was refused (422)."""


class RateLimitError(APIError):
    """Too many requests; try again later (429)."""


class InternalServerError(APIError):
    """The service failed on its side (500 and above)."""


class UploadError(APIError):
    """Object storage refused the upload of an input file to its presigned URL,
    for example because the URL's signature did not match or it had expired.

    Attributes:
        filename: Name of the file whose upload was refused.
    """

    def __init__(
        self,
        message: str,
        status_code: int | None = None,
        body: object = None,
        filename: str | None = None,
        *,
        text: str | None = None,
    ) -> None:
        """Create the error.

        Args:
            message: What went wrong, in words.
            status_code: HTTP status of the storage's answer.
            body: The storage's answer: decoded when it was JSON, else its text.
            filename: Name of the file whose upload was refused.
            text: The storage's answer as text (default `body` when that is text).
        """
        super().__init__(message, status_code=status_code, body=body, text=text)
        self.filename = filename

    def __reduce__(
        self,
    ) -> tuple[
        type[UploadError],
        tuple[str, int | None, object, str | None],
        dict[str, Any],
    ]:
        """Rebuild from all four values, then the other attributes."""
        return (
            type(self),
            (self.message, self.status_code, self.body, self.filename),
            self.__dict__,
        )


class APIResponseValidationError(APIError):
    """The service answered with success, but with a body this client cannot
    read as the record it asked for (a field missing or of the wrong kind).

    Attributes:
        status_code: HTTP status of the answer (a 2xx).
        body: The start of the answer's body, at most 500 characters.
        request_id: The answer's `x-request-id` header, if any.
    """


class APIConnectionError(APIError):
    """No answer came back: the connection was refused, reset or never made."""


class APITimeoutError(APIConnectionError, TimeoutError):
    """No answer came back within the configured request timeout.

    It is both an `APIConnectionError` and the package's `TimeoutError`, so either
    `except` clause catches it.
    """

    def __init__(self, message: str) -> None:
        """Create the error.

        Args:
            message: What timed out, in words.
        """
        APIConnectionError.__init__(self, message)

    def __reduce__(self) -> tuple[type[APITimeoutError], tuple[str], dict[str, Any]]:
        """Rebuild from the message (the constructor takes only that), then the
        other attributes."""
        return (type(self), (self.message,), self.__dict__)


_STATUS_CLASSES: dict[int, type[APIError]] = {
    400: BadRequestError,
    401: AuthenticationError,
    403: PermissionDeniedError,
    404: NotFoundError,
    409: ConflictError,
    422: UnprocessableEntityError,
    429: RateLimitError,
}


def error_for_status(
    status_code: int,
    body: object,
    message: str | None = None,
    *,
    request_id: str | None = None,
    text: str | None = None,
) -> APIError:
    """Build the exception that stands for an error answer of the service.

    Args:
        status_code: HTTP status of the answer.
        body: The answer's body: its decoded JSON, or its text.
        message: What went wrong; defaults to the status line, such as
            "HTTP 404 Not Found".
        request_id: The answer's `x-request-id` header, if any.
        text: The answer's body as text (default `body` when that is text).

    Returns:
        An instance of the `APIError` subclass for the status (for example
        `NotFoundError` for 404, `InternalServerError` for any status of 500 or
        above), or of `APIError` itself for a status without a class of its own.
        The caller raises it.
    """
    if message is None:
        try:
            phrase = HTTPStatus(status_code).phrase
        except ValueError:
            phrase = ""
        message = f"HTTP {status_code} {phrase}".rstrip()
    if status_code >= 500:
        cls: type[APIError] = InternalServerError
    else:
        cls = _STATUS_CLASSES.get(status_code, APIError)
    return cls(message, status_code=status_code, body=body, request_id=request_id, text=text)
