"""The synchronous face: the core's requests over blocking waits, safe to
call from many threads."""
from __future__ import annotations

import functools
import os
import select
import threading
import time
from collections.abc import Callable
from types import TracebackType
from typing import Any

from ..launchers.spawner import Spawner
from . import _core, requests
from ._core import DEFAULT, Default
from ._errors import WorkerError
from ._face import PoolFace
from ._reader import GONE, INTERRUPTED, TIMED_OUT, Outcome, Request, ResponseReader
from ._worker import Grant, Granted, Verdict, Worker

_IN = select.POLLIN | select.POLLHUP | select.POLLERR


class _ThreadWaiter:
    __slots__ = ("_ready", "grant")

    def __init__(self) -> None:
        self.grant: Granted | None = None
        self._ready = threading.Event()

    def deliver(self, grant: Granted) -> None:
        self.grant = grant
        self._ready.set()

    def wait(self) -> Granted:
        self._ready.wait()
        assert self.grant is not None
        return self.grant


class WorkerPool(PoolFace):
    """A pool of `size` worker processes serving requests one at a time each.

    Requests wait in FIFO order for a free worker.  Each has a wall-clock
    limit (`timeout` seconds, None for none; per call too): past it the
    worker's process group is killed, WorkerTimeout raised and a replacement
    started.  A worker that ends while serving raises WorkerExited and is
    replaced.  `memory_limit` (bytes of address space), `cpu_limit` (CPU
    seconds per request) and `file_size_limit` (bytes) are resource limits of
    the workers; `max_output` bounds one answer in bytes (OutputLimitExceeded
    past it).  A worker that leaves threads or child processes running is
    recycled before it serves again, and every worker after `recycle_after`
    requests.  Workers get a minimal environment (PATH, a UTF-8 locale, HOME)
    unless `env` is given, and run in `cwd`, by default a scratch directory
    of the pool removed on close.  `launcher` makes the pool's launcher from
    its ChildSettings (default: SubprocessLauncher).

    `fresh=True` serves every request in a worker that has served no other,
    forked from a warm server that keeps `spares` workers (default 1) ready;
    `sandbox=True` runs that server and its workers under bubblewrap, with
    the `readable` paths visible read-only (see the README).
    """

    def run_inline(
        self, code: str, args: dict[str, Any] | None = None, *, timeout: float | Default | None = DEFAULT
    ) -> dict[str, Any]:
        return self._call(requests.inline_request(code, args), timeout)

    def run_script(
        self,
        path: str | os.PathLike[str],
        args: dict[str, Any] | None = None,
        *,
        timeout: float | Default | None = DEFAULT,
    ) -> dict[str, Any]:
        return self._call(requests.script_request(path, args), timeout)

    def run_function(
        self,
        path: str | os.PathLike[str],
        function: str = "main",
        args: dict[str, Any] | None = None,
        *,
        timeout: float | Default | None = DEFAULT,
    ) -> dict[str, Any]:
        return self._call(requests.function_request(path, function, args), timeout)

    def validate(self, code: str, *, timeout: float | Default | None = DEFAULT) -> dict[str, Any]:
        return self._call(requests.validate_request(code), timeout)

    def request(self, cmd: dict[str, Any], *, timeout: float | Default | None = DEFAULT) -> dict[str, Any]:
        return self._call(requests.any_request(cmd), timeout)

    def close(self) -> None:
        self._core.close()

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    # -- one request -------------------------------------------------------

    def _call(self, encoded: tuple[object, str], timeout: float | Default | None) -> dict[str, Any]:
        core = self._core
        job = core.prepare(encoded, timeout)
        worker = self._acquire()
        try:
            outcome = _exchange(worker, job, core.begin(worker, job))
        except BaseException:
            _protected(_abandon, core, worker, job)
            raise
        if type(outcome) is not dict or core.options.fresh:  # the worker may retire
            return _protected(_finish, core, worker, job, outcome)
        settled = core.settle(worker, job, outcome)
        return settled if isinstance(settled, dict) else _protected(core.conclude, worker, settled)

    def _acquire(self) -> Worker:
        core = self._core
        grant = core.acquire(_ThreadWaiter)
        if isinstance(grant, _ThreadWaiter):
            waiter = grant
            try:
                grant = waiter.wait()
            except BaseException:
                _protected(_withdraw, core, waiter)
                raise
        if grant is Grant.CLOSED:
            raise WorkerError("the pool was closed before the request was sent")
        if grant is Grant.START:
            return _protected(_start, core, orphan=core.give_back)
        assert isinstance(grant, Worker)
        return grant


