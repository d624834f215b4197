# Generated from uploads.py by tools/declarations.py: do not edit.
"""Upload resource management."""

import logging as logging
import mimetypes as mimetypes
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List

import httpx as httpx

from ..util.validators import validate_execution_id as validate_execution_id
from ..util.validators import validate_generation_id as validate_generation_id
from .base import BaseResource as BaseResource

logger: logging.Logger

class UploadsResource(BaseResource):
    """Upload resource manager.

    Maps to:
    - POST /v1/generation/{generation_id}/upload
    - POST /v1/execution/{execution_id}/upload
    """

    def _infer_content_type(self, filename: str) -> str:
        """Infer content type from filename extension.

        Args:
            filename (str): Name of the file.

        Returns:
            str: MIME content type.
        """

    async def get_generation_upload_urls(self, generation_id: str, filenames: List[str]) -> Dict[str, Any]:
        """Get upload URLs for generation files.

        Args:
            generation_id (str): Generation ID.
            filenames (List[str]): List of filenames.

        Returns:
            Dict[str, Any]: Dict with upload_urls.

        Examples:
            >>> urls = await client.uploads.get_generation_upload_urls("gen_123", ["input.jpg"])
        """

    async def get_execution_upload_urls(self, execution_id: str, filenames: List[str]) -> Dict[str, Any]:
        """Get upload URLs for execution files.

        Args:
            execution_id (str): Execution ID.
            filenames (List[str]): List of filenames.

        Returns:
            Dict[str, Any]: Dict with upload_urls.

        Examples:
            >>> urls = await client.uploads.get_execution_upload_urls("exec_123", ["input.jpg"])
        """

    async def upload_file_to_s3(
        self,
        upload_url: str,
        file_data: bytes,
        content_type: str = "application/octet-stream",
    ) -> Dict[str, Any]:
        """Upload file to S3 using presigned URL.

        Args:
            upload_url (str): Presigned S3 URL.
            file_data (bytes): File content as bytes.
            content_type (str): MIME type.

        Returns:
            Dict[str, Any]: Dict with upload status.

        Raises:
            Exception: If S3 upload fails.

        Examples:
            >>> with open("image.png", "rb") as f:
            ...     data = f.read()
            >>> await client.uploads.upload_file_to_s3(upload_url, data, "image/png")
        """

    async def upload_files(self, upload_urls: List[Dict[str, Any]]) -> None:
        """Upload files to S3 using presigned URLs.

        Args:
            upload_urls (List[Dict[str, Any]]): List of upload URL info from get_*_upload_urls.

        Examples:
            >>> response = await client.uploads.get_generation_upload_urls(
            ...     "gen_123", ["input.jpg"]
            ... )
            >>> await client.uploads.upload_files(response["upload_urls"])
        """

__test__: dict[str, str]
