"""Host side of the fork server: start it, fork workers through it, keep spares ready, kill and reap.

A `ForkServer` is one server process (optionally inside a sandbox) and a
thread that reads its messages.  A `ForkedHandle` is the pool's handle on one
forked worker: the host holds the ends of its three pipes and a pidfd of it,
learns its exit status from the server (the host is not its parent) and
kills it, its group and its tree itself, never through the server: a script
may have stopped the server, and no request waits on it beyond a bound.  A
`ForkLauncher` keeps `spares` workers forked ahead and starts a new server
when the old one died, or stopped answering.
"""

from __future__ import annotations

import json
import logging
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from ombrix.workers.inside.forkserver import MESSAGE_SIZE, send_message
from ombrix.workers.launchers.process import (
    ChildSettings,
    ProcessHandle,
    WorkerHandle,
    _Spawner,
    kill_tree,
)
from ombrix.workers.launchers.sandbox import SCRATCH, Sandbox

if TYPE_CHECKING:
    from ombrix.workers.pool import PoolOptions

# Messages about the workers go where the pool's own do.
logger = logging.getLogger("ombrix.workers.pool")

# How long the host waits for a server to answer a fork, while it starts up
# (imports and warms itself) and once it has announced itself, before it
# counts as hung and is killed and replaced; a stopped server is replaced at
# once.  How long a server may take to go away on close before it is killed.
FORK_TIMEOUT = 10.0
ANSWER_TIMEOUT = 2.0
CLOSE_TIMEOUT = 2.0
# How long a check between requests waits for the server's pending forks.
STRAY_WAIT = 0.2
_CHECK_EVERY = 0.05
# Workers a start tries (spares found dead, a server found dead) before it fails.
START_ATTEMPTS = 4
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


def _open_or_none(path: str) -> int:
    try:
        return os.open(path, os.O_RDONLY)
    except OSError:
        return -1


class _Fork:
    """One fork asked of the server: filled in by the server's messages."""

    def __init__(self, ident: int) -> None:
        self.ident = ident
        self.pid = 0
        self.pidfd = -1
        self.returncode: int | None = None
        self.error: str | None = None
        self.forked = threading.Event()
        self.exited = threading.Event()
        self.lock = threading.Lock()

    def on_forked(self, pid: int, pidfd: int) -> None:
        with self.lock:
            self.pidfd = pidfd
            self.pid = _host_pid(pidfd, pid)
        self.forked.set()

    def on_exit(self, returncode: int, error: str | None = None) -> None:
        with self.lock:
            if self.returncode is None:
                self.returncode = returncode
            if error is not None:
                self.error = error
            if self.pidfd >= 0:
                os.close(self.pidfd)
                self.pidfd = -1
        self.forked.set()
        self.exited.set()

    def wait(self, timeout: float | None) -> int | None:
        self.exited.wait(timeout)
        return self.returncode

    def running(self) -> bool:
        """Forked and not ended: the pidfd turns readable at the exit, before
        the server's report of it arrives."""
        with self.lock:
            if self.pidfd < 0 or self.returncode is not None:
                return False
            # poll, not select: a host with many open files has descriptors
            # past select's limit of 1024.
            poller = select.poll()
            poller.register(self.pidfd, select.POLLIN)
            return not poller.poll(0)

    def dup_pidfd(self) -> int:
        """A pidfd of the worker of the caller's own, or -1 once it has
        exited and the server reported it."""
        with self.lock:
            return os.dup(self.pidfd) if self.pidfd >= 0 else -1


class ForkedHandle(ProcessHandle):
    """The pool's handle on a worker forked by the server.

    The host is not the worker's parent: its exit status comes from the
    server, and the host kills the worker, its group and its tree itself
    (through its own pidfd and the host's process tree), so a kill never
    waits for the server.  `pid` is the worker's pid on the host, also for a
    sandboxed worker.
    """

    def __init__(self, server: ForkServer, fork: _Fork, fds: tuple[int, int, int], pidfd: int) -> None:
        super().__init__(fork.pid, *fds, waiter=fork.wait, pidfd=pidfd)
        self._server = server
        self._fork = fork

    def kill(self) -> None:
        with self._lock:
            # Reaped by the server, which killed its group then: its pid
            # may be another process's by now.
            if self._closed or self._fork.exited.is_set():
                return
            kill_tree(self.pid, self.pidfd)

    def ended(self, timeout: float | None = None) -> bool:
        return self._fork.exited.is_set() or super().ended(timeout)

    def wait(self, timeout: float | None = None) -> int | None:
        # The status comes from the server: a stopped one sends none.
        return super().wait(0 if self._server.stopped() else timeout)

    def leftovers(self) -> str | None:
        reason = super().leftovers()
        if reason is None and self._server.strays():
            return "processes orphaned to the fork server"
        return reason


