"""A code-interpreter session: a worker of its own that keeps one
namespace across cells, written once for both faces.

Each operation is a generator of steps: `Drive` (move an exchange's bytes
until it has an outcome: the face's driver) and `Blocking` (a call that
blocks, such as starting or ending a worker: the sync face calls it, the
asyncio face runs it in a thread).  The generator decides everything else
without blocking, so the supervision of a session (deadlines that interrupt
first, a lost worker replaced before the next cell, the books of what was
lost) lives here only.
"""
from __future__ import annotations

import os
import shutil
import signal
import tempfile
import threading
import time
from collections.abc import Callable, Generator
from dataclasses import dataclass
from typing import Any

from ..launchers.handle import WorkerHandle
from ..launchers.retire import end_worker
from ._cells import CellExchange, CellReader, OutputSink
from ._core import PoolCore
from ._errors import OutputLimitExceeded, WorkerError
from ._exchange import Exchange
from ._reader import GONE, UNREADABLE, Answer, Failure, Request, encode_request, json_value
from ._worker import Retirement, Worker
from .options import DEFAULT, Default, check_timeout
from .requests import check_output_sink, download_request, execute_request, upload_request


@dataclass(slots=True)
class Drive:
    exchange: Exchange


@dataclass(slots=True)
class Blocking:
    """`fn()`, which blocks; `ends` is a worker it ends (the asyncio face
    detaches it first, in the loop's thread); `orphan` takes the result when
    the caller gave up while it ran."""

    fn: Callable[[], Any]
    ends: Worker | None = None
    orphan: Callable[[Any], object] | None = None


Step = Drive | Blocking
Steps = Generator[Step, Any, Any]


def _abandon(handle: WorkerHandle) -> None:
    """Ends a worker started for a caller that is gone."""
    end_worker(handle)
    handle.close()


