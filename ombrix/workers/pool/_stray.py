"""Draining what workers write outside the protocol (their fds 1 and 2).

One daemon thread per pool reads every worker's stray pipe as soon as bytes
arrive, so a chatty script never blocks on a full pipe.  Each worker keeps a
bounded tail (for the error that reports its death) and each complete line is
logged.
"""
from __future__ import annotations

import logging
import os
import selectors
import threading
from collections.abc import Callable

logger = logging.getLogger("ombrix.workers.pool")

TAIL_BYTES = 8192
LINE_BYTES = 4096


class StrayTail:
    """The stray output of one worker: its bounded tail and its partial line."""

    def __init__(self, pid: int, fd: int) -> None:
        self.pid = pid
        self.fd = fd
        self.tail = bytearray()
        self.partial = bytearray()
        self.ended = threading.Event()  # end of file seen, or the drain stopped

    def take(self, data: bytes) -> None:
        self.tail += data
        if len(self.tail) > TAIL_BYTES:
            del self.tail[: len(self.tail) - TAIL_BYTES]
        self.partial += data
        *lines, rest = self.partial.split(b"\n")
        for line in lines:
            self._log(line)
        if len(rest) > LINE_BYTES:
            self._log(rest)
            rest = bytearray()
        self.partial = bytearray(rest)

    def flush(self) -> None:
        if self.partial:
            self._log(self.partial)
            self.partial = bytearray()

    def _log(self, line: bytes | bytearray) -> None:
        if logger.isEnabledFor(logging.INFO):
            logger.info("worker %d: %s", self.pid, bytes(line).decode("utf-8", "replace"))

    def text(self) -> str:
        return bytes(self.tail).decode("utf-8", "replace")


class StrayDrain:
    """The draining thread; started with the first worker."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._commands: list[Callable[[], None]] = []
        self._selector: selectors.BaseSelector | None = None
        self._thread: threading.Thread | None = None
        self._wake_r = self._wake_w = -1
        self._closed = False

    def add(self, pid: int, fd: int) -> StrayTail:
        tail = StrayTail(pid, fd)
        if not self._command(lambda: self._register(tail), wait=False):
            tail.ended.set()
        return tail

    def finish(self, tail: StrayTail, timeout: float) -> str:
        """Waits up to `timeout` for the worker's end of file, stops
        draining its pipe, and returns its tail as text.  The pipe's
        descriptor may be closed afterwards."""
        tail.ended.wait(timeout)
        self._command(lambda: self._unregister(tail), wait=True)
        return tail.text()

    def close(self) -> None:
        """Stops draining; later calls do nothing."""
        with self._lock:
            thread = self._thread
            self._closed = True
            if thread is not None:
                self._commands.append(self._stop)
                os.write(self._wake_w, b"x")
        if thread is not None:
            thread.join()

    # -- the thread -------------------------------------------------------

    def _command(self, fn: Callable[[], None], *, wait: bool) -> bool:
        """Runs `fn` on the thread; False when the drain is closed."""
        done = threading.Event()

        def run() -> None:
            try:
                fn()
            finally:
                done.set()

        with self._lock:
            if self._closed:
                return False
            if self._thread is None:
                self._start()
            self._commands.append(run)
            os.write(self._wake_w, b"x")
        if wait:
            done.wait()
        return True

    def _start(self) -> None:
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._wake_r, selectors.EVENT_READ, None)
        self._thread = threading.Thread(target=self._run, name="ombrix-pool-stray", daemon=True)
        self._thread.start()

    def _register(self, tail: StrayTail) -> None:
        assert self._selector is not None
        self._selector.register(tail.fd, selectors.EVENT_READ, tail)

    def _unregister(self, tail: StrayTail) -> None:
        assert self._selector is not None
        if tail.fd in self._selector.get_map():
            self._selector.unregister(tail.fd)
        tail.flush()
        tail.ended.set()

    def _stop(self) -> None:
        assert self._selector is not None
        for key in list(self._selector.get_map().values()):
            if isinstance(key.data, StrayTail):
                self._unregister(key.data)
        self._selector.close()
        self._selector = None

    def _run(self) -> None:
        while self._selector is not None:
            for key, _ in self._selector.select():
                if key.data is None:
                    self._run_commands()
                    if self._selector is None:
                        break
                # A command earlier in this batch may have stopped draining
                # this pipe, and its descriptor may be closed (or reused) now.
                elif self._selector.get_map().get(key.fd) is key:
                    try:
                        self._read(key.data)
                    except Exception:  # a dead drain would block every retiring worker
                        logger.exception("draining worker %d's output failed", key.data.pid)
                        self._unregister(key.data)
        with self._lock:
            self._thread = None
            os.close(self._wake_r)
            os.close(self._wake_w)

    def _run_commands(self) -> None:
        try:
            os.read(self._wake_r, 4096)
        except BlockingIOError:
            pass
        with self._lock:
            commands, self._commands = self._commands, []
        for command in commands:
            command()
            if self._selector is None:
                return

    def _read(self, tail: StrayTail) -> None:
        try:
            data = os.read(tail.fd, 65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if data:
            tail.take(data)
        else:
            assert self._selector is not None
            self._selector.unregister(tail.fd)
            tail.flush()
            tail.ended.set()
