"""The pool core: which worker serves a request, what its answer means, and
what becomes of the worker.  The faces only write, read and wait.

A request walks through: `prepare` (checked and encoded before any worker is
involved), `acquire` (a worker, a place kept to start one, or a place in the
FIFO queue), `lease` (the sans-I/O exchange of the request with that worker,
which the face's driver moves bytes for), then `settle` (what the outcome
means, decided without blocking: usually the response, the worker back in
the pool) or `finish` (the same, and a worker that must go killed, reaped
and replaced before the result or the error is given).
"""
from __future__ import annotations

import logging
import os
import shutil
import tempfile
import threading
from collections import deque
from collections.abc import Callable
from pathlib import Path
from typing import Any

from ..inside.startup import OUTPUT_LIMIT_STATUS
from ..launchers.choose import choose_launcher
from ..launchers.handle import ChildSettings, Launcher, LauncherFactory, Limits, WorkerHandle
from ..launchers.retire import REAP_LIMIT, Retirer, end_worker
from ._cells import CellExchange, CellReader, OutputSink
from ._errors import OutputLimitExceeded, WorkerError, WorkerExited, WorkerTimeout, exit_message
from ._exchange import Exchange
from ._open import Closable, open_pools
from ._reader import EXCEEDED, GONE, INTERRUPTED, TIMED_OUT, UNREADABLE, Answer, Failure, Request, encode_request
from ._stray import StrayDrain, logger
from ._worker import Assigned, NoWorker, Retirement, W, Waiter, Worker
from .options import DEFAULT, Default, PoolOptions, check_timeout

__all__ = ["DEFAULT", "Default", "PoolCore", "PoolOptions", "check_timeout"]

# How long a worker's stray output may take to reach end of file after it
# is reaped.
DRAIN_GRACE = 0.2
_POOL_CLOSED = "the pool closed"


_FOREIGN = "this pool belongs to the process that made it (pid {}): a forked child cannot use it"


