"""Host side of the fork server: start it, fork workers through it, keep spares ready, kill and reap.

A `ForkServer` is one server process (optionally inside a sandbox) and a
thread that reads its messages.  A `ForkedWorker` is the host's handle on one
forked worker: the host holds the ends of its three pipes, learns its exit
status from the server (the host is not its parent) and kills it through a
pidfd plus the server's kill of its whole process group.  A `ForkLauncher`
keeps `spares` workers forked ahead and starts a new server when the old one
died.
"""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import threading
from collections import deque
from collections.abc import Callable, Sequence
from typing import Any

from ombrix.workers import sandbox as sandboxing
from ombrix.workers.forkserver import MESSAGE_SIZE

# How long the host waits for the server to answer a fork, and for the
# server to go away on close before it is killed.
FORK_TIMEOUT = 10.0
CLOSE_TIMEOUT = 2.0
# The server's message that stands for "the server is gone" to waiters.
_SERVER_GONE = -signal.SIGKILL


class ForkServerError(RuntimeError):
    """The fork server could not start a worker."""


def _host_pid(pidfd: int, fallback: int) -> int:
    """The pid of a pidfd's process as this process sees it (a sandboxed
    worker's own pid is one of its PID namespace)."""
    try:
        with open(f"/proc/self/fdinfo/{pidfd}") as info:
            for line in info:
                if line.startswith("Pid:"):
                    pid = int(line.split()[1])
                    return pid if pid > 0 else fallback
    except OSError:
        pass
    return fallback


def returncode_of(status: int) -> int:
    """A raw wait status as subprocess reports it (negative for a signal)."""
    return os.waitstatus_to_exitcode(status)


