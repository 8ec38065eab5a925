"""The one place a pool's launcher is chosen from its options.

`choose_launcher` also refuses the combinations that would silently drop an
option: a caller's launcher starts workers its own way (fresh, spares and
the sandbox would be ignored), `readable` means nothing outside a sandbox,
and a sandboxed worker's working directory is its own scratch directory.
"""
from __future__ import annotations

import os
from collections.abc import Sequence

from ombrix.workers.launchers.fork import ForkLauncher
from ombrix.workers.launchers.handle import ChildSettings, LauncherFactory
from ombrix.workers.launchers.process import SubprocessLauncher
from ombrix.workers.launchers.retire import PENDING_LIMIT
from ombrix.workers.launchers.sandbox import Sandbox


def choose_launcher(
    launcher: LauncherFactory | None,
    *,
    workers: int,
    fresh: bool,
    spares: int | None,
    sandbox: bool,
    readable: Sequence[str | os.PathLike[str]],
    cwd_given: bool,
) -> LauncherFactory:
    """The factory of the launcher that starts `workers` workers at a time
    as the options say: the caller's `launcher`, the fork launcher (fresh or
    sandboxed workers, or spares) or the subprocess launcher.  The sandbox
    is made (and bwrap looked for) at once, so a pool that cannot run fails
    to start."""
    if readable and not sandbox:
        raise ValueError("readable applies to sandboxed workers only: pass sandbox=True")
    if sandbox and cwd_given:
        raise ValueError("a sandboxed worker runs in its own scratch directory: cwd cannot be combined with sandbox")
    if launcher is not None:
        chosen = (("sandbox", sandbox), ("fresh", fresh), ("spares", spares is not None), ("readable", bool(readable)))
        dropped = [name for name, value in chosen if value]
        if dropped:
            raise TypeError(f"launcher cannot be combined with {', '.join(dropped)}: the launcher starts the workers")
        return launcher
    if not (fresh or sandbox or spares):
        return SubprocessLauncher
    ahead = 1 if spares is None else spares
    # Its pids budget also covers the retired workers not reaped yet.
    box = Sandbox([os.fspath(p) for p in readable], workers=workers + ahead + PENDING_LIMIT) if sandbox else None

    def fork_launcher(settings: ChildSettings) -> ForkLauncher:
        return ForkLauncher(settings, spares=ahead, sandbox=box, fresh=fresh)

    return fork_launcher
