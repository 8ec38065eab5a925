"""The seam between the pool and whatever starts its workers.

The pool talks to a worker only through a `WorkerHandle` and gets handles
from a `Launcher`; `ProcessHandle` is the handle on a worker process of this
machine, shared by the launchers here.  `ChildSettings` say how workers start.
"""
from __future__ import annotations

import math
import os
import resource
import select
import site
import sys
import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Protocol

from ombrix.workers.inside.startup import Limits
from ombrix.workers.inside.tree import kill_tree

__all__ = [
    "ChildSettings",
    "Launcher",
    "LauncherFactory",
    "Limits",
    "ProcessHandle",
    "WorkerHandle",
    "minimal_env",
    "package_root",
]


class WorkerHandle(Protocol):
    """One started worker as the pool sees it.

    The pool writes requests to `request_fd` and reads responses from
    `response_fd` (both non-blocking); `stray_fd` (non-blocking) carries what
    the worker writes to its fds 1 and 2; `pidfd` (-1 when there is none)
    turns readable when the worker has exited, even while something it
    started holds its answer pipe open.  The pool never signals or reaps the
    process itself: it calls these methods.
    """

    pid: int
    request_fd: int
    response_fd: int
    stray_fd: int
    pidfd: int

    @property
    def returncode(self) -> int | None:
        """The exit status once reaped (negative for a signal), else None."""

    def kill(self) -> None:
        """SIGKILLs the worker, its process group and every descendant, also
        after the worker has ended by itself (as long as it is not reaped)."""

    def ended(self, timeout: float | None = None) -> bool:
        """Waits up to `timeout` seconds for the worker to exit, without
        reaping it; True once it has."""

    def wait(self, timeout: float | None = None) -> int | None:
        """Reaps the worker; returns its status, or None if it is still
        running (or its status is not known) when `timeout` seconds have
        passed."""

    def leftovers(self) -> str | None:
        """What the worker has left running between requests (threads, child
        processes), described for the log; None when it is clean."""

    def limit_cpu(self, seconds: int) -> None:
        """Lets the worker use `seconds` more CPU seconds from now on."""

    def close(self) -> None:
        """Closes the host's descriptors of this worker (idempotent)."""


class Launcher(Protocol):
    """Starts workers for a pool."""

    def start(self) -> WorkerHandle:
        """Starts one worker (blocking; async callers run it in a thread)."""

    def close(self) -> None:
        """Releases what the launcher holds; workers are closed separately."""


@dataclass(frozen=True)
class ChildSettings:
    """How workers are started: limits, environment, working directory."""

    cwd: str
    limits: Limits = field(default_factory=Limits)
    env: Mapping[str, str] | None = None  # None: minimal_env(cwd)
    python: str = sys.executable

    def environment(self) -> dict[str, str]:
        env = minimal_env(self.cwd) if self.env is None else dict(self.env)
        root = package_root()
        if root not in _default_paths():
            paths = env.get("PYTHONPATH")
            env["PYTHONPATH"] = root if not paths else root + os.pathsep + paths
        return env


LauncherFactory = Callable[[ChildSettings], Launcher]


def minimal_env(home: str) -> dict[str, str]:
    """The environment workers get by default: a search path, a UTF-8
    locale and HOME, and none of the host's other variables."""
    return {
        "PATH": os.environ.get("PATH", os.defpath),
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        "HOME": home,
    }


def package_root() -> str:
    """The directory the host imports the `ombrix` package from."""
    return str(Path(__file__).resolve().parents[3])


def _default_paths() -> set[str]:
    return {str(Path(p).resolve()) for p in site.getsitepackages()}


class ProcessHandle:
    """A worker process on this machine, leading its own process group.

    `waiter(timeout)` reaps it and returns its status, or None while it runs.
    `pidfd` (owned by the handle from now on) refers to the process: kills
    go through it, so they never reach a reused pid.
    """

    def __init__(
        self,
        pid: int,
        request_fd: int,
        response_fd: int,
        stray_fd: int,
        waiter: Callable[[float | None], int | None],
        pidfd: int = -1,
    ) -> None:
        self.pid = pid
        self.request_fd = request_fd
        self.response_fd = response_fd
        self.stray_fd = stray_fd
        self.pidfd = pidfd
        self._waiter = waiter
        self._returncode: int | None = None
        self._closed = False
        self._lock = threading.Lock()
        # Kept open so the check between requests costs two system calls:
        # the task directory's link count is the thread count plus two, and
        # the main thread's children file lists its child processes.
        self._task_fd = _open_or_none(f"/proc/{pid}/task", os.O_RDONLY | os.O_DIRECTORY)
        self._children_fd = _open_or_none(f"/proc/{pid}/task/{pid}/children", os.O_RDONLY)

    @property
    def returncode(self) -> int | None:
        return self._returncode

    def kill(self) -> None:
        with self._lock:
            if self._returncode is not None or self._closed:
                return
            kill_tree(self.pid, self.pidfd)

    def ended(self, timeout: float | None = None) -> bool:
        if self._returncode is not None:
            return True
        if self.pidfd < 0:
            return self.wait(timeout) is not None
        return _readable(self.pidfd, timeout)

    def wait(self, timeout: float | None = None) -> int | None:
        if self._returncode is None:
            code = self._waiter(timeout)
            with self._lock:
                if self._returncode is None:
                    self._returncode = code
        return self._returncode

    def leftovers(self) -> str | None:
        if self._task_fd is None or self._children_fd is None:
            return None
        try:
            threads = os.fstat(self._task_fd).st_nlink - 2
            if threads > 1:
                return f"{threads} threads running"
            children = os.pread(self._children_fd, 256, 0)
        except OSError:
            return "process gone"
        if children.strip():
            return f"child processes running ({children.decode().strip()})"
        return None

    def limit_cpu(self, seconds: int) -> None:
        try:
            with open(f"/proc/{self.pid}/stat", "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
            used = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            hard = resource.prlimit(self.pid, resource.RLIMIT_CPU)[1]
            soft = math.ceil(used) + seconds
            if hard != resource.RLIM_INFINITY:
                soft = min(soft, hard)
            resource.prlimit(self.pid, resource.RLIMIT_CPU, (soft, hard))
        except (OSError, IndexError, ValueError):
            pass  # the worker is gone; the request will see it

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
        fds = (self.request_fd, self.response_fd, self.stray_fd, self._task_fd, self._children_fd, self.pidfd)
        for fd in fds:
            if fd is not None and fd >= 0:
                try:
                    os.close(fd)
                except OSError:
                    pass


def _open_or_none(path: str, flags: int) -> int | None:
    try:
        return os.open(path, flags)
    except OSError:
        return None


def _readable(fd: int, timeout: float | None) -> bool:
    poller = select.poll()  # not select(): the host may hold fds past 1024
    poller.register(fd, select.POLLIN)
    return bool(poller.poll(None if timeout is None else max(0, math.ceil(timeout * 1000))))
