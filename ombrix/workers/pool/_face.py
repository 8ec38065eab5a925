"""What both faces of the pool share: their options and the core they wrap."""
from __future__ import annotations

import os
from collections.abc import Mapping, Sequence

from ..launchers.handle import LauncherFactory
from ._core import PoolCore
from .options import PoolOptions

# The defaults are PoolOptions' own, read from its fields, so help() and
# type checkers show them here while they are written down once.
_D = PoolOptions


class PoolFace:
    """Builds the pool's options and its core; the faces add the waiting."""

    def __init__(
        self,
        size: int = _D.size,
        *,
        timeout: float | None = _D.timeout,
        memory_limit: int | None = _D.memory_limit,
        cpu_limit: int | None = _D.cpu_limit,
        file_size_limit: int | None = _D.file_size_limit,
        max_output: int = _D.max_output,
        recycle_after: int | None = _D.recycle_after,
        env: Mapping[str, str] | None = _D.env,
        cwd: str | os.PathLike[str] | None = _D.cwd,
        fresh: bool | None = _D.fresh,
        spares: int | None = _D.spares,
        sandbox: bool = _D.sandbox,
        readable: Sequence[str | os.PathLike[str]] = _D.readable,
        max_sessions: int = _D.max_sessions,
        launcher: LauncherFactory | None = None,
    ) -> None:
        options = PoolOptions(
            size=size, timeout=timeout, memory_limit=memory_limit, cpu_limit=cpu_limit,
            file_size_limit=file_size_limit, max_output=max_output, recycle_after=recycle_after, env=env,
            cwd=cwd, fresh=fresh, spares=spares, sandbox=sandbox, readable=readable,
            max_sessions=max_sessions,
        )
        self._core = PoolCore(options, launcher)

    @property
    def options(self) -> PoolOptions:
        return self._core.options

    @property
    def cwd(self) -> str:
        """The workers' working directory."""
        return self._core.cwd
