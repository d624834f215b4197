"""File handling utilities."""

import logging as logging
import mimetypes as mimetypes
from pathlib import Path as Path
from typing import Any, BinaryIO, Dict, Union

from ..config import Config as Config
from ..exceptions import ValidationError as ValidationError

logger: logging.Logger

class FileHandler:
    """Handle file operations and validation."""

    config: Config
    def __init__(self, config: Config) -> None: ...
    # `file` is a path (str or Path) or a binary file object: an
    # io.RawIOBase or io.BufferedIOBase instance, or any object with callable
    # read() and seek() and no `encoding` attribute. Text-mode file objects
    # (io.TextIOBase, open(..., "r")) are refused.
    def prepare_file(self, file: Union[str, Path, BinaryIO], file_type: str) -> Dict[str, Any]: ...
    def read_file(self, file_info: Dict[str, Any]) -> bytes: ...

__test__: dict[str, str]
