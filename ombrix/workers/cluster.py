"""Worker pools spread over a Ray cluster: one actor per slot, each owning a local pool.

`_Router` holds the one implementation of routing, in-flight accounting,
batching, failure handling and shutdown; `ClusterPool` and `AsyncClusterPool`
only wait on the `concurrent.futures.Future` it gives each request (the
asyncio face through `asyncio.wrap_future`).

A request goes to the serving actor with the fewest requests in flight.  Each
actor takes at most `max_in_flight` requests at once (by default sixteen per
worker of its pool); the rest wait here, in arrival order, and so still go to
whichever actor frees up first, or survives.

A Ray call costs far more than a local request, so requests are not one call
each.  The driver talks to an actor over two channels, each with at most one
call outstanding: `collect` is a long poll that answers as soon as any of the
actor's requests completes, with every answer ready at that moment, and
carries the requests routed to the actor since the last call; `submit` carries
requests routed while a `collect` is already waiting, and returns at once.
The actor starts each request as its own task on its local pool, so a slow
request holds back neither another's answer nor new submissions.  A request is
sent at once while its actor holds fewer than two per worker (so no worker
waits a round trip for its next one); beyond that it waits for the next
`collect`, which an actor still holding requests gets at most every
`_COLLECT_INTERVAL`.  So batches form only under load, and an idle pool sends
a request in one call.  Each channel of each actor has a thread of its own,
which waits for Ray in a blocking call (cheaper than awaiting a reference).

Timeouts, limits and recycling are the actor's local pool's business.  When
an actor dies, the requests it held, or that were on their way to it, fail
with `ActorLost` (a `WorkerExited`) and are never retried, since scripts may
have side effects; those routed to it but not sent yet go to other actors.
Ray restarts the actor (or it is replaced when Ray gives up on it) and the
pool routes to it again once it answers.
"""
from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import itertools
import logging
import os
import pickle
import threading
import time
from collections.abc import Mapping
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

logger = logging.getLogger(__name__)

# The methods of the local pool a request may call on an actor.
_METHODS = frozenset({"run_inline", "run_script", "run_function", "validate", "request"})

# Consecutive failed attempts to bring one actor back before its slot is given up.
_RECOVERY_ATTEMPTS = 8
_RECOVERY_MAX_DELAY = 2.0
# Ray threads of an actor: requests run on its own loop, so only the calls
# `ready`, `submit`, `collect` and `close` take one.
_ACTOR_CONCURRENCY = 16
# Requests routed to one actor per worker of its pool, by default.  Two keep
# a worker busy while an answer and the next request travel; the rest let
# requests and answers share calls under load (a Ray call costs about half a
# millisecond of CPU on each side, so a short request pays off only in a batch).
_DEPTH = 16
# Requests an actor holds per worker before more wait for the next collect.
_AHEAD = 2
# How long after a collect's answer the next one to an actor still holding
# requests waits, unless it has to carry requests there at once.
_COLLECT_INTERVAL = 0.004
# How long closing waits for the actors to close their pools before killing them.
_CLOSE_TIMEOUT = 30.0

# One answer: (request id, ok, result or exception).
_Answer = tuple[int, bool, Any]


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


class _Runner:
    """An actor's local AsyncWorkerPool, started on first use, and the tasks
    running requests on it, on an event loop in a thread of its own.

    `changed` guards `running` (ids of requests started and not answered),
    `done` (answers not collected yet) and `closed`; the rest is the loop's.
    """

    def __init__(self, options: dict[str, Any]) -> None:
        self._options = options
        self.pool: AsyncWorkerPool | None = None
        self._lock: asyncio.Lock | None = None
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, name="ombrix-actor-loop", daemon=True).start()
        self.changed = threading.Condition()
        self.running: set[int] = set()
        self.done: list[_Answer] = []
        self.closed = False
        self._tasks: dict[int, asyncio.Task[None]] = {}

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
                    self.pool = pool
        return self.pool

    async def _run(self, rid: int, payload: bytes) -> None:
        try:
            method, args, kwargs = pickle.loads(payload)
            if method not in _METHODS:
                raise ValueError(f"unknown pool method {method!r}")
            pool = await self.get_pool()
            answer: _Answer = (rid, True, await getattr(pool, method)(*args, **kwargs))
        except asyncio.CancelledError:
            answer = (rid, False, RuntimeError("the request was cancelled"))
        except Exception as exc:
            answer = (rid, False, _portable(exc))
        self._tasks.pop(rid, None)
        with self.changed:
            self.running.discard(rid)
            self.done.append(answer)
            self.changed.notify_all()

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

    def take(self) -> list[_Answer]:
        """Holds `changed`."""
        done, self.done = self.done, []
        return done


