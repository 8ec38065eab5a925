"""Worker pools spread over a Ray cluster: one actor per slot, each owning a local pool.

`_Router` holds the one implementation of routing, in-flight accounting,
failure handling and shutdown, behind a lock; `ClusterPool` and
`AsyncClusterPool` only wait: for a free actor place, then for the actor's
answer (`ray.get` in the caller's thread, or awaiting the reference).

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
import pickle
import threading
import time
from collections.abc import Callable, Mapping
from typing import Any, Self

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

    def __init__(self, message: str, returncode: int | None, stderr: str, actor: str) -> None:
        super().__init__(message, returncode, stderr)
        self.args = (*self.args, actor)

    @classmethod
    def of(cls, actor: str, reason: str) -> ActorLost:
        return cls(f"actor {actor} was lost: {reason}", None, "", actor)

    @property
    def actor(self) -> str:
        return str(self.args[3])


def _portable(exc: Exception) -> Exception:
    """`exc`, or a RuntimeError carrying its text when it cannot cross processes."""
    try:
        pickle.loads(pickle.dumps(exc))
    except Exception:
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
        """Starts the local pool; answers its size."""
        try:
            pool = await self._get_pool()
        except Exception as exc:
            return False, _portable(exc)
        return True, pool.options.size

    async def call(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[bool, Any]:
        try:
            if method not in _METHODS:
                raise ValueError(f"unknown pool method {method!r}")
            pool = await self._get_pool()
            return True, await getattr(pool, method)(*args, **kwargs)
        except Exception as exc:
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
        self.in_flight = 0
        self.up = False
        self.given_up = False
        self.generation = 0

    @property
    def name(self) -> str:
        return f"#{self.index} ({self.actor._actor_id.hex()})"


class _Waiter:
    """A request waiting for an actor place; `wake` gets the slot granted to
    it, or the exception that ends its wait.  Called outside the lock."""

    def __init__(self, wake: Callable[[_Slot | BaseException], None]) -> None:
        self.wake = wake
        self.abandoned = False


_Wakes = list[tuple[_Waiter, "_Slot | BaseException"]]


def _closed() -> RuntimeError:
    return RuntimeError("the cluster pool is closed")


def _answer(ok: bool, value: Any) -> Any:
    """An actor's answer: the local pool's result, or its exception raised."""
    if ok:
        return value
    raise value


class _Router:
    """The actors of one pool, which requests they hold, and their recovery.

    Thread-safe: both faces call it from any thread.  Blocking calls (start,
    close) are for a plain thread; recovery runs in threads of its own.
    """

    def __init__(
        self,
        address: str | None,
        actors: int,
        max_in_flight: int | None,
        actor_options: Mapping[str, Any] | None,
        ray_init: Mapping[str, Any] | None,
        pool_options: dict[str, Any],
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
        self._lock = threading.Lock()
        self._slots: list[_Slot] = []
        self._waiters: collections.deque[_Waiter] = collections.deque()
        self._turn = itertools.count()
        self._owns_ray = False
        self._closed = False
        self._closing = threading.Lock()

    # -- life cycle (blocking) ------------------------------------------------

    def start(self) -> None:
        """Connects, places the actors and waits until every one serves."""
        self._owns_ray = _connect(self._address, self._ray_init)
        try:
            slots = [_Slot(i, self._new_actor()) for i in range(self._actors)]
            with self._lock:
                self._slots = slots
            for slot, (ok, value) in zip(slots, ray.get([s.actor.ready.remote() for s in slots]), strict=True):
                self._serve(slot, _answer(ok, value))
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Closes every actor's pool, then ends the actors; idempotent."""
        with self._closing:
            with self._lock:
                if self._closed:
                    return
                self._closed = True
                waiters, self._waiters = list(self._waiters), collections.deque()
            for waiter in waiters:
                waiter.wake(_closed())
            if self._slots:
                closing = [s.actor.close.remote() for s in self._slots]
                ray.wait(closing, num_returns=len(closing), timeout=_CLOSE_TIMEOUT)
                for slot in self._slots:
                    ray.kill(slot.actor, no_restart=True)
                    slot.up = False
            if self._owns_ray:
                self._owns_ray = False
                _disconnect()

    def _new_actor(self) -> Any:
        # Requests beyond the pool's size queue in the local pool, not in Ray.
        concurrency = max(_ACTOR_CONCURRENCY, (self._max_in_flight or 0) + 2)
        options = {"max_concurrency": concurrency, **self._actor_options}
        return _RemoteActor.options(**options).remote(self._pool_options)

    # -- routing -------------------------------------------------------------

    def _serve(self, slot: _Slot, size: int) -> None:
        with self._lock:
            slot.capacity = self._max_in_flight or 2 * size
            slot.up = True
            wakes = self._dispatch()
        self._wake(wakes)

    def _pick(self) -> _Slot | None:
        """The serving actor with the fewest requests in flight and room for one
        more; ties go round the slots in turn.  Holds the lock."""
        best: _Slot | None = None
        n = len(self._slots)
        start = next(self._turn) % n if n else 0
        for k in range(n):
            slot = self._slots[(start + k) % n]
            if slot.up and slot.in_flight < slot.capacity and (best is None or slot.in_flight < best.in_flight):
                best = slot
        return best

    def _dispatch(self) -> _Wakes:
        """Grants free actor places to waiting requests, oldest first, or fails
        them when no actor is left.  Holds the lock; the caller wakes them."""
        wakes: _Wakes = []
        while self._waiters:
            if self._waiters[0].abandoned:
                self._waiters.popleft()
                continue
            slot = self._pick()
            if slot is None:
                break
            slot.in_flight += 1
            wakes.append((self._waiters.popleft(), slot))
        if self._waiters and all(s.given_up for s in self._slots):
            lost = ActorLost.of("(all)", "no actor could be restarted")
            wakes.extend((w, lost) for w in self._waiters)
            self._waiters.clear()
        return wakes

    def _wake(self, wakes: _Wakes) -> None:
        for waiter, outcome in wakes:
            waiter.wake(outcome)

    def acquire(self, wake: Callable[[_Slot | BaseException], None]) -> _Slot | _Waiter:
        """A slot with the request counted in flight, or a queued waiter whose
        `wake` will get one."""
        with self._lock:
            if self._closed:
                raise _closed()
            if not self._waiters:
                slot = self._pick()
                if slot is not None:
                    slot.in_flight += 1
                    return slot
            waiter = _Waiter(wake)
            self._waiters.append(waiter)
            wakes = self._dispatch()
        self._wake(wakes)
        return waiter

    def abandon(self, waiter: _Waiter) -> None:
        """The waiting request was cancelled: it is granted nothing from now on."""
        with self._lock:
            waiter.abandoned = True

    def release(self, slot: _Slot) -> None:
        with self._lock:
            slot.in_flight -= 1
            wakes = self._dispatch()
        self._wake(wakes)

    # -- failure -------------------------------------------------------------

    def lost(self, slot: _Slot, generation: int, exc: BaseException) -> ActorLost:
        """The error for a request whose actor failed; takes the actor out of
        routing (once per failure) and starts bringing it back."""
        with self._lock:
            if slot.generation == generation and slot.up and not self._closed:
                slot.up = False
                slot.generation += 1
                threading.Thread(target=self._recover, args=(slot,), name="ombrix-cluster-recovery",
                                 daemon=True).start()
        reason = str(exc).strip().splitlines() or [type(exc).__name__]
        return ActorLost.of(slot.name, reason[0])

    def _recover(self, slot: _Slot) -> None:
        """Waits for Ray to restart the actor; replaces it when Ray reports it
        dead for good.  Gives the slot up after repeated failures."""
        delay = 0.05
        for _ in range(_RECOVERY_ATTEMPTS):
            if self._closed:
                return
            try:
                ok, value = ray.get(slot.actor.ready.remote())
                if ok:
                    self._serve(slot, value)
                    return
            except ActorDiedError:
                ray.kill(slot.actor, no_restart=True)
                slot.actor = self._new_actor()
            except RayActorError:
                pass  # restarting: ask again
            time.sleep(delay)
            delay = min(2 * delay, _RECOVERY_MAX_DELAY)
        with self._lock:
            slot.given_up = True
            wakes = self._dispatch()
        self._wake(wakes)

    @property
    def actors_serving(self) -> int:
        return sum(1 for s in self._slots if s.up)


