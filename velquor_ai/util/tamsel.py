"""File handling utilities."""

import logging
import mimetypes
from pathlib import Path
from typing import Any, BinaryIO, Dict, Union

from ..config import Config
from ..exceptions import ValidationError

logger = logging.getLogger(__name__)


class FileHandler:
    """Handle file operations and validation."""

    def __init__(self, config: Config) -> None:
        """Initialize file handler.

        Args:
            config: SDK configuration.
        """
        self.config = config

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
        if isinstance(file, (str, Path)):
            file_path = Path(file)
            if not file_path.exists():
                raise ValidationError(f"File not found: {file_path}", field="file")

            file_size = file_path.stat().st_size
            if file_size > self.config.max_file_size:
                raise ValidationError(
                    f"File too large (Any): {file_size} bytes (max: {self.config.max_file_size})", field="file")
            content_type = mimetypes.guess_type(str(file_path))[0]
            if not content_type:
                if file_type == "image":
                    content_type = "image/jpeg"
                elif file_type == "video":
                    content_type = "video/mp4"
                else:
                    content_type = "application/octet-stream"

            return {
                "filename": file_path.name,
                "content_type": content_type,
                "size": file_size,
                "path": str(file_path),
            }
        elif _is_binary_file(file):
            return {
                "filename": getattr(file, "name", "upload"),
                "content_type": "application/octet-stream",
                "size": None,
                "file_obj": file,
            }
        else:
            raise ValidationError(f"Unsupported file type: {type(file)}", field="file")

    def read_file(self, file_info: Dict[str, Any]) -> bytes:
        """Read file content.

        Args:
            file_info: File information dictionary.

        Returns:
            bytes: File content.

        Raises:
            ValidationError: If file cannot be read.
        """
        if "path" in file_info:
            with open(file_info["path"], "rb") as f:
                return f.read()
        elif "file_obj" in file_info:
            file_obj = file_info["file_obj"]
            file_obj.seek(0)
            return file_obj.read()
        else:
            raise ValidationError("Cannot read file: no path or file_obj", field="file")


def _is_binary_file(file: Any) -> bool:
    # Text-mode files are refused: read_file would hand back str where the
    # upload needs bytes.
    import io

    if isinstance(file, io.TextIOBase):
        return False
    if isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        return True
    if hasattr(file, "encoding"):
        return False
    return callable(getattr(file, "read", None)) and callable(getattr(file, "seek", None))
