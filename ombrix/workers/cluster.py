"""Worker pools spread over a Ray cluster: one actor per slot, each owning a local pool.

`AsyncClusterPool` holds the one implementation of routing, in-flight accounting
and failure handling; `ClusterPool` runs it on an event loop of its own in a
background thread and only waits for the answers.

A request goes to the serving actor with the fewest requests in flight.  Each
actor takes at most `max_in_flight` requests at once (by default twice its
pool's size: one running and one queued per worker, so no worker waits a
cluster round trip for its next request); the rest wait here, in arrival order,
and so still go to whichever actor frees up first, or survives.  Timeouts,
limits and recycling are the actor's local pool's business.  When an actor
dies, the requests it held fail with `ActorLost` (a `WorkerExited`) and are
never retried, since scripts may have side effects; Ray restarts the actor
(or it is replaced when Ray gives up on it) and the pool routes to it again
once it answers.
"""
from __future__ import annotations

import asyncio
import collections
import itertools
import os
import pickle
import threading
from collections.abc import Coroutine, Mapping
from typing import Any, Self, TypeVar

try:
    import ray
    from ray.exceptions import ActorDiedError, RayActorError
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "ombrix.workers.cluster needs Ray, which comes with the package's `ray` extra: "
        "pip install 'ombrix-custom-worker[ray]'"
    ) from exc

from ombrix.workers.pool import AsyncWorkerPool, WorkerExited

__all__ = ["ActorLost", "AsyncClusterPool", "ClusterPool"]

T = TypeVar("T")

# The methods of the local pool a request may call on an actor.
_METHODS = frozenset({"run_inline", "run_script", "run_function", "validate", "request"})

# Consecutive failed attempts to bring one actor back before its slot is given up.
_RECOVERY_ATTEMPTS = 8
_RECOVERY_MAX_DELAY = 2.0
# Ray's own default for async actors; the router keeps far fewer in flight.
_ACTOR_CONCURRENCY = 1000
# How long closing waits for the actors to close their pools before killing them.
_CLOSE_TIMEOUT = 30.0


class ActorLost(WorkerExited):
    """The actor holding a request died (or its node did) before answering.

    `actor` names the lost actor (the pool's slot number and Ray's actor id).
    The request is not retried: it may or may not have run.
    """

    def __init__(self, actor: str, reason: str) -> None:
        message = f"actor {actor} was lost: {reason}"
        super().__init__({"success": False, "error": message}, returncode=None, stderr="")
        self.args = (actor, reason)
        self.actor = actor
        self.reason = reason

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.actor, self.reason))

    def __str__(self) -> str:
        return f"actor {self.actor} was lost: {self.reason}"


def _portable(exc: Exception) -> Exception:
    """`exc`, or a RuntimeError carrying its text when it cannot cross processes."""
    try:
        pickle.loads(pickle.dumps(exc))
    except Exception:  # noqa: BLE001 - whatever breaks the round trip, send the text
        return RuntimeError(f"{type(exc).__name__}: {exc}")
    return exc


