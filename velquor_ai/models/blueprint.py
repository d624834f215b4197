"""Generation data models."""

from typing import Any, Dict, Optional, Union

from pydantic import BaseModel, model_validator

from .common import StatusEnum
from .execution import ErrorDetail


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

    @model_validator(mode="after")
    def extract_blueprint_from_result(self) -> "GenerationResult":
        """Extract blueprint from result dict if not already set at top level.

        This handles backward compatibility:
        - New format: blueprint is at top level (API returns it directly)
        - Old format: blueprint is inside result.blueprint

        Returns:
            GenerationResult: Self instance with blueprint extracted
        """
        # A top-level blueprint wins over the one inside `result`.
        if not self.blueprint and self.result and isinstance(self.result, dict):
            self.blueprint = self.result.get("blueprint")
        return self


class GenerationStatus(BaseModel):
    """Generation status response."""

    generation_id: str
    status: StatusEnum
    estimated_time: Optional[int] = None
    error: Optional[Union[str, ErrorDetail]] = None


# Alias for backward compatibility
BlueprintGenerationResponse = GenerationResult
