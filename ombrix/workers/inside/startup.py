"""Worker start-up: turns a fresh process into a supervised worker, then serves.

The protocol moves off the standard descriptors: requests arrive on fd 3 and
responses leave on fd 4, fd 0 reads /dev/null, and fds 1 and 2 are the stray
output pipe the host drains.  What a script or its children write to fd 1 or
read from fd 0 therefore never touches the protocol.  Resource limits and the
parent-death signal are applied before any script runs.

A launcher runs `python -P -m ombrix.workers.inside.startup CONFIG` with the
descriptors already in place or named in CONFIG; a forked child calls
`prepare_worker` and then `serve` itself.  This module imports nothing heavy:
it runs at every worker start.
"""
from __future__ import annotations

import os
import resource
import signal
import sys

TYPE_CHECKING = False  # typing itself would slow every start
if TYPE_CHECKING:
    from collections.abc import Iterator, Mapping
    from types import ModuleType
    from typing import IO, Any

REQUEST_FD = 3
RESPONSE_FD = 4
# The exit status of a worker whose captured output would pass its bound
# (the worker module ends the process with it).
OUTPUT_LIMIT_STATUS = 113
_PR_SET_PDEATHSIG = 1
_PR_SET_CHILD_SUBREAPER = 36


class Limits:
    """Resource limits of one worker process (None: inherited unchanged).

    `memory` is bytes of address space, `cpu` CPU seconds (the host moves the
    limit along before each request), `file_size` bytes of any one file the
    worker writes, `output` characters that run_script and run_inline
    capture in one request (past it the worker exits with
    OUTPUT_LIMIT_STATUS).  (A plain class: dataclasses would slow every
    start.)
    """

    __slots__ = ("cpu", "file_size", "memory", "output")

    def __init__(
        self,
        memory: int | None = None,
        cpu: int | None = None,
        file_size: int | None = None,
        output: int | None = None,
    ) -> None:
        self.memory = memory
        self.cpu = cpu
        self.file_size = file_size
        self.output = output

    def to_config(self) -> dict[str, int | None]:
        return {"memory": self.memory, "cpu": self.cpu, "file_size": self.file_size, "output": self.output}

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Limits) and self.to_config() == other.to_config()

    def __hash__(self) -> int:
        return hash((self.memory, self.cpu, self.file_size, self.output))

    def __repr__(self) -> str:
        return (
            f"Limits(memory={self.memory}, cpu={self.cpu}, file_size={self.file_size}, output={self.output})"
        )


class _ProtocolInput:
    """What the worker loop takes as its input: it iterates the request
    stream once, and from then on `sys.stdin` is the empty fd 0, so a
    script's `input()` or `sys.stdin.read()` sees end of input at once
    instead of reading requests."""

    def __init__(self, stream: IO[str]) -> None:
        self._stream = stream

    def __iter__(self) -> Iterator[str]:
        sys.stdin = sys.__stdin__
        return iter(self._stream)


def _arrange_descriptors(request: int, response: int, stray: int | None) -> None:
    import fcntl

    # Copies above the target range first, so no source is overwritten
    # before it is placed.
    high_request = fcntl.fcntl(request, fcntl.F_DUPFD_CLOEXEC, 10)
    high_response = fcntl.fcntl(response, fcntl.F_DUPFD_CLOEXEC, 10)
    high_stray = None if stray is None else fcntl.fcntl(stray, fcntl.F_DUPFD_CLOEXEC, 10)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    if high_stray is not None:
        os.dup2(high_stray, 1)
        os.dup2(high_stray, 2)
    os.dup2(high_request, REQUEST_FD)
    os.dup2(high_response, RESPONSE_FD)
    os.closerange(RESPONSE_FD + 1, resource.getrlimit(resource.RLIMIT_NOFILE)[0])


_prctl: Any = None


def prctl(option: int, arg: int, name: str) -> None:
    """prctl(2) with one argument.  libc's function is looked up once: a
    fork server looks it up before it forks, and its workers inherit it."""
    global _prctl
    import ctypes

    if _prctl is None:
        _prctl = ctypes.CDLL(None, use_errno=True).prctl
    if _prctl(option, arg, 0, 0, 0) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"prctl({name}): {os.strerror(err)}")


def _die_with_parent(parent_pid: int) -> None:
    prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, "PR_SET_PDEATHSIG")
    # The parent may have died before the signal was armed.
    if os.getppid() != parent_pid:
        os._exit(1)


def _adopt_orphans() -> None:
    # Whatever a script's children leave behind (a double fork, setsid) is
    # reparented to the worker instead of init: it stays in the worker's
    # tree, where the host's check between requests and its kill find it.
    prctl(_PR_SET_CHILD_SUBREAPER, 1, "PR_SET_CHILD_SUBREAPER")


