"""A cluster pool's life cycle, the placement of its actors over the nodes and
the checks on them (`ClusterRouter`, over `Router`'s routing).

Placement: unless `actor_options` bring a scheduling strategy of their own,
each actor is asked onto a node of its own choosing with Ray's node affinity
(soft: Ray places it elsewhere when the node cannot take it), so that no node
holds more than ceil(actors / nodes) of them.  Every second the watch looks
at the nodes: when one holds more than that (an actor Ray restarted after its
node was lost, a node that joined), the least busy actor there is replaced by
one on the emptiest node, swapped in once it drained.

Liveness: the watch asks every serving actor for its name twice a second.  A
failed check, or a copy of the actor Ray restarted, counts as the actor's
loss; one unanswered for `PING_TIMEOUT` takes the actor out of routing (and
out of `actors_serving`) until it answers.
"""
from __future__ import annotations

import collections
import logging
import random
import threading
import time
from collections.abc import Mapping
from typing import Any

import ray
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from ._common import Answer
from ._router import CLOSE_TIMEOUT, PING_TIMEOUT, Router
from ._slots import Failures, Slot, answer, closed_error, fail, settle

logger = logging.getLogger("ombrix.workers.cluster")

_TICK = 0.25
_PING_INTERVAL = 0.5
_NODES_INTERVAL = 1.0
# After Ray placed a moved actor elsewhere than asked, how long that node is not asked again.
_MOVE_BACKOFF = 30.0

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


def _demand(options: Mapping[str, Any]) -> dict[str, float]:
    """The resources an actor needs to be placed (Ray places an actor that
    names no CPUs as needing one)."""
    cpus = options.get("num_cpus")
    need = {"CPU": 1.0 if cpus is None else float(cpus), "GPU": float(options.get("num_gpus") or 0),
            "memory": float(options.get("memory") or 0)}
    need.update((k, float(v)) for k, v in (options.get("resources") or {}).items())
    return {k: v for k, v in need.items() if v > 0}


def _nodes(need: Mapping[str, float]) -> list[str]:
    """The live nodes with the resources an actor needs, by id."""
    return sorted(node["NodeID"] for node in ray.nodes()
                  if node.get("Alive") and all(node.get("Resources", {}).get(k, 0) >= v for k, v in need.items()))


