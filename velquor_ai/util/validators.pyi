"""Input validation utilities."""

from ..exceptions import ValidationError as ValidationError

def validate_execution_id(execution_id: str) -> None: ...
def validate_generation_id(generation_id: str) -> None: ...

__test__: dict[str, str]
