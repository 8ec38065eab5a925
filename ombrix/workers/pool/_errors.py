"""The errors a pool raises for a request it could not get answered.

Every constructor argument is kept in `args`, so the errors survive pickling
(hosts that ship exceptions between processes get the attributes back).
"""
from __future__ import annotations

from typing import Any


class WorkerError(Exception):
    """A request failed in the worker's machinery rather than in the script.

    `result` is a failure dict of the protocol's shape, for hosts that hand
    failures on the way they hand the worker's own error responses.
    """

    def __init__(self, message: str, *details: Any) -> None:
        super().__init__(message, *details)

    @property
    def message(self) -> str:
        return str(self.args[0])

    @property
    def result(self) -> dict[str, Any]:
        return {"success": False, "error": self.message}

    def __str__(self) -> str:
        return self.message


class WorkerTimeout(WorkerError):
    """The request ran past its time limit; the worker and its process group were killed."""

    def __init__(self, message: str, timeout: float) -> None:
        super().__init__(message, timeout)

    @property
    def timeout(self) -> float:
        return float(self.args[1])


class WorkerExited(WorkerError):
    """The worker ended while serving the request.

    `returncode` is the exit status as `subprocess` reports it (negative for a
    signal); `stderr` is the tail of what the worker wrote to its stderr and
    stdout descriptors.
    """

    def __init__(self, message: str, returncode: int | None, stderr: str) -> None:
        super().__init__(message, returncode, stderr)

    @property
    def returncode(self) -> int | None:
        code = self.args[1]
        return None if code is None else int(code)

    @property
    def stderr(self) -> str:
        return str(self.args[2])


class OutputLimitExceeded(WorkerError):
    """The answer grew past `max_output` bytes; the worker was killed."""

    def __init__(self, message: str, limit: int) -> None:
        super().__init__(message, limit)

    @property
    def limit(self) -> int:
        return int(self.args[1])


def exit_message(returncode: int | None, stderr: str) -> str:
    """The message of WorkerExited: how the worker ended, and the last line
    it wrote to stderr."""
    if returncode is None:
        status = "ended"
    elif returncode < 0:
        status = f"was killed by signal {-returncode}"
    else:
        status = f"exited with status {returncode}"
    last = next((line for line in reversed(stderr.splitlines()) if line.strip()), "")
    message = f"The worker {status} while serving the request"
    return f"{message}: {last}" if last else message
