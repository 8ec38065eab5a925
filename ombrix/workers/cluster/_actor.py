"""The Ray actor of a cluster pool: runs the driver's requests on a local
AsyncWorkerPool of its node, in a scratch directory its successors can find."""
from __future__ import annotations

import asyncio
import os
import pickle
import shutil
import tempfile
import threading
import time
from typing import Any

import ray

from ombrix.workers.pool import AsyncWorkerPool

from ._common import AHEAD, METHODS, Answer, NotStarted, portable

# How long closing waits for the local pool's requests to be answered.
_CLOSE_TIMEOUT = 30.0
# How long a collect waits, after its first answer, for more from an actor
# with work queued (see `PoolActor.collect`).
LINGER = 0.008
# Scratch directories are named `ombrix-cluster-<pool tag>-<pid>-<start time>-<random>`:
# the owning actor process, by pid and start time, so that a successor on the
# same node removes only the directories of this pool's processes that are gone.
_SCRATCH = "ombrix-cluster-"


def _identity(pid: int) -> str | None:
    """The start time of a live process `pid` (clock ticks since boot), None
    when there is none or it is a zombie."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except OSError:
        return None
    return None if fields[0] == b"Z" else fields[19].decode()


def sweep(tag: str) -> None:
    """Removes the scratch directories of pool `tag` on this node whose owning
    process is gone (a lost actor's, or one killed before it closed)."""
    prefix = f"{_SCRATCH}{tag}-"
    uid = os.getuid()
    try:
        entries = list(os.scandir(tempfile.gettempdir()))
    except OSError:
        return
    for entry in entries:
        if not entry.name.startswith(prefix):
            continue
        try:
            pid, start = entry.name[len(prefix):].split("-")[:2]
            if start == "None":  # made where start times are unknown: its owner cannot be judged
                continue
            if not entry.is_dir(follow_symlinks=False) or entry.stat(follow_symlinks=False).st_uid != uid:
                continue
            owner_gone = _identity(int(pid)) != start
        except (OSError, ValueError):
            continue
        if owner_gone:
            shutil.rmtree(entry.path, ignore_errors=True)


class _Runner:
    """An actor's local AsyncWorkerPool, started on first use, and the tasks
    running requests on it, on an event loop in a thread of its own.

    A request takes one of the pool's workers (`_gate`) before it starts, so
    one that waits for a worker can still be declined, when the node is lost.
    `changed` guards `running` (ids of requests sent and not answered),
    `done` (answers not collected yet) and `closed`; the rest is the loop's.
    """

    def __init__(self, options: dict[str, Any]) -> None:
        self._options = options
        # The node's raylet, which started this process.  Once it is gone the
        # node is lost and the process ends shortly: it starts no request more.
        self._raylet = os.getppid()
        self.pool: AsyncWorkerPool | None = None
        self._gate: asyncio.Semaphore | None = None
        self._lock: asyncio.Lock | None = None
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, name="ombrix-actor-loop", daemon=True).start()
        self.changed = threading.Condition()
        self.running: set[int] = set()
        self.done: list[Answer] = []
        self.closed = False
        self._tasks: dict[int, asyncio.Task[None]] = {}
        self._waiting: set[int] = set()  # requests waiting for a worker
        self._declined: set[int] = set()  # those cancelled because the node is lost

    def wait(self, coro: Any) -> Any:
        """Runs a coroutine on the loop and waits for it."""
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result()

    async def get_pool(self) -> AsyncWorkerPool:
        if self.closed:
            raise RuntimeError("the cluster pool is closed")
        if self.pool is None:
            if self._lock is None:
                self._lock = asyncio.Lock()
            async with self._lock:
                if self.pool is None:
                    pool = AsyncWorkerPool(**self._options)
                    await pool.__aenter__()
                    self._gate = asyncio.Semaphore(pool.options.size)
                    self.pool = pool
        return self.pool

    @property
    def node_lost(self) -> bool:
        return os.getppid() != self._raylet

    async def _run(self, rid: int, payload: bytes) -> None:
        try:
            method, args, kwargs = pickle.loads(payload)
            if method not in METHODS:
                raise ValueError(f"unknown pool method {method!r}")
            pool = await self.get_pool()
            assert self._gate is not None
            self._waiting.add(rid)
            try:
                await self._gate.acquire()
            finally:
                self._waiting.discard(rid)
            try:
                if self.node_lost:
                    raise NotStarted("the actor's node is lost")
                answer: Answer = (rid, True, await getattr(pool, method)(*args, **kwargs))
            finally:
                self._gate.release()
        except asyncio.CancelledError:
            if rid in self._declined:
                answer = (rid, False, NotStarted("the actor's node is lost"))
            else:
                answer = (rid, False, RuntimeError("the request was cancelled"))
        except Exception as exc:
            answer = (rid, False, portable(exc))
        self._tasks.pop(rid, None)
        with self.changed:
            self.running.discard(rid)
            self.done.append(answer)
            self.changed.notify_all()

    def _decline_waiting(self) -> None:
        for rid in self._waiting - self._declined:
            self._declined.add(rid)
            self._tasks[rid].cancel()

    def check_node(self) -> bool:
        """False once the node is lost; the requests that wait for a worker
        are then declined (any thread)."""
        if not self.node_lost:
            return True
        self.loop.call_soon_threadsafe(self._decline_waiting)
        return False

    def _begin(self, batch: list[tuple[int, bytes]], cancels: list[int]) -> None:
        for rid, payload in batch:
            self._tasks[rid] = self.loop.create_task(self._run(rid, payload))
        for rid in cancels:
            task = self._tasks.get(rid)
            if task is not None:
                task.cancel()

    def start(self, batch: list[tuple[int, bytes]], cancels: list[int]) -> None:
        """Starts the batch's requests and cancels those named (any thread)."""
        if batch or cancels:
            with self.changed:
                self.running.update(rid for rid, _ in batch)
            self.loop.call_soon_threadsafe(self._begin, batch, cancels)

    def take(self) -> list[Answer]:
        """Holds `changed`."""
        done, self.done = self.done, []
        return done


