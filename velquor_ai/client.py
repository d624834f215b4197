"""The clients: one connection pool, the service resources, and the whole road
of a generation (files checked, record created, inputs uploaded, generation
started, result awaited) in one call.

`AsyncVelquorAI` does the work; `VelquorAI` is its blocking twin, which runs the
async client on an event loop of its own, in a thread kept for the client's life
(so connections are reused between calls), and waits for each call there.

This module is where the clients are imported from. Each job lives in a module
of its own: the async client in `_async`, the blocking client and its loop
thread in `_sync`, the argument checks in `_checks`, the input files and their
uploads in `_upload` (over `_storage`), the progress events in `_progress`.
They import one another in one direction only, the clients last, and none of
them imports this module.
"""

from __future__ import annotations

from ._async import DEFAULT_UPLOAD_CONCURRENCY, AsyncVelquorAI
from ._progress import ProgressCallback as ProgressCallback
from ._progress import ProgressEvent
from ._progress import ProgressKind as ProgressKind
from ._sync import VelquorAI
from ._sync_resources import SyncGenerationsResource, SyncUploadsResource

__all__ = [
    "DEFAULT_UPLOAD_CONCURRENCY",
    "AsyncVelquorAI",
    "ProgressEvent",
    "SyncGenerationsResource",
    "SyncUploadsResource",
    "VelquorAI",
]
