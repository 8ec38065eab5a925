"""The asyncio face: the core's requests over the event loop's readers,
safe to call from many tasks of one loop."""
from __future__ import annotations

import asyncio
import contextlib
import os
import threading
from collections.abc import Callable
from types import TracebackType
from typing import Any

from . import requests
from ._core import DEFAULT, Default, PoolCore
from ._errors import WorkerError
from ._face import PoolFace
from ._reader import GONE, INTERRUPTED, TIMED_OUT, Outcome, Request, ResponseReader
from ._worker import Grant, Granted, Verdict, Worker


class _TaskWaiter:
    """A queued task; grants may come from another thread (a retiring
    worker's replacement is started in one)."""

    __slots__ = ("_core", "_loop", "_thread", "future")

    def __init__(self, loop: asyncio.AbstractEventLoop, core: PoolCore) -> None:
        self._loop = loop
        self._core = core
        self._thread = threading.get_ident()
        self.future: asyncio.Future[Granted] = loop.create_future()

    def deliver(self, grant: Granted) -> None:
        # The core's lock is held here: nothing may raise, and a grant
        # nobody takes goes back later, never from inside this call.
        try:
            if threading.get_ident() == self._thread:
                # The usual case, a request of the same loop finishing: no
                # need to wake the loop through its self-pipe.
                if self.future.done():
                    self._loop.call_soon(self._core.give_back, grant)
                else:
                    self.future.set_result(grant)
            else:
                self._loop.call_soon_threadsafe(self._set, grant)
        except RuntimeError:  # the loop is closed: nobody will take it
            threading.Thread(target=self._core.give_back, args=(grant,), daemon=True).start()

    def _set(self, grant: Granted) -> None:
        if self.future.done():  # cancelled meanwhile
            self._core.give_back(grant)
        else:
            self.future.set_result(grant)


class AsyncWorkerPool(PoolFace):
    """The asyncio counterpart of WorkerPool, with the same options and
    guarantees; its methods are coroutines."""

    async def run_inline(
        self, code: str, args: dict[str, Any] | None = None, *, timeout: float | Default | None = DEFAULT
    ) -> dict[str, Any]:
        return await self._call(requests.inline_request(code, args), timeout)

    async def run_script(
        self,
        path: str | os.PathLike[str],
        args: dict[str, Any] | None = None,
        *,
        timeout: float | Default | None = DEFAULT,
    ) -> dict[str, Any]:
        return await self._call(requests.script_request(path, args), timeout)

    async def run_function(
        self,
        path: str | os.PathLike[str],
        function: str = "main",
        args: dict[str, Any] | None = None,
        *,
        timeout: float | Default | None = DEFAULT,
    ) -> dict[str, Any]:
        return await self._call(requests.function_request(path, function, args), timeout)

    async def validate(self, code: str, *, timeout: float | Default | None = DEFAULT) -> dict[str, Any]:
        return await self._call(requests.validate_request(code), timeout)

    async def request(self, cmd: dict[str, Any], *, timeout: float | Default | None = DEFAULT) -> dict[str, Any]:
        return await self._call(requests.any_request(cmd), timeout)

    async def aclose(self) -> None:
        for worker in self._core.workers():
            _detach(worker)  # here, in the loop's thread, before the pipes close
        await asyncio.shield(_in_thread(self._core.close))

    def close(self) -> None:
        """Closes the pool from synchronous code (blocks while workers are reaped)."""
        self._core.close()

    async def __aenter__(self) -> AsyncWorkerPool:
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.aclose()

    # -- one request -------------------------------------------------------

    async def _call(self, encoded: tuple[object, str], timeout: float | Default | None) -> dict[str, Any]:
        core = self._core
        job = core.prepare(encoded, timeout)
        worker = await self._acquire()
        try:
            outcome = await _exchange(worker, job, core.begin(worker, job))
        except BaseException:
            # Killing and reaping after SIGKILL is quick; a cancelled task
            # must not leave the worker behind.
            verdict = core.settle(worker, job, INTERRUPTED)
            assert isinstance(verdict, Verdict)
            core.conclude(worker, verdict)
            raise
        settled = core.settle(worker, job, outcome)
        if isinstance(settled, dict):
            return settled
        _detach(worker)  # here, in the loop's thread, before the pipe closes
        # Shielded: a cancel must not withdraw the retirement before a thread
        # runs it (a worker never disposed of would hold its place and its
        # descriptors for ever, and enough of them wedge the pool).
        return await asyncio.shield(_in_thread(core.conclude, worker, settled))

    async def _acquire(self) -> Worker:
        core = self._core
        loop = asyncio.get_running_loop()
        grant = core.acquire(lambda: _TaskWaiter(loop, core))
        if isinstance(grant, _TaskWaiter):
            waiter = grant
            try:
                grant = await waiter.future
            except asyncio.CancelledError:
                if not core.withdraw(waiter) and waiter.future.done() and not waiter.future.cancelled():
                    core.give_back(waiter.future.result())
                raise
        if grant is Grant.CLOSED:
            raise WorkerError("the pool was closed before the request was sent")
        if grant is Grant.START:
            return await self._start()
        assert isinstance(grant, Worker)
        return grant

    async def _start(self) -> Worker:
        core = self._core
        starting = asyncio.ensure_future(asyncio.to_thread(core.start))
        try:
            handle = await asyncio.shield(starting)
        except asyncio.CancelledError:
            # The start goes on in its thread: the worker it yields joins the pool.
            starting.add_done_callback(_adopt_later(core))
            raise
        return core.adopt(handle)


