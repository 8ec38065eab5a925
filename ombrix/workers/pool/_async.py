"""The asyncio face: the core's requests over the event loop's readers,
safe to call from many tasks of one loop."""
from __future__ import annotations

import asyncio
import os
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import Any

from . import _core
from ._core import DEFAULT, Default, Grant, Granted, PoolCore, PoolOptions, Worker
from ._errors import WorkerError
from ._reader import INTERRUPTED, TIMED_OUT, Outcome, Request, ResponseReader
from .process import LauncherFactory


class _TaskWaiter:
    """A queued task; grants may come from another thread (a retiring
    worker's replacement is started in one)."""

    __slots__ = ("_core", "_loop", "future")

    def __init__(self, loop: asyncio.AbstractEventLoop, core: PoolCore) -> None:
        self._loop = loop
        self._core = core
        self.future: asyncio.Future[Granted] = loop.create_future()

    def deliver(self, grant: Granted) -> None:
        try:
            self._loop.call_soon_threadsafe(self._set, grant)
        except RuntimeError:  # the loop is closed: nobody will take it
            self._core.give_back(grant)

    def _set(self, grant: Granted) -> None:
        if self.future.done():  # cancelled meanwhile
            self._core.give_back(grant)
        else:
            self.future.set_result(grant)


class AsyncWorkerPool:
    """The asyncio counterpart of WorkerPool, with the same options and
    guarantees; its methods are coroutines."""

    def __init__(
        self,
        size: int = 2,
        *,
        timeout: float | None = 30.0,
        memory_limit: int | None = None,
        cpu_limit: int | None = None,
        file_size_limit: int | None = None,
        max_output: int = 16 * 2**20,
        recycle_after: int | None = None,
        env: Mapping[str, str] | None = None,
        cwd: str | os.PathLike[str] | None = None,
        fresh: bool = False,
        spares: int | None = None,
        sandbox: bool = False,
        readable: Sequence[str | os.PathLike[str]] = (),
        launcher: LauncherFactory | None = None,
    ) -> None:
        options = PoolOptions(
            size, timeout, memory_limit, cpu_limit, file_size_limit, max_output, recycle_after, env, cwd,
            fresh, spares, sandbox, readable,
        )
        self._core = PoolCore(options, launcher)

    @property
    def options(self) -> PoolOptions:
        return self._core.options

    @property
    def cwd(self) -> str:
        """The workers' working directory."""
        return self._core.cwd

    async def run_inline(
        self, code: str, args: dict[str, Any] | None = None, *, timeout: float | Default | None = DEFAULT
    ) -> dict[str, Any]:
        return await self._call(_core.inline_request(code, args), timeout)

    async def run_script(
        self,
        path: str | os.PathLike[str],
        args: dict[str, Any] | None = None,
        *,
        timeout: float | Default | None = DEFAULT,
    ) -> dict[str, Any]:
        return await self._call(_core.script_request(path, args), timeout)

    async def run_function(
        self,
        path: str | os.PathLike[str],
        function: str = "main",
        args: dict[str, Any] | None = None,
        *,
        timeout: float | Default | None = DEFAULT,
    ) -> dict[str, Any]:
        return await self._call(_core.function_request(path, function, args), timeout)

    async def validate(self, code: str, *, timeout: float | Default | None = DEFAULT) -> dict[str, Any]:
        return await self._call(_core.validate_request(code), timeout)

    async def request(self, cmd: dict[str, Any], *, timeout: float | Default | None = DEFAULT) -> dict[str, Any]:
        return await self._call(_core.any_request(cmd), timeout)

    async def aclose(self) -> None:
        await asyncio.to_thread(self._core.close)

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

    async def _call(self, cmd: dict[str, Any], timeout: float | Default | None) -> dict[str, Any]:
        core = self._core
        job = core.prepare(cmd, timeout)
        worker = await self._acquire()
        try:
            outcome = await _exchange(worker, job, core.begin(worker, job))
        except BaseException:
            # Killing and reaping after SIGKILL is quick; a cancelled task
            # must not leave the worker behind.
            core.conclude(worker, core.settle(worker, job, INTERRUPTED))
            raise
        verdict = core.settle(worker, job, outcome)
        if core.needs_blocking(verdict):
            return await asyncio.to_thread(core.conclude, worker, verdict)
        return core.conclude(worker, verdict)

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


def _adopt_later(core: PoolCore) -> Any:
    def adopt(starting: asyncio.Future[Any]) -> None:
        if starting.cancelled() or starting.exception() is not None:
            return  # core.start already gave the place back
        try:
            core.give_back(core.adopt(starting.result()))
        except WorkerError:
            pass

    return adopt


async def _exchange(worker: Worker, job: Request, reader: ResponseReader) -> Outcome:
    loop = asyncio.get_running_loop()
    handle = worker.handle
    done: asyncio.Future[Outcome] = loop.create_future()

    def finish(outcome: Outcome) -> None:
        if not done.done():
            done.set_result(outcome)

    def readable() -> None:
        try:
            chunk = os.read(handle.response_fd, reader.want())
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        outcome = reader.feed(chunk)
        if outcome is not None:
            finish(outcome)

    pending = memoryview(job.data)

    def writable() -> None:
        nonlocal pending
        try:
            pending = pending[os.write(handle.request_fd, pending) :]
        except BlockingIOError:
            return
        except BrokenPipeError:
            pending = pending[:0]  # the worker is gone; its end of file will tell
        if not pending:
            loop.remove_writer(handle.request_fd)

    writable()
    if pending:
        loop.add_writer(handle.request_fd, writable)
    loop.add_reader(handle.response_fd, readable)
    timer = None if job.timeout is None else loop.call_later(job.timeout, finish, TIMED_OUT)
    try:
        return await done
    finally:
        loop.remove_reader(handle.response_fd)
        if pending:
            loop.remove_writer(handle.request_fd)
        if timer is not None:
            timer.cancel()
