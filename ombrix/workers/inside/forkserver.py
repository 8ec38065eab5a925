"""The warm fork server: a process that has imported the worker and forks a new worker on each request.

The host runs ``python -m ombrix.workers.inside.forkserver FD`` where FD is one end
of a SOCK_SEQPACKET socket pair.  The first message on it is the JSON setup of
every worker (what the child start-up applies); after that the host sends

- ``{"op": "fork", "id": N}`` with the worker's three descriptors attached
  (request read end, response write end, stray-output write end): the server
  forks, answers ``{"op": "forked", "id": N, "pid": P}`` with a pidfd of the
  child attached, and closes its copies of the descriptors;
- ``{"op": "kill", "id": N}``: SIGKILL to the worker, its group and its tree.

Once warm the server announces itself with ``{"op": "server", "id": 0, "pid":
P}`` and a pidfd of its own attached (the host watches and kills it through
that; a sandboxed server's pid is one of its PID namespace).  When a worker
exits the server reaps it and sends ``{"op": "exited", "id": N, "status": S}``
with the raw wait status, since the host is not its parent.  The end of the
socket (the host closed it, or died) kills every worker's group and every
other child, reaps them and ends the server.

The server and its workers are child subreapers: what a script's processes
leave behind stays in its worker's tree, and what a dead worker leaves behind
is reparented to the server, which kills and reaps every child of its that is
not a live worker as soon as it wakes (a worker's end, any message, SIGCHLD).

The server itself never runs a request: everything a script does happens in a
forked child, which closes the socket and every other worker's descriptor
before it starts serving.
"""

from __future__ import annotations

import _signal  # type: ignore[import-not-found]
import array
import ast  # noqa: F401 - code cells are parsed with it: imported once, here, not in each worker
import base64  # noqa: F401 - displays and session files are encoded with it
import fcntl  # noqa: F401 - the workers' start-up uses it: imported once, here
import gc
import json
import os
import select
import signal
import socket
import sys
import traceback
import warnings
from collections.abc import Callable, Sequence
from typing import Any

from ombrix.workers import custom_worker
from ombrix.workers.inside import scratch as scratches
from ombrix.workers.inside import startup
from ombrix.workers.inside.tree import children, kill_tree

# Descriptors a fork request carries: request read end, response write end,
# stray-output write end.
FORK_FDS = 3
MESSAGE_SIZE = 65536
_FDS_SPACE = socket.CMSG_LEN(FORK_FDS * array.array("i").itemsize)
_decoder: Any = json.JSONDecoder()
_scan: Callable[[str, int], tuple[Any, int]] = _decoder.scan_once


def send_message(sock: socket.socket, message: dict[str, Any], fds: Sequence[int] = (), flags: int = 0) -> bool:
    """Sends one message (JSON, with descriptors when given) over the pool's
    socket, from either end; False when the other end is gone (or, with
    MSG_DONTWAIT in `flags`, not reading)."""
    return send_encoded(sock, json.dumps(message).encode(), fds, flags)


