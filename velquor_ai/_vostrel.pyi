"""On-premise mode implementation for VelquorAI SDK."""

import logging as logging
from datetime import datetime as datetime
from datetime import timezone as timezone
from typing import Any, Dict, List, Optional

from velquor_api_client import VelquorAPIClient

from .models.blueprint import GenerationResult as GenerationResult
from .models.common import StatusEnum as StatusEnum
from .models.execution import ExecutionResult as ExecutionResult
from .types import BlueprintInput as BlueprintInput
from .types import FileInput as FileInput
from .util.helpers import normalize_blueprint as normalize_blueprint

logger: logging.Logger
ON_PREMISE_AVAILABLE: bool

def prepare_file_paths(*file_lists: Optional[List[FileInput]]) -> List[str]: ...
def create_generation_result(blueprint: str) -> GenerationResult: ...
def create_execution_result(result_dict: Dict[str, Any]) -> ExecutionResult: ...
async def generate_blueprint_vostrel(
    client: VelquorAPIClient,
    prompt: str,
    images: Optional[List[FileInput]],
    videos: Optional[List[FileInput]],
) -> GenerationResult: ...
async def execute_blueprint_vostrel(
    client: VelquorAPIClient,
    blueprint: BlueprintInput,
    input_files: Optional[List[FileInput]],
) -> ExecutionResult: ...

__test__: dict[str, str]