def _in_thread[T](fn: Callable[..., T], *args: Any) -> asyncio.Future[T]:
    """`fn(*args)` on the loop's default executor, as a future whose error
    nobody needs to take (its caller may be cancelled meanwhile)."""
    future = asyncio.get_running_loop().run_in_executor(None, fn, *args)
    future.add_done_callback(lambda f: f.cancelled() or f.exception())
    return future


def _adopt_later(core: PoolCore) -> Any:
    def adopt(starting: asyncio.Future[Any]) -> None:
        if starting.cancelled() or starting.exception() is not None:
            return  # core.start already gave the place back
        try:
            core.give_back(core.adopt(starting.result()))
        except WorkerError:
            pass

    return adopt


class _Channel:
    """The event loop's side of one worker: its answer pipe's reader,
    registered once for the worker's life rather than per request (that
    costs two system calls, more than the rest of a request's bookkeeping),
    and one deadline timer that is moved along rather than made per request.
    """

    __slots__ = ("deadline", "done", "fd", "loop", "pidfd", "reader", "thread", "timer")

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, pidfd: int) -> None:
        self.loop = loop
        self.fd = fd
        self.pidfd = pidfd  # readable once the worker has exited (-1: none)
        self.thread = threading.get_ident()
        self.reader: ResponseReader | None = None  # set while a request is out
        self.done: asyncio.Future[Outcome] | None = None
        self.deadline = 0.0
        self.timer: asyncio.TimerHandle | None = None
        loop.add_reader(fd, self._readable)
        if pidfd >= 0:
            loop.add_reader(pidfd, self._exited)

    def expect(self, reader: ResponseReader, timeout: float | None) -> asyncio.Future[Outcome]:
        """Reads the answer of the request just written: the future gets
        the reader's outcome, or TIMED_OUT after `timeout` seconds."""
        self.reader = reader
        self.done = done = self.loop.create_future()
        if timeout is not None:
            self.deadline = deadline = self.loop.time() + timeout
            # A timer due no later than the deadline is kept: it moves
            # itself along when it fires early.
            if self.timer is None or self.timer.when() > deadline:
                if self.timer is not None:
                    self.timer.cancel()
                self.timer = self.loop.call_at(deadline, self._timer_fired)
        return done

    def _finish(self, outcome: Outcome) -> None:
        done, self.done, self.reader = self.done, None, None
        if done is not None and not done.done():
            done.set_result(outcome)

    def _readable(self) -> None:
        reader = self.reader
        if reader is None:
            # Bytes or end of file between requests: left in the pipe for
            # the pool's check before the worker serves again.
            self.detach()
            return
        try:
            chunk = os.read(self.fd, reader.want())
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        outcome = reader.feed(chunk)
        if outcome is not None:
            self._finish(outcome)

    def _exited(self) -> None:
        """The worker has exited: what it wrote before is read, then the
        request gets GONE (something it started may hold the pipe open)."""
        reader = self.reader
        if reader is None:
            self.detach()  # between requests: the pool's check sees it
            return
        while True:
            try:
                chunk = os.read(self.fd, reader.want())
            except OSError:  # empty, or gone
                chunk = b""
            outcome = reader.feed(chunk)
            if outcome is not None:
                self._finish(outcome)
                return

    def _timer_fired(self) -> None:
        self.timer = None
        if self.done is None:
            return
        if self.loop.time() >= self.deadline:
            self._finish(TIMED_OUT)
        else:
            self.timer = self.loop.call_at(self.deadline, self._timer_fired)

    def settle(self) -> None:
        """Forgets the request (answered, timed out or abandoned)."""
        self.done = self.reader = None

    def detach(self) -> None:
        """Stops reading; a request still waiting for its answer gets GONE
        (the pool is closing under it)."""
        fd, self.fd = self.fd, -1
        pidfd, self.pidfd = self.pidfd, -1
        if threading.get_ident() == self.thread:
            self._finish(GONE)
            if fd < 0:
                return
            self.loop.remove_reader(fd)
            if pidfd >= 0:
                self.loop.remove_reader(pidfd)
            if self.timer is not None:
                self.timer.cancel()
        elif fd >= 0:
            # Only when a pool is closed from outside its loop: the face
            # detaches in the loop's thread everywhere else, because a
            # descriptor closed before its reader is removed may come back
            # with the same number before the removal runs.
            with contextlib.suppress(RuntimeError):  # the loop is closed
                self.loop.call_soon_threadsafe(self._finish, GONE)
                self.loop.call_soon_threadsafe(self.loop.remove_reader, fd)
                if pidfd >= 0:
                    self.loop.call_soon_threadsafe(self.loop.remove_reader, pidfd)