def send_encoded(sock: socket.socket, data: bytes, fds: Sequence[int] = (), flags: int = 0) -> bool:
    """`send_message` of a message already encoded."""
    try:
        if fds:
            sock.sendmsg([data], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", fds))], flags)
        else:
            sock.send(data, flags)
    except OSError:
        return False
    return True


class _Child:
    __slots__ = ("ident", "pid", "pidfd", "scratch")

    def __init__(self, ident: int, pid: int, pidfd: int, scratch: str | None) -> None:
        self.ident = ident
        self.pid = pid
        self.pidfd = pidfd
        self.scratch = scratch


class Server:
    def __init__(self, sock: socket.socket, setup: dict[str, Any]) -> None:
        self.sock = sock
        # Made here once: what a worker does not allocate, it does not copy.
        self.limits = startup.Limits(**setup.get("limits", {}))
        self.cwd: str | None = setup.get("cwd")
        # In a sandbox every worker gets its own directory under the scratch
        # directory as cwd, removed (by a thread) when the worker has exited.
        root = setup.get("scratch_root")
        self.scratch = None if root is None else scratches.Scratch(root)
        # Every worker's environment is the setup's: in place here once, a
        # worker outside a sandbox inherits it as it is.
        self.env: dict[str, str] | None = setup.get("env")
        if self.env is not None:
            startup.set_environment(self.env)
        self.pid = os.getpid()
        # Kept open: the sweep after every wake reads it.
        self.children_fd = os.open(f"/proc/{self.pid}/task/{self.pid}/children", os.O_RDONLY)
        self.children: dict[int, _Child] = {}  # by pidfd
        self.by_ident: dict[int, _Child] = {}
        self.poller = select.poll()
        self.poller.register(sock.fileno(), select.POLLIN)
        # SIGCHLD wakes the loop (orphans that die must be reaped).
        self.wake_r, self.wake_w = os.pipe()
        for fd in (self.wake_r, self.wake_w):
            os.set_blocking(fd, False)
        signal.signal(signal.SIGCHLD, lambda signum, frame: None)
        signal.set_wakeup_fd(self.wake_w, warn_on_full_buffer=False)
        self.poller.register(self.wake_r, select.POLLIN)

    def send(self, message: dict[str, Any], fds: Sequence[int] = ()) -> None:
        # If the host is gone, the end of the socket shows it next.
        send_message(self.sock, message, fds)

    def serve(self) -> None:
        while True:
            for fd, _ in self.poller.poll():
                if fd == self.sock.fileno():
                    if not self.receive():
                        self.shutdown()
                        return
                elif fd == self.wake_r:
                    _drain(fd)
                else:
                    self.reap(fd)
            self.sweep()

    def sweep(self) -> None:
        """Kills and reaps every child that is not a live worker: orphans a
        dead worker's tree left to the server (it is their subreaper)."""
        try:
            found = [int(pid) for pid in os.pread(self.children_fd, 65536, 0).split()]
        except (OSError, ValueError):
            found = children(self.pid)
        if len(found) == len(self.children):  # every unreaped worker is a child: no orphan
            return
        workers = {child.pid for child in self.children.values()}
        for pid in found:
            if pid not in workers:
                kill_tree(pid)
                try:
                    os.waitpid(pid, os.WNOHANG)  # the next SIGCHLD reaps it otherwise
                except ChildProcessError:
                    pass

    def receive(self) -> bool:
        try:
            data, ancillary, _, _ = self.sock.recvmsg(MESSAGE_SIZE, _FDS_SPACE)
        except (ConnectionError, InterruptedError):
            return False
        fds = array.array("i")
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                fds.frombytes(payload[: len(payload) - len(payload) % fds.itemsize])
        if not data:
            for fd in fds:
                os.close(fd)
            return False
        # The decoder's own scanner: json.loads would run three more calls
        # whose pages the server copies again after every fork.
        message, _ = _scan(data.decode(), 0)
        if message["op"] == "fork" and len(fds) == FORK_FDS:
            self.fork(int(message["id"]), list(fds))
        else:
            for fd in fds:
                os.close(fd)
            if message["op"] == "kill":
                child = self.by_ident.get(int(message["id"]))
                if child is not None:
                    kill_tree(child.pid, child.pidfd)
        return True

    def fork(self, ident: int, fds: list[int]) -> None:
        scratch, scratch_fd = None, -1
        try:
            if self.scratch is not None:
                scratch, scratch_fd = self.scratch.make()
            pid = os.fork()
        except OSError as error:
            # Out of processes (the pids cgroup is full) or of room for the
            # scratch directory (a script filled the tmpfs): this worker
            # fails, the server serves on, and the host starts over.
            for fd in fds:
                os.close(fd)
            if self.scratch is not None and scratch is not None:
                os.close(scratch_fd)
                self.scratch.release(scratch)
            self.send({"op": "failed", "id": ident, "error": str(error)})
            return
        if pid == 0:
            self.become_worker(fds, scratch, scratch_fd)
        for fd in fds:
            os.close(fd)
        if scratch is not None:
            os.close(scratch_fd)
        pidfd = os.pidfd_open(pid)
        child = _Child(ident, pid, pidfd, scratch)
        self.children[pidfd] = child
        self.by_ident[ident] = child
        self.poller.register(pidfd, select.POLLIN)
        # The two messages of every worker are written out here: json.dumps
        # would run the encoder's calls, whose pages the server copies
        # again after every fork.
        send_encoded(self.sock, b'{"op": "forked", "id": %d, "pid": %d}' % (ident, pid), [pidfd])

    def become_worker(self, fds: list[int], scratch: str | None, scratch_fd: int) -> None:
        """Runs in the forked child: drop everything of the server, then serve.

        Never returns: the child must not go back into the server's loop."""
        try:
            # The server's other descriptors (its children file, the other
            # workers' pidfds, the wake-up pipe) are closed with every
            # descriptor but the worker's own when those are put in place.
            self.sock.close()
            signal.set_wakeup_fd(-1)
            # The C function: signal.signal would first look the handler it
            # replaces up among the enum's members, and fail, which costs a
            # worker's start dozens of pages copied.
            _signal.signal(signal.SIGCHLD, _signal.SIG_DFL)
            env = None
            cwd = self.cwd
            if scratch is not None:
                user = scratches.SANDBOX_USER
                env = dict(self.env or {}, HOME=scratch, TMPDIR=scratch, USER=user, LOGNAME=user)
                # The directory this server made, whatever is at its name now.
                os.fchdir(scratch_fd)
                os.close(scratch_fd)
                cwd = None
            request_fd, response_fd, stray_fd = fds
            startup.prepare_worker(
                self.limits,
                self.pid,
                fds=(request_fd, response_fd, stray_fd),
                cwd=cwd,
                env=env,
            )
            startup.serve()
            status = 0
        except SystemExit as stop:
            status = _exit_status(stop.code)
        except BaseException:  # reported as the console script reports it
            traceback.print_exc()
            status = 1
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)

    def reap(self, pidfd: int) -> None:
        child = self.children.pop(pidfd)
        del self.by_ident[child.ident]
        self.poller.unregister(pidfd)
        # The leader is gone; what it left in its group and tree goes with it.
        kill_tree(child.pid, pidfd, exited=True)
        os.close(pidfd)
        _, status = os.waitpid(child.pid, 0)
        if self.scratch is not None and child.scratch is not None:
            self.scratch.release(child.scratch)
        send_encoded(self.sock, b'{"op": "exited", "id": %d, "status": %d}' % (child.ident, status))

    def shutdown(self) -> None:
        for child in list(self.children.values()):
            kill_tree(child.pid, child.pidfd)
        while True:  # workers and orphans, and what the workers leave meanwhile
            for pid in children(self.pid):
                kill_tree(pid)
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                break


