"""The fork launcher: workers forked from a warm server, `spares` ahead.

It starts a new server when the old one died or stopped answering; with a
sandbox the server runs inside it.
"""

from __future__ import annotations

import logging
import os
import threading
from collections import deque
from typing import Any

from ombrix.workers.launchers.handle import ChildSettings, WorkerHandle
from ombrix.workers.launchers.sandbox import SCRATCH, Sandbox
from ombrix.workers.launchers.server import ForkedHandle, ForkServer, ForkServerError, _Fork
from ombrix.workers.launchers.spawner import Spawner

__all__ = ["ForkLauncher", "ForkServerError"]

# Messages about the workers go where the pool's own do.
logger = logging.getLogger("ombrix.workers.pool")
# Workers a start tries (spares found dead, a server found dead) before it fails.
START_ATTEMPTS = 4


class ForkLauncher:
    """Starts workers by forking them from a warm server, `spares` ahead.

    `fresh` workers serve one request each.  With a `sandbox` the server
    runs inside it, and each worker's cwd, HOME and TMPDIR are its own
    directory under the sandbox's scratch directory.
    """

    def __init__(
        self,
        settings: ChildSettings,
        *,
        spares: int = 1,
        sandbox: Sandbox | None = None,
        fresh: bool = False,
    ) -> None:
        self.settings = settings
        self.spares = spares
        self.sandbox = sandbox
        self.fresh = fresh
        self._env = settings.environment()
        self._setup: dict[str, Any] = {
            "limits": settings.limits.to_config(),
            "env": self._env,
            "cwd": settings.cwd,
        }
        self._spawner = Spawner()
        self._lock = threading.Lock()
        self._server: ForkServer | None = None
        self._ready: deque[tuple[_Fork, tuple[int, int, int]]] = deque()
        self._closed = False

    def _running_server(self) -> ForkServer:
        server = self._server
        if server is not None and server.alive:
            return server
        if server is not None:
            server.close()
        self._discard_spares()
        setup, cwd, wrap = self._setup, self.settings.cwd, None
        if self.sandbox is not None:
            setup = dict(setup, scratch_root=SCRATCH, cwd=SCRATCH)
            cwd, wrap = "/", self.sandbox.wrap
        server = self._server = ForkServer(
            setup, env=self._env, cwd=cwd, python=self.settings.python, wrap=wrap, spawn=self._spawner.call
        )
        return server

    def _discard_spares(self) -> None:
        while self._ready:
            _, fds = self._ready.popleft()
            for fd in fds:
                os.close(fd)

    def start(self) -> WorkerHandle:
        """A forked worker, ready for its first request (blocking).

        A spare that died while waiting (a script of the sandbox may signal
        it) is passed over; a server that died is replaced."""
        error = "it exited"
        for _ in range(START_ATTEMPTS):
            with self._lock:
                if self._closed:
                    raise ForkServerError("the launcher is closed")
                server = self._running_server()
                try:
                    fork, fds = self._ready.popleft() if self._ready else server.fork()
                except ForkServerError as exc:  # dead or stuck: the next attempt replaces it
                    error = str(exc)
                    self._discard_spares()
                    server.close(kill=True)
                    continue
                try:
                    while len(self._ready) < self.spares:
                        self._ready.append(server.fork())
                except ForkServerError:
                    pass  # the worker taken above shows the server's death below
            try:
                answered = server.answer(fork)
            except BaseException:  # the caller was interrupted: the worker stays a spare
                with self._lock:
                    if self._closed or self._server is not server:
                        for fd in fds:
                            os.close(fd)
                    else:
                        self._ready.appendleft((fork, fds))
                raise
            pidfd = fork.dup_pidfd() if answered else -1
            if pidfd >= 0 and fork.running():
                for fd in fds:
                    os.set_blocking(fd, False)
                return ForkedHandle(server, fork, fds, pidfd, one_request=self.fresh)
            if pidfd >= 0:
                os.close(pidfd)
            for fd in fds:
                os.close(fd)
            if not answered:
                # Stopped or hung: killed, and the next attempt starts a new one.
                logger.warning("the fork server is stopped or did not answer a fork; starting a new one")
                with self._lock:
                    if self._server is server:
                        self._discard_spares()
                server.close(kill=True)
                error = "the fork server did not answer"
                continue
            error = fork.error or error
        raise ForkServerError(f"the fork server could not start a worker: {error}")

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._discard_spares()
            server, self._server = self._server, None
        if server is not None:
            server.close()
        self._spawner.close()
        if self.sandbox is not None:
            self.sandbox.close()