# What must run to its end once begun, also when the caller is interrupted
# (KeyboardInterrupt, or any exception a signal handler raises): a worker
# half retired, or a grant half handed back, would hold its place for ever.
# Signal handlers run in the main thread only, so only its calls go through
# a thread of their own.
_shield = Spawner("ombrix-pool-shield")


def _protected[T](fn: Callable[..., T], *args: Any, orphan: Callable[[T], object] | None = None) -> T:
    if threading.current_thread() is not threading.main_thread():
        return fn(*args)
    return _shield.call(functools.partial(fn, *args), orphan)


def _finish(core: _core.PoolCore, worker: Worker, job: Request, outcome: Outcome) -> dict[str, Any]:
    settled = core.settle(worker, job, outcome)
    return settled if isinstance(settled, dict) else core.conclude(worker, settled)


def _abandon(core: _core.PoolCore, worker: Worker, job: Request) -> None:
    verdict = core.settle(worker, job, INTERRUPTED)
    assert isinstance(verdict, Verdict)
    core.conclude(worker, verdict)


def _withdraw(core: _core.PoolCore, waiter: _ThreadWaiter) -> None:
    if not core.withdraw(waiter):
        core.give_back(waiter.wait())


def _start(core: _core.PoolCore) -> Worker:
    return core.adopt(core.start())


def _exchange(worker: Worker, job: Request, reader: ResponseReader) -> Outcome:
    """Writes the request and reads its answer until the reader has an
    outcome or the deadline passes."""
    handle = worker.handle
    deadline = None if job.timeout is None else time.monotonic() + job.timeout
    data = job.data
    try:
        sent = os.write(handle.request_fd, data)
    except BlockingIOError:
        sent = 0
    except BrokenPipeError:
        sent = len(data)  # the worker is gone; its end of file will tell
    poller = worker.poller  # the answer pipe and the worker's pidfd
    if sent < len(data):
        pending = memoryview(data)[sent:]
        poller = select.poll()
        poller.register(handle.response_fd, select.POLLIN)
        poller.register(handle.request_fd, select.POLLOUT)
        if handle.pidfd >= 0:
            poller.register(handle.pidfd, select.POLLIN)
    while True:
        if deadline is None:
            events = poller.poll()
        else:
            left = deadline - time.monotonic()
            events = poller.poll(max(0, int(left * 1000) + 1)) if left > 0 else []
            if not events and time.monotonic() >= deadline:
                return TIMED_OUT
        for fd, event in events:
            if fd == handle.request_fd:
                try:
                    pending = pending[os.write(fd, pending) :]
                except BlockingIOError:
                    continue
                except BrokenPipeError:
                    pending = pending[:0]
                if not pending:
                    poller.unregister(fd)
            elif fd == handle.pidfd:
                # The worker has exited; something it started may still hold
                # the answer pipe open.  What it wrote before is read first.
                return _rest(handle.response_fd, reader)
            elif event & _IN:
                try:
                    chunk = os.read(fd, reader.want())
                except BlockingIOError:
                    continue
                except OSError:
                    return GONE
                outcome = reader.feed(chunk)
                if outcome is not None:
                    return outcome


def _rest(fd: int, reader: ResponseReader) -> Outcome:
    """The outcome of what is left in the answer pipe of a worker that has
    exited: its answer if it wrote one, else GONE."""
    while True:
        try:
            chunk = os.read(fd, reader.want())
        except OSError:  # empty, or gone
            return GONE
        outcome = reader.feed(chunk)
        if outcome is not None:
            return outcome
