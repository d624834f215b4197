"""On-premise mode implementation for VelquorAI SDK."""

import logging
from datetime import datetime, timezone
from typing import Any, Dict, List, Optional

from .models.blueprint import GenerationResult
from .models.common import StatusEnum
from .models.execution import ExecutionResult
from .types import BlueprintInput, FileInput
from .util.helpers import normalize_blueprint

logger = logging.getLogger(__name__)

try:
    from velquor_api_client import VelquorAPIClient

    ON_PREMISE_AVAILABLE = True
except ImportError:
    ON_PREMISE_AVAILABLE = False
    VelquorAPIClient = None


def prepare_file_paths(*file_lists: Optional[List[FileInput]]) -> List[str]:
    """Convert file inputs to list of file path strings.

    Args:
        *file_lists: Variable number of optional file input lists.

    Returns:
        List of file path strings.

    Raises:
        ValueError: If file type is not supported.
    """
    file_paths = []
    for file_list in file_lists:
        if not file_list:
            continue
        for file_input in file_list:
            if isinstance(file_input, str):
                file_paths.append(file_input)
            elif hasattr(file_input, "__fspath__"):
                file_paths.append(str(file_input))
            else:
                raise ValueError(f"Unsupported file type: {type(file_input)}")
    return file_paths


def create_generation_result(blueprint: str) -> GenerationResult:
    """Create GenerationResult from blueprint string.

    Args:
        blueprint: Validated blueprint string.

    Returns:
        GenerationResult instance.
    """
    now = datetime.now(timezone.utc).isoformat()
    return GenerationResult(
        generation_id="on-premise-generated",
        status=StatusEnum.COMPLETED,
        blueprint=blueprint,
        result={"blueprint": blueprint},
        created_at=now,
        completed_at=now,
    )


def create_execution_result(result_dict: Dict[str, Any]) -> ExecutionResult:
    """Create ExecutionResult from on-premise execution response.

    Args:
        result_dict: Response dictionary from on-premise client.
            Format: {"output": [list of result strings]}

    Returns:
        ExecutionResult instance.
    """
    output_list = result_dict.get("output", [])

    output_files = []
    for item in output_list:
        if isinstance(item, str) and ("/" in item or "\\" in item):
            output_files.append(item)
    now = datetime.now(timezone.utc).isoformat()
    return ExecutionResult(
        execution_id="on-premise-executed",
        status=StatusEnum.COMPLETED,
        results=result_dict,
        output_files=output_files,
        error=None,
        created_at=now,
        completed_at=now,
    )


async def generate_blueprint_vostrel(
    client: "VelquorAPIClient",
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
    input_data = prepare_file_paths(images, videos)

    logger.info("Generating blueprint via on-premise client...")
    blueprint_str = await client.generate_blueprint(
        question=prompt, input_data=input_data if input_data else None
    )
    validated_blueprint = client.validate_blueprint(blueprint_str)

    return create_generation_result(validated_blueprint)


async def execute_blueprint_vostrel(
    client: "VelquorAPIClient",
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
    blueprint_str = normalize_blueprint(blueprint)
    input_data = prepare_file_paths(input_files)

    if not input_data:
        raise ValueError("At least one input file is required for execution")

    logger.info("Executing blueprint via on-premise client...")
    result_dict = await client.execute_blueprint(
        blueprint=blueprint_str, input_data=input_data
    )

    return create_execution_result(result_dict)
