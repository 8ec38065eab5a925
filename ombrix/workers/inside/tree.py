"""Killing a process with its whole tree: the one way the host's launchers
and the fork server end a worker, an orphan or a server.

Standard library only, and nothing of the host side: the fork server runs it
inside the workers' world, the launchers on the host.
"""
from __future__ import annotations

import os
import signal

# Passes of the tree kill: each kills every live descendant found; what they
# forked before dying is found by the next pass.
KILL_PASSES = 64
# Descendants one scan collects at most (a fork bomb is killed pass by pass).
_SCAN_LIMIT = 4096


def kill_tree(pid: int, pidfd: int = -1, *, exited: bool = False) -> None:
    """SIGKILLs a process (through its pidfd when it has one), its process
    group and every descendant.

    Workers are child subreapers, so whatever their descendants leave behind
    (double forks, setsid) is reparented to them and stays in their tree.
    The process is stopped first: it forks nothing more, stays alive to adopt
    what its killed descendants leave, and keeps its pid and process group
    from being reused; its tree is then killed pass by pass until a pass
    finds nothing alive, and the group and the process last.  One that has
    exited already (not reaped yet) still pins its group id; one that has
    been reaped (its pidfd says so) is left alone, since its pid and group id
    may be another process's by now.  The caller must be the process's parent
    or hold its pidfd, so that `pid` cannot have been reused.  `exited` says
    the process has exited (not reaped): its descendants went to their
    subreaper then, and only its group is left to kill.
    """
    if exited:
        _kill_group(pid)
        return
    if not _signal(pid, pidfd, signal.SIGSTOP):
        return
    for _ in range(KILL_PASSES):
        alive = [p for p in descendants(pid) if alive_pid(p)]
        if not alive:
            break
        for p in alive:
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass
    _kill_group(pid)
    _signal(pid, pidfd, signal.SIGKILL)


def _kill_group(pid: int) -> None:
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def _signal(pid: int, pidfd: int, signum: int) -> bool:
    """False when the process is reaped (or out of reach)."""
    try:
        if pidfd >= 0:
            signal.pidfd_send_signal(pidfd, signum)
        else:
            os.kill(pid, signum)
    except (ProcessLookupError, PermissionError):
        return False
    return True


def alive_pid(pid: int) -> bool:
    """False for a zombie or a process that is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] not in (b"Z", b"X")
    except (OSError, IndexError):
        return False


def children(pid: int) -> list[int]:
    """The children of a single-threaded process, zombies included."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children", "rb") as f:
            return [int(p) for p in f.read().split()]
    except (OSError, ValueError):
        return []


def descendants(pid: int) -> list[int]:
    """Every process below `pid` (children of all its threads, and theirs)."""
    found: list[int] = []
    todo = [pid]
    while todo and len(found) < _SCAN_LIMIT:
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
