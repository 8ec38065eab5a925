"""A pool's options: their defaults and every check of their values, in one
place.  (Which combinations a launcher can honour is the launchers' to say.)"""
from __future__ import annotations

import enum
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass


class Default(enum.Enum):
    """The type of DEFAULT, "the pool's own setting", for per-call options."""

    TOKEN = 0


DEFAULT = Default.TOKEN


@dataclass(frozen=True)
class PoolOptions:
    """The settings both faces take (see WorkerPool for their meaning)."""

    size: int = 2
    timeout: float | None = 30.0
    memory_limit: int | None = None
    cpu_limit: int | None = None
    file_size_limit: int | None = None
    max_output: int = 16 * 2**20
    recycle_after: int | None = None
    env: Mapping[str, str] | None = None
    cwd: str | os.PathLike[str] | None = None
    # None: fresh when sandboxed (a reused sandboxed worker would carry one
    # caller's rebindings, and what it read, into the next caller's request).
    fresh: bool | None = None
    spares: int | None = None
    sandbox: bool = False
    readable: Sequence[str | os.PathLike[str]] = ()
    max_sessions: int = 16  # sessions open at once, each with a worker of its own

    def __post_init__(self) -> None:
        _check_count("size", self.size)
        check_timeout(self.timeout)
        for name in ("memory_limit", "cpu_limit", "file_size_limit", "recycle_after"):
            value = getattr(self, name)
            if value is not None:
                _check_count(name, value)
        _check_count("max_output", self.max_output)
        _check_count("max_sessions", self.max_sessions)
        if self.env is not None:
            if not isinstance(self.env, Mapping):
                raise TypeError(f"env must be a mapping or None, not {type(self.env).__name__}")
            for key, value in self.env.items():
                if not isinstance(key, str) or not isinstance(value, str):
                    raise TypeError("env keys and values must be str")
        if self.cwd is not None and not isinstance(self.cwd, (str, os.PathLike)):
            raise TypeError(f"cwd must be a path or None, not {type(self.cwd).__name__}")
        if self.fresh is None:
            object.__setattr__(self, "fresh", self.sandbox)
        for name in ("fresh", "sandbox"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"{name} must be a bool, not {type(getattr(self, name)).__name__}")
        if self.spares is not None:
            if not isinstance(self.spares, int) or isinstance(self.spares, bool):
                raise TypeError(f"spares must be an int or None, not {type(self.spares).__name__}")
            if self.spares < 0:
                raise ValueError(f"spares must be at least 0, not {self.spares}")
        readable = self.readable
        if isinstance(readable, str | bytes | os.PathLike) or not isinstance(readable, Sequence):
            raise TypeError("readable must be a sequence of paths")
        for path in readable:
            if not isinstance(path, str | os.PathLike):
                raise TypeError(f"readable paths must be str or os.PathLike, not {type(path).__name__}")


def _check_count(name: str, value: object) -> None:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")


def check_timeout(value: object) -> None:
    if value is None:
        return
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"timeout must be a number or None, not {type(value).__name__}")
    if not value > 0:
        raise ValueError(f"timeout must be positive, not {value}")
