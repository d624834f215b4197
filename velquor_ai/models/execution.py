"""Execution data models."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, Field

from .common import StatusEnum

__all__ = ["ErrorDetail", "ExecutionResult"]


class ErrorDetail(BaseModel):
    """Structured description of a failure reported by the service.

    Attributes:
        code: Machine-readable error code, if the service gave one.
        message: Human-readable description.
        details: Further data about the failure.
    """

    code: str | None = None
    message: str
    details: dict[str, Any] | None = None

    def __str__(self) -> str:
        """Return "code: message", or the message alone without a code."""
        return f"{self.code}: {self.message}" if self.code else self.message


class ExecutionResult(BaseModel):
    """Outcome of a blueprint execution, remote or on-premise.

    Attributes:
        execution_id: Identifier of the execution.
        status: Its state; `StatusEnum.COMPLETED` once it has finished well.
        results: The raw answer data of the execution.
        output_files: Paths or URLs of the files the execution produced.
        error: What went wrong, as text or as an `ErrorDetail`.
        created_at: ISO 8601 time of creation.
        completed_at: ISO 8601 time of completion.
    """

    execution_id: str
    status: StatusEnum
    results: dict[str, Any] | None = None
    output_files: list[str] = Field(default_factory=list)
    error: str | ErrorDetail | None = None
    created_at: str | None = None
    completed_at: str | None = None
