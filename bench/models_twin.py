"""The two generation models of velquor_ai.models.blueprint in plain Python."""

from __future__ import annotations

from typing import Any, Dict, Optional, Union

from pydantic import BaseModel, model_validator

from velquor_ai.models.common import StatusEnum
from velquor_ai.models.execution import ErrorDetail


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
        if not self.blueprint and self.result and isinstance(self.result, dict):
            self.blueprint = self.result.get("blueprint")
        return self


class GenerationStatus(BaseModel):
    """Generation status response."""

    generation_id: str
    status: StatusEnum
    estimated_time: Optional[int] = None
    error: Optional[Union[str, ErrorDetail]] = None


BlueprintGenerationResponse = GenerationResult
