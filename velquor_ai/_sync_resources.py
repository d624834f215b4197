"""The service resources of the blocking client: `VelquorAI.generations` and
`VelquorAI.uploads`.

Each method is the blocking form of the async resource's method of the same
name, with the same parameters, result and errors; it runs that method on the
client's event loop thread and waits for it there:

    with VelquorAI(api_key="sk-...") as client:
        record = client.generations.create("What is shown?")
        client.generations.start(record.generation_id)
        result = client.generations.get_result(record.generation_id)
"""

from __future__ import annotations

from collections.abc import Coroutine
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

if TYPE_CHECKING:
    from .models.blueprint import GenerationResult, GenerationStatus
    from .resources.generations import GenerationsResource
    from .resources.uploads import UploadsResource

__all__ = ["SyncGenerationsResource", "SyncUploadsResource"]

_R = TypeVar("_R")


class _Runner(Protocol):
    """Runs a coroutine on the client's loop and waits for its result."""

    def run(self, coroutine: Coroutine[Any, Any, _R]) -> _R: ...


class SyncGenerationsResource:
    """The generation resource of `VelquorAI`: the service's generation
    records, one request per call.

    The blocking form of `velquor_ai.resources.generations.GenerationsResource`
    (`AsyncVelquorAI.generations`); `VelquorAI.generate` does all of it in one call.

    Examples:
        >>> record = client.generations.create("What is shown?")
        >>> client.generations.start(record.generation_id)
        >>> client.generations.get_result(record.generation_id).status
        'processing'
    """

    def __init__(self, resource: GenerationsResource, runner: _Runner) -> None:
        """Wrap the async client's resource, run on the client's loop thread."""
        self._resource = resource
        self._runner = runner

    def create(self, question: str) -> GenerationResult:
        """Create a generation record (POST /v1/generation).

        Args:
            question: The question the generation answers.

        Returns:
            The new record, with its generation_id and status "created".

        Raises:
            APIError: If the service refuses the request (as its subclass).
            APIConnectionError: If the service cannot be reached.
        """
        return self._runner.run(self._resource.create(question))

    def get_upload_urls(self, generation_id: str, filenames: list[str]) -> dict[str, Any]:
        """Ask for presigned upload URLs of a generation's input files.

        Args:
            generation_id: Identifier of the generation.
            filenames: Names of the files to upload.

        Returns:
            The service's answer: {"upload_urls": [{"filename", "upload_url",
            "content_type", ...}]}.

        Raises:
            ValidationError: If the identifier is refused before sending.
            APIError: If the service refuses the request (as its subclass).
            APIConnectionError: If the service cannot be reached.
        """
        return self._runner.run(self._resource.get_upload_urls(generation_id, filenames))

    def start(self, generation_id: str) -> GenerationStatus:
        """Start a generation whose inputs are uploaded.

        Args:
            generation_id: Identifier of the generation.

        Returns:
            Its status, "processing" once accepted.

        Raises:
            ValidationError: If the identifier is refused before sending.
            APIError: If the service refuses the request (as its subclass).
            APIConnectionError: If the service cannot be reached.
        """
        return self._runner.run(self._resource.start(generation_id))

    def get_result(self, generation_id: str) -> GenerationResult:
        """Fetch a generation's record as it stands (one status check, no waiting).

        Args:
            generation_id: Identifier of the generation.

        Returns:
            The record; `blueprint` is set once the status is "completed".

        Raises:
            ValidationError: If the identifier is refused before sending.
            NotFoundError: If the service knows no such generation (and the
                other `APIError` subclasses for the other error answers).
            APIConnectionError: If the service cannot be reached.
        """
        return self._runner.run(self._resource.get_result(generation_id))


class SyncUploadsResource:
    """The upload resource of `VelquorAI`: presigned upload URLs and uploads.

    The blocking form of `velquor_ai.resources.uploads.UploadsResource`
    (`AsyncVelquorAI.uploads`).

    Examples:
        >>> answer = client.uploads.get_generation_upload_urls(generation_id, ["cat.png"])
        >>> target = answer["upload_urls"][0]
        >>> client.uploads.upload_file_to_s3(target["upload_url"], data, target["content_type"])
    """

    def __init__(self, resource: UploadsResource, runner: _Runner) -> None:
        """Wrap the async client's resource, run on the client's loop thread."""
        self._resource = resource
        self._runner = runner

    def get_generation_upload_urls(self, generation_id: str, filenames: list[str]) -> dict[str, Any]:
        """Ask for presigned upload URLs of a generation's input files.

        Args:
            generation_id: Identifier of the generation.
            filenames: Names of the files to upload.

        Returns:
            The service's answer: {"upload_urls": [...]}.

        Raises:
            ValidationError: If the identifier is refused before sending.
            APIError: If the service refuses the request (as its subclass).
            APIConnectionError: If the service cannot be reached.
        """
        return self._runner.run(self._resource.get_generation_upload_urls(generation_id, filenames))

    def get_execution_upload_urls(self, execution_id: str, filenames: list[str]) -> dict[str, Any]:
        """Ask for presigned upload URLs of an execution's input files, as
        `get_generation_upload_urls` does for a generation's (`execution_id`
        in place of `generation_id`)."""
        return self._runner.run(self._resource.get_execution_upload_urls(execution_id, filenames))

    def upload_file_to_s3(
        self, upload_url: str, file_data: bytes, content_type: str = "application/octet-stream"
    ) -> dict[str, Any]:
        """PUT bytes to a presigned upload URL, once.

        Args:
            upload_url: The presigned URL.
            file_data: The bytes to store.
            content_type: The Content-Type the URL was signed for.

        Returns:
            {"status": "uploaded", "size": ...}.

        Raises:
            Exception: If storage refuses the upload, with its status and answer.
        """
        return self._runner.run(self._resource.upload_file_to_s3(upload_url, file_data, content_type))

    def upload_files(self, upload_urls: list[dict[str, Any]]) -> None:
        """Name each upload of a `get_*_upload_urls` answer in the log; the
        bytes are sent with `upload_file_to_s3`.

        Args:
            upload_urls: The "upload_urls" list of a `get_*_upload_urls` answer.
        """
        return self._runner.run(self._resource.upload_files(upload_urls))
