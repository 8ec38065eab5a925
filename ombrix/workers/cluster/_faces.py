"""The two faces of a cluster pool: `ClusterPool` for threads and
`AsyncClusterPool` for asyncio tasks.  Both only wait on the
`concurrent.futures.Future` the router gives each request (the asyncio face
through `asyncio.wrap_future`)."""
from __future__ import annotations

import asyncio
import concurrent.futures
import json
import os
from collections.abc import Mapping, Sequence
from typing import Any, Self, TypedDict, Unpack

from ombrix.workers.pool.options import DEFAULT, Default
from ombrix.workers.pool.requests import AsyncRequests, Requests

from ._watch import ClusterRouter


class LocalPoolOptions(TypedDict, total=False):
    """The options of the AsyncWorkerPool each actor owns on its node."""

    size: int
    timeout: float | None
    memory_limit: int | None
    cpu_limit: int | None
    file_size_limit: int | None
    max_output: int
    recycle_after: int | None
    env: Mapping[str, str] | None
    cwd: str | os.PathLike[str] | None
    fresh: bool
    spares: int | None
    sandbox: bool
    readable: Sequence[str | os.PathLike[str]]
    max_sessions: int


# A call's timeout, as the local pools take it: DEFAULT gets the pool's own.
Timeout = float | Default | None

_OPTIONS_DOC = """
    `address` is handed to `ray.init` when this process is not connected yet
    (None: a running cluster or a new local instance; "auto"; "ray://...").
    `actors` actors are placed, at most ceil(actors / nodes) on a node where
    the cluster allows; `actor_options` go to Ray's `.options()` for each
    (resources, runtime_env, ...; a scheduling strategy of their own turns the
    placement off); `ray_init` to `ray.init`; `max_in_flight` caps the
    requests one actor holds (default: sixteen per worker of its pool).  Every
    other keyword (size, timeout, limits, env, ...) goes to the
    AsyncWorkerPool each actor owns on its node.
"""


def _send(router: ClusterRouter, encoded: tuple[object, str], timeout: Timeout) -> concurrent.futures.Future[Any]:
    """Routes one request, checked and encoded here by the pools' own request
    methods (relative paths name the caller's files, as in a local pool), to
    an actor's pool as the request dict."""
    options = {} if timeout is DEFAULT else {"timeout": timeout}
    return router.call("request", (json.loads(encoded[1]),), options)


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
        **pool_options: Unpack[LocalPoolOptions],
    ) -> None:
        self._router = ClusterRouter(address, actors, max_in_flight, actor_options, ray_init, dict(pool_options))
        self._created()

    def _created(self) -> None:
        """Called at the end of construction."""

    @property
    def actors_serving(self) -> int:
        """How many actors take requests now (the rest are lost, being
        restarted, or overdue with their liveness check)."""
        return self._router.actors_serving


class AsyncClusterPool(_ClusterFace, AsyncRequests):
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

    async def _call(self, encoded: tuple[object, str], timeout: Timeout) -> dict[str, Any]:
        if not self._started:
            await self.start()
        # Cancelling the awaiting task cancels the request's future too.
        result: dict[str, Any] = await asyncio.wrap_future(_send(self._router, encoded, timeout))
        return result


class ClusterPool(_ClusterFace, Requests):
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

    def _call(self, encoded: tuple[object, str], timeout: Timeout) -> dict[str, Any]:
        future = _send(self._router, encoded, timeout)
        try:
            result: dict[str, Any] = future.result()
        except BaseException:
            future.cancel()  # KeyboardInterrupt while waiting; no-op once answered
            raise
        return result
