"""The driver side of a cluster pool: routing, in-flight accounting, batching
and the handling of an actor's loss (see the package's docstring)."""
from __future__ import annotations

import collections
import concurrent.futures
import itertools
import logging
import os
import pickle
import threading
import time
from collections.abc import Mapping
from typing import Any

import ray
from ray.exceptions import ActorDiedError, GetTimeoutError, RayActorError

from ._actor import RemoteActor
from ._common import AHEAD, ActorLost, Answer, NotStarted
from ._slots import Request, Slot, closed_error, fail, reason, settle

logger = logging.getLogger("ombrix.workers.cluster")

_RECOVERY_MAX_DELAY = 2.0
# Ray threads of an actor: requests run on its own loop, so only the calls
# `ready`, `ping`, `submit`, `collect` and `close` take one.
_ACTOR_CONCURRENCY = 16
# Requests one actor holds per worker of its pool, by default.  Two keep a
# worker busy while an answer and the next request travel; the rest let
# requests and answers share calls under load (a Ray call costs about half a
# millisecond of CPU on each side).  The requests an actor holds and has not
# started are declined when its node is lost, but lost with it when its
# process dies at once; eight instead of sixteen cost throughput on a busy
# two-core machine (0.34-0.47x of the local pool against 0.53-0.64x).
_DEPTH = 16
# How long after a collect's answer the next one to an actor still holding
# requests waits, unless it has to carry requests there at once.  Short: an
# actor with work queued lets a collect linger for more answers itself
# (`_actor.LINGER`), which forms batches without the actor's workers
# waiting for requests the driver held back.
_COLLECT_INTERVAL = 0.001
# An actor that holds no requests and was last heard from longer ago than
# this is checked before requests go to it.
_FRESH = 0.02
# An actor whose liveness check is unanswered this long takes no new requests.
PING_TIMEOUT = 2.0
# How long closing waits for the actors to close their pools before killing them.
CLOSE_TIMEOUT = 30.0


