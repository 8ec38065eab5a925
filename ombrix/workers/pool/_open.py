"""The open pools of this process.  They are closed at interpreter exit,
also those their owner dropped without closing: their workers and scratch
directories must not outlive the host.  Pools belong to the process that
made them: a forked child forgets them, so its exit neither closes nor
drains the parent's.
"""
from __future__ import annotations

import atexit
import os
from typing import Protocol


class Closable(Protocol):
    def close(self) -> None:
        """Ends it (idempotent); the pool closes its sessions when it closes."""


class OpenPool(Closable, Protocol):
    owner: int  # the pid of the process that made it


open_pools: set[OpenPool] = set()


@atexit.register
def _close_all() -> None:
    for pool in list(open_pools):
        if pool.owner == os.getpid():
            pool.close()


def _forget_all() -> None:
    open_pools.clear()


os.register_at_fork(after_in_child=_forget_all)