class ForkedWorker:
    """One worker forked by the server; the host owns its pipe ends."""

    def __init__(self, server: ForkServer, ident: int) -> None:
        self.server = server
        self.ident = ident
        self.pid = 0
        self.request_fd = -1
        self.response_fd = -1
        self.stray_fd = -1
        self._pidfd = -1
        self._returncode: int | None = None
        self.error: str | None = None
        self.forked = threading.Event()
        self.exited = threading.Event()
        self._lock = threading.Lock()

    # -- set by the server's reader thread --------------------------------
    def _on_forked(self, pid: int, pidfd: int) -> None:
        with self._lock:
            self._pidfd = pidfd
            self.pid = _host_pid(pidfd, pid)
        self.forked.set()

    def _on_exit(self, returncode: int, error: str | None = None) -> None:
        with self._lock:
            if self._returncode is None:
                self._returncode = returncode
            if error is not None:
                self.error = error
            if self._pidfd >= 0:
                os.close(self._pidfd)
                self._pidfd = -1
        self.forked.set()
        self.exited.set()

    # -- the worker handle -------------------------------------------------
    @property
    def returncode(self) -> int | None:
        return self._returncode

    def poll(self) -> int | None:
        return self._returncode

    def wait(self, timeout: float | None = None) -> int | None:
        """Waits for the exit status (None when `timeout` passed first)."""
        self.exited.wait(timeout)
        return self._returncode

    def wait_forked(self, timeout: float = FORK_TIMEOUT) -> None:
        if not self.forked.wait(timeout):
            self.kill()
            raise ForkServerError("the fork server did not answer in time")
        if self.pid == 0:
            raise ForkServerError(f"the fork server could not start a worker: {self.error or 'it exited'}")

    def kill(self) -> None:
        """SIGKILL to the worker's whole process group."""
        with self._lock:
            if self._returncode is not None:
                return
            if self._pidfd >= 0:
                # Straight to the leader, whatever state the server is in.
                try:
                    signal.pidfd_send_signal(self._pidfd, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.server._send({"op": "kill", "id": self.ident})

    def close(self) -> None:
        """Closes the host's pipe ends."""
        for name in ("request_fd", "response_fd", "stray_fd"):
            fd = getattr(self, name)
            if fd >= 0:
                setattr(self, name, -1)
                os.close(fd)


class ForkServer:
    """One fork server process and the thread that reads its messages."""

    def __init__(
        self,
        setup: dict[str, Any],
        *,
        python: str = sys.executable,
        wrap: Callable[[list[str]], list[str]] | None = None,
    ) -> None:
        self._lock = threading.Lock()
        self._workers: dict[int, ForkedWorker] = {}
        self._next = 0
        self._closed = False
        self.gone = threading.Event()
        host, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self._sock = host
        command = [python, "-P", "-m", "ombrix.workers.forkserver", str(child.fileno())]
        if wrap is not None:
            command = wrap(command)
        try:
            self.process = subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                pass_fds=(child.fileno(),),
                start_new_session=True,
            )
        except BaseException:
            host.close()
            raise
        finally:
            child.close()
        self._sock.send(json.dumps(setup).encode())
        self._reader = threading.Thread(target=self._read, name="fork-server-reader", daemon=True)
        self._reader.start()

    @property
    def alive(self) -> bool:
        return not self.gone.is_set() and not self._closed

    def _send(self, message: dict[str, Any], fds: Sequence[int] = ()) -> bool:
        data = json.dumps(message).encode()
        try:
            if fds:
                socket.send_fds(self._sock, [data], list(fds))
            else:
                self._sock.send(data)
        except OSError:
            return False
        return True

    def fork(self) -> ForkedWorker:
        """Asks for a new worker; its handle is ready once `wait_forked()` returns."""
        with self._lock:
            if self._closed or self.gone.is_set():
                raise ForkServerError("the fork server is not running")
            self._next += 1
            worker = ForkedWorker(self, self._next)
            self._workers[worker.ident] = worker
        request_r, request_w = os.pipe()
        response_r, response_w = os.pipe()
        stray_r, stray_w = os.pipe()
        worker.request_fd, worker.response_fd, worker.stray_fd = request_w, response_r, stray_r
        try:
            sent = self._send({"op": "fork", "id": worker.ident}, (request_r, response_w, stray_w))
        finally:
            # The descriptors travel in the message: the host's copies go now,
            # so the worker's exit shows as the end of its output.
            for fd in (request_r, response_w, stray_w):
                os.close(fd)
        if not sent:
            self._forget(worker.ident)
            worker._on_exit(_SERVER_GONE, "the fork server is gone")
        return worker

    def _forget(self, ident: int) -> ForkedWorker | None:
        with self._lock:
            return self._workers.pop(ident, None)

    def _read(self) -> None:
        while True:
            try:
                data, fds, _, _ = socket.recv_fds(self._sock, MESSAGE_SIZE, 1)
            except OSError:
                data, fds = b"", []
            if not data:
                for fd in fds:
                    os.close(fd)
                break
            message = json.loads(data)
            op, ident = message["op"], int(message["id"])
            if op == "forked":
                with self._lock:
                    worker = self._workers.get(ident)
                if worker is None or not fds:
                    for fd in fds:
                        os.close(fd)
                    continue
                worker._on_forked(int(message["pid"]), fds[0])
            else:
                for fd in fds:
                    os.close(fd)
                worker = self._forget(ident)
                if worker is not None:
                    if op == "exited":
                        worker._on_exit(returncode_of(int(message["status"])))
                    else:
                        worker._on_exit(_SERVER_GONE, str(message.get("error")))
        # The server is gone, and every worker with it: in a sandbox the
        # PID namespace dies with its first process; otherwise each worker
        # has the server's death as its parent-death signal.
        self.gone.set()
        with self._lock:
            orphans = list(self._workers.values())
            self._workers.clear()
        for worker in orphans:
            worker._on_exit(_SERVER_GONE, "the fork server is gone")

    def close(self) -> None:
        """Ends the server and every worker it forked; idempotent."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.process.wait(CLOSE_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self._reader.join(CLOSE_TIMEOUT)
        self._sock.close()


class ForkLauncher:
    """Starts workers by forking them from a warm server, `spares` ahead."""

    def __init__(
        self,
        setup: dict[str, Any],
        *,
        spares: int = 1,
        sandbox: sandboxing.Sandbox | None = None,
    ) -> None:
        if spares < 0:
            raise ValueError("spares must be >= 0")
        self.setup = setup
        self.spares = spares
        self.sandbox = sandbox
        self._lock = threading.Lock()
        self._server: ForkServer | None = None
        self._ready: deque[ForkedWorker] = deque()
        self._closed = False

    def _running_server(self) -> ForkServer:
        server = self._server
        if server is None or not server.alive:
            if server is not None:
                server.close()
            setup = dict(self.setup)
            wrap = None
            if self.sandbox is not None:
                setup["scratch_root"] = sandboxing.SCRATCH
                setup["cwd"] = sandboxing.SCRATCH
                wrap = self.sandbox.wrap
            server = self._server = ForkServer(setup, wrap=wrap)
            self._ready.clear()
        return server

    def start(self) -> ForkedWorker:
        """A forked worker, ready for its first request (blocking)."""
        for attempt in range(2):
            with self._lock:
                if self._closed:
                    raise ForkServerError("the launcher is closed")
                server = self._running_server()
                worker = self._ready.popleft() if self._ready else server.fork()
                while len(self._ready) < self.spares:
                    self._ready.append(server.fork())
            try:
                worker.wait_forked()
            except ForkServerError:
                worker.close()
                if attempt or server.alive:
                    raise
                continue  # the server died under us: one retry on a new one
            return worker
        raise AssertionError("unreachable")

    def close(self) -> None:
        with self._lock:
            self._closed = True
            spares = list(self._ready)
            self._ready.clear()
            server, self._server = self._server, None
        for worker in spares:
            worker.close()
        if server is not None:
            server.close()
        if self.sandbox is not None:
            self.sandbox.close()
