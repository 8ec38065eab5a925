"""Ending workers: kill the tree, reap, and wait for it off the caller's path.

`end_worker` is the one place a worker is killed and reaped (a forked
worker's scratch directory goes when its fork server reaps it).  A
`Retirer` kills the worker's tree in the caller's thread (nothing it started
outlives the request that retired it) and waits for its end and reaping on
a thread of its own, so the next request does not; at most `bound` ends are
pending, beyond which `retire` blocks until one is done.
"""
from __future__ import annotations

import logging
import queue
import threading
from collections.abc import Callable

from ombrix.workers.launchers.handle import WorkerHandle

logger = logging.getLogger("ombrix.workers.pool")

# How long a worker that is ending by itself (end of its answer pipe, a quit
# request, the pool closing) gets before it is killed, how long the kernel
# may take to end it after SIGKILL, and how long its reaping may take to be
# known once it has exited (a forked worker's fork server reaps it and
# reports its status; a script may have stopped the server).
EXIT_GRACE = 0.5
REAP_LIMIT = 5.0
STATUS_GRACE = 0.2
# Workers a retirer holds killed or dying, not reaped yet, at most.
PENDING_LIMIT = 4


def end_worker(handle: WorkerHandle, *, let_exit: bool = False, killed: bool = False) -> int | None:
    """Kills a worker with its group and whole tree (at once, or after it
    has ended by itself or has not within EXIT_GRACE: what it started must
    not outlive it either) and reaps it; `killed` when the caller has killed
    it already.  Returns its status, or None when it cannot be known.  The
    caller closes the handle."""
    if let_exit:
        handle.ended(EXIT_GRACE)
    if not killed:
        handle.kill()
    if not handle.ended(REAP_LIMIT):
        logger.error("worker %d did not end after SIGKILL", handle.pid)
    return handle.wait(STATUS_GRACE)


class Retirer:
    """Ends workers on a thread of its own, `bound` at most pending."""

    def __init__(self, bound: int = PENDING_LIMIT) -> None:
        self._slots = threading.BoundedSemaphore(bound)
        self._jobs: queue.SimpleQueue[tuple[WorkerHandle, Callable[[], object]] | None] = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._thread: threading.Thread | None = None
        self._closed = False

    def retire(self, handle: WorkerHandle, then: Callable[[], object]) -> None:
        """Kills the worker's tree now; reaps it, then runs `then`, in the
        background.  Blocks while `bound` ends are pending.  After `close`
        it does it all in the caller's thread."""
        handle.kill()
        self._slots.acquire()
        with self._lock:
            if not self._closed:
                if self._thread is None:
                    self._thread = threading.Thread(target=self._run, name="ombrix-retirer", daemon=True)
                    self._thread.start()
                self._jobs.put((handle, then))
                return
        self._end(handle, then)

    def _run(self) -> None:
        while (job := self._jobs.get()) is not None:
            self._end(*job)

    def _end(self, handle: WorkerHandle, then: Callable[[], object]) -> None:
        try:
            end_worker(handle, killed=True)
            then()
        except Exception:
            logger.exception("retiring worker %d failed", handle.pid)
        finally:
            self._slots.release()

    def close(self) -> None:
        """Waits until every pending end is done; later ends run at once."""
        with self._lock:
            self._closed = True
            thread, self._thread = self._thread, None
        if thread is not None:
            self._jobs.put(None)
            thread.join()
