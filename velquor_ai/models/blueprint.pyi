"""Generation data models."""

from typing import Any, Dict, Optional, Union

from pydantic import BaseModel

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
    def extract_blueprint_from_result(self) -> "GenerationResult": ...

class GenerationStatus(BaseModel):
    """Generation status response."""

    generation_id: str
    status: StatusEnum
    estimated_time: Optional[int] = None
    error: Optional[Union[str, ErrorDetail]] = None

BlueprintGenerationResponse = GenerationResult

__test__: dict[str, str]
