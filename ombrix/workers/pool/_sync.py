"""The synchronous face: the core's requests over blocking waits, safe to
call from many threads."""
from __future__ import annotations

import base64
import functools
import select
import threading
import time
from collections.abc import Callable
from types import TracebackType
from typing import Any

from ..launchers.spawner import Spawner
from . import _core
from ._cells import Execution, OutputSink, finish_cell
from ._core import DEFAULT, Default
from ._errors import WorkerError
from ._exchange import Exchange, read_some, write_some
from ._face import PoolFace
from ._reader import INTERRUPTED
from ._session import Blocking, SessionState, Steps, run_steps
from ._worker import Assigned, NoWorker, Worker
from .requests import Requests, check_output_sink, execute_request

_IN = select.POLLIN | select.POLLHUP | select.POLLERR


class _ThreadWaiter:
    __slots__ = ("_ready", "assigned")

    def __init__(self) -> None:
        self.assigned: Assigned = NoWorker.POOL_CLOSED  # until delivered
        self._ready = threading.Event()

    def deliver(self, assigned: Assigned) -> None:
        self.assigned = assigned
        self._ready.set()

    def wait(self) -> Assigned:
        self._ready.wait()
        return self.assigned


class WorkerPool(PoolFace, Requests):
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
        request = core.prepare(encoded, timeout)
        exchange = core.lease(self._acquire(), request, time.monotonic())
        try:
            _drive(exchange)
        except BaseException:
            exchange.end(INTERRUPTED)
            _protected(core.finish, exchange)
            raise
        if type(exchange.outcome) is dict and not core.options.fresh:  # the worker usually stays
            response = core.settle(exchange)
            if response is not None:
                return response
        return _protected(core.finish, exchange)

    # -- code cells --------------------------------------------------------

    def execute(self, code: str, *, timeout: float | Default | None = DEFAULT,
                on_output: OutputSink | None = None) -> Execution:
        """Runs one cell of Python in a worker of the pool, in a namespace of
        its own; `on_output(stream, text)` is called in this thread for each
        write the cell makes to "stdout" or "stderr" while it runs.  What the
        code does (an exception, a timeout, the output limit, the worker's
        end) is in the Execution, never raised."""
        core = self._core
        check_output_sink(on_output)
        request = core.prepare(execute_request(code, False, core.options.max_output), timeout)
        exchange = core.lease_cell(self._acquire(), request, time.monotonic(), on_output)
        try:
            _drive(exchange)
        except BaseException:
            exchange.end(INTERRUPTED)
            _protected(core.finish, exchange)
            raise
        return _protected(finish_cell, core, exchange, time.monotonic)

    def session(self, *, timeout: float | Default | None = DEFAULT) -> Session:
        """A Session: a worker of its own whose namespace lasts across cells
        (see Session); at most `max_sessions` are open at once."""
        session = Session(SessionState(self._core, timeout))
        try:
            session._run(session._state.open())
        except BaseException:
            session.close()
            raise
        return session

    def _acquire(self) -> Worker:
        core = self._core
        assigned = core.acquire(_ThreadWaiter)
        if isinstance(assigned, _ThreadWaiter):
            waiter = assigned
            try:
                assigned = waiter.wait()
            except BaseException:
                _protected(_withdraw, core, waiter)
                raise
        if assigned is NoWorker.POOL_CLOSED:
            raise WorkerError("the pool was closed before the request was sent")
        if assigned is NoWorker.START_ONE:
            return _protected(_start, core, orphan=core.give_back)
        return assigned


# What must run to its end once begun, also when the caller is interrupted
# (KeyboardInterrupt, or any exception a signal handler raises): a worker
# half retired, or a place half handed back, would be held for ever.
# Signal handlers run in the main thread only, so only its calls go through
# a thread of their own.
_shield = Spawner("ombrix-pool-shield")


def _protected[T](fn: Callable[..., T], *args: Any, orphan: Callable[[T], object] | None = None) -> T:
    if threading.current_thread() is not threading.main_thread():
        return fn(*args)
    return _shield.call(functools.partial(fn, *args), orphan)


class Session:
    """A worker of its own, started like the pool's, whose namespace lasts
    from cell to cell until the session closes.

    A cell past its timeout is interrupted (KeyboardInterrupt in the cell;
    the namespace is kept and the error is "Timeout"); one that has not
    ended a second later is killed with its worker (state_lost), and the
    next cell runs in a new worker (`restarted`).  `interrupt()` may be
    called from any thread.  Files live in the session's own directory.
    """

    def __init__(self, state: SessionState) -> None:
        self._state = state
        self._lock = threading.Lock()  # one operation at a time

    def _run(self, steps: Steps) -> Any:
        with self._lock:
            return run_steps(steps, _drive, _blocking)

    def execute(self, code: str, *, timeout: float | Default | None = DEFAULT,
                on_output: OutputSink | None = None) -> Execution:
        """Runs one cell in the session's namespace (see WorkerPool.execute)."""
        execution: Execution = self._run(self._state.execute(code, timeout, on_output))
        return execution

    def interrupt(self) -> None:
        """Interrupts the running cell (KeyboardInterrupt in it); nothing when none runs."""
        self._state.interrupt()

    def upload(self, name: str, data: bytes) -> None:
        """Writes `data` to the file `name`, relative to the session's directory."""
        self._run(self._state.upload(name, data))

    def download(self, name: str) -> bytes:
        """The content of the file `name`, relative to the session's directory."""
        response = self._run(self._state.download(name))
        return base64.b64decode(response.get("data", ""))

    def close(self) -> None:
        """Ends the session's worker and removes its directory (idempotent)."""
        self._state.close()

    def __enter__(self) -> Session:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def _blocking(step: Blocking) -> Any:
    return _protected(step.fn, orphan=step.orphan)


def _withdraw(core: _core.PoolCore, waiter: _ThreadWaiter) -> None:
    if not core.withdraw(waiter):
        core.give_back(waiter.wait())


def _start(core: _core.PoolCore) -> Worker:
    return core.adopt(core.start())


def _drive(exchange: Exchange) -> None:
    """Writes the request and reads its answer until the exchange has an
    outcome."""
    handle = exchange.worker.handle
    request_fd, response_fd, pidfd = handle.request_fd, handle.response_fd, handle.pidfd
    data = exchange.pending
    sent = write_some(request_fd, data)
    poller = exchange.worker.poller  # the answer pipe and the worker's pidfd
    # Usually the whole request goes at once; only what is left is handed to
    # the exchange, which this driver asks for nothing else that is written.
    if sent < len(data):
        exchange.wrote(sent)
        poller = select.poll()
        poller.register(response_fd, select.POLLIN)
        poller.register(request_fd, select.POLLOUT)
        if pidfd >= 0:
            poller.register(pidfd, select.POLLIN)
    while exchange.outcome is None:
        left = exchange.time_left(time.monotonic())
        if left is None:
            events = poller.poll()
        elif left > 0:
            events = poller.poll(int(left * 1000) + 1)
        else:
            return
        for fd, event in events:
            if fd == request_fd:
                exchange.wrote(write_some(fd, exchange.pending))
                if not exchange.pending:
                    poller.unregister(fd)
            elif fd == pidfd:
                # The worker has exited; something it started may still hold
                # the answer pipe open.  What it wrote before is read first.
                while exchange.received(read_some(response_fd, exchange.want()) or b"") is None:
                    pass
                return
            elif event & _IN:
                chunk = read_some(fd, exchange.want())
                if chunk is not None and exchange.received(chunk) is not None:
                    return