class ForkServer:
    """One fork server process and the thread that reads its messages.

    `setup` is what every forked worker applies (limits, env, cwd); `env` is
    the server's own environment; `wrap` turns the server's command line into
    the one to run (the sandbox's).
    """

    def __init__(
        self,
        setup: dict[str, Any],
        *,
        env: Mapping[str, str],
        cwd: str,
        python: str = sys.executable,
        wrap: Callable[[list[str]], list[str]] | None = None,
        spawn: Callable[[Callable[[], subprocess.Popen[bytes]]], subprocess.Popen[bytes]] = lambda f: f(),
    ) -> None:
        self._lock = threading.Lock()
        self._forks: dict[int, _Fork] = {}
        self._next = 0
        self._closed = False
        self.gone = threading.Event()
        # The server's own pidfd and host pid once it announced itself, and
        # its children file (orphans left to it are seen there).
        self.pidfd = -1
        self.host_pid = -1
        self._children_fd = -1
        self.announced = threading.Event()
        # What the server itself says when it fails (its workers' stderr is
        # their stray-output pipe), for the error of the start that finds it gone.
        self._stderr = tempfile.TemporaryFile()
        host, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self._sock = host
        command = [python, "-P", "-m", "ombrix.workers.inside.forkserver", str(child.fileno())]
        if wrap is not None:
            command = wrap(command)
        try:
            # The parent-death signals (bwrap's --die-with-parent) follow
            # the thread that forks: `spawn` runs this on a long-lived one.
            self.process = spawn(
                lambda: subprocess.Popen(
                    command,
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=self._stderr,
                    pass_fds=(child.fileno(),),
                    cwd=cwd,
                    env=dict(env),
                    start_new_session=True,
                )
            )
        except BaseException:
            host.close()
            self._stderr.close()
            raise
        finally:
            child.close()
        self.send(setup)
        self._reader = threading.Thread(target=self._read, name="ombrix-fork-server-reader", daemon=True)
        self._reader.start()

    @property
    def alive(self) -> bool:
        return not self.gone.is_set() and not self._closed

    def send(self, message: dict[str, Any], fds: Sequence[int] = ()) -> bool:
        # Never blocks: a stopped server must not hold a request up.
        return send_message(self._sock, message, fds, socket.MSG_DONTWAIT)

    def stopped(self) -> bool:
        """The server is stopped (SIGSTOP, a tracer): it answers nothing."""
        if self.host_pid < 0:
            return False
        try:
            with open(f"/proc/{self.host_pid}/stat", "rb") as f:
                return f.read().rsplit(b")", 1)[1].split()[0] in (b"T", b"t")
        except (OSError, IndexError):
            return False

    def strays(self) -> bool:
        """Whether the server holds children that are none of its workers:
        orphans a worker's tree left it (a script may undo its worker's
        subreaper flag).  They are killed here.  A child not known yet may
        be a fork the server has not answered: such forks get a short while
        to be answered first (a stopped server answers none: then the
        orphans are left to the server, killed when it next runs)."""
        deadline = time.monotonic() + STRAY_WAIT
        while True:
            with self._lock:
                if self._children_fd < 0 or self._closed:
                    return False
                try:
                    children = {int(p) for p in os.pread(self._children_fd, 65536, 0).split()}
                except (OSError, ValueError):
                    return False
                pending = [fork for fork in self._forks.values() if not fork.forked.is_set()]
                unknown = children.difference(fork.pid for fork in self._forks.values())
            if not unknown:
                return False
            if not pending:
                break
            if not pending[0].forked.wait(deadline - time.monotonic()):
                return len(unknown) > len(pending)
        for pid in unknown:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return True

    def answer(self, fork: _Fork) -> bool:
        """Waits for the server's answer to a fork: False when it is gone,
        stopped, or has not answered within the bound."""
        waited = 0.0
        while not fork.forked.wait(_CHECK_EVERY):
            waited += _CHECK_EVERY
            limit = ANSWER_TIMEOUT if self.announced.is_set() else FORK_TIMEOUT
            if waited >= limit or self.stopped():
                return False
        return True

    def fork(self) -> tuple[_Fork, tuple[int, int, int]]:
        """Asks for a new worker: its record, filled in when the server
        answers, and the host's ends of its request, response and stray
        output pipes."""
        with self._lock:
            if self._closed or self.gone.is_set():
                raise ForkServerError("the fork server is not running")
            self._next += 1
            fork = _Fork(self._next)
            self._forks[fork.ident] = fork
        request_r, request_w = os.pipe()
        response_r, response_w = os.pipe()
        stray_r, stray_w = os.pipe()
        try:
            sent = self.send({"op": "fork", "id": fork.ident}, (request_r, response_w, stray_w))
        finally:
            # The descriptors travel in the message: the host's copies go now,
            # so the worker's exit shows as the end of its output.
            for fd in (request_r, response_w, stray_w):
                os.close(fd)
        if not sent:  # gone, or not reading (stopped): either way no worker comes
            self._forget(fork.ident)
            for fd in (request_w, response_r, stray_r):
                os.close(fd)
            raise ForkServerError("the fork server is not taking requests")
        return fork, (request_w, response_r, stray_r)

    def _forget(self, ident: int) -> _Fork | None:
        with self._lock:
            return self._forks.pop(ident, None)

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
            if op == "server" and fds and self.pidfd < 0:
                self.pidfd = fds[0]
                for fd in fds[1:]:
                    os.close(fd)
                pid = self.host_pid = _host_pid(self.pidfd, -1)
                with self._lock:
                    if not self._closed:
                        self._children_fd = _open_or_none(f"/proc/{pid}/task/{pid}/children")
                self.announced.set()
            elif op == "forked":
                with self._lock:
                    fork = self._forks.get(ident)
                if fork is None or not fds:
                    for fd in fds:
                        os.close(fd)
                    continue
                fork.on_forked(int(message["pid"]), fds[0])
            else:
                for fd in fds:
                    os.close(fd)
                fork = self._forget(ident)
                if fork is not None:
                    if op == "exited":
                        fork.on_exit(os.waitstatus_to_exitcode(int(message["status"])))
                    else:
                        fork.on_exit(_SERVER_GONE, str(message.get("error")))
        # The server is gone, and every worker with it: in a sandbox the
        # PID namespace dies with its first process; otherwise each worker
        # has the server's death as its parent-death signal.
        self.gone.set()
        with self._lock:
            orphans = list(self._forks.values())
            self._forks.clear()
        gone = self._last_words()
        for fork in orphans:
            fork.on_exit(_SERVER_GONE, gone)

    def _last_words(self) -> str:
        try:
            size = os.fstat(self._stderr.fileno()).st_size
            text = os.pread(self._stderr.fileno(), 2048, max(0, size - 2048)).decode(errors="replace")
        except (OSError, ValueError):
            text = ""
        last = next((line for line in reversed(text.splitlines()) if line.strip()), "")
        return f"the fork server is gone: {last}" if last else "the fork server is gone"

    def close(self, *, kill: bool = False) -> None:
        """Ends the server and every worker it forked, at once with `kill`
        (or when it is stopped); idempotent."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.process.wait(0 if kill or self.stopped() else CLOSE_TIMEOUT)
        except subprocess.TimeoutExpired:
            # The server's own pidfd reaches it inside a sandbox too; the
            # group is bwrap's (or the server's) outside it.
            if self.pidfd >= 0:
                try:
                    signal.pidfd_send_signal(self.pidfd, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait()
        self._reader.join(CLOSE_TIMEOUT)
        self._sock.close()
        self._stderr.close()
        with self._lock:
            if self._children_fd >= 0:
                os.close(self._children_fd)
                self._children_fd = -1
        if self.pidfd >= 0:
            os.close(self.pidfd)
            self.pidfd = -1


class ForkLauncher:
    """Starts workers by forking them from a warm server, `spares` ahead.

    With a `sandbox` the server runs inside it, and each worker's cwd, HOME
    and TMPDIR are its own directory under the sandbox's scratch directory.
    """

    def __init__(
        self,
        settings: ChildSettings,
        *,
        spares: int = 1,
        sandbox: Sandbox | None = None,
    ) -> None:
        if spares < 0:
            raise ValueError("spares must be >= 0")
        self.settings = settings
        self.spares = spares
        self.sandbox = sandbox
        self._env = settings.environment()
        self._setup: dict[str, Any] = {
            "limits": settings.limits.to_config(),
            "env": self._env,
            "cwd": settings.cwd,
        }
        self._spawner = _Spawner()
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
                return ForkedHandle(server, fork, fds, pidfd)
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


def check_fork_options(options: PoolOptions) -> None:
    """Checks the pool options of fresh and sandboxed workers."""
    for name in ("fresh", "sandbox"):
        if not isinstance(getattr(options, name), bool):
            raise TypeError(f"{name} must be a bool, not {type(getattr(options, name)).__name__}")
    if options.spares is not None:
        if not isinstance(options.spares, int) or isinstance(options.spares, bool):
            raise TypeError(f"spares must be an int or None, not {type(options.spares).__name__}")
        if options.spares < 0:
            raise ValueError(f"spares must be at least 0, not {options.spares}")
    readable = options.readable
    if isinstance(readable, str | bytes | os.PathLike) or not isinstance(readable, Sequence):
        raise TypeError("readable must be a sequence of paths")
    for path in readable:
        if not isinstance(path, str | os.PathLike):
            raise TypeError(f"readable paths must be str or os.PathLike, not {type(path).__name__}")
    if readable and not options.sandbox:
        raise ValueError("readable applies to sandboxed workers only: pass sandbox=True")
    if options.sandbox and options.cwd is not None:
        raise ValueError("a sandboxed worker runs in its own scratch directory: cwd cannot be combined with sandbox")


def fork_launcher(options: PoolOptions) -> Callable[[ChildSettings], ForkLauncher] | None:
    """The launcher factory of a pool with fresh or sandboxed workers, or
    spares; None for a pool of plain subprocess workers.  The sandbox is made
    (and bwrap looked for) at once, so a pool that cannot run fails to start."""
    if not (options.fresh or options.sandbox or options.spares):
        return None
    spares = 1 if options.spares is None else options.spares
    sandbox = None
    if options.sandbox:
        sandbox = Sandbox([os.fspath(p) for p in options.readable], workers=options.size + spares)
    return lambda settings: ForkLauncher(settings, spares=spares, sandbox=sandbox)