def _detach(worker: Worker) -> None:
    if worker.attachment is not None:
        worker.attachment.detach()
        worker.attachment = None


async def _exchange(worker: Worker, job: Request, reader: ResponseReader) -> Outcome:
    loop = asyncio.get_running_loop()
    handle = worker.handle
    channel = worker.attachment
    if not isinstance(channel, _Channel) or channel.fd < 0 or channel.loop is not loop:
        if channel is not None:
            channel.detach()
        channel = _Channel(loop, handle.response_fd, handle.pidfd)
        worker.attachment = channel
    data = job.data
    try:
        sent = os.write(handle.request_fd, data)
    except BlockingIOError:
        sent = 0
    except BrokenPipeError:
        sent = len(data)  # the worker is gone; its end of file will tell
    pending = memoryview(data)[sent:] if sent < len(data) else None

    def writable() -> None:
        nonlocal pending
        assert pending is not None
        try:
            pending = pending[os.write(handle.request_fd, pending) :]
        except BlockingIOError:
            return
        except BrokenPipeError:
            pending = None
        if not pending:
            pending = None
            loop.remove_writer(handle.request_fd)

    if pending is not None:
        loop.add_writer(handle.request_fd, writable)
    try:
        return await channel.expect(reader, job.timeout)
    finally:
        channel.settle()
        if pending is not None:
            loop.remove_writer(handle.request_fd)