class _PoolActor:
    """The Ray actor: runs requests on a local pool (see `_Runner`).

    A threaded actor, all of whose methods are plain ones (it costs less per
    call than an async actor, and `collect` blocks only one of its threads).
    Requests arrive pickled, `(method, args, kwargs)`, keyed by the driver's
    request id.  Every answer is `(id, True, value)` or `(id, False,
    exception)`: the local pool's exceptions travel as values, so the caller
    re-raises them with their own type and attributes rather than Ray's
    wrapper.
    """

    def __init__(self, options: dict[str, Any]) -> None:
        self._runner = _Runner(options)
        # Names this copy of the actor: one Ray restarted holds none of the
        # requests its predecessor took, and must not answer for them.
        self._incarnation = os.urandom(8).hex()

    def ready(self) -> tuple[bool, Any]:
        """Starts the local pool; answers its size and this copy's name."""
        try:
            pool = self._runner.wait(self._runner.get_pool())
        except Exception as exc:
            return False, _portable(exc)
        return True, (pool.options.size, self._incarnation)

    def _check(self, incarnation: str) -> None:
        if incarnation != self._incarnation:
            raise RuntimeError("the actor was restarted and lost the requests it held")

    def submit(self, incarnation: str, batch: list[tuple[int, bytes]], cancels: list[int]) -> list[_Answer]:
        """Starts the requests and cancels the ones named; answers what is done."""
        self._check(incarnation)
        runner = self._runner
        runner.start(batch, cancels)
        with runner.changed:
            return runner.take()

    def collect(self, incarnation: str, batch: list[tuple[int, bytes]], cancels: list[int]) -> list[_Answer]:
        """Starts the requests like `submit`, then waits until some answer is
        ready and returns them all; returns at once with none when nothing is
        running or the actor is closing."""
        self._check(incarnation)
        runner = self._runner
        runner.start(batch, cancels)
        with runner.changed:
            while not runner.done and runner.running and not runner.closed:
                runner.changed.wait()
            return runner.take()

    def close(self) -> list[_Answer]:
        """Closes the local pool; answers every request still held, which the
        closing pool has failed."""
        runner = self._runner
        with runner.changed:
            runner.closed = True
            runner.changed.notify_all()
        if runner.pool is not None:
            runner.wait(runner.pool.aclose())
        with runner.changed:
            runner.changed.wait_for(lambda: not runner.running, timeout=_CLOSE_TIMEOUT)
            return runner.take()


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


class _Request:
    """One request: its pickled call, the future its caller waits on, and the
    slot it was routed to (None while it waits for one)."""

    __slots__ = ("future", "id", "payload", "slot")

    def __init__(self, rid: int, payload: bytes) -> None:
        self.id = rid
        self.payload = payload
        self.future: concurrent.futures.Future[Any] = concurrent.futures.Future()
        self.slot: _Slot | None = None


class _Slot:
    """One actor place: its handle, the requests routed to it (`pending`, not
    sent yet; `held`, sent or on their way), and its two channels."""

    def __init__(self, index: int, actor: Any, lock: threading.Lock) -> None:
        self.index = index
        self.actor = actor
        self.capacity = 1
        self.up = False
        self.given_up = False
        self.generation = 0
        self.incarnation = ""  # the name of the actor copy that serves, from `ready`
        self.pending: list[_Request] = []
        self.held: dict[int, _Request] = {}
        self.cancels: list[int] = []
        self.submitting = False
        self.collecting = False
        self.ahead = 1  # requests the actor holds before more wait for a collect
        self.next_collect = 0.0  # no collect to a busy actor before this (time.monotonic)
        # Wakes the slot's channel threads; shares the router's lock.
        self.wake = threading.Condition(lock)

    @property
    def in_flight(self) -> int:
        return len(self.pending) + len(self.held)

    @property
    def name(self) -> str:
        return f"#{self.index} ({self.actor._actor_id.hex()})"