def _exit_status(code: object) -> int:
    """The exit status SystemExit(code) gives an interpreter."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF
    try:
        print(code, file=sys.stderr)
    except (OSError, ValueError):
        pass
    return 1


def _set_not_dumpable() -> None:
    startup.prctl(4, 0, "PR_SET_DUMPABLE")


def _set_subreaper() -> None:
    startup.prctl(36, 1, "PR_SET_CHILD_SUBREAPER")


def _drain(fd: int) -> None:
    try:
        while os.read(fd, 4096):
            pass
    except BlockingIOError:
        pass


def main(argv: list[str]) -> int:
    sock = socket.socket(fileno=int(argv[1]))
    setup = json.loads(sock.recv(MESSAGE_SIZE) or b"null")
    if not isinstance(setup, dict):
        return 0  # closed before the setup arrived
    # The host's terminal signals are not the server's business.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The scratch sweeper's thread may run while the server forks: the
    # children only serve, they never touch what that thread holds.
    warnings.filterwarnings("ignore", message=".*multi-threaded, use of fork", category=DeprecationWarning)
    _set_subreaper()
    if setup.get("scratch_root") is not None:
        # In a sandbox the server and every worker share one uid: without
        # this a script could attach to the server with ptrace and reach
        # every later worker, or read another worker's memory.  Forked
        # children keep the flag.
        _set_not_dumpable()
    # Warm the worker's paths once with fixed requests (no user code) so
    # every fork starts from an interpreter that has compiled, run and
    # serialised before, then move everything the import made out of the
    # collector's reach: children do not copy those pages by touching them.
    custom_worker.validate_script("result = 1\n")
    custom_worker.run_inline("result = {'warm': [1, 2.5, 'x']}")
    codec = startup.private_json()  # made once here; every worker inherits it
    for _ in range(4):  # the protocol's own calls, run until specialised
        codec.dumps({"success": True, "result": codec.loads('{"action": "run_inline", "code": "", "_mark": "m"}')})
    gc.collect()
    gc.freeze()
    server = Server(sock, setup)
    me = os.pidfd_open(os.getpid())
    server.send({"op": "server", "id": 0, "pid": server.pid}, [me])
    os.close(me)
    server.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
