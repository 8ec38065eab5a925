"""One request on one worker the pool lent its caller, without any I/O.

The pool's core hands a face an `Exchange` for each request: the bytes still
to write, the reader of the answer, the deadline.  The face's driver only
moves bytes between the worker's pipes and the exchange and waits; the
exchange says when the request has its outcome.  The core then turns the
outcome into the result or the error and decides what becomes of the worker
(`PoolCore.settle`, `PoolCore.finish`).
"""
from __future__ import annotations

import os
from typing import Protocol

from ._reader import GONE, INTERRUPTED, TIMED_OUT, Failure, Outcome, Request
from ._worker import Retirement, Worker


class Reader(Protocol):
    """Reads one request's answer from the bytes fed to it."""

    def feed(self, data: bytes) -> Outcome | None:
        """Takes bytes read (b"": end of file); the outcome once there is one."""

    def want(self) -> int:
        """How many bytes the next read may take."""


class Exchange:
    __slots__ = ("deadline", "outcome", "pending", "reader", "request", "retirement", "worker")

    def __init__(self, worker: Worker, request: Request, reader: Reader, now: float) -> None:
        self.worker = worker
        self.request = request
        self.reader = reader
        # Seconds on the monotonic clock (asyncio's loop.time() is the same).
        self.deadline = None if request.timeout is None else now + request.timeout
        self.pending: bytes | memoryview = request.data  # still to write
        self.outcome: Outcome | None = None
        self.retirement: Retirement | None = None  # set by the core's `settle`

    # -- what the driver tells it ------------------------------------------

    def wrote(self, count: int) -> None:
        """`count` more bytes of the request reached the worker's pipe."""
        pending = self.pending
        self.pending = b"" if count >= len(pending) else memoryview(pending)[count:]

    def received(self, chunk: bytes) -> Outcome | None:
        """Feeds bytes read from the answer pipe (b"": end of file); returns
        the outcome once there is one."""
        if self.outcome is None:
            self.outcome = self.reader.feed(chunk)
        return self.outcome

    def time_left(self, now: float) -> float | None:
        """Seconds until the deadline, None without one; at the deadline the
        outcome becomes TIMED_OUT (unless it was already known) and 0 is
        returned."""
        deadline = self.deadline
        if deadline is None:
            return None
        if now < deadline:
            return deadline - now
        if self.outcome is None:
            self.outcome = TIMED_OUT
        return 0.0

    def end(self, failure: Failure = INTERRUPTED) -> Outcome:
        """Ends the exchange without an answer unless it already has an
        outcome: the caller gave up (INTERRUPTED) or the pool closed under
        it (GONE)."""
        if self.outcome is None:
            self.outcome = failure
        return self.outcome

    def want(self) -> int:
        """How many bytes the next read may take."""
        return self.reader.want()


# The two system calls of a driver, with the errors that tell nothing new:
# a full pipe (try again when writable) and a worker already gone (its end
# of file, or its pidfd, will tell).


def write_some(fd: int, data: bytes | memoryview) -> int:
    try:
        return os.write(fd, data)
    except BlockingIOError:
        return 0
    except BrokenPipeError:
        return len(data)


def read_some(fd: int, size: int) -> bytes | None:
    """Bytes from `fd`; b"" at end of file (or when it failed); None when
    nothing is there yet."""
    try:
        return os.read(fd, size)
    except BlockingIOError:
        return None
    except OSError:
        return b""


__all__ = ["GONE", "Exchange", "read_some", "write_some"]
