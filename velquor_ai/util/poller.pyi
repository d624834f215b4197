# Generated from poller.py by tools/declarations.py: do not edit.
"""Status polling utilities."""

import asyncio as asyncio
import logging as logging
from typing import Any as Any
from typing import Callable as Callable
from typing import Optional as Optional

from ..config import Config as Config
from ..exceptions import TimeoutError as SDKTimeoutError

logger: logging.Logger

class StatusPoller:
    """Smart status polling with exponential backoff."""

    config: Config

    def __init__(self, config: Config) -> None:
        """Initialize status poller.

        Args:
            config: SDK configuration.
        """

    async def poll_until_complete(
        self,
        check_fn: Callable[..., Any],
        timeout: int,
        interval: int,
        on_progress: Optional[Callable[..., Any]] = None,
    ) -> Any:
        """Poll status until completion.

        Args:
            check_fn: Async function to check status.
            timeout: Max wait time in seconds.
            interval: Initial poll interval in seconds.
            on_progress: Optional progress callback.

        Returns:
            Final status object.

        Raises:
            SDKTimeoutError: If timeout exceeded.
            RuntimeError: If task failed.
        """

__test__: dict[str, str]
