"""What the compiled operations would cost as plain Python: twins doing the same
checks and the same work, written as one would write them by hand."""

from __future__ import annotations

import asyncio
import logging
import mimetypes
import re

from velquor_ai.exceptions import TimeoutError as SDKTimeoutError
from velquor_ai.exceptions import ValidationError

# The fastest plain-Python form of the path-segment test (faster than a
# frozenset.isdisjoint or a str.translate on short identifiers).
_refused_character = re.compile(r"[\x00-\x1f\x7f/\\?#%]").search


def validate_generation_id(generation_id):
    if type(generation_id) is not str:
        raise TypeError(
            "Argument 'generation_id' has incorrect type "
            f"(expected str, got {type(generation_id).__name__})"
        )
    if not generation_id:
        raise ValidationError("Generation ID cannot be empty", field="generation_id")
    if _refused_character(generation_id) or generation_id in (".", ".."):
        raise ValidationError(
            "Generation ID contains characters not allowed in a URL path segment",
            field="generation_id",
        )


class Generations:
    """GenerationsResource.get_upload_urls as a native coroutine."""

    def __init__(self, uploads):
        self._uploads = uploads

    async def get_upload_urls(self, generation_id, filenames):
        if type(generation_id) is not str or type(filenames) is not list:
            raise TypeError("Argument has incorrect type")
        urls = await self._uploads.get_generation_upload_urls(generation_id, filenames)
        if urls is not None and type(urls) is not dict:
            raise TypeError(f"Expected dict, got {type(urls).__name__}")
        return urls


logger = logging.getLogger("bench.poller")


class StatusPoller:
    """StatusPoller.poll_until_complete as a native coroutine."""

    def __init__(self, config):
        self.config = config

    async def poll_until_complete(self, check_fn, timeout, interval, on_progress=None):
        timeout = timeout if type(timeout) is int else int(timeout)
        interval = interval if type(interval) is int else int(interval)
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
                if status.status == "failed":
                    error_msg = getattr(status, "error", "Unknown error")
                    raise RuntimeError(f"Task failed: {error_msg}")
            await asyncio.sleep(current_interval)
            current_interval = int(min(current_interval * 1.5, self.config.max_poll_interval))
            logger.debug(f"Polling... (next interval: {current_interval}s)")


def infer_content_type(self, filename):
    if type(filename) is not str:
        raise TypeError("Argument 'filename' has incorrect type")
    content_type, _ = mimetypes.guess_type(filename)
    return content_type or "application/octet-stream"


class PlainGenerations:
    """The work of get_upload_urls without a coroutine: the delegate is called
    and its awaitable's iterator driven by a plain function, which raises
    StopIteration with the answer as the coroutine's end does."""

    def __init__(self, uploads):
        self._uploads = uploads

    def get_upload_urls(self, generation_id, filenames):
        return self._uploads.get_generation_upload_urls(generation_id, filenames).__await__()