class ClusterRouter(Router):
    def __init__(
        self,
        address: str | None,
        actors: int,
        max_in_flight: int | None,
        actor_options: Mapping[str, Any] | None,
        ray_init: Mapping[str, Any] | None,
        pool_options: dict[str, Any],
    ) -> None:
        options = dict(actor_options or {})
        super().__init__(actors, max_in_flight, options, pool_options)
        self._address = address
        self._ray_init = dict(ray_init or {})
        self._spread = "scheduling_strategy" not in options and "placement_group" not in options
        self._need = _demand(options)
        self._owns_ray = False
        self._closing = threading.Lock()
        self._moving = False
        self._avoid: dict[str, float] = {}  # node: no move there before this (time.monotonic)

    def _placement(self, node: str | None) -> dict[str, Any]:
        if node is None or not self._spread:
            return {}
        return {"scheduling_strategy": NodeAffinitySchedulingStrategy(node, soft=True)}

    def _choose_node(self) -> str | None:
        if not self._spread:
            return None
        nodes = _nodes(self._need)
        with self._lock:
            counts = collections.Counter(s.node for s in self._slots if s.up)
        return min(nodes, key=lambda n: (counts[n], n)) if nodes else None

    # -- life cycle (blocking) ------------------------------------------------

    def start(self) -> None:
        """Connects, places the actors and waits until every one serves."""
        with self._lock:
            if self._closed:  # a failed start closed it: nothing is placed again
                raise closed_error()
        self._owns_ray = _connect(self._address, self._ray_init)
        try:
            nodes = _nodes(self._need) if self._spread else []
            first = random.randrange(len(nodes)) if nodes else 0  # pools of one actor do not all pick one node
            slots = [Slot(i, self._new_actor(nodes[(first + i) % len(nodes)] if nodes else None), self._lock)
                     for i in range(self._actors)]
            with self._lock:
                self._slots = slots
            for slot in slots:
                self._spawn(self._channel, slot, True)
                self._spawn(self._channel, slot, False)
            for slot, (ok, value) in zip(slots, ray.get([s.actor.ready.remote() for s in slots]), strict=True):
                self._serve(slot, answer(ok, value))
            self._spawn(self._watch)
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
                self._stop.set()
                failures: Failures = [(r, closed_error()) for r in self._waiters]
                self._waiters.clear()
                for slot in self._slots:
                    failures.extend((r, closed_error()) for r in slot.pending)
                    slot.pending = []
                    slot.wake.notify_all()
            fail(failures)
            if self._slots:
                closing = [s.actor.close.remote() for s in self._slots]
                ready, _ = ray.wait(closing, num_returns=len(closing), timeout=CLOSE_TIMEOUT)
                for slot, ref in zip(self._slots, closing, strict=True):
                    answers: list[Answer] = []
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
                            settle(request.future, ok, value)
                    fail([(r, closed_error()) for r in held.values()])
            for thread in self._threads:
                if thread is not threading.current_thread():
                    thread.join(CLOSE_TIMEOUT)
            if self._owns_ray:
                self._owns_ray = False
                _disconnect()

    # -- the watch -----------------------------------------------------------

    def _watch(self) -> None:
        """Checks that the actors live and keeps them spread, until closed."""
        pings: dict[Slot, tuple[int, Any, float]] = {}  # slot: (generation, reference, sent at)
        last: dict[Slot, float] = {}
        next_look = time.monotonic() + _NODES_INTERVAL
        while not self._closed:
            try:
                next_look = self._look(pings, last, next_look)
            except Exception:
                if not self._closed:
                    logger.exception("checking on the actors failed")
                self._stop.wait(_TICK)

    def _look(self, pings: dict[Slot, tuple[int, Any, float]], last: dict[Slot, float], next_look: float) -> float:
        """One round of the watch: sends the checks due, settles those
        answered (or overdue), and now and then looks at the nodes."""
        now = time.monotonic()
        with self._lock:
            due = [(s, s.generation, s.actor) for s in self._slots
                   if s.up and s not in pings and now - last.get(s, 0.0) >= _PING_INTERVAL]
        for slot, generation, actor in due:
            pings[slot] = (generation, actor.ping.remote(), now)
        refs = [ref for _, ref, _ in pings.values()]
        if refs:
            answered = set(ray.wait(refs, num_returns=len(refs), timeout=_TICK)[0])
        else:
            answered = set()
            self._stop.wait(_TICK)
        for slot, (generation, ref, sent) in list(pings.items()):
            if ref in answered:
                del pings[slot]
                last[slot] = time.monotonic()
                try:
                    self._checked(slot, generation, ray.get(ref), None)
                except Exception as exc:
                    self._checked(slot, generation, None, exc)
            elif slot.generation != generation:
                del pings[slot]  # lost or replaced meanwhile: the check is moot
            elif time.monotonic() - sent > PING_TIMEOUT:
                self._suspect(slot, generation)
        if self._spread and time.monotonic() >= next_look:
            next_look = time.monotonic() + _NODES_INTERVAL
            try:
                self._respread()
            except Exception:
                if not self._closed:
                    logger.exception("looking at the cluster's nodes failed")
        return next_look

    # -- spreading -------------------------------------------------------------

    def _respread(self) -> None:
        """Starts moving an actor off a node that holds more than its share,
        one move at a time."""
        nodes = _nodes(self._need)
        now = time.monotonic()
        with self._lock:
            if self._moving or self._closed or not nodes:
                return
            counts = collections.Counter(s.node for s in self._slots if s.up)
            share = -(-self._actors // len(nodes))
            crowded = [s for s in self._slots if s.serving and counts[s.node] > share]
            targets = [n for n in nodes if counts[n] < share and self._avoid.get(n, 0.0) <= now]
            if not crowded or not targets:
                return
            slot = min(crowded, key=lambda s: s.in_flight)
            target = min(targets, key=lambda n: (counts[n], n))
            self._moving = True
            self._spawn(self._move, slot, slot.generation, target)

    def _move(self, slot: Slot, generation: int, target: str) -> None:
        """Starts an actor on `target`, lets the slot's actor finish what it
        holds (routing nothing more to it), swaps the new one in and closes
        the old one."""
        spare: Any = None  # the actor to dispose of at the end
        try:
            spare = self._new_actor(target)
            ref = spare.ready.remote()
            while not self._closed and not ray.wait([ref], timeout=0.5)[0]:
                pass
            if self._closed:
                return
            ok, value = ray.get(ref)
            if not ok:
                raise value
            if value[2] != target:  # Ray put it elsewhere: keep the actor in place
                with self._lock:
                    self._avoid[target] = time.monotonic() + _MOVE_BACKOFF
                return
            with self._lock:
                if slot.generation != generation or not slot.serving:
                    return
                slot.draining = True
                pending, slot.pending = slot.pending, []
                self._requeue(pending)
                while (not self._closed and slot.generation == generation
                       and (slot.held or slot.outstanding or slot.collecting or slot.submitting)):
                    slot.wake.wait(0.5)
                slot.draining = False
                if self._closed or slot.generation != generation:
                    return
                slot.actor, spare = spare, slot.actor
                slot.generation += 1
                self._took(slot, value)
                slot.wake.notify_all()
                self._dispatch()
        except Exception:
            if not self._closed:
                logger.exception("moving actor %d to node %s failed", slot.index, target)
        finally:
            with self._lock:
                self._moving = False
            if spare is not None:
                self._dispose(spare)

    def _dispose(self, actor: Any) -> None:
        """Closes an actor that holds no requests (its pool, its scratch
        directory), then ends it."""
        try:
            ray.wait([actor.close.remote()], timeout=CLOSE_TIMEOUT)
            ray.kill(actor, no_restart=True)
        except Exception:
            if not self._closed:
                logger.exception("ending an actor failed")
