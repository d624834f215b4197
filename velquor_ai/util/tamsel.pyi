# Generated from tamsel.py by tools/declarations.py: do not edit.
"""File handling utilities."""

import logging as logging
import mimetypes as mimetypes
from pathlib import Path as Path
from typing import Any as Any
from typing import BinaryIO as BinaryIO
from typing import Dict as Dict
from typing import Union as Union

from ..config import Config as Config
from ..exceptions import ValidationError as ValidationError

logger: logging.Logger

class FileHandler:
    """Handle file operations and validation."""

    config: Config

    def __init__(self, config: Config) -> None:
        """Initialize file handler.

        Args:
            config: SDK configuration.
        """

    def prepare_file(self, file: Union[str, Path, BinaryIO], file_type: str) -> Dict[str, Any]:
        """Prepare file for upload.

        Args:
            file: File path or file-like object.
            file_type: Type of file ("image" or "video").

        Returns:
            Dict with filename, content_type, size.

        Raises:
            ValidationError: If file is invalid.
        """

    def read_file(self, file_info: Dict[str, Any]) -> bytes:
        """Read file content.

        Args:
            file_info: File information dictionary.

        Returns:
            bytes: File content.

        Raises:
            ValidationError: If file cannot be read.
        """

__test__: dict[str, str]