class Router:
    """The actors of one pool, which requests they hold, and their recovery.

    Thread-safe: callers route requests from any thread; each actor's two
    channel threads send them and settle the answers; recovery runs in
    threads of its own.  Subclassed by `_watch.Watched`, which places the
    actors and checks on them.
    """

    def __init__(self, actors: int, max_in_flight: int | None, actor_options: Mapping[str, Any],
                 pool_options: dict[str, Any]) -> None:
        if not isinstance(actors, int) or actors < 1:
            raise ValueError(f"actors must be a positive int, not {actors!r}")
        if max_in_flight is not None and (not isinstance(max_in_flight, int) or max_in_flight < 1):
            raise ValueError(f"max_in_flight must be a positive int, not {max_in_flight!r}")
        self._actors = actors
        self._max_in_flight = max_in_flight
        self._actor_options: dict[str, Any] = {"max_restarts": -1, "max_task_retries": 0, **actor_options}
        self._pool_options = pool_options
        # Names this pool's scratch directories on the nodes.
        self._tag = os.urandom(6).hex()
        self._lock = threading.Lock()
        self._slots: list[Slot] = []
        self._waiters: collections.deque[Request] = collections.deque()
        self._turn = itertools.count()
        self._ids = itertools.count()
        self._closed = False
        self._stop = threading.Event()  # set with _closed: wakes recovery and the watch
        self._threads: list[threading.Thread] = []  # joined by close

    def _spawn(self, target: Any, *args: Any) -> None:
        """Runs `target(*args)` in a thread of the pool's, which close joins."""
        thread = threading.Thread(target=target, args=args, name="ombrix-cluster", daemon=True)
        self._threads = [t for t in self._threads if t.is_alive()] + [thread]
        thread.start()

    def _new_actor(self, node: str | None = None) -> Any:
        """A new actor, on `node` where the placement chose one."""
        options = {"max_concurrency": _ACTOR_CONCURRENCY, **self._actor_options, **self._placement(node)}
        return RemoteActor.options(**options).remote(self._pool_options, self._tag)

    def _placement(self, node: str | None) -> dict[str, Any]:
        """The scheduling options that put an actor on `node`."""
        return {}

    # -- routing -------------------------------------------------------------

    def _serve(self, slot: Slot, ready: tuple[int, str, str]) -> None:
        with self._lock:
            self._took(slot, ready)
            slot.up, slot.suspect = True, False
            slot.contact = time.monotonic()
            slot.wake.notify_all()
            self._dispatch()

    def _took(self, slot: Slot, ready: tuple[int, str, str]) -> None:
        """Records what an actor's `ready` answered.  Holds the lock."""
        size, slot.incarnation, slot.node = ready
        slot.capacity = self._max_in_flight or _DEPTH * size
        slot.ahead = AHEAD * size

    def _pick(self) -> Slot | None:
        """The serving actor with the fewest requests in flight and room for one
        more; ties go round the slots in turn.  Holds the lock."""
        best: Slot | None = None
        n = len(self._slots)
        start = next(self._turn) % n if n else 0
        for k in range(n):
            slot = self._slots[(start + k) % n]
            if slot.serving and slot.in_flight < slot.capacity and (best is None or slot.in_flight < best.in_flight):
                best = slot
        return best

    def _route(self, request: Request, slot: Slot) -> None:
        """Holds the lock."""
        request.slot = slot
        slot.pending.append(request)
        if len(slot.held) < slot.ahead:  # to be sent now, not with the next collect
            slot.wake.notify_all()

    def _requeue(self, requests: list[Request]) -> None:
        """Puts requests that no actor started back in front of the queue, in
        their order, and routes them again.  Holds the lock."""
        for request in reversed(requests):
            request.slot = None
            self._waiters.appendleft(request)
        self._dispatch()

    def _dispatch(self) -> None:
        """Routes waiting requests to free actor places, oldest first.  Holds the lock."""
        while self._waiters:
            slot = self._pick()
            if slot is None:
                break
            self._route(self._waiters.popleft(), slot)

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
                raise closed_error()
            request = Request(next(self._ids), payload)
            slot = None if self._waiters else self._pick()
            if slot is not None:
                self._route(request, slot)
            else:
                self._waiters.append(request)
            self._dispatch()
        request.future.add_done_callback(lambda f: self._withdraw(request) if f.cancelled() else None)
        return request.future

    def _withdraw(self, request: Request) -> None:
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
            self._dispatch()

    # -- the channels: sending batches, receiving answers ----------------------

    def _channel(self, slot: Slot, collect: bool) -> None:
        """A thread driving one of the slot's channels for the pool's life:
        waits until the slot has something to send over it, sends it, waits
        for the actor's answers and settles them.  The lock is held to decide
        and to settle, never across a Ray call."""
        channel = "collect" if collect else "submit"
        while True:
            with self._lock:
                if not self._turn_of(slot, collect):
                    return
                generation, actor, incarnation = slot.generation, slot.actor, slot.incarnation
                probe = bool(slot.pending) and not slot.held and time.monotonic() - slot.contact > _FRESH
                if probe:
                    self._idle(slot, collect)
                else:
                    sent, slot.pending = slot.pending, []
                    slot.held.update((r.id, r) for r in sent)
                    slot.outstanding[channel] = sent
                    own = len(sent)
                    cancels, slot.cancels = slot.cancels, []
            if probe:
                self._probe(slot, generation, actor)
                continue
            error: Exception | None = None
            try:
                answers: list[Answer] | None = ray.get(
                    getattr(actor, channel).remote(incarnation, [(r.id, r.payload) for r in sent], cancels))
            except Exception as exc:  # the actor died, or Ray lost its answer
                answers, error = None, exc
            with self._lock:
                lost = self._received(slot, collect, generation, sent, own, answers, error)
            if lost is not None:
                self._lose(slot, generation, *lost)

    def _turn_of(self, slot: Slot, collect: bool) -> bool:
        """Waits until the channel is to send (marked as sending, see `_due`);
        False once the pool is closed.  Holds the lock."""
        while not self._closed:
            wait = self._due(slot, collect)
            if wait is None:
                return True
            slot.wake.wait(wait if wait > 0 else None)
        return False

    @staticmethod
    def _idle(slot: Slot, collect: bool) -> None:
        """The channel is no longer sending.  Holds the lock."""
        if collect:
            slot.collecting = False
        else:
            slot.submitting = False

    def _received(self, slot: Slot, collect: bool, generation: int, sent: list[Request], own: int,
                  answers: list[Answer] | None, error: Exception | None
                  ) -> tuple[BaseException, frozenset[int]] | None:
        """Settles what a channel's call brought back: its answers, or the
        loss of its actor, returned (the error and the requests the actor
        refused) for the caller to handle once it released the lock.  Holds
        the lock."""
        del slot.outstanding["collect" if collect else "submit"]
        if slot.generation != generation:  # lost meanwhile: this call's requests are left to it
            self._orphaned(slot.name, sent, own, answers, error)
            return None
        if answers is None:
            if self._closed:
                return None  # closing settles what the actors held
            # The call failed (its requests may have run), or the actor
            # refused it (none of them ran): a copy Ray restarted, or one
            # whose node is lost.
            refused = frozenset(r.id for r in sent) if error is None else frozenset()
            return error or RuntimeError("restarted, or its node lost"), refused
        slot.contact = time.monotonic()
        self._idle(slot, collect)
        if collect:
            slot.next_collect = time.monotonic() + _COLLECT_INTERVAL
        declined = []
        for rid, ok, value in answers:
            if (request := slot.held.pop(rid, None)) is not None:
                if isinstance(value, NotStarted):
                    declined.append(request)
                else:
                    settle(request.future, ok, value)
        if declined:  # its node is lost: nothing more goes there
            slot.suspect = True
            declined += slot.pending
            slot.pending = []
        slot.wake.notify_all()
        self._requeue(declined)
        return None

    def _probe(self, slot: Slot, generation: int, actor: Any) -> None:
        """Checks that an actor still serves before requests go to it."""
        try:
            name = ray.get(actor.ping.remote(), timeout=PING_TIMEOUT)
        except GetTimeoutError:
            self._suspect(slot, generation)
        except Exception as exc:
            self._checked(slot, generation, None, exc)
        else:
            self._checked(slot, generation, name, None)

    def _checked(self, slot: Slot, generation: int, name: str | None, error: Exception | None) -> None:
        """A liveness check answered: the actor serves, or it is lost."""
        with self._lock:
            if slot.generation != generation or not slot.up or self._closed:
                return
            if error is None and name == slot.incarnation:
                slot.contact = time.monotonic()
                if slot.suspect:
                    slot.suspect = False
                    self._dispatch()
                return
        self._lose(slot, generation, error or RuntimeError("restarted, or its node lost"))

    def _suspect(self, slot: Slot, generation: int) -> None:
        """The actor's liveness check is overdue: no requests go to it until
        it answers; those routed to it and not sent go elsewhere."""
        with self._lock:
            if slot.generation == generation and slot.up and not slot.suspect:
                slot.suspect = True
                pending, slot.pending = slot.pending, []
                self._requeue(pending)

    def _orphaned(self, name: str, sent: list[Request], own: int, answers: list[Answer] | None,
                  error: Exception | None) -> None:
        """Settles the requests of a call that returned after its actor was
        lost (its `own` first, then those `_lose` left to it): answered ones
        get their answer, those not started are sent again (or fail when the
        pool is closed), the rest may have run and fail with ActorLost.
        Holds the lock."""
        if answers is None and error is None and not self._closed:  # refused: none of its own ran
            self._requeue([r for r in sent[:own] if not r.future.done()])
            sent = sent[own:]
        answered = {rid: (ok, value) for rid, ok, value in answers or []}
        declined = [r for r in sent if isinstance(answered.get(r.id, (0, 0))[1], NotStarted)]
        if not self._closed:
            self._requeue(declined)
        for request in sent:
            if request in declined and not self._closed:
                continue  # sent again
            if request.id in answered:
                settle(request.future, *answered[request.id])
            elif self._closed:
                settle(request.future, False, closed_error())
            else:
                settle(request.future, False, ActorLost.of(name, reason(error)))

    def _due(self, slot: Slot, collect: bool) -> float | None:
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

    def _lose(self, slot: Slot, generation: int, exc: BaseException, refused: frozenset[int] = frozenset()
              ) -> None:
        """The actor failed: fails the requests it held (they may have run),
        sends those it did not start (`refused` by its restarted copy) and
        the ones not sent to it yet elsewhere, takes it out of routing and
        starts bringing it back.  Requests of a call still on its way are
        left to the channel that sent it (see `_orphaned`), and with a
        `collect` on its way, all it held."""
        with self._lock:
            if slot.generation != generation or not slot.up:
                return
            slot.up = slot.suspect = False
            slot.generation += 1
            travelling = {r.id for sent in slot.outstanding.values() for r in sent}
            held = [r for r in slot.held.values() if r.id not in refused and r.id not in travelling]
            if "collect" in slot.outstanding:  # its answer may still settle them
                slot.outstanding["collect"].extend(held)
                held = []
            self._requeue([r for r in slot.held.values() if r.id in refused] + slot.pending)
            slot.held, slot.pending, slot.cancels = {}, [], []
            slot.submitting = slot.collecting = False
            slot.wake.notify_all()
            name = slot.name
            if not self._closed:
                self._spawn(self._recover, slot)
        fail([(r, ActorLost.of(name, reason(exc))) for r in held])

    def _recover(self, slot: Slot) -> None:
        """Waits for Ray to restart the actor, for as long as the pool is open;
        replaces it when Ray reports it dead for good."""
        delay = 0.05
        ref = None
        while not self._closed:
            try:
                if ref is None:
                    ref = slot.actor.ready.remote()
                if not ray.wait([ref], timeout=0.5)[0]:
                    continue  # still restarting (or placing): wait on, unless closed
                ok, value = ray.get(ref)
                if ok:
                    self._serve(slot, value)
                    return
                logger.info("actor %d does not serve yet: %s", slot.index, value)
            except ActorDiedError:
                self._replace(slot)
            except RayActorError:
                pass  # restarting: ask again
            except Exception:
                if not self._closed:
                    logger.exception("bringing actor %d back failed", slot.index)
            ref = None
            self._stop.wait(delay)
            delay = min(2 * delay, _RECOVERY_MAX_DELAY)

    def _replace(self, slot: Slot) -> None:
        """Puts a new actor in the place of one Ray gave up on."""
        try:
            ray.kill(slot.actor, no_restart=True)
            node = self._choose_node()
            with self._lock:
                if not self._closed:  # close() kills the slots' actors: no new one after that
                    slot.actor = self._new_actor(node)
        except Exception:
            if not self._closed:
                logger.exception("replacing actor %d failed", slot.index)

    def _choose_node(self) -> str | None:
        """The node for a new actor (None: Ray's choice)."""
        return None

    @property
    def actors_serving(self) -> int:
        return sum(1 for s in self._slots if s.up and not s.suspect)
