# Generated from blueprint.py by tools/declarations.py: do not edit.
"""Generation data models."""

from typing import Any as Any
from typing import Dict as Dict
from typing import Optional as Optional
from typing import Union as Union

from pydantic import BaseModel as BaseModel
from pydantic import model_validator as model_validator

from .common import StatusEnum as StatusEnum
from .execution import ErrorDetail as ErrorDetail

class GenerationResult(BaseModel):
    """Generation result (from GET /v1/generation/{id}/result)."""

    generation_id: str
    status: StatusEnum
    result: Optional[Dict[str, Any]] = None
    blueprint: Optional[str] = None
    error: Optional[Union[str, ErrorDetail]] = None
    created_at: Optional[str] = None
    updated_at: Optional[str] = None
    completed_at: Optional[str] = None

    def extract_blueprint_from_result(self) -> GenerationResult:
        """Extract blueprint from result dict if not already set at top level.

        This handles backward compatibility:
        - New format: blueprint is at top level (API returns it directly)
        - Old format: blueprint is inside result.blueprint

        Returns:
            GenerationResult: Self instance with blueprint extracted
        """

class GenerationStatus(BaseModel):
    """Generation status response."""

    generation_id: str
    status: StatusEnum
    estimated_time: Optional[int] = None
    error: Optional[Union[str, ErrorDetail]] = None

BlueprintGenerationResponse = GenerationResult

__test__: dict[str, str]