class _PoolActor:
    """The Ray actor: owns one local AsyncWorkerPool, started on first use.

    Every answer is `(True, value)` or `(False, exception)`: the local pool's
    exceptions travel as values, so the caller re-raises them with their own
    type and attributes rather than Ray's wrapper.
    """

    def __init__(self, options: dict[str, Any]) -> None:
        self._options = options
        self._pool: AsyncWorkerPool | None = None
        self._lock: asyncio.Lock | None = None
        self._closed = False

    async def _get_pool(self) -> AsyncWorkerPool:
        if self._closed:
            raise RuntimeError("the cluster pool is closed")
        if self._pool is None:
            if self._lock is None:
                self._lock = asyncio.Lock()
            async with self._lock:
                if self._pool is None:
                    pool = AsyncWorkerPool(**self._options)
                    await pool.__aenter__()
                    self._pool = pool
        return self._pool

    async def ready(self) -> tuple[bool, Any]:
        """Starts the local pool; answers its size and this process's id."""
        try:
            pool = await self._get_pool()
        except Exception as exc:  # noqa: BLE001 - every failure goes back to the caller
            return False, _portable(exc)
        return True, (pool.size, os.getpid())

    async def call(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[bool, Any]:
        try:
            if method not in _METHODS:
                raise ValueError(f"unknown pool method {method!r}")
            pool = await self._get_pool()
            return True, await getattr(pool, method)(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - every failure goes back to the caller
            return False, _portable(exc)

    async def close(self) -> None:
        self._closed = True
        if self._pool is not None:
            await self._pool.aclose()


_RemoteActor = ray.remote(_PoolActor)

# Pools that called ray.init themselves share that connection; the last one to
# close shuts it down.  A connection made by the application is left alone.
_ray_users = 0
_ray_lock = threading.Lock()


def _connect(address: str | None, init_options: Mapping[str, Any]) -> bool:
    """Connects to Ray unless the process already is; True when this pool did."""
    global _ray_users
    with _ray_lock:
        if _ray_users == 0 and ray.is_initialized():
            return False
        if _ray_users == 0:
            ray.init(address=address, **init_options)
        _ray_users += 1
        return True


def _disconnect() -> None:
    global _ray_users
    with _ray_lock:
        _ray_users -= 1
        if _ray_users == 0:
            ray.shutdown()


class _Slot:
    """One actor place: its handle, requests in flight and whether it serves."""

    def __init__(self, index: int, actor: Any) -> None:
        self.index = index
        self.actor = actor
        self.capacity = 1
        self.pid = 0
        self.in_flight = 0
        self.up = False
        self.given_up = False
        self.generation = 0
        self.recovery: asyncio.Task[None] | None = None

    @property
    def name(self) -> str:
        return f"#{self.index} ({self.actor._actor_id.hex()})"


class AsyncClusterPool:
    """A pool of workers on a Ray cluster, for asyncio callers.

    `address` is handed to `ray.init` when this process is not connected yet
    (None: a running cluster or a new local instance; "auto"; "ray://...").
    `actors` actors are placed, spread over the nodes; `actor_options` go to
    Ray's `.options()` for each (resources, runtime_env, ...); `ray_init` to
    `ray.init`.  Every other keyword (size, timeout, limits, env, ...) goes to
    the AsyncWorkerPool each actor owns on its node.
    """

    def __init__(
        self,
        *,
        address: str | None = None,
        actors: int = 2,
        max_in_flight: int | None = None,
        actor_options: Mapping[str, Any] | None = None,
        ray_init: Mapping[str, Any] | None = None,
        **pool_options: Any,
    ) -> None:
        if not isinstance(actors, int) or actors < 1:
            raise ValueError(f"actors must be a positive int, not {actors!r}")
        if max_in_flight is not None and (not isinstance(max_in_flight, int) or max_in_flight < 1):
            raise ValueError(f"max_in_flight must be a positive int, not {max_in_flight!r}")
        self._address = address
        self._actors = actors
        self._max_in_flight = max_in_flight
        self._actor_options: dict[str, Any] = {
            "scheduling_strategy": "SPREAD",
            "max_restarts": -1,
            "max_task_retries": 0,
            **(actor_options or {}),
        }
        self._ray_init = dict(ray_init or {})
        self._pool_options = pool_options
        self._slots: list[_Slot] = []
        self._waiters: collections.deque[asyncio.Future[_Slot]] = collections.deque()
        self._turn = itertools.count()
        self._owns_ray = False
        self._started = False
        self._closed = False
        self._start_lock: asyncio.Lock | None = None
        self._close_task: asyncio.Task[None] | None = None

    # -- life cycle --------------------------------------------------------

    async def start(self) -> None:
        """Connects, places the actors and waits until every one serves."""
        if self._start_lock is None:
            self._start_lock = asyncio.Lock()
        async with self._start_lock:
            if self._closed:
                raise RuntimeError("the cluster pool is closed")
            if self._started:
                return
            self._owns_ray = await asyncio.to_thread(_connect, self._address, self._ray_init)
            self._started = True
            try:
                self._slots = [_Slot(i, self._new_actor()) for i in range(self._actors)]
                answers = await asyncio.gather(*(s.actor.ready.remote() for s in self._slots))
                for slot, (ok, value) in zip(self._slots, answers):
                    if not ok:
                        raise value
                    self._serve(slot, value)
            except BaseException:
                await self.aclose()
                raise

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes every actor's pool and ends the actors; idempotent.

        Requests still waiting for an actor fail; a Ray instance this pool
        did not start (or connect to) stays as it is.
        """
        if self._close_task is None:
            self._close_task = asyncio.ensure_future(self._shut_down())
        await asyncio.shield(self._close_task)

    async def _shut_down(self) -> None:
        self._closed = True
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_exception(RuntimeError("the cluster pool is closed"))
        for slot in self._slots:
            if slot.recovery is not None:
                slot.recovery.cancel()
        if self._slots:
            closing = [s.actor.close.remote() for s in self._slots]
            await asyncio.wait([asyncio.ensure_future(c) for c in closing], timeout=_CLOSE_TIMEOUT)
            for slot in self._slots:
                ray.kill(slot.actor, no_restart=True)
                slot.up = False
        if self._owns_ray:
            self._owns_ray = False
            await asyncio.to_thread(_disconnect)

    # -- routing -----------------------------------------------------------

    def _new_actor(self) -> Any:
        # Requests beyond the pool's size queue in the local pool, not in Ray.
        concurrency = max(_ACTOR_CONCURRENCY, (self._max_in_flight or 0) + 2)
        options = {"max_concurrency": concurrency, **self._actor_options}
        return _RemoteActor.options(**options).remote(self._pool_options)

    def _serve(self, slot: _Slot, ready: tuple[int, int]) -> None:
        size, slot.pid = ready
        slot.capacity = self._max_in_flight or 2 * size
        slot.up = True
        slot.recovery = None
        self._dispatch()

    def _pick(self) -> _Slot | None:
        """The serving actor with the fewest requests in flight and room for one
        more; ties go round the slots in turn."""
        best: _Slot | None = None
        n = len(self._slots)
        start = next(self._turn) % n if n else 0
        for k in range(n):
            slot = self._slots[(start + k) % n]
            if slot.up and slot.in_flight < slot.capacity and (best is None or slot.in_flight < best.in_flight):
                best = slot
        return best

    def _dispatch(self) -> None:
        """Hands free actor places to waiting requests, oldest first; fails the
        waiters when no actor is left to serve them."""
        while self._waiters:
            if self._waiters[0].done():
                self._waiters.popleft()
                continue
            slot = self._pick()
            if slot is None:
                break
            slot.in_flight += 1
            self._waiters.popleft().set_result(slot)
        if self._waiters and all(s.given_up for s in self._slots):
            while self._waiters:
                waiter = self._waiters.popleft()
                if not waiter.done():
                    waiter.set_exception(ActorLost("(all)", "no actor could be restarted"))

    async def _acquire(self) -> _Slot:
        if not self._started:
            await self.start()
        if self._closed:
            raise RuntimeError("the cluster pool is closed")
        if not self._waiters:
            slot = self._pick()
            if slot is not None:
                slot.in_flight += 1
                return slot
        waiter: asyncio.Future[_Slot] = asyncio.get_running_loop().create_future()
        self._waiters.append(waiter)
        self._dispatch()
        try:
            return await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                self._release(waiter.result())
            raise

    def _release(self, slot: _Slot) -> None:
        slot.in_flight -= 1
        self._dispatch()

    async def _call(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        slot = await self._acquire()
        generation = slot.generation
        try:
            ref = slot.actor.call.remote(method, args, kwargs)
            try:
                ok, value = await ref
            except asyncio.CancelledError:
                ray.cancel(ref)
                raise
            except RayActorError as exc:
                self._lost(slot, generation)
                reason = str(exc).strip().splitlines() or [type(exc).__name__]
                raise ActorLost(slot.name, reason[0]) from None
        finally:
            self._release(slot)
        if ok:
            return value
        raise value

    # -- failure -----------------------------------------------------------

    def _lost(self, slot: _Slot, generation: int) -> None:
        """Takes a failed actor out of routing (once per failure) and starts
        bringing it back."""
        if slot.generation != generation or not slot.up or self._closed:
            return
        slot.up = False
        slot.generation += 1
        slot.recovery = asyncio.ensure_future(self._recover(slot))

    async def _recover(self, slot: _Slot) -> None:
        """Waits for Ray to restart the actor; replaces it when Ray reports it
        dead for good.  Gives the slot up after repeated failures."""
        delay = 0.05
        for _ in range(_RECOVERY_ATTEMPTS):
            try:
                ok, value = await slot.actor.ready.remote()
                if ok:
                    self._serve(slot, value)
                    return
            except ActorDiedError:
                ray.kill(slot.actor, no_restart=True)
                slot.actor = self._new_actor()
            except RayActorError:
                pass  # restarting: ask again
            await asyncio.sleep(delay)
            delay = min(2 * delay, _RECOVERY_MAX_DELAY)
        slot.given_up = True
        slot.recovery = None
        self._dispatch()

    @property
    def actors_serving(self) -> int:
        """How many actors take requests now (the rest are being restarted)."""
        return sum(1 for s in self._slots if s.up)

    # -- the local pool's methods --------------------------------------------

    async def run_inline(self, code: str, args: dict[str, Any] | None = None, **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = await self._call("run_inline", (code, args), options)
        return result

    async def run_script(self, path: str, args: dict[str, Any] | None = None, **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = await self._call("run_script", (path, args), options)
        return result

    async def run_function(
        self, path: str, function: str = "main", args: dict[str, Any] | None = None, **options: Any
    ) -> dict[str, Any]:
        result: dict[str, Any] = await self._call("run_function", (path, function, args), options)
        return result

    async def validate(self, code: str, **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = await self._call("validate", (code,), options)
        return result

    async def request(self, cmd: dict[str, Any], **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = await self._call("request", (cmd,), options)
        return result


class ClusterPool:
    """A pool of workers on a Ray cluster, for synchronous callers (any thread).

    Takes the same keywords as AsyncClusterPool and starts at once.  Its
    requests run on an event loop of its own in a background thread.
    """

    def __init__(self, **options: Any) -> None:
        self._core = AsyncClusterPool(**options)
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="ombrix-cluster-pool", daemon=True)
        self._thread.start()
        self._closed = False
        try:
            self._run(self._core.start())
        except BaseException:
            self.close()
            raise

    def _run(self, coro: Coroutine[Any, Any, T]) -> T:
        if self._loop.is_closed():
            coro.close()
            raise RuntimeError("the cluster pool is closed")
        future = asyncio.run_coroutine_threadsafe(coro, self._loop)
        try:
            return future.result()
        except BaseException:
            future.cancel()
            raise

    def close(self) -> None:
        """Closes every actor's pool and ends the actors; idempotent."""
        if self._closed:
            return
        self._closed = True
        try:
            self._run(self._core.aclose())
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join()
            self._loop.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def actors_serving(self) -> int:
        """How many actors take requests now (the rest are being restarted)."""
        return self._core.actors_serving

    def run_inline(self, code: str, args: dict[str, Any] | None = None, **options: Any) -> dict[str, Any]:
        return self._run(self._core.run_inline(code, args, **options))

    def run_script(self, path: str, args: dict[str, Any] | None = None, **options: Any) -> dict[str, Any]:
        return self._run(self._core.run_script(path, args, **options))

    def run_function(
        self, path: str, function: str = "main", args: dict[str, Any] | None = None, **options: Any
    ) -> dict[str, Any]:
        return self._run(self._core.run_function(path, function, args, **options))

    def validate(self, code: str, **options: Any) -> dict[str, Any]:
        return self._run(self._core.validate(code, **options))

    def request(self, cmd: dict[str, Any], **options: Any) -> dict[str, Any]:
        return self._run(self._core.request(cmd, **options))
