# Generated from generations.py by tools/declarations.py: do not edit.
"""Generation resource management."""

import logging as logging
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List

from ..models.blueprint import GenerationResult as GenerationResult
from ..models.blueprint import GenerationStatus as GenerationStatus
from ..util.validators import validate_generation_id as validate_generation_id
from .base import BaseResource as BaseResource

if TYPE_CHECKING:
    from .._http import HTTPClient
    from .uploads import UploadsResource

logger: logging.Logger

class GenerationsResource(BaseResource):
    """Generation resource manager.

    Maps to:
    - POST /v1/generation
    - POST /v1/generation/{generation_id}/upload
    - POST /v1/generation/{generation_id}/start
    - GET /v1/generation/{generation_id}/result
    """

    _uploads: UploadsResource

    def __init__(self, http_client: HTTPClient, uploads: UploadsResource) -> None:
        """Initialize GenerationsResource.

        Args:
            http_client (HTTPClient): HTTP client instance.
            uploads (UploadsResource): UploadsResource instance for file upload operations.
        """

    async def create(self, question: str) -> GenerationResult:
        """Create generation record.

        Args:
            question (str): User question/prompt for blueprint generation.

        Returns:
            GenerationResult: The new record, with its generation_id and status "created".

        Examples:
            >>> generation = await client.generations.create("What is in the image?")
        """

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

    async def start(self, generation_id: str) -> GenerationStatus:
        """Start generation.

        Args:
            generation_id (str): Generation ID.

        Returns:
            GenerationStatus: GenerationStatus.

        Examples:
            >>> status = await client.generations.start("gen_123")
        """

    async def get_result(self, generation_id: str) -> GenerationResult:
        """Get generation result.

        Args:
            generation_id (str): Generation ID.

        Returns:
            GenerationResult: GenerationResult.

        Examples:
            >>> result = await client.generations.get_result("gen_123")
        """

__test__: dict[str, str]
