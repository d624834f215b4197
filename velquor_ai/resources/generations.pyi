"""Generation resource management."""

import logging as logging
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any, Dict, List

from .._http import HTTPClient
from ..models.blueprint import GenerationResult as GenerationResult
from ..models.blueprint import GenerationStatus as GenerationStatus
from ..util.validators import validate_generation_id as validate_generation_id
from .base import BaseResource
from .uploads import UploadsResource

logger: logging.Logger

class GenerationsResource(BaseResource):
    """Generation resource manager."""

    _uploads: UploadsResource
    def __init__(self, http_client: HTTPClient, uploads: UploadsResource) -> None: ...
    async def create(self, question: str) -> GenerationResult: ...
    async def get_upload_urls(self, generation_id: str, filenames: List[str]) -> Dict[str, Any]: ...
    async def start(self, generation_id: str) -> GenerationStatus: ...
    async def get_result(self, generation_id: str) -> GenerationResult: ...

__test__: dict[str, str]
