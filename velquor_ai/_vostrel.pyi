# Generated from _vostrel.py by tools/declarations.py: do not edit.
"""On-premise mode implementation for VelquorAI SDK."""

import logging as logging
from datetime import datetime as datetime
from datetime import timezone as timezone
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional

from .models.blueprint import GenerationResult as GenerationResult
from .models.common import StatusEnum as StatusEnum
from .models.execution import ExecutionResult as ExecutionResult
from .types import BlueprintInput as BlueprintInput
from .types import FileInput as FileInput
from .util.helpers import normalize_blueprint as normalize_blueprint

logger: logging.Logger

from velquor_api_client import VelquorAPIClient as VelquorAPIClient
ON_PREMISE_AVAILABLE: bool

def prepare_file_paths(*file_lists: Optional[List[FileInput]]) -> List[str]:
    """Convert file inputs to list of file path strings.

    Args:
        *file_lists: Variable number of optional file input lists.

    Returns:
        List of file path strings.

    Raises:
        ValueError: If file type is not supported.
    """

def create_generation_result(blueprint: str) -> GenerationResult:
    """Create GenerationResult from blueprint string.

    Args:
        blueprint: Validated blueprint string.

    Returns:
        GenerationResult instance.
    """

def create_execution_result(result_dict: Dict[str, Any]) -> ExecutionResult:
    """Create ExecutionResult from on-premise execution response.

    Args:
        result_dict: Response dictionary from on-premise client.
            Format: {"output": [list of result strings]}

    Returns:
        ExecutionResult instance.
    """

async def generate_blueprint_vostrel(
    client: VelquorAPIClient,
    prompt: str,
    images: Optional[List[FileInput]],
    videos: Optional[List[FileInput]],
) -> GenerationResult:
    """Generate blueprint using on-premise client.

    Args:
        client: VelquorAPIClient instance.
        prompt: User prompt/question.
        images: List of image files.
        videos: List of video files.

    Returns:
        GenerationResult with blueprint string.
    """

async def execute_blueprint_vostrel(
    client: VelquorAPIClient,
    blueprint: BlueprintInput,
    input_files: Optional[List[FileInput]],
) -> ExecutionResult:
    """Execute blueprint using on-premise client.

    Args:
        client: VelquorAPIClient instance.
        blueprint: Blueprint content.
        input_files: List of input files.

    Returns:
        ExecutionResult with execution results.

    Raises:
        ValueError: If no input files provided.
    """

__test__: dict[str, str]