class PoolCore:
    def __init__(self, options: PoolOptions, launcher: LauncherFactory | None = None) -> None:
        self.options = options
        self.owner = os.getpid()
        self._owned_dir: str | None = None
        if options.cwd is None:
            self._owned_dir = tempfile.mkdtemp(prefix="ombrix-pool-")
            cwd = self._owned_dir
        else:
            cwd = str(Path(options.cwd).resolve())
        self.cwd = cwd
        limits = Limits(options.memory_limit, options.cpu_limit, options.file_size_limit, options.max_output)
        self.settings = ChildSettings(cwd, limits, options.env)
        try:
            factory = choose_launcher(
                launcher, workers=options.size, fresh=bool(options.fresh), spares=options.spares,
                sandbox=options.sandbox, readable=options.readable, cwd_given=options.cwd is not None,
            )
            self.launcher: Launcher = factory(self.settings)
        except BaseException:
            if self._owned_dir is not None:
                shutil.rmtree(self._owned_dir, ignore_errors=True)
            raise
        self._lock = threading.Lock()
        self._idle: deque[Worker] = deque()
        self._busy: set[Worker] = set()
        self._starting_or_live = 0  # workers live or being started
        self._waiters: deque[Waiter] = deque()
        self._drain = StrayDrain()
        self._retirer = Retirer()
        self._sessions: set[Closable] = set()
        self.closed = False
        open_pools.add(self)
        # All workers start now: they boot in parallel while the host goes on.
        try:
            for _ in range(options.size):
                self._starting_or_live += 1
                self._release(self.adopt(self.start()))
        except BaseException:
            self.close()
            raise

    # -- requests --------------------------------------------------------

    def prepare(self, encoded: tuple[object, str], timeout: float | Default | None) -> Request:
        if timeout is DEFAULT:
            timeout = self.options.timeout
        else:
            check_timeout(timeout)
        if self.owner != os.getpid():
            raise RuntimeError(_FOREIGN.format(self.owner))
        if self.closed:
            raise RuntimeError("the pool is closed")
        request = encode_request(*encoded)
        request.timeout = timeout
        return request

    def acquire(self, new_waiter: Callable[[], W]) -> Assigned | W:
        """A worker, NoWorker.START_ONE (start one, then `adopt` it), or a waiter
        queued for what a later release gives it."""
        while True:
            with self._lock:
                if self.closed:
                    raise RuntimeError("the pool is closed")
                if self._idle:
                    worker = self._idle.pop()
                    if not worker.poller.poll(0):
                        self._busy.add(worker)
                        return worker
                    self._starting_or_live -= 1
                elif self._starting_or_live < self.options.size:
                    self._starting_or_live += 1
                    return NoWorker.START_ONE
                else:
                    waiter = new_waiter()
                    self._waiters.append(waiter)
                    return waiter
            logger.info("worker %d recycled: it wrote to the protocol while idle, or ended", worker.handle.pid)
            self._dispose(worker, let_exit=False)

    def withdraw(self, waiter: Waiter) -> bool:
        """Takes a waiter out of the queue; False when it was already given something."""
        with self._lock:
            try:
                self._waiters.remove(waiter)
            except ValueError:
                return False
            return True

    def give_back(self, assigned: Assigned) -> None:
        """Returns what a waiter was given and can no longer use."""
        if isinstance(assigned, Worker):
            self._release(assigned)
        elif assigned is NoWorker.START_ONE:
            self.start_failed()

    def start(self) -> WorkerHandle:
        """Starts a worker for a NoWorker.START_ONE (blocking)."""
        try:
            return self.launcher.start()
        except BaseException:
            self.start_failed()
            raise

    def adopt(self, handle: WorkerHandle) -> Worker:
        """Takes a worker started for a NoWorker.START_ONE; it is busy for the caller."""
        worker = Worker(handle, self._drain.add(handle.pid, handle.stray_fd))
        with self._lock:
            closed = self.closed
            if not closed:
                self._busy.add(worker)
        if closed:
            self._dispose(worker, let_exit=False)
            raise WorkerError("the pool was closed before the request was sent")
        return worker

    def workers(self) -> list[Worker]:
        """The workers now in the pool, idle or busy."""
        with self._lock:
            return [*self._idle, *self._busy]

    def start_failed(self) -> None:
        with self._lock:
            self._starting_or_live -= 1
            if self._waiters and not self.closed:
                self._starting_or_live += 1
                self._waiters.popleft().deliver(NoWorker.START_ONE)

    def lease(self, worker: Worker, request: Request, now: float) -> Exchange:
        """The exchange of `request` with a worker `acquire` gave the caller;
        `now` is the driver's monotonic clock."""
        worker.served += 1
        if self.options.cpu_limit is not None:
            worker.handle.limit_cpu(self.options.cpu_limit)
        return Exchange(worker, request, request.reader(self.options.max_output), now)

    def lease_cell(self, worker: Worker, request: Request, now: float, on_output: OutputSink | None) -> CellExchange:
        """The exchange of a cell that runs in a worker of the pool."""
        worker.served += 1
        if self.options.cpu_limit is not None:
            worker.handle.limit_cpu(self.options.cpu_limit)
        reader = CellReader(self.options.max_output, request.marker or b"", on_output)
        return CellExchange(worker, request, reader, now)

    def settle(self, exchange: Exchange) -> dict[str, Any] | None:
        """Decides, without blocking, what the exchange's outcome means: the
        response of a worker that went back to the pool, or None when the
        worker must retire (`finish` carries that out)."""
        decided = self._decide(exchange)
        if isinstance(decided, Retirement):
            exchange.retirement = decided
            return None
        return decided

    def finish(self, exchange: Exchange) -> dict[str, Any]:
        """Settles the exchange unless `settle` did, retires its worker when
        it must go (blocking: kill, reap, replace), then returns the response
        or raises the error."""
        decided = exchange.retirement or self._decide(exchange)
        return self._retire(exchange.worker, decided) if isinstance(decided, Retirement) else decided

    def _decide(self, exchange: Exchange) -> dict[str, Any] | Retirement:
        outcome = exchange.outcome
        if outcome is None:
            outcome = exchange.end()
        worker = exchange.worker
        if isinstance(outcome, Failure):
            return self._failure(exchange.request, outcome)
        if isinstance(outcome, Answer):
            response, output, stray = outcome.response, outcome.output, outcome.stray
        else:  # the usual answer: a response line alone
            response, output, stray = outcome, None, b""
        pid = worker.handle.pid
        if output is not None:
            result = response.get("result")
            if response.get("success") is True and isinstance(result, dict):
                result["output"] = output.decode("utf-8", "replace")
            elif output:
                _log_bytes(pid, "printed before failing", output)
        if stray:
            _log_bytes(pid, "wrote to the protocol", stray)
            reason = "it wrote to the protocol outside its answer"
        elif exchange.request.action == "quit":
            return Retirement("it quit", response, let_exit=True)
        elif (left := worker.handle.leftovers()) is not None:
            reason = f"it left {left}"
        elif self.options.fresh:
            reason = "fresh workers serve one request"
        elif self.options.recycle_after is not None and worker.served >= self.options.recycle_after:
            reason = f"it served {worker.served} requests"
        else:
            self._release(worker)
            return response
        return Retirement(reason, response)

    def _failure(self, request: Request, failure: Failure) -> Retirement:
        if self.closed and failure in (GONE, INTERRUPTED):
            # An interrupted caller re-raises its own exception (a cancel
            # must stay a cancel); the others learn the pool closed.
            closed = WorkerError("the pool was closed before the request was answered")
            return Retirement(_POOL_CLOSED, error=None if failure is INTERRUPTED else closed)
        if failure is TIMED_OUT:
            message = f"The request timed out after {request.timeout:g} s; the worker was killed"
            return Retirement("it timed out", error=WorkerTimeout(message, request.timeout or 0.0))
        if failure is EXCEEDED:
            limit = self.options.max_output
            message = f"The worker's answer exceeded max_output ({limit} bytes); the worker was killed"
            return Retirement("its answer exceeded max_output", error=OutputLimitExceeded(message, limit))
        if failure is GONE:
            return Retirement("it ended", exited=True, let_exit=True)
        if failure is UNREADABLE:
            error = WorkerError("The worker's answer could not be told from other writes to the protocol; "
                                "the worker was replaced")
            return Retirement("its answer could not be read", error=error)
        return Retirement("its request was abandoned")

    def _retire(self, worker: Worker, retirement: Retirement) -> dict[str, Any]:
        """Ends the worker (kill, reap, replace), then returns the response
        or raises the error."""
        if retirement.reason != _POOL_CLOSED:
            logger.info("worker %d recycled: %s", worker.handle.pid, retirement.reason)
        returncode, stderr = self._dispose(worker, let_exit=retirement.let_exit, want_tail=retirement.exited)
        self._replace()
        error = self.error_of(retirement, returncode, stderr)
        if error is not None:
            raise error
        if retirement.response is None:  # an abandoned request: the caller raises its own
            return {}
        return retirement.response

    def error_of(self, retirement: Retirement, returncode: int | None, stderr: str) -> WorkerError | None:
        """The error a retired worker's caller gets, if any."""
        exited = retirement.exited
        if exited and returncode == OUTPUT_LIMIT_STATUS and self.settings.limits.output is not None:
            limit = self.options.max_output  # the worker ended itself: its captured output passed the bound
            return OutputLimitExceeded(f"The script's output exceeded max_output ({limit} bytes)", limit)
        if exited:
            return WorkerExited(exit_message(returncode, stderr), returncode, stderr)
        return retirement.error

    # -- sessions ------------------------------------------------------------

    def open_session(self, session: Closable) -> None:
        """Counts a new session against max_sessions."""
        if self.owner != os.getpid():
            raise RuntimeError(_FOREIGN.format(self.owner))
        with self._lock:
            if self.closed:
                raise RuntimeError("the pool is closed")
            if len(self._sessions) >= self.options.max_sessions:
                raise RuntimeError(f"the pool has max_sessions ({self.options.max_sessions}) sessions open: "
                                   "close one before opening another")
            self._sessions.add(session)

    def forget_session(self, session: Closable) -> None:
        with self._lock:
            self._sessions.discard(session)

    def sessions(self) -> list[Closable]:
        with self._lock:
            return list(self._sessions)

    def start_own(self) -> WorkerHandle:
        """Starts a worker outside the pool's books (a session's), blocking."""
        return self.launcher.start()

    def own(self, handle: WorkerHandle) -> Worker:
        """A started worker of a session, its stray output drained."""
        return Worker(handle, self._drain.add(handle.pid, handle.stray_fd))

    def end_own(self, worker: Worker, *, let_exit: bool = False, want_tail: bool = False) -> tuple[int | None, str]:
        """Ends a session's worker (blocking): its status and its stray output's tail."""
        return self._dispose(worker, let_exit=let_exit, want_tail=want_tail)

    # -- worker life -------------------------------------------------------

    def _release(self, worker: Worker) -> None:
        with self._lock:
            self._busy.discard(worker)
            if not self.closed:
                if self._waiters:
                    self._busy.add(worker)
                    self._waiters.popleft().deliver(worker)
                else:
                    self._idle.append(worker)
                return
        self._dispose(worker, let_exit=False)

    def _dispose(self, worker: Worker, *, let_exit: bool, want_tail: bool = False) -> tuple[int | None, str]:
        """Ends a worker that is out of the pool's books: kills it with its
        group and its whole process tree, reaps it and closes its
        descriptors.  Returns its status (None when it cannot be known) and
        its stray output's tail.  With `let_exit` the worker first gets a
        moment to end by itself.  A fresh pool retires a worker on every request: when
        nobody wants its status and tail, it is killed here and waited for in
        the background, off the path of the next request (`close` waits for
        it).  Other retirements are rare and end the worker before the
        caller hears of it."""
        with self._lock:
            self._busy.discard(worker)
        if worker.attachment is not None:
            worker.attachment.detach()
        handle = worker.handle
        if self.options.fresh and not let_exit and not want_tail:
            self._retirer.retire(handle, lambda: self._forget(worker, 0.0))
            return None, ""
        # Reaped (a forked worker by its server, which reports it) before the
        # caller hears of it, unless the server does not answer in time.
        code = end_worker(handle, let_exit=let_exit)
        return code, self._forget(worker, DRAIN_GRACE if want_tail else 0.0)

    def _forget(self, worker: Worker, drain: float) -> str:
        """Stops draining an ended worker's stray output (after up to `drain`
        seconds) and closes its descriptors; returns the output's tail."""
        tail = self._drain.finish(worker.tail, drain)
        worker.handle.close()
        return tail

    def _replace(self) -> None:
        """Starts a worker in place of a retired one, so the pool keeps its
        size; a waiter, if any, gets it."""
        with self._lock:
            self._starting_or_live -= 1
            if self.closed or self._starting_or_live >= self.options.size:
                return
            self._starting_or_live += 1
        try:
            handle = self.start()
        except Exception:
            logger.exception("starting a replacement worker failed")
            return
        try:
            worker = self.adopt(handle)
        except WorkerError:
            return
        self._release(worker)

    def close(self) -> None:
        """Quits idle workers (kills those left with threads or children),
        kills busy ones, kills every worker's group and tree, reaps them all
        and removes the scratch directory.  Idempotent."""
        if self.owner != os.getpid():
            raise RuntimeError(_FOREIGN.format(self.owner))
        with self._lock:
            if self.closed:
                return
            self.closed = True
            idle, self._idle = list(self._idle), deque()
            busy = list(self._busy)
            waiters, self._waiters = list(self._waiters), deque()
            for waiter in waiters:
                waiter.deliver(NoWorker.POOL_CLOSED)
            sessions = list(self._sessions)
        for session in sessions:
            session.close()
        quitting, unclean = [], []
        for worker in idle:
            # One left with threads or children gets no time to start more.
            if worker.handle.leftovers() is not None:
                unclean.append(worker)
                continue
            quitting.append(worker)
            try:
                os.write(worker.handle.request_fd, b'{"action": "quit"}\n')
            except OSError:
                pass
        for worker in busy:
            worker.handle.kill()  # their callers dispose of them
        for worker in unclean:
            self._dispose(worker, let_exit=False)
        for worker in quitting:
            self._dispose(worker, let_exit=True)
        for worker in busy:
            worker.handle.ended(REAP_LIMIT)
        self._retirer.close()
        self._drain.close()
        self.launcher.close()
        if self._owned_dir is not None:
            shutil.rmtree(self._owned_dir, ignore_errors=True)
        open_pools.discard(self)


def _log_bytes(pid: int, what: str, data: bytes) -> None:
    if logger.isEnabledFor(logging.INFO):
        logger.info("worker %d %s: %s", pid, what, data.decode("utf-8", "replace"))
