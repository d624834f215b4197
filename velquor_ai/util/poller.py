"""Status polling utilities."""

import asyncio
import logging
from typing import Any, Callable, Optional

from ..config import Config
from ..exceptions import TimeoutError as SDKTimeoutError

logger = logging.getLogger(__name__)


class StatusPoller:
    """Smart status polling with exponential backoff."""

    def __init__(self, config: Config) -> None:
        """Initialize status poller.

        Args:
            config: SDK configuration.
        """
        self.config = config

    async def poll_until_complete(
        self,
        check_fn: Callable,
        timeout: int,
        interval: int,
        on_progress: Optional[Callable] = None,
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
        start_time = asyncio.get_event_loop().time()
        current_interval = interval

        while True:
            elapsed = asyncio.get_event_loop().time() - start_time

            if elapsed > timeout:
                raise SDKTimeoutError(f"Operation timed out after {timeout}s")

            status = await check_fn()

            if on_progress:
                on_progress(status)

            if hasattr(status, "status"):
                if status.status == "completed":
                    logger.info("Task completed successfully")
                    return status
                elif status.status == "failed":
                    error_msg = getattr(status, "error", "Unknown error")
                    raise RuntimeError(f"Task failed: {error_msg}")

            await asyncio.sleep(current_interval)
            current_interval = int(min(current_interval * 1.5, self.config.max_poll_interval))
            logger.debug(f"Polling... (next interval: {current_interval}s)")
