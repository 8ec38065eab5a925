"""Shared helpers for the custom worker tests."""
import gc
import json
import os
import subprocess
import sys
import threading
import time
import traceback

import pytest

# A local Ray instance keeps every connection on loopback only with this set
# before Ray is imported; without it Ray uses the machine's network address.
os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"

# The tests exercise the installed package, never the source tree: drop the
# checkout root that `python -m pytest` puts on sys.path.
_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

from ombrix.workers import custom_worker  # noqa: E402

# `make asan` names the directory of the sanitized module: the run must not
# quietly test another build.
_EXPECTED_DIR = os.environ.get("OMBRIX_EXPECT_MODULE_DIR")
if _EXPECTED_DIR and os.path.dirname(os.path.realpath(custom_worker.__file__)) != os.path.realpath(_EXPECTED_DIR):
    raise RuntimeError(f"tests import {custom_worker.__file__}, not the build in {_EXPECTED_DIR}")


@pytest.fixture
def cw():
    return custom_worker


def assert_no_leak(fn, rounds=5, calls=2000, slack=64):
    """Fails when sys.getallocatedblocks() grows in every measured round.

    `fn` is called `calls` times per round; two warm-up rounds come first, so
    caches (interned strings, traceback code objects) are filled before
    counting.  A real leak of one block per call grows every round by at least
    `calls`; noise does not.
    """
    for _ in range(2):
        for _ in range(calls):
            fn()
    gc.collect()
    deltas = []
    for _ in range(rounds):
        before = sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert not all(d > slack for d in deltas), f"allocated blocks grew every round: {deltas}"


WORKER_CMD = [sys.executable, "-P", "-c", "from ombrix.workers.custom_worker import main; main()"]


def run_worker(stdin_text, timeout=30, cwd=None):
    """Runs a worker subprocess over pipes with the whole input at once."""
    return subprocess.run(
        WORKER_CMD,
        input=stdin_text.encode() if isinstance(stdin_text, str) else stdin_text,
        capture_output=True,
        timeout=timeout,
        cwd=cwd,
    )


def response_lines(completed):
    """The worker's stdout split into decoded response lines."""
    out = completed.stdout.decode("ascii")
    return [json.loads(line) for line in out.splitlines()]


class Worker:
    """A live worker subprocess driven one request at a time."""

    def __init__(self, cwd=None):
        self.proc = subprocess.Popen(
            WORKER_CMD,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=cwd,
        )

    def send_line(self, text):
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()

    def request(self, obj):
        self.send_line(json.dumps(obj))
        return self.read_line()

    def read_line(self):
        line = self.proc.stdout.readline()
        return json.loads(line) if line else None

    def close(self, timeout=10):
        if self.proc.stdin and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        try:
            self.proc.wait(timeout=timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


@pytest.fixture
def worker(tmp_path):
    w = Worker(cwd=tmp_path)
    yield w
    w.close()


# Pools start their workers with a minimal environment.  Under `make asan`
# the sanitizer runtime reaches workers only through the environment, so the
# pool tests pass these variables on explicitly there.
SANITIZED = bool(_EXPECTED_DIR)
_SANITIZER_VARS = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PATH")
POOL_ENV = {k: os.environ[k] for k in _SANITIZER_VARS if k in os.environ} if SANITIZED else None


def wait_until(predicate, timeout=15.0, every=0.01):
    """Polls `predicate` until it holds or `timeout` seconds have passed; its last value."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(every)
    return value


def queued(threads):
    """How many of `threads` are blocked in a threading wait (a pool's
    callers wait there for a worker; one being served waits in poll)."""
    frames = sys._current_frames()
    count = 0
    for thread in threads:
        frame = frames.get(thread.ident)
        while frame is not None and not (frame.f_code.co_name == "wait"
                                         and frame.f_code.co_filename == threading.__file__):
            frame = frame.f_back
        count += frame is not None
    return count


# -- processes, as /proc shows them ------------------------------------------


def proc_stat(pid):
    """The fields of /proc/<pid>/stat after the command name (state, ppid,
    pgrp, ...) as bytes, or None once the process is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None


def all_pids():
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


def alive(pid):
    """True while the process exists and is not a zombie."""
    fields = proc_stat(pid)
    return fields is not None and fields[0] not in (b"Z", b"X")


def parents():
    """{pid: parent pid} of every process."""
    return {pid: int(fields[1]) for pid in all_pids() if (fields := proc_stat(pid)) is not None}


def children_of(pid):
    return {child for child, parent in parents().items() if parent == pid}


def started_since(children):
    """This process's children that are not in `children`, and everything under them."""
    tree = parents()
    found = []
    todo = [pid for pid, parent in tree.items() if parent == os.getpid() and pid not in children]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo += [child for child, parent in tree.items() if parent == pid]
    return found


def groups_alive(pgids):
    """Pids of live (not zombie) processes in any of the process groups `pgids`."""
    return [pid for pid in all_pids()
            if (fields := proc_stat(pid)) is not None and fields[0] != b"Z" and int(fields[2]) in pgids]


# -- the module's traceback entries -----------------------------------------

# The file name of the module's own entries in tracebacks.
FILE = "ombrix/workers/custom_worker"


def module_entries(exc):
    """(line, name) of the module's own entries in an exception's traceback, outermost first."""
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == FILE]
