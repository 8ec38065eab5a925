"""A cluster pool's requests and actor places, and settling requests."""
from __future__ import annotations

import concurrent.futures
import threading
from typing import Any


class Request:
    """One request: its pickled call, the future its caller waits on, and the
    slot it was routed to (None while it waits for one)."""

    __slots__ = ("future", "id", "payload", "slot")

    def __init__(self, rid: int, payload: bytes) -> None:
        self.id = rid
        self.payload = payload
        self.future: concurrent.futures.Future[Any] = concurrent.futures.Future()
        self.slot: Slot | None = None


class Slot:
    """One actor place: its handle, the requests routed to it (`pending`, not
    sent yet; `held`, sent or on their way), and its two channels."""

    def __init__(self, index: int, actor: Any, lock: threading.Lock) -> None:
        self.index = index
        self.actor = actor
        self.capacity = 1
        self.up = False
        self.suspect = False  # up, but its liveness check is overdue: routed no more requests
        self.draining = False  # its actor is being replaced by one on another node
        self.generation = 0
        self.incarnation = ""  # the name of the actor copy that serves, from `ready`
        self.node = ""  # the node it serves on, from `ready`
        self.contact = 0.0  # when the actor last answered (time.monotonic)
        self.pending: list[Request] = []
        self.held: dict[int, Request] = {}
        self.outstanding: dict[str, list[Request]] = {}  # each channel's call on its way: what it carries
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
    def serving(self) -> bool:
        return self.up and not self.suspect and not self.draining

    @property
    def name(self) -> str:
        return f"#{self.index} ({self.actor._actor_id.hex()})"


# Requests to fail, with their errors, once the router's lock is released.
Failures = list[tuple[Request, BaseException]]


def closed_error() -> RuntimeError:
    return RuntimeError("the cluster pool is closed")


def answer(ok: bool, value: Any) -> Any:
    """An actor's answer: the local pool's result, or its exception raised."""
    if ok:
        return value
    raise value


def settle(future: concurrent.futures.Future[Any], ok: bool, value: Any) -> None:
    """Completes a request's future, unless its caller cancelled it."""
    try:
        if ok:
            future.set_result(value)
        else:
            future.set_exception(value)
    except concurrent.futures.InvalidStateError:
        pass


def reason(exc: BaseException | None) -> str:
    """The first line of an error, for ActorLost's message."""
    if exc is None:
        return "it was lost before answering"
    return (str(exc).strip().splitlines() or [type(exc).__name__])[0]


def fail(failures: Failures) -> None:
    for request, exc in failures:
        settle(request.future, False, exc)
