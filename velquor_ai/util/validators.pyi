# Generated from validators.py by tools/declarations.py: do not edit.
"""Input validation utilities."""

from ..exceptions import ValidationError as ValidationError

def validate_execution_id(execution_id: str) -> None:
    """Validate execution ID format.

    Args:
        execution_id (str): Execution ID to validate.

    Raises:
        ValidationError: If execution ID is invalid.
    """
def validate_generation_id(generation_id: str) -> None:
    """Validate generation ID format.

    Args:
        generation_id (str): Generation ID to validate.

    Raises:
        ValidationError: If generation ID is invalid.
    """

__test__: dict[str, str]
