"""The plain launcher: each worker is a new `python -m ombrix.workers.inside.startup`
process started with `subprocess`."""
from __future__ import annotations

import json
import os
import subprocess
from collections.abc import Callable

from ombrix.workers.launchers.handle import (
    ChildSettings,
    ProcessHandle,
    WorkerHandle,
)
from ombrix.workers.launchers.retire import end_worker
from ombrix.workers.launchers.spawner import Spawner

__all__ = ["SubprocessLauncher"]


class SubprocessLauncher:
    """Starts each worker as `python -P -m ombrix.workers.inside.startup` with
    `subprocess`, in a new process group, with the settings' limits, environment
    and working directory."""

    def __init__(self, settings: ChildSettings) -> None:
        self.settings = settings
        self._env = settings.environment()
        self._spawner = Spawner()

    def start(self) -> WorkerHandle:
        return self._spawner.call(self._start, orphan=_discard)

    def _start(self) -> ProcessHandle:
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
    end_worker(handle)
    handle.close()


def _popen_waiter(proc: subprocess.Popen[bytes]) -> Callable[[float | None], int | None]:
    def wait(timeout: float | None) -> int | None:
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    return wait
