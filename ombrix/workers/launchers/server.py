"""The host's connection to one fork server: start it, ask it for forks,
read its messages, and the handle on a worker it forked.

A `ForkedHandle` is the pool's handle on one forked worker: the host holds
the ends of its three pipes and a pidfd of it, learns its exit status from
the server (the host is not its parent) and kills it, its group and its tree
itself, never through the server: a script may have stopped the server, and
no request waits on it beyond a bound.
"""

from __future__ import annotations

import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from ombrix.workers.inside.forkserver import MESSAGE_SIZE, send_message
from ombrix.workers.inside.tree import kill_tree
from ombrix.workers.launchers.handle import ProcessHandle

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

    def on_forked(self, pid: int, pidfd: int, *, namespaced: bool) -> None:
        """`namespaced`: `pid` is a pid of another PID namespace (a sandbox's)."""
        with self.lock:
            self.pidfd = pidfd
            self.pid = _host_pid(pidfd, pid) if namespaced else pid
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

    def __init__(
        self, server: ForkServer, fork: _Fork, fds: tuple[int, int, int], pidfd: int, *, one_request: bool = False
    ) -> None:
        super().__init__(fork.pid, *fds, waiter=fork.wait, pidfd=pidfd)
        # A worker that serves one request is never checked for reuse: the
        # server kills what it orphaned when it reaps it, without the wait
        # for the server's pending forks that telling them apart needs.
        self._one_request = one_request
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
        if reason is None and not self._one_request and self._server.strays():
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
        # A wrapped server (a sandbox's) may see pids of a namespace of its own.
        self._namespaced = wrap is not None
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
            kill_tree(pid)
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
                fork.on_forked(int(message["pid"]), fds[0], namespaced=self._namespaced)
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
            # The process started is the server or, in a sandbox, bwrap with
            # the server below it: its tree holds the server and its workers.
            # Not reaped yet, so its pid is still its own.
            kill_tree(self.process.pid)
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
