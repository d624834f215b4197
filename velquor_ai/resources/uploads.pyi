"""Upload resource management."""

import logging as logging
import mimetypes as mimetypes
from typing import Any, Dict, List

import httpx as httpx

from ..util.validators import validate_execution_id as validate_execution_id
from ..util.validators import validate_generation_id as validate_generation_id
from .base import BaseResource

logger: logging.Logger

class UploadsResource(BaseResource):
    """Upload resource manager."""

    def _infer_content_type(self, filename: str) -> str: ...
    async def get_generation_upload_urls(self, generation_id: str, filenames: List[str]) -> Dict[str, Any]: ...
    async def get_execution_upload_urls(self, execution_id: str, filenames: List[str]) -> Dict[str, Any]: ...
    async def upload_file_to_s3(
        self, upload_url: str, file_data: bytes, content_type: str = "application/octet-stream"
    ) -> Dict[str, Any]: ...
    async def upload_files(self, upload_urls: List[Dict[str, Any]]) -> None: ...

__test__: dict[str, str]
