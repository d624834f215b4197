"""Input validation utilities."""

from ..exceptions import ValidationError


def validate_execution_id(execution_id: str) -> None:
    """Validate execution ID format.

    Args:
        execution_id (str): Execution ID to validate.

    Raises:
        ValidationError: If execution ID is invalid.
    """
    # An identifier is one path segment of a request URL: it must not be able
    # to leave that segment (separators, query, fragment, escapes, control
    # characters, dot segments).
    if not execution_id:
        raise ValidationError("Execution ID cannot be empty", field="execution_id")
    if any(c < " " or c in "\x7f/\\?#%" for c in execution_id) or execution_id in (".", ".."):
        raise ValidationError("Execution ID contains characters not allowed in a URL path segment", field="execution_id")
def validate_generation_id(generation_id: str) -> None:
    """Validate generation ID format.

    Args:
        generation_id (str): Generation ID to validate.

    Raises:
        ValidationError: If generation ID is invalid.
    """
    # An identifier is one path segment of a request URL: it must not be able
    # to leave that segment (separators, query, fragment, escapes, control
    # characters, dot segments).
    if not generation_id:
        raise ValidationError("Generation ID cannot be empty", field="generation_id")
    if any(c < " " or c in "\x7f/\\?#%" for c in generation_id) or generation_id in (".", ".."):
        raise ValidationError("Generation ID contains characters not allowed in a URL path segment", field="generation_id")
