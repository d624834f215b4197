"""Status polling utilities."""

import asyncio as asyncio
import logging as logging
from typing import Any, Awaitable, Callable, Optional

from ..config import Config as Config

logger: logging.Logger

class StatusPoller:
    """Smart status polling with exponential backoff."""

    config: Config
    def __init__(self, config: Config) -> None: ...
    async def poll_until_complete(
        self,
        check_fn: Callable[[], Awaitable[Any]],
        timeout: int,
        interval: int,
        on_progress: Optional[Callable[[Any], object]] = None,
    ) -> Any: ...

__test__: dict[str, str]
