"""What both faces of the pool share: their options and the core they wrap."""
from __future__ import annotations

import os
from collections.abc import Mapping, Sequence

from ..launchers.process import LauncherFactory
from ._core import PoolCore, PoolOptions


class PoolFace:
    """Builds the pool's options and its core; the faces add the waiting."""

    def __init__(
        self,
        size: int = 2,
        *,
        timeout: float | None = 30.0,
        memory_limit: int | None = None,
        cpu_limit: int | None = None,
        file_size_limit: int | None = None,
        max_output: int = 16 * 2**20,
        recycle_after: int | None = None,
        env: Mapping[str, str] | None = None,
        cwd: str | os.PathLike[str] | None = None,
        fresh: bool | None = None,
        spares: int | None = None,
        sandbox: bool = False,
        readable: Sequence[str | os.PathLike[str]] = (),
        launcher: LauncherFactory | None = None,
    ) -> None:
        options = PoolOptions(
            size, timeout, memory_limit, cpu_limit, file_size_limit, max_output, recycle_after, env, cwd,
            fresh, spares, sandbox, readable,
        )
        self._core = PoolCore(options, launcher)

    @property
    def options(self) -> PoolOptions:
        return self._core.options

    @property
    def cwd(self) -> str:
        """The workers' working directory."""
        return self._core.cwd
