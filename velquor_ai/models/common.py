"""Types shared by the generation and execution models."""

from __future__ import annotations

from enum import Enum

__all__ = ["StatusEnum"]


class StatusEnum(str, Enum):
    """Life-cycle state of a generation or execution on the service.

    Members are strings: `StatusEnum.COMPLETED == "completed"` holds, and `str()`
    and f-strings give the bare value.
    """

    CREATED = "created"
    PENDING = "pending"
    PROCESSING = "processing"
    COMPLETED = "completed"
    FAILED = "failed"

    def __str__(self) -> str:
        """Return the value, e.g. "completed"."""
        return self.value

    @property
    def is_final(self) -> bool:
        """Whether the work has ended, successfully or not."""
        return self in (StatusEnum.COMPLETED, StatusEnum.FAILED)
