"""What the driver and the actor share: the answer format and ActorLost."""
from __future__ import annotations

import pickle
from typing import Any

from ombrix.workers.pool import WorkerExited

# The methods of the local pool a request may call on an actor.
METHODS = frozenset({"run_inline", "run_script", "run_function", "validate", "request"})

# Requests an actor holds per worker of its pool before more wait for the
# driver's next collect: two keep a worker busy while an answer and the next
# request travel.  An actor that holds more has work queued, and lets a
# collect wait a little for more answers.
AHEAD = 2

# One answer: (request id, ok, result or exception).
Answer = tuple[int, bool, Any]


class ActorLost(WorkerExited):
    """The actor holding a request died (or its node did) before answering.

    `actor` names the lost actor (the pool's slot number and Ray's actor id).
    The request is not retried: the actor was free to start it, so it may or
    may not have run.
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


class NotStarted(Exception):
    """An actor's answer for a request it did not start (its node is lost):
    the driver sends the request again, to another actor."""


def portable(exc: Exception) -> Exception:
    """`exc`, or a RuntimeError carrying its text when it cannot cross processes."""
    try:
        pickle.loads(pickle.dumps(exc))
    except Exception:
        return RuntimeError(f"{type(exc).__name__}: {exc}")
    return exc
