"""The asyncio face: the core's requests over the event loop's readers,
safe to call from many tasks of one loop."""
from __future__ import annotations

import asyncio
import base64
import contextlib
import threading
from collections.abc import Callable
from types import TracebackType
from typing import Any

from ._cells import Execution, OutputSink, finish_cell
from ._core import DEFAULT, Default, PoolCore
from ._errors import WorkerError
from ._exchange import Exchange, read_some, write_some
from ._face import PoolFace
from ._reader import GONE, INTERRUPTED
from ._session import Blocking, Drive, SessionState, Steps
from ._worker import Assigned, NoWorker, Worker
from .requests import AsyncRequests, check_output_sink, execute_request


class _TaskWaiter:
    """A queued task; what it waits for may come from another thread (a retiring
    worker's replacement is started in one)."""

    __slots__ = ("_core", "_loop", "_thread", "future")

    def __init__(self, loop: asyncio.AbstractEventLoop, core: PoolCore) -> None:
        self._loop = loop
        self._core = core
        self._thread = threading.get_ident()
        self.future: asyncio.Future[Assigned] = loop.create_future()

    def deliver(self, assigned: Assigned) -> None:
        # The core's lock is held here: nothing may raise, and what
        # nobody takes goes back later, never from inside this call.
        try:
            if threading.get_ident() == self._thread:
                # The usual case, a request of the same loop finishing: no
                # need to wake the loop through its self-pipe.
                if self.future.done():
                    self._loop.call_soon(self._core.give_back, assigned)
                else:
                    self.future.set_result(assigned)
            else:
                self._loop.call_soon_threadsafe(self._set, assigned)
        except RuntimeError:  # the loop is closed: nobody will take it
            threading.Thread(target=self._core.give_back, args=(assigned,), daemon=True).start()

    def _set(self, assigned: Assigned) -> None:
        if self.future.done():  # cancelled meanwhile
            self._core.give_back(assigned)
        else:
            self.future.set_result(assigned)


class AsyncWorkerPool(PoolFace, AsyncRequests):
    """The asyncio counterpart of WorkerPool, with the same options and
    guarantees; its methods are coroutines."""

    async def aclose(self) -> None:
        for worker in self._core.workers():
            _detach(worker)  # here, in the loop's thread, before the pipes close
        for session in self._core.sessions():
            if isinstance(session, SessionState):
                _detach_idle(session)
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
        request = core.prepare(encoded, timeout)
        loop = asyncio.get_running_loop()
        exchange = core.lease(await self._acquire(), request, loop.time())
        try:
            await _drive(loop, exchange)
        except BaseException:
            # Killing and reaping after SIGKILL is quick; a cancelled task
            # must not leave the worker behind.
            exchange.end(INTERRUPTED)
            core.finish(exchange)
            raise
        response = core.settle(exchange)
        if response is not None:
            return response
        _detach(exchange.worker)  # here, in the loop's thread, before the pipe closes
        # Shielded: a cancel must not withdraw the retirement before a thread
        # runs it (a worker never retired would hold its place and its
        # descriptors for ever, and enough of them wedge the pool).
        return await asyncio.shield(_in_thread(core.finish, exchange))

    # -- code cells --------------------------------------------------------

    async def execute(self, code: str, *, timeout: float | Default | None = DEFAULT,
                      on_output: OutputSink | None = None) -> Execution:
        """WorkerPool.execute as a coroutine; `on_output` is called in the event loop."""
        core = self._core
        check_output_sink(on_output)
        request = core.prepare(execute_request(code, False, core.options.max_output), timeout)
        loop = asyncio.get_running_loop()
        exchange = core.lease_cell(await self._acquire(), request, loop.time(), on_output)
        try:
            await _drive(loop, exchange)
        except BaseException:
            exchange.end(INTERRUPTED)
            core.finish(exchange)
            raise
        response = core.settle(exchange)
        if response is not None:
            return finish_cell(core, exchange, loop.time, response)
        _detach(exchange.worker)
        return await asyncio.shield(_in_thread(finish_cell, core, exchange, loop.time))

    def session(self, *, timeout: float | Default | None = DEFAULT) -> AsyncSession:
        """An AsyncSession, for `async with`: a worker of its own whose
        namespace lasts across cells; at most `max_sessions` are open at once."""
        return AsyncSession(SessionState(self._core, timeout))

    async def _acquire(self) -> Worker:
        core = self._core
        loop = asyncio.get_running_loop()
        assigned = core.acquire(lambda: _TaskWaiter(loop, core))
        if isinstance(assigned, _TaskWaiter):
            waiter = assigned
            try:
                assigned = await waiter.future
            except asyncio.CancelledError:
                if not core.withdraw(waiter) and waiter.future.done() and not waiter.future.cancelled():
                    core.give_back(waiter.future.result())
                raise
        if assigned is NoWorker.POOL_CLOSED:
            raise WorkerError("the pool was closed before the request was sent")
        if assigned is NoWorker.START_ONE:
            return await self._start()
        return assigned

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