_OPTIONS_DOC = """
    `address` is handed to `ray.init` when this process is not connected yet
    (None: a running cluster or a new local instance; "auto"; "ray://...").
    `actors` actors are placed, spread over the nodes; `actor_options` go to
    Ray's `.options()` for each (resources, runtime_env, ...); `ray_init` to
    `ray.init`; `max_in_flight` caps the requests one actor holds (default:
    twice its pool's size).  Every other keyword (size, timeout, limits, env,
    ...) goes to the AsyncWorkerPool each actor owns on its node.
"""


class AsyncClusterPool:
    __doc__ = "A pool of workers on a Ray cluster, for asyncio callers.\n" + _OPTIONS_DOC

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
        self._router = _Router(address, actors, max_in_flight, actor_options, ray_init, pool_options)
        self._started = False
        self._start_lock: asyncio.Lock | None = None

    async def start(self) -> None:
        """Connects, places the actors and waits until every one serves."""
        if self._start_lock is None:
            self._start_lock = asyncio.Lock()
        async with self._start_lock:
            if not self._started:
                await asyncio.to_thread(self._router.start)
                self._started = True

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes every actor's pool and ends the actors; idempotent.

        Requests still waiting for an actor fail; a Ray connection this pool
        did not make stays as it is.
        """
        await asyncio.to_thread(self._router.close)

    @property
    def actors_serving(self) -> int:
        """How many actors take requests now (the rest are being restarted)."""
        return self._router.actors_serving

    async def _call(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        if not self._started:
            await self.start()
        router = self._router
        loop = asyncio.get_running_loop()
        granted: asyncio.Future[_Slot] = loop.create_future()

        def settle(outcome: _Slot | BaseException) -> None:
            if granted.done():  # cancelled meanwhile: give the place back
                if isinstance(outcome, _Slot):
                    router.release(outcome)
            elif isinstance(outcome, BaseException):
                granted.set_exception(outcome)
            else:
                granted.set_result(outcome)

        def wake(outcome: _Slot | BaseException) -> None:
            try:
                loop.call_soon_threadsafe(settle, outcome)
            except RuntimeError:  # the caller's loop is gone
                if isinstance(outcome, _Slot):
                    router.release(outcome)

        got = router.acquire(wake)
        if isinstance(got, _Waiter):
            try:
                slot = await granted
            except asyncio.CancelledError:
                router.abandon(got)
                if granted.done() and not granted.cancelled() and granted.exception() is None:
                    router.release(granted.result())
                raise
        else:
            slot = got
        generation = slot.generation
        try:
            ref = slot.actor.call.remote(method, args, kwargs)
            try:
                ok, value = await ref
            except asyncio.CancelledError:
                ray.cancel(ref)
                raise
            except RayActorError as exc:
                raise router.lost(slot, generation, exc) from None
        finally:
            router.release(slot)
        return _answer(ok, value)

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
    __doc__ = ("A pool of workers on a Ray cluster, for synchronous callers (any thread).\n"
               "    It starts at once; the caller's thread waits for the answer.\n" + _OPTIONS_DOC)

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
        self._router = _Router(address, actors, max_in_flight, actor_options, ray_init, pool_options)
        self._router.start()

    def close(self) -> None:
        """Closes every actor's pool and ends the actors; idempotent."""
        self._router.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def actors_serving(self) -> int:
        """How many actors take requests now (the rest are being restarted)."""
        return self._router.actors_serving

    def _call(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        router = self._router
        outcomes: list[_Slot | BaseException] = []
        granted = threading.Event()

        def wake(outcome: _Slot | BaseException) -> None:
            outcomes.append(outcome)
            granted.set()

        got = router.acquire(wake)
        if isinstance(got, _Waiter):
            try:
                granted.wait()
            except BaseException:  # KeyboardInterrupt while waiting
                router.abandon(got)
                if outcomes and isinstance(outcomes[0], _Slot):
                    router.release(outcomes[0])
                raise
            if isinstance(outcomes[0], BaseException):
                raise outcomes[0]
            slot = outcomes[0]
        else:
            slot = got
        generation = slot.generation
        try:
            ref = slot.actor.call.remote(method, args, kwargs)
            try:
                ok, value = ray.get(ref)
            except RayActorError as exc:
                raise router.lost(slot, generation, exc) from None
            except BaseException:
                ray.cancel(ref)
                raise
        finally:
            router.release(slot)
        return _answer(ok, value)

    def run_inline(self, code: str, args: dict[str, Any] | None = None, **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = self._call("run_inline", (code, args), options)
        return result

    def run_script(self, path: str, args: dict[str, Any] | None = None, **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = self._call("run_script", (path, args), options)
        return result

    def run_function(
        self, path: str, function: str = "main", args: dict[str, Any] | None = None, **options: Any
    ) -> dict[str, Any]:
        result: dict[str, Any] = self._call("run_function", (path, function, args), options)
        return result

    def validate(self, code: str, **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = self._call("validate", (code,), options)
        return result

    def request(self, cmd: dict[str, Any], **options: Any) -> dict[str, Any]:
        result: dict[str, Any] = self._call("request", (cmd,), options)
        return result