# Requests to fail, with their errors, once the router's lock is released.
_Failures = list[tuple[_Request, BaseException]]


def _closed() -> RuntimeError:
    return RuntimeError("the cluster pool is closed")


def _answer(ok: bool, value: Any) -> Any:
    """An actor's answer: the local pool's result, or its exception raised."""
    if ok:
        return value
    raise value


def _settle(future: concurrent.futures.Future[Any], ok: bool, value: Any) -> None:
    """Completes a request's future, unless its caller cancelled it."""
    try:
        if ok:
            future.set_result(value)
        else:
            future.set_exception(value)
    except concurrent.futures.InvalidStateError:
        pass


def _fail(failures: _Failures) -> None:
    for request, exc in failures:
        _settle(request.future, False, exc)


class _Router:
    """The actors of one pool, which requests they hold, and their recovery.

    Thread-safe: callers route requests from any thread; each actor's two
    channel threads send them and settle the answers; recovery runs in
    threads of its own.  Blocking calls (start, close) are for a plain thread.
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
        self._waiters: collections.deque[_Request] = collections.deque()
        self._turn = itertools.count()
        self._ids = itertools.count()
        self._owns_ray = False
        self._closed = False
        self._closing = threading.Lock()
        self._channels: list[threading.Thread] = []

    # -- life cycle (blocking) ------------------------------------------------

    def start(self) -> None:
        """Connects, places the actors and waits until every one serves."""
        with self._lock:
            if self._closed:  # a failed start closed it: nothing is placed again
                raise _closed()
        self._owns_ray = _connect(self._address, self._ray_init)
        try:
            slots = [_Slot(i, self._new_actor(), self._lock) for i in range(self._actors)]
            with self._lock:
                self._slots = slots
            for slot in slots:
                for collect in (True, False):
                    thread = threading.Thread(target=self._channel, args=(slot, collect), daemon=True,
                                              name=f"ombrix-cluster-{'collect' if collect else 'submit'}")
                    thread.start()
                    self._channels.append(thread)
            for slot, (ok, value) in zip(slots, ray.get([s.actor.ready.remote() for s in slots]), strict=True):
                self._serve(slot, _answer(ok, value))
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Closes every actor's pool, then ends the actors; idempotent.

        Requests not sent yet fail with RuntimeError; those the actors held get
        the answer their closing pool gave them."""
        with self._closing:
            with self._lock:
                if self._closed:
                    return
                self._closed = True
                failures: _Failures = [(r, _closed()) for r in self._waiters]
                self._waiters.clear()
                for slot in self._slots:
                    failures.extend((r, _closed()) for r in slot.pending)
                    slot.pending = []
                    slot.wake.notify_all()
            _fail(failures)
            if self._slots:
                closing = [s.actor.close.remote() for s in self._slots]
                ready, _ = ray.wait(closing, num_returns=len(closing), timeout=_CLOSE_TIMEOUT)
                for slot, ref in zip(self._slots, closing, strict=True):
                    answers: list[_Answer] = []
                    if ref in ready:
                        try:
                            answers = ray.get(ref)
                        except Exception:
                            pass  # the actor is gone: its requests fail below
                    ray.kill(slot.actor, no_restart=True)
                    with self._lock:
                        slot.up = False
                        held, slot.held = slot.held, {}
                    for rid, ok, value in answers:
                        if (request := held.pop(rid, None)) is not None:
                            _settle(request.future, ok, value)
                    _fail([(r, _closed()) for r in held.values()])
            for thread in self._channels:
                thread.join(_CLOSE_TIMEOUT)
            if self._owns_ray:
                self._owns_ray = False
                _disconnect()

    def _new_actor(self) -> Any:
        options = {"max_concurrency": _ACTOR_CONCURRENCY, **self._actor_options}
        return _RemoteActor.options(**options).remote(self._pool_options)

    # -- routing -------------------------------------------------------------

    def _serve(self, slot: _Slot, ready: tuple[int, str]) -> None:
        size, incarnation = ready
        with self._lock:
            slot.incarnation = incarnation
            slot.capacity = self._max_in_flight or _DEPTH * size
            slot.ahead = _AHEAD * size
            slot.up = True
            slot.wake.notify_all()
            failures = self._dispatch()
        _fail(failures)

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

    def _route(self, request: _Request, slot: _Slot) -> None:
        """Holds the lock."""
        request.slot = slot
        slot.pending.append(request)
        if len(slot.held) < slot.ahead:  # to be sent now, not with the next collect
            slot.wake.notify_all()

    def _dispatch(self) -> _Failures:
        """Routes waiting requests to free actor places, oldest first, or fails
        them when no actor is left.  Holds the lock; the caller fails them."""
        while self._waiters:
            slot = self._pick()
            if slot is None:
                break
            self._route(self._waiters.popleft(), slot)
        failures: _Failures = []
        if self._waiters and all(s.given_up for s in self._slots):
            failures = [(r, ActorLost.of("(all)", "no actor could be restarted")) for r in self._waiters]
            self._waiters.clear()
        return failures

    def call(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> concurrent.futures.Future[Any]:
        """Routes a request; its future gets the local pool's result or error.
        Cancelling the future withdraws the request, or cancels it on the actor."""
        # Pickled here, so a request that cannot travel fails alone, in its
        # caller, with the TypeError the local pool gives arguments it cannot send.
        try:
            payload = pickle.dumps((method, args, kwargs), pickle.HIGHEST_PROTOCOL)
        except Exception as exc:
            raise TypeError(f"the request cannot be sent to an actor: {exc}") from exc
        with self._lock:
            if self._closed:
                raise _closed()
            request = _Request(next(self._ids), payload)
            slot = None if self._waiters else self._pick()
            if slot is not None:
                self._route(request, slot)
            else:
                self._waiters.append(request)
            failures = self._dispatch()
        _fail(failures)
        request.future.add_done_callback(lambda f: self._withdraw(request) if f.cancelled() else None)
        return request.future

    def _withdraw(self, request: _Request) -> None:
        """The caller cancelled the request: an unsent one is dropped; one an
        actor holds is cancelled there and keeps its place until it ends."""
        with self._lock:
            slot = request.slot
            if slot is None:
                if request in self._waiters:
                    self._waiters.remove(request)
            elif request in slot.pending:
                slot.pending.remove(request)
                request.slot = None
            elif request.id in slot.held:
                slot.cancels.append(request.id)
                slot.wake.notify_all()
            failures = self._dispatch()
        _fail(failures)

    # -- the channels: sending batches, receiving answers ----------------------

    def _channel(self, slot: _Slot, collect: bool) -> None:
        """A thread driving one of the slot's channels for the pool's life:
        waits until the slot has something to send over it, sends it, waits
        for the actor's answers and settles them."""
        channel = "collect" if collect else "submit"
        with self._lock:
            while not self._closed:
                wait = self._due(slot, collect)
                if wait is not None:
                    slot.wake.wait(wait if wait > 0 else None)
                    continue
                generation, actor, incarnation = slot.generation, slot.actor, slot.incarnation
                batch = [(r.id, r.payload) for r in slot.pending]
                slot.held.update((r.id, r) for r in slot.pending)
                slot.pending = []
                cancels, slot.cancels = slot.cancels, []
                self._lock.release()
                try:
                    answers: list[_Answer] = ray.get(getattr(actor, channel).remote(incarnation, batch, cancels))
                except Exception as exc:  # the actor died, or Ray lost its answer
                    if not self._closed:  # closing settles what the actors held
                        self._lose(slot, generation, exc)
                    continue
                finally:
                    self._lock.acquire()
                if slot.generation != generation:
                    continue  # a lost actor's late answer: its requests were failed
                if collect:
                    slot.collecting = False
                    slot.next_collect = time.monotonic() + _COLLECT_INTERVAL
                else:
                    slot.submitting = False
                for rid, ok, value in answers:
                    if (request := slot.held.pop(rid, None)) is not None:
                        _settle(request.future, ok, value)
                slot.wake.notify_all()
                failures = self._dispatch()
                if failures:
                    self._lock.release()
                    try:
                        _fail(failures)
                    finally:
                        self._lock.acquire()

    def _due(self, slot: _Slot, collect: bool) -> float | None:
        """None when the channel is to send now (marked as sending), else how
        long it waits (0: until woken).  Holds the lock.

        Requests go at once while the actor has fewer than `ahead` of them (so
        no worker there waits a round trip for its next one): with a new
        `collect` when none waits, else with a `submit` unless one is on its
        way.  Beyond that they wait for the next `collect`, which an actor
        still holding requests gets at most every `_COLLECT_INTERVAL` after
        the last one answered: under load each call then carries several
        requests and answers."""
        if not slot.up:
            return 0
        urgent = bool(slot.cancels) or (bool(slot.pending) and len(slot.held) < slot.ahead)
        if collect:
            if slot.collecting or not (slot.held or slot.pending):
                return 0
            if not urgent:
                delay = slot.next_collect - time.monotonic()
                if delay > 0:
                    return delay
            slot.collecting = True
        else:
            if not (urgent and slot.collecting) or slot.submitting:
                return 0
            slot.submitting = True
        return None

    # -- failure -------------------------------------------------------------

    def _lose(self, slot: _Slot, generation: int, exc: BaseException) -> None:
        """The actor failed: fails the requests it held, routes the unsent ones
        elsewhere, takes it out of routing and starts bringing it back."""
        with self._lock:
            if slot.generation != generation or not slot.up:
                return
            slot.up = False
            slot.generation += 1
            held, slot.held = list(slot.held.values()), {}
            for request in reversed(slot.pending):
                request.slot = None
                self._waiters.appendleft(request)
            slot.pending, slot.cancels = [], []
            slot.submitting = slot.collecting = False
            slot.wake.notify_all()
            name = slot.name
            if not self._closed:
                threading.Thread(target=self._recover, args=(slot,), name="ombrix-cluster-recovery",
                                 daemon=True).start()
            failures = self._dispatch()
        reason = (str(exc).strip().splitlines() or [type(exc).__name__])[0]
        _fail([(r, ActorLost.of(name, reason)) for r in held] + failures)

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
                with self._lock:
                    if self._closed:  # close() killed it: no new actor after that
                        return
                    slot.actor = self._new_actor()
            except RayActorError:
                pass  # restarting: ask again
            except Exception:
                logger.exception("bringing actor %d back failed", slot.index)  # counts as an attempt
            time.sleep(delay)
            delay = min(2 * delay, _RECOVERY_MAX_DELAY)
        with self._lock:
            slot.given_up = True
            failures = self._dispatch()
        _fail(failures)

    @property
    def actors_serving(self) -> int:
        return sum(1 for s in self._slots if s.up)


_OPTIONS_DOC = """
    `address` is handed to `ray.init` when this process is not connected yet
    (None: a running cluster or a new local instance; "auto"; "ray://...").
    `actors` actors are placed, spread over the nodes; `actor_options` go to
    Ray's `.options()` for each (resources, runtime_env, ...); `ray_init` to
    `ray.init`; `max_in_flight` caps the requests one actor holds (default:
    sixteen per worker of its pool).  Every other keyword (size, timeout,
    limits, env, ...) goes to the AsyncWorkerPool each actor owns on its node.
"""


class _ClusterFace:
    """What both faces share: the router built from their options."""

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
        self._created()

    def _created(self) -> None:
        """Called at the end of construction."""


class AsyncClusterPool(_ClusterFace):
    __doc__ = "A pool of workers on a Ray cluster, for asyncio callers.\n" + _OPTIONS_DOC

    # Set by the first start(); the lock is made inside the running loop.
    _started = False
    _start_lock: asyncio.Lock | None = None

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
        # Cancelling the awaiting task cancels the request's future too.
        return await asyncio.wrap_future(self._router.call(method, args, kwargs))

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


class ClusterPool(_ClusterFace):
    __doc__ = ("A pool of workers on a Ray cluster, for synchronous callers (any thread).\n"
               "    It starts at once; the caller's thread waits for the answer.\n" + _OPTIONS_DOC)

    def _created(self) -> None:
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
        future = self._router.call(method, args, kwargs)
        try:
            return future.result()
        except BaseException:
            future.cancel()  # KeyboardInterrupt while waiting; no-op once answered
            raise

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
