"""The core's record of one worker, and what the core and the faces hand
each other: grants to waiting callers, and the verdict on an answer."""
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


class Grant(enum.Enum):
    START = "start"  # the holder reserved a place and starts the worker itself
    CLOSED = "closed"  # the pool closed while the caller waited


Granted = Worker | Grant


class Waiter(Protocol):
    def deliver(self, grant: Granted) -> None:
        """Hands the waiter its grant (called with the core's lock held)."""


W = TypeVar("W", bound=Waiter)


@dataclass(slots=True)
class Verdict:
    """What an outcome means: the response or the error, and whether the
    worker must go (and why)."""

    response: dict[str, Any] | None = None
    error: WorkerError | None = None
    retire: str = ""
    exited: bool = False  # the worker ended by itself: report its status
    gentle: bool = False  # let it end by itself briefly before killing it