class AsyncSession:
    """The asyncio counterpart of Session (see there); its worker starts on
    `async with` (or the first call), `interrupt()` may be called from any
    thread, and `aclose()` ends it."""

    def __init__(self, state: SessionState) -> None:
        self._state = state
        self._lock = asyncio.Lock()  # one operation at a time

    async def _run(self, steps: Steps) -> Any:
        async with self._lock:
            return await _run_steps(steps)

    async def execute(self, code: str, *, timeout: float | Default | None = DEFAULT,
                      on_output: OutputSink | None = None) -> Execution:
        execution: Execution = await self._run(self._state.execute(code, timeout, on_output))
        return execution

    def interrupt(self) -> None:
        self._state.interrupt()

    async def upload(self, name: str, data: bytes) -> None:
        await self._run(self._state.upload(name, data))

    async def download(self, name: str) -> bytes:
        response = await self._run(self._state.download(name))
        return base64.b64decode(response.get("data", ""))

    async def aclose(self) -> None:
        _detach_idle(self._state)
        await asyncio.shield(_in_thread(self._state.close))

    def close(self) -> None:
        """Closes the session from synchronous code."""
        self._state.close()

    async def __aenter__(self) -> AsyncSession:
        try:
            await self._run(self._state.open())
        except BaseException:
            await self.aclose()
            raise
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.aclose()


async def _run_steps(steps: Steps) -> Any:
    """Runs an operation's steps: exchanges through the loop's driver,
    blocking calls in a thread."""
    loop = asyncio.get_running_loop()
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
                await _drive(loop, step.exchange)
            else:
                value = await _blocking(step)
        except BaseException as exc:  # handed to the operation, which cleans up and re-raises
            error = exc


