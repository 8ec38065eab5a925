"""The core's record of one worker, and what the core and the faces hand
each other: what a queued caller is given, and a worker's retirement."""
from __future__ import annotations

import enum
import select
from dataclasses import dataclass
from typing import Any, Protocol, TypeVar

from ..launchers.handle import WorkerHandle
from ._errors import WorkerError
from ._stray import StrayTail


class Attachment(Protocol):
    """What a face keeps registered for a worker (an event loop's reader)."""

    def detach(self) -> None:
        """Unregisters it; called before the worker's descriptors close."""


class Worker:
    """A started worker as the core tracks it."""

    __slots__ = ("attachment", "handle", "poller", "served", "tail")

    def __init__(self, handle: WorkerHandle, tail: StrayTail) -> None:
        self.handle = handle
        self.tail = tail
        self.served = 0
        self.attachment: Attachment | None = None
        # Readable while idle means something wrote to the protocol between
        # requests, or the worker is gone.
        self.poller = select.poll()
        self.poller.register(handle.response_fd, select.POLLIN)
        if handle.pidfd >= 0:  # readable once the worker has exited
            self.poller.register(handle.pidfd, select.POLLIN)


class NoWorker(enum.Enum):
    """What a caller gets from the pool instead of a worker."""

    START_ONE = "start"  # a place was kept for the caller: it starts the worker itself
    POOL_CLOSED = "closed"  # the pool closed while the caller waited


Assigned = Worker | NoWorker


class Waiter(Protocol):
    def deliver(self, assigned: Assigned) -> None:
        """Hands the queued caller what it waited for (called with the
        core's lock held)."""


W = TypeVar("W", bound=Waiter)


@dataclass(slots=True)
class Retirement:
    """A worker that must go after its request, and what its caller gets
    once it is gone: the response or the error."""

    reason: str
    response: dict[str, Any] | None = None
    error: WorkerError | None = None
    exited: bool = False  # the worker ended by itself: report its status
    let_exit: bool = False  # give it a moment to end by itself before killing it