class PoolActor:
    """The Ray actor: runs requests on a local pool (see `_Runner`).

    A threaded actor, all of whose methods are plain ones (it costs less per
    call than an async actor, and `collect` blocks only one of its threads).
    Requests arrive pickled, `(method, args, kwargs)`, keyed by the driver's
    request id.  Every answer is `(id, True, value)` or `(id, False,
    exception)`: the local pool's exceptions travel as values, so the caller
    re-raises them with their own type and attributes rather than Ray's
    wrapper.

    Unless the pool options name a `cwd`, the local pool's workers run in a
    scratch directory of this actor, removed when it closes; a successor on
    the same node (Ray's restart, a replacement) first removes those its
    pool's dead actors left (`tag` names the pool).
    """

    def __init__(self, options: dict[str, Any], tag: str) -> None:
        self._tag = tag
        self._scratch: str | None = None
        if options.get("cwd") is None:
            sweep(tag)
            pid = os.getpid()
            self._scratch = tempfile.mkdtemp(prefix=f"{_SCRATCH}{tag}-{pid}-{_identity(pid)}-")
            options = {**options, "cwd": self._scratch}
        self._runner = _Runner(options)
        # Names this copy of the actor: one Ray restarted holds none of the
        # requests its predecessor took, and must not answer for them.
        self._incarnation = os.urandom(8).hex()

    def ready(self) -> tuple[bool, Any]:
        """Starts the local pool; answers its size, this copy's name and its node."""
        if self._runner.node_lost:
            return False, RuntimeError("the actor's node is lost")
        try:
            pool = self._runner.wait(self._runner.get_pool())
        except Exception as exc:
            return False, portable(exc)
        return True, (pool.options.size, self._incarnation, ray.get_runtime_context().get_node_id())

    def ping(self) -> str:
        """This copy's name, or "" once its node is lost: the driver's liveness
        check while the actor is idle."""
        return self._incarnation if self._runner.check_node() else ""

    def _started(self, incarnation: str, batch: list[tuple[int, bytes]], cancels: list[int]) -> _Runner | None:
        """The runner, with the batch started and the cancels done; None for
        a call meant for a predecessor."""
        if incarnation != self._incarnation:
            return None
        runner = self._runner
        runner.check_node()
        runner.start(batch, cancels)
        return runner

    def submit(self, incarnation: str, batch: list[tuple[int, bytes]], cancels: list[int]) -> list[Answer] | None:
        """Starts the requests and cancels the ones named; answers what is done.
        None when the call was meant for a predecessor: nothing was started.
        Once the node is lost, requests get NotStarted answers instead."""
        runner = self._started(incarnation, batch, cancels)
        if runner is None:
            return None
        with runner.changed:
            return runner.take()

    def collect(self, incarnation: str, batch: list[tuple[int, bytes]], cancels: list[int]) -> list[Answer] | None:
        """Starts the requests like `submit`, then waits until some answer is
        ready and returns them all; returns at once with none when nothing is
        running or the actor is closing; None like `submit`."""
        runner = self._started(incarnation, batch, cancels)
        if runner is None:
            return None
        with runner.changed:
            while not runner.done and runner.running and not runner.closed:
                runner.changed.wait()
            # With more requests than its workers need to stay busy, more
            # answers are near: one call carries them, after LINGER at most.
            busy = AHEAD * (runner.pool.options.size if runner.pool is not None else 1)
            end = time.monotonic() + LINGER
            while len(runner.running) > busy and not runner.closed and (left := end - time.monotonic()) > 0:
                runner.changed.wait(left)
            return runner.take()

    def close(self) -> list[Answer]:
        """Closes the local pool and removes the scratch directories; answers
        every request still held, which the closing pool has failed."""
        runner = self._runner
        with runner.changed:
            runner.closed = True
            runner.changed.notify_all()
        if runner.pool is not None:
            runner.wait(runner.pool.aclose())
        with runner.changed:
            runner.changed.wait_for(lambda: not runner.running, timeout=_CLOSE_TIMEOUT)
            answers = runner.take()
        if self._scratch is not None:
            shutil.rmtree(self._scratch, ignore_errors=True)
            sweep(self._tag)
        return answers


RemoteActor = ray.remote(PoolActor)
