"""Worker pools spread over a Ray cluster: one actor per slot, each owning a
local pool on its node.

`_actor` is the program that runs inside Ray; `_router` routes requests to
the actors and handles their loss, `_watch` places the actors over the nodes
and checks on them, `_faces` holds the two public faces.

A request goes to the serving actor with the fewest requests in flight.  An
actor holds at most `max_in_flight` requests at once (by default sixteen per
worker of its pool); the rest wait here, in arrival order, and so go to
whichever actor frees up first, or survives.  An actor starts a request when
a worker of its pool is free for it.  When an actor is lost, what it held is
settled by what it can still say: answered requests keep their answer; those
it had not started (declined because its node is lost, or refused by a copy
Ray restarted) are sent again, to a serving actor; the rest may have run and
fail with `ActorLost` (never twice: a request that may have run is not sent
again).  A request that waits here never ran.

A Ray call costs far more than a local request, so requests are not one call
each.  The driver talks to an actor over two channels, each with at most one
call outstanding: `collect` is a long poll that answers as soon as any of the
actor's requests completes, with every answer ready at that moment (an actor
holding more than two requests per worker first lingers up to 8 ms for more),
and carries the requests routed to the actor since the last call; `submit` carries
requests routed while a `collect` is already waiting, and returns at once.
A request is sent at once while its actor holds fewer than two per worker (so
no worker waits a round trip for its next one); beyond that it waits for the
next `collect`, which an actor still holding requests gets at most every
`_COLLECT_INTERVAL`.  So batches form only under load, and an idle pool sends
a request in one call.  Each channel of each actor has a thread of its own,
which waits for Ray in a blocking call (cheaper than awaiting a reference).

Before requests go to an actor that holds none and has not been heard from
for `_FRESH` seconds, the channel checks that it still serves (a request
sent to an actor whose node just died may or may not have run: Ray cannot
tell, so it would fail).
"""
try:
    import ray  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "ombrix.workers.cluster needs Ray, which comes with the package's `ray` extra: "
        "pip install 'ombrix-custom-worker[ray]'"
    ) from exc

from ._common import ActorLost
from ._faces import AsyncClusterPool, ClusterPool, LocalPoolOptions

__all__ = ["ActorLost", "AsyncClusterPool", "ClusterPool", "LocalPoolOptions"]