class SessionState:
    """One session's worker and its books."""

    def __init__(self, core: PoolCore, timeout: float | Default | None) -> None:
        self.timeout = core.options.timeout if timeout is DEFAULT else timeout
        check_timeout(self.timeout)
        self.core = core
        self.worker: Worker | None = None
        self.lost = False  # the worker was lost: the next cell runs in a new one and says so
        self.closed = False
        # Guards the worker and the exchange it serves against interrupt()
        # and close() from other threads.
        self._lock = threading.Lock()
        self._busy: Exchange | None = None
        # A sandboxed worker has a scratch directory of its own.
        self.directory = None if core.options.sandbox else tempfile.mkdtemp(prefix="ombrix-session-")
        try:
            core.open_session(self)  # last: the pool's close may close it from now on
        except BaseException:
            if self.directory is not None:
                shutil.rmtree(self.directory, ignore_errors=True)
            raise

    @property
    def busy(self) -> bool:
        """An exchange is out on the worker."""
        return self._busy is not None

    # -- from any thread -----------------------------------------------------

    def interrupt(self) -> None:
        """SIGINT to the worker while a cell runs; nothing otherwise."""
        with self._lock:
            if isinstance(self._busy, CellExchange):
                _signal(self._busy.worker.handle, signal.SIGINT)

    def close(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
            worker, self.worker = self.worker, None
            busy = self._busy is not None
        if worker is not None:
            if busy:
                worker.handle.kill()  # the exchange's caller sees it end, then ends it
            else:
                self.core.end_own(worker)
        if self.directory is not None:
            shutil.rmtree(self.directory, ignore_errors=True)
        self.core.forget_session(self)

    # -- operations (generators of steps) ------------------------------------

    def open(self) -> Steps:
        """Starts the session's worker unless it has one; the worker."""
        if self.closed:
            raise RuntimeError("the session is closed")
        if self.worker is not None:
            return self.worker
        handle = yield Blocking(self.core.start_own, orphan=_abandon)
        worker = self.core.own(handle)
        with self._lock:  # from here close() ends it
            closed = self.closed
            if not closed:
                self.worker = worker
        if closed:
            yield Blocking(lambda: self.core.end_own(worker), ends=worker)
            raise RuntimeError("the session is closed")
        text = f'{{"action": "session", "directory": {json_value(self.directory)}}}'
        response = yield from self._exchange(worker, encode_request("session", text), self.timeout)
        if response.get("success") is not True:
            if self._lose(worker, lost=False):
                yield Blocking(lambda: self.core.end_own(worker), ends=worker)
            raise WorkerError(f"the worker could not start the session: {response.get('error')}")
        return worker

    def execute(self, code: str, timeout: float | Default | None, on_output: OutputSink | None) -> Steps:
        encoded = execute_request(code, True, self.core.options.max_output)
        check_output_sink(on_output)
        timeout = self._timeout(timeout)
        worker = yield from self.open()
        restarted, self.lost = self.lost, False
        if self.core.options.cpu_limit is not None:
            worker.handle.limit_cpu(self.core.options.cpu_limit)
        request = encode_request(*encoded)
        request.timeout = timeout
        reader = CellReader(self.core.options.max_output, request.marker or b"", on_output)
        handle = worker.handle
        exchange = CellExchange(worker, request, reader, time.monotonic(),
                                lambda: _signal(handle, signal.SIGINT), restarted=restarted)
        yield from self._drive(exchange)
        outcome = exchange.outcome
        if isinstance(outcome, Failure):
            error = yield from self._retire(worker, request, outcome)
            execution = exchange.failed(error, time.monotonic(), state_lost=True)
        else:
            response = outcome.response if isinstance(outcome, Answer) else outcome
            assert isinstance(response, dict)
            execution = exchange.result(response, time.monotonic())
            if isinstance(outcome, Answer) and outcome.stray:  # something else writes to the protocol
                yield from self._retire(worker, request, UNREADABLE)
        if reader.sink_error is not None:
            raise reader.sink_error
        return execution

    def upload(self, name: str, data: bytes) -> Steps:
        return (yield from self._file_request(upload_request(name, data)))

    def download(self, name: str) -> Steps:
        # The answer's line is bounded by max_output: room for its other keys.
        return (yield from self._file_request(download_request(name, self.core.options.max_output - 64)))

    def _file_request(self, encoded: tuple[str, str]) -> Steps:
        worker = yield from self.open()
        response = yield from self._exchange(worker, encode_request(*encoded), self.timeout)
        if response.get("success") is True:
            return response
        error = str(response.get("error", "the request failed"))
        kind = response.get("kind")
        if kind == "refused":
            raise ValueError(error)
        if kind == "missing":
            raise FileNotFoundError(error)
        if kind == "too_large":
            raise OutputLimitExceeded(error, self.core.options.max_output)
        raise OSError(error)

    # -- the steps they share ------------------------------------------------

    def _timeout(self, timeout: float | Default | None) -> float | None:
        if timeout is DEFAULT:
            return self.timeout
        check_timeout(timeout)
        assert not isinstance(timeout, Default)
        return timeout

    def _exchange(self, worker: Worker, request: Request, timeout: float | None) -> Steps:
        """One plain request on the session's worker: its response; a failure
        (timeout, output limit, the worker's end) loses the worker and raises."""
        request.timeout = timeout
        exchange = Exchange(worker, request, request.reader(self.core.options.max_output), time.monotonic())
        yield from self._drive(exchange)
        outcome = exchange.outcome
        if isinstance(outcome, Failure):
            raise (yield from self._retire(worker, request, outcome))
        if isinstance(outcome, Answer):
            if outcome.stray:
                yield from self._retire(worker, request, UNREADABLE)
            return outcome.response
        assert isinstance(outcome, dict)
        return outcome

    def _drive(self, exchange: Exchange) -> Steps:
        """Drives the exchange on the session's worker, marked busy meanwhile
        so that close() from another thread kills the worker rather than
        closing its descriptors under the driver."""
        worker = exchange.worker
        with self._lock:
            if self.worker is not worker:  # close() took it and ended it
                raise RuntimeError("the session is closed")
            self._busy = exchange
        try:
            yield Drive(exchange)
        except BaseException as exc:
            # The caller gave up (an interrupt, a cancel): what the worker
            # runs may go on, so it goes, at once: off the event loop, and
            # beyond a second interrupt, unless the caller is being closed.
            exchange.end()
            self._lose(worker)
            if isinstance(exc, GeneratorExit):
                self.core.end_own(worker)
            else:
                yield Blocking(lambda: self.core.end_own(worker), ends=worker)
            raise
        with self._lock:
            self._busy = None
            closed = self.closed
        if closed:
            yield Blocking(lambda: self.core.end_own(worker), ends=worker)
            raise WorkerError("the session was closed while its worker was busy")

    def _retire(self, worker: Worker, request: Request, failure: Failure) -> Steps:
        """Ends a worker whose state is lost; the error its failure means."""
        if not self._lose(worker):
            raise WorkerError("the session was closed while its worker was busy")  # close() ends it
        if failure is GONE and self.closed:
            yield Blocking(lambda: self.core.end_own(worker), ends=worker)
            raise WorkerError("the session was closed while its worker was busy")
        retirement: Retirement = self.core._failure(request, failure)
        code, tail = yield Blocking(
            lambda: self.core.end_own(worker, let_exit=retirement.let_exit, want_tail=retirement.exited), ends=worker)
        return self.core.error_of(retirement, code, tail) or WorkerError("the session's worker was lost")

    def _lose(self, worker: Worker, *, lost: bool = True) -> bool:
        """Takes the worker from the session (the next cell runs in a new
        one, and says so when `lost`); False when close() took it first
        (and ends it, unless the worker was busy)."""
        with self._lock:
            self._busy = None
            if self.worker is not worker:
                return False
            self.worker = None
            self.lost = self.lost or lost
            return True


def _signal(handle: WorkerHandle, signum: int) -> None:
    """Signals the worker process alone, through its pidfd when it has one
    (never a process that reused its pid)."""
    try:
        if handle.pidfd >= 0:
            signal.pidfd_send_signal(handle.pidfd, signum)
        else:
            os.kill(handle.pid, signum)
    except OSError:
        pass  # it has ended: its caller sees that


def run_steps(steps: Steps, drive: Callable[[Exchange], None], call: Callable[[Blocking], Any]) -> Any:
    """Runs an operation's steps with a face's blocking driver and calls."""
    value: Any = None
    error: BaseException | None = None
    while True:
        try:
            step = steps.send(value) if error is None else steps.throw(error)
        except StopIteration as stop:
            return stop.value
        value = error = None
        try:
            if isinstance(step, Drive):
                drive(step.exchange)
            else:
                value = call(step)
        except BaseException as exc:  # handed to the operation, which cleans up and re-raises
            error = exc
