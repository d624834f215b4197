"""Generation resource management."""

import logging
from typing import TYPE_CHECKING, Any, Dict, List

from ..models.blueprint import GenerationResult, GenerationStatus
from ..util.validators import validate_generation_id
from .base import BaseResource

if TYPE_CHECKING:
    from .._http import HTTPClient
    from .uploads import UploadsResource

logger = logging.getLogger(__name__)


class GenerationsResource(BaseResource):
    """Generation resource manager.

    Maps to:
    - POST /v1/generation
    - POST /v1/generation/{generation_id}/upload
    - POST /v1/generation/{generation_id}/start
    - GET /v1/generation/{generation_id}/result
    """

    def __init__(self, http_client: "HTTPClient", uploads: "UploadsResource") -> None:
        """Initialize GenerationsResource.

        Args:
            http_client (HTTPClient): HTTP client instance.
            uploads (UploadsResource): UploadsResource instance for file upload operations.
        """
        super().__init__(http_client)
        self._uploads = uploads

    async def create(self, question: str) -> GenerationResult:
        """Create generation record.

        Args:
            question (str): User question/prompt for blueprint generation.

        Returns:
            GenerationResult: The new record, with its generation_id and status "created".

        Examples:
            >>> generation = await client.generations.create("What is in the image?")
        """
        body = {"question": question}
        response = await self._http.post("/v1/generation", json=body)
        return GenerationResult(**response)

    async def get_upload_urls(self, generation_id: str, filenames: List[str]) -> Dict[str, Any]:
        """Get file upload URLs for generation inputs.

        Args:
            generation_id (str): Generation ID.
            filenames (List[str]): List of filenames.

        Returns:
            Dict[str, Any]: Dict with upload_urls.

        Examples:
            >>> urls = await client.generations.get_upload_urls("gen_123", ["input.jpg"])
        """
        return await self._uploads.get_generation_upload_urls(generation_id, filenames)

    async def start(self, generation_id: str) -> GenerationStatus:
        """Start generation.

        Args:
            generation_id (str): Generation ID.

        Returns:
            GenerationStatus: GenerationStatus.

        Examples:
            >>> status = await client.generations.start("gen_123")
        """
        validate_generation_id(generation_id)

        response = await self._http.post(f"/v1/generation/{generation_id}/start")
        return GenerationStatus(**response)

    async def get_result(self, generation_id: str) -> GenerationResult:
        """Get generation result.

        Args:
            generation_id (str): Generation ID.

        Returns:
            GenerationResult: GenerationResult.

        Examples:
            >>> result = await client.generations.get_result("gen_123")
        """
        validate_generation_id(generation_id)

        response = await self._http.get(f"/v1/generation/{generation_id}/result")
        return GenerationResult(**response)