def _apply_limits(limits: Limits) -> None:
    # A worker killed by a limit must not leave a core file in its directory.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    if limits.memory is not None:
        resource.setrlimit(resource.RLIMIT_AS, (limits.memory, limits.memory))
    if limits.cpu is not None:
        # Only the soft limit: the host raises it before each request, so the
        # budget holds per request rather than over the worker's whole life.
        hard = resource.getrlimit(resource.RLIMIT_CPU)[1]
        resource.setrlimit(resource.RLIMIT_CPU, (limits.cpu, hard))
    if limits.file_size is not None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (limits.file_size, limits.file_size))
        # Writing past the limit then fails with EFBIG in the script instead
        # of killing the worker.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def _bind_protocol_streams() -> None:
    # Children the worker starts (os.system, subprocess) must not inherit the
    # protocol.
    os.set_inheritable(REQUEST_FD, False)
    os.set_inheritable(RESPONSE_FD, False)
    requests = open(REQUEST_FD, encoding="utf-8", newline="\n")
    responses = open(RESPONSE_FD, "w", encoding="utf-8", newline="\n")
    sys.stdin = _ProtocolInput(requests)
    sys.stdout = responses


def private_json() -> ModuleType:
    """A copy of the `json` package (json, json.decoder, json.encoder,
    json.scanner as module objects of its own) that is not in `sys.modules`,
    so a script's `import json` never reaches it: patching `json.dumps`, the
    encoder class or its helpers leaves the copy as it was.  Made once per
    process; a forked worker inherits its server's copy.
    """
    global _private_json
    if _private_json is None:
        import importlib
        import json

        def package_modules() -> list[str]:
            return [name for name in sys.modules if name == "json" or name.startswith("json.")]

        shared = {name: sys.modules.pop(name) for name in package_modules()}
        try:
            private: Any = importlib.import_module("json")
        finally:
            for name in package_modules():
                del sys.modules[name]
            sys.modules.update(shared)
        # The C scanner raises the JSONDecodeError it finds in
        # sys.modules["json.decoder"]; the copy raises and names that same
        # class, so the worker answers every malformed line as such.
        private.JSONDecodeError = private.decoder.JSONDecodeError = json.decoder.JSONDecodeError
        _private_json = private
    return _private_json


_private_json: ModuleType | None = None


def _guard_answers(limits: Limits) -> None:
    # The worker module encodes and decodes the protocol through its global
    # `json`, bound here to the private copy, and bounds what its captures
    # hold: a script can then neither break nor forge the answers, nor grow
    # the worker by printing.  Each answer ends with its request's mark, so
    # the pool knows exactly where it ends.
    import ombrix.workers.custom_worker as custom_worker

    custom_worker.json = private_json()  # type: ignore[attr-defined]
    custom_worker._mark_answers()
    if limits.output is not None:
        custom_worker._limit_output(limits.output)


def set_environment(env: Mapping[str, str]) -> None:
    """Makes `env` the process's whole environment, changing only what
    differs (a forked worker starts with its server's environment)."""
    for key in [key for key in os.environ if key not in env]:
        del os.environ[key]
    for key, value in env.items():
        if os.environ.get(key) != value:
            os.environ[key] = value


def prepare_worker(
    limits: Limits,
    parent_pid: int,
    *,
    fds: tuple[int, int, int | None] | None = None,
    cwd: str | None = None,
    env: Mapping[str, str] | None = None,
) -> None:
    """Prepares the current process to serve as a worker.

    `fds` names the request pipe's read end, the response pipe's write end and
    the stray output pipe's write end (None when fds 1 and 2 already are);
    they are moved to fds 3, 4 and 1/2, fd 0 becomes /dev/null and every
    other descriptor is closed.  Without `fds` the descriptors must already
    be in place.  The process leads its own process group (so the host
    kills it with everything it starts; a group rather than a session keeps
    it in the host's scheduling group, where a request's round trip takes
    half the time), gets `cwd` and `env` when
    given, dies when `parent_pid` does, adopts the orphans of its
    descendants (a child subreaper), and gets `limits`.  The worker module
    answers through a private copy of `json` and bounds its captured output
    by `limits.output`.
    """
    if fds is not None:
        _arrange_descriptors(*fds)
    if os.getpgid(0) != os.getpid():
        os.setpgid(0, 0)
    if cwd is not None:
        os.chdir(cwd)
    if env is not None:
        set_environment(env)
    _die_with_parent(parent_pid)
    _adopt_orphans()
    # A batch task never preempts the task that wakes it: a host writing
    # requests to several workers goes on instead of waiting for each on its
    # own CPU (pipe wake-ups pull the reader there), and a busy script
    # cannot starve its host.
    try:
        os.sched_setscheduler(0, os.SCHED_BATCH, os.sched_param(0))
    except OSError:
        pass
    _apply_limits(limits)
    _bind_protocol_streams()
    _guard_answers(limits)


def serve() -> None:
    """Runs the worker loop until end of input or a quit request.

    An exit a script forces is reported on stderr before it ends the process,
    so the host can tell the caller what stopped the worker; the exit status
    is the script's.
    """
    from ombrix.workers.custom_worker import main

    try:
        main()
    except SystemExit as exc:
        if exc.code not in (None, 0):
            import traceback

            traceback.print_exc()
        raise


def _main(argv: list[str]) -> None:
    import json

    config: dict[str, Any] = json.loads(argv[1])
    fds = config.get("fds")
    prepare_worker(
        Limits(**config.get("limits", {})),
        int(config["parent"]),
        fds=None if fds is None else (int(fds[0]), int(fds[1]), None),
    )
    serve()


if __name__ == "__main__":
    _main(sys.argv)
