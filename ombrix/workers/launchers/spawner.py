"""One long-lived thread that starts processes for its callers."""
from __future__ import annotations

import os
import queue
import threading
from collections.abc import Callable
from concurrent.futures import Future
from typing import TypeVar

_T = TypeVar("_T")


class Spawner:
    """Runs process starts on one long-lived thread.

    The parent-death signal fires when the *thread* that forked the child
    ends, so workers must not be forked by a caller's short-lived thread.
    A job also runs to its end when its caller is interrupted meanwhile
    (KeyboardInterrupt): `orphan` then gets its result.
    """

    def __init__(self, name: str = "ombrix-pool-spawner") -> None:
        self._jobs: queue.SimpleQueue[tuple[Callable[[], object], Future[object]] | None] = queue.SimpleQueue()
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()
        self._name = name
        self._pid = os.getpid()

    def call(self, fn: Callable[[], _T], orphan: Callable[[_T], object] | None = None) -> _T:
        with self._lock:
            if self._pid != os.getpid():  # a child of os.fork(): the thread stayed in the parent
                self._jobs = queue.SimpleQueue()
                self._thread, self._pid = None, os.getpid()
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name=self._name, daemon=True)
                self._thread.start()
        future: Future[object] = Future()
        self._jobs.put((fn, future))
        try:
            return future.result()  # type: ignore[return-value]
        except BaseException:
            if orphan is not None:
                future.add_done_callback(lambda f: f.exception() is None and orphan(f.result()))  # type: ignore[arg-type]
            raise

    def _run(self) -> None:
        while (job := self._jobs.get()) is not None:
            fn, future = job
            try:
                future.set_result(fn())
            except BaseException as exc:  # handed to the caller
                future.set_exception(exc)

    def close(self) -> None:
        with self._lock:
            thread, self._thread = self._thread, None
        if thread is not None:
            self._jobs.put(None)
            thread.join()