async def _blocking(step: Blocking) -> Any:
    if step.ends is not None:
        _detach(step.ends)  # in the loop's thread, before its pipes close
    running = _in_thread(step.fn)
    try:
        return await asyncio.shield(running)
    except asyncio.CancelledError:
        orphan = step.orphan
        if orphan is not None:
            # It goes on in its thread: what it gives nobody takes.
            running.add_done_callback(lambda f: f.cancelled() or f.exception() or orphan(f.result()))
        raise


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

    __slots__ = ("done", "exchange", "fd", "loop", "pidfd", "thread", "timer")

    def __init__(self, loop: asyncio.AbstractEventLoop, fd: int, pidfd: int) -> None:
        self.loop = loop
        self.fd = fd
        self.pidfd = pidfd  # readable once the worker has exited (-1: none)
        self.thread = threading.get_ident()
        self.exchange: Exchange | None = None  # set while a request is out
        self.done: asyncio.Future[None] | None = None
        self.timer: asyncio.TimerHandle | None = None
        loop.add_reader(fd, self._readable)
        if pidfd >= 0:
            loop.add_reader(pidfd, self._exited)

    def expect(self, exchange: Exchange) -> asyncio.Future[None]:
        """Reads the answer of the request just written: the future is done
        once the exchange has its outcome."""
        self.exchange = exchange
        self.done = done = self.loop.create_future()
        deadline = exchange.deadline
        if deadline is not None:
            # A timer due no later than the deadline is kept: it moves
            # itself along when it fires early.
            if self.timer is None or self.timer.when() > deadline:
                if self.timer is not None:
                    self.timer.cancel()
                self.timer = self.loop.call_at(deadline, self._timer_fired)
        return done

    def _finish(self) -> None:
        done, self.done, self.exchange = self.done, None, None
        if done is not None and not done.done():
            done.set_result(None)

    def _readable(self) -> None:
        exchange = self.exchange
        if exchange is None:
            # Bytes or end of file between requests: left in the pipe for
            # the pool's check before the worker serves again.
            self.detach()
            return
        chunk = read_some(self.fd, exchange.want())
        if chunk is not None and exchange.received(chunk) is not None:
            self._finish()

    def _exited(self) -> None:
        """The worker has exited: what it wrote before is read, then the
        request gets GONE (something it started may hold the pipe open)."""
        exchange = self.exchange
        if exchange is None:
            self.detach()  # between requests: the pool's check sees it
            return
        while exchange.received(read_some(self.fd, exchange.want()) or b"") is None:
            pass
        self._finish()

    def _timer_fired(self) -> None:
        self.timer = None
        exchange = self.exchange
        if exchange is None:
            return
        if exchange.time_left(self.loop.time()) == 0:
            self._finish()
        elif exchange.deadline is not None:
            self.timer = self.loop.call_at(exchange.deadline, self._timer_fired)

    def settle(self) -> None:
        """Forgets the request (answered, timed out or abandoned)."""
        self.done = self.exchange = None

    def _gone(self) -> None:
        if self.exchange is not None:
            self.exchange.end(GONE)
        self._finish()

    def detach(self) -> None:
        """Stops reading; a request still waiting for its answer gets GONE
        (the pool is closing under it)."""
        fd, self.fd = self.fd, -1
        pidfd, self.pidfd = self.pidfd, -1
        if threading.get_ident() == self.thread:
            self._gone()
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
                self.loop.call_soon_threadsafe(self._gone)
                self.loop.call_soon_threadsafe(self.loop.remove_reader, fd)
                if pidfd >= 0:
                    self.loop.call_soon_threadsafe(self.loop.remove_reader, pidfd)


def _detach(worker: Worker) -> None:
    if worker.attachment is not None:
        worker.attachment.detach()
        worker.attachment = None


def _detach_idle(state: SessionState) -> None:
    """Detaches a session's worker here, in the loop's thread, before close()
    ends it in another.  A busy one close() only kills, once it has marked
    the session closed: the exchange sees it end and ends it (detaching it
    first would end the exchange before the session is marked closed)."""
    if state.worker is not None and not state.busy:
        _detach(state.worker)


async def _drive(loop: asyncio.AbstractEventLoop, exchange: Exchange) -> None:
    """Writes the request and reads its answer, through the loop's readers
    and writers, until the exchange has an outcome."""
    worker = exchange.worker
    handle = worker.handle
    channel = worker.attachment
    if not isinstance(channel, _Channel) or channel.fd < 0 or channel.loop is not loop:
        if channel is not None:
            channel.detach()
        channel = _Channel(loop, handle.response_fd, handle.pidfd)
        worker.attachment = channel
    request_fd = handle.request_fd
    exchange.wrote(write_some(request_fd, exchange.pending))
    writing = bool(exchange.pending)

    def writable() -> None:
        exchange.wrote(write_some(request_fd, exchange.pending))
        if not exchange.pending:
            loop.remove_writer(request_fd)

    if writing:
        loop.add_writer(request_fd, writable)
    try:
        await channel.expect(exchange)
    finally:
        channel.settle()
        if writing:
            loop.remove_writer(request_fd)
