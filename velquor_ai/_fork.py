"""What a process forked from one that used a client leaves alone.

After `os.fork()` (a prefork server such as gunicorn with `--preload`, Celery's
prefork pool, `multiprocessing` with the fork start method) the child holds
copies of the parent's objects but none of its other threads, and it shares
the parent's sockets, event-loop selectors and wake-up pipes. Closing any of
those in the child, or letting the garbage collector finalise them (an event
loop closes itself when it is collected, unregistering its pipe from the
selector it shares with the parent; a TLS connection sends its closing alert),
would reach into the parent's work.

So the objects that hold such things derive from `ForkAware`. In a forked child
each of them, before it is used (`check_fork`), hands what it inherited to
`park` - kept referenced for the life of the process, never closed, never
collected - and starts afresh with loops, threads and connections of its own.
A hook run by `os.fork()` in the child does this at once for every live object;
the check on each use covers forks made without CPython's `os.fork()` (a C
library calling fork() directly).

    class Pool(ForkAware):
        def _leave_parent(self) -> None:
            park(self._connections)
            self._connections = []
"""

from __future__ import annotations

import os
import threading
import weakref

__all__ = ["ForkAware", "park"]

# What forked children inherited and must neither use nor close.
_parked: list[object] = []
_live: weakref.WeakSet[ForkAware] = weakref.WeakSet()
# Held only while an object leaves its parent's state behind; made anew in
# each child, in case a thread of the parent held it when the process forked.
_lock = threading.Lock()


def park(*inherited: object) -> None:
    """Keep `inherited` alive, untouched, for the life of this process."""
    _parked.append(inherited)


class ForkAware:
    """Base of objects whose threads, loops or connections belong to the
    process that made them; see the module's docstring."""

    _owner_pid: int

    def __init__(self) -> None:
        self._owner_pid = os.getpid()
        _live.add(self)

    def check_fork(self) -> None:
        """In a process forked since the last use, leave the parent's state."""
        if self._owner_pid == os.getpid():
            return
        with _lock:
            if self._owner_pid != os.getpid():
                self._owner_pid = os.getpid()
                self._leave_parent()

    def _leave_parent(self) -> None:
        """Park what belongs to the parent process and start afresh. Runs in
        the child, possibly inside `os.fork()`: it must only move references,
        never close, send or wait."""
        raise NotImplementedError


def _in_child() -> None:
    global _lock
    _lock = threading.Lock()
    # An exception raised here would come out of os.fork() in the child (and
    # end a gunicorn worker): whatever is left is done by the check on use.
    try:
        for item in list(_live):
            item.check_fork()
    except Exception:  # noqa: BLE001, S110
        pass


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_in_child)
