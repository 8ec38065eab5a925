"""Worker processes: starting, limiting, killing with their whole tree, reaping.

This is the seam between the pool and whatever starts its workers.  The pool
talks to a worker only through a `WorkerHandle` and gets handles from a
`Launcher`; `SubprocessLauncher` starts `python -m ombrix.workers.inside.startup`
children with `subprocess`, and other launchers (a fork server, a sandbox)
provide their own while the pool stays the same.
"""
from __future__ import annotations

import math
import os
import queue
import resource
import select
import signal
import site
import subprocess
import sys
import threading
from collections.abc import Callable, Mapping
from concurrent.futures import Future
from dataclasses import dataclass, field
from pathlib import Path
from typing import Protocol, TypeVar

from ombrix.workers.inside.startup import Limits

__all__ = [
    "ChildSettings",
    "Launcher",
    "LauncherFactory",
    "Limits",
    "ProcessHandle",
    "SubprocessLauncher",
    "WorkerHandle",
    "minimal_env",
    "package_root",
]

_T = TypeVar("_T")


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


# Passes of the tree kill: each kills every live descendant found; what they
# forked before dying is found by the next pass.
_KILL_PASSES = 64


def kill_tree(pid: int, pidfd: int) -> None:
    """SIGKILLs a worker (through its pidfd when it has one), its process
    group and every descendant.

    Workers are child subreapers, so whatever their descendants leave behind
    (double forks, setsid) is reparented to them and stays in their tree.
    The worker is stopped first: it forks nothing more, stays alive to adopt
    what its killed descendants leave, and keeps its pid and process group
    from being reused; its tree is then killed pass by pass until a pass
    finds nothing alive, and the group and the worker last.  A worker that
    has exited already (not reaped yet) still pins its group id; one that
    has been reaped (its pidfd says so) is left alone, since its pid and
    group id may be another process's by now.
    """
    if not _signal_leader(pid, pidfd, signal.SIGSTOP):
        return
    for _ in range(_KILL_PASSES):
        alive = [p for p in _descendants(pid) if _alive(p)]
        if not alive:
            break
        for p in alive:
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    _signal_leader(pid, pidfd, signal.SIGKILL)


def _signal_leader(pid: int, pidfd: int, signum: int) -> bool:
    """False when the process is reaped (or out of reach)."""
    try:
        if pidfd >= 0:
            signal.pidfd_send_signal(pidfd, signum)
        else:
            os.kill(pid, signum)
    except (ProcessLookupError, PermissionError):
        return False
    return True


def _alive(pid: int) -> bool:
    """False for a zombie or a process that is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] not in (b"Z", b"X")
    except (OSError, IndexError):
        return False


def _descendants(pid: int) -> list[int]:
    found: list[int] = []
    todo = [pid]
    while todo and len(found) < 4096:
        parent = todo.pop()
        try:
            tids = os.listdir(f"/proc/{parent}/task")
        except OSError:
            continue
        for tid in tids:
            try:
                with open(f"/proc/{parent}/task/{tid}/children", "rb") as f:
                    kids = [int(k) for k in f.read().split()]
            except (OSError, ValueError):
                continue
            found.extend(kids)
            todo.extend(kids)
    return found


class _Spawner:
    """Runs process starts on one long-lived thread.

    The parent-death signal fires when the *thread* that forked the child
    ends, so workers must not be forked by a caller's short-lived thread.
    A job also runs to its end when its caller is interrupted meanwhile
    (KeyboardInterrupt): `orphan` then gets its result.
    """

    def __init__(self, name: str = "ombrix-pool-spawner") -> None:
        self._jobs: queue.SimpleQueue[tuple[Callable[[], object], Future[object]] | None] = queue.SimpleQueue()
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()
        self._name = name
        self._pid = os.getpid()

    def call(self, fn: Callable[[], _T], orphan: Callable[[_T], object] | None = None) -> _T:
        with self._lock:
            if self._pid != os.getpid():  # a child of os.fork(): the thread stayed in the parent
                self._jobs = queue.SimpleQueue()
                self._thread, self._pid = None, os.getpid()
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name=self._name, daemon=True)
                self._thread.start()
        future: Future[object] = Future()
        self._jobs.put((fn, future))
        try:
            return future.result()  # type: ignore[return-value]
        except BaseException:
            if orphan is not None:
                future.add_done_callback(lambda f: f.exception() is None and orphan(f.result()))  # type: ignore[arg-type]
            raise

    def _run(self) -> None:
        while (job := self._jobs.get()) is not None:
            fn, future = job
            try:
                future.set_result(fn())
            except BaseException as exc:  # handed to the caller
                future.set_exception(exc)

    def close(self) -> None:
        with self._lock:
            thread, self._thread = self._thread, None
        if thread is not None:
            self._jobs.put(None)
            thread.join()


class SubprocessLauncher:
    """Starts each worker as `python -P -m ombrix.workers.inside.startup` with
    `subprocess`, in a new process group, with the settings' limits, environment
    and working directory."""

    def __init__(self, settings: ChildSettings) -> None:
        self.settings = settings
        self._env = settings.environment()
        self._spawner = _Spawner()

    def start(self) -> WorkerHandle:
        return self._spawner.call(self._start, orphan=_discard)

    def _start(self) -> ProcessHandle:
        import json

        request_r, request_w = os.pipe()
        response_r, response_w = os.pipe()
        stray_r, stray_w = os.pipe()
        config = {
            "parent": os.getpid(),
            "fds": [request_r, response_w],
            "limits": self.settings.limits.to_config(),
        }
        try:
            proc = subprocess.Popen(
                [self.settings.python, "-P", "-m", "ombrix.workers.inside.startup", json.dumps(config)],
                stdin=subprocess.DEVNULL,
                stdout=stray_w,
                stderr=stray_w,
                pass_fds=(request_r, response_w),
                cwd=self.settings.cwd,
                env=self._env,
                # A new group, not a new session: a session is also a
                # scheduling group of its own, which doubles the latency of
                # every request on a busy machine.
                process_group=0,
            )
        except BaseException:
            for fd in (request_w, response_r, stray_r):
                os.close(fd)
            raise
        finally:
            for fd in (request_r, response_w, stray_w):
                os.close(fd)
        for fd in (request_w, response_r, stray_r):
            os.set_blocking(fd, False)
        # The child is not reaped before the handle is: the pid is its own.
        try:
            pidfd = os.pidfd_open(proc.pid)
        except OSError:
            proc.kill()
            proc.wait()
            for fd in (request_w, response_r, stray_r):
                os.close(fd)
            raise
        return ProcessHandle(proc.pid, request_w, response_r, stray_r, _popen_waiter(proc), pidfd)

    def close(self) -> None:
        self._spawner.close()


def _discard(handle: ProcessHandle) -> None:
    """Ends a worker started for a caller that is gone."""
    handle.kill()
    handle.wait(None)
    handle.close()


def _popen_waiter(proc: subprocess.Popen[bytes]) -> Callable[[float | None], int | None]:
    def wait(timeout: float | None) -> int | None:
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    return wait
