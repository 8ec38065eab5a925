"""Code cells: what one run of a cell gives back, and reading its streamed
answer, without any I/O.

An execute request's answer is zero or more event lines, one per write the
cell made to its stdout or stderr (`{"stream": ..., "text": ...}`), then the
response line, then the request's mark line.  `CellReader` hands each event
to a sink at once (the caller's `on_output`) and keeps the text for the
result, so a cell that never ends, or a worker that dies, still leaves all
it printed until then.  `CellExchange` is the exchange of one cell: in a
session its deadline first interrupts the cell and waits a grace period
before it becomes a timeout.
"""
from __future__ import annotations

import base64
import json
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Final, Protocol

from ._errors import OutputLimitExceeded, WorkerError, WorkerExited, WorkerTimeout
from ._exchange import Exchange
from ._reader import EXCEEDED, GONE, UNREADABLE, Answer, Outcome, Request, json_object
from ._worker import Worker

# How long a session's cell has, after the interrupt sent at its deadline,
# to end before its worker is killed.
INTERRUPT_GRACE: Final = 1.0

_EVENT_START: Final = b'{"stream": '
_RESPONSE_START: Final = b'{"success": '
_STREAMS: Final = ("stdout", "stderr")

OutputSink = Callable[[str, str], object]


@dataclass(frozen=True)
class Display:
    """One rich representation a cell displayed: bytes for binary types
    (images), str for text ones (HTML, SVG, Markdown, JSON)."""

    mime: str
    data: bytes | str


@dataclass(frozen=True)
class ExecutionError:
    """Why a cell did not end normally.  `name` is the exception's type
    name, or the pool's own: "Timeout", "OutputLimitExceeded",
    "WorkerExited".  `state_lost`: the session's namespace is gone (its
    worker was killed or ended); the next cell runs in a new worker."""

    name: str
    message: str
    traceback: str = ""
    state_lost: bool = False


@dataclass(frozen=True)
class Execution:
    """What one cell did: everything it wrote to each stream, its last
    expression's value (`repr` in `value`, the serialised value in
    `return_value`), its displays in order, and its error, if any."""

    stdout: str = ""
    stderr: str = ""
    value: str | None = None
    return_value: Any = None
    displays: list[Display] = field(default_factory=list)
    error: ExecutionError | None = None
    restarted: bool = False
    duration: float = 0.0


class CellReader:
    """Reads one cell's answer: events, then the response and its mark.

    Bounds: the cell's stream text is at most `limit` characters (the
    worker stops it at `limit` bytes, and every character took at least one
    byte), a response line at most `limit` bytes, an event line at most what
    JSON escaping makes of `limit` bytes.  Past one, EXCEEDED.
    """

    __slots__ = ("_buf", "_limit", "_line_limit", "_marker", "_response", "_sink", "_text_left", "parts", "sink_error")

    def __init__(self, limit: int, marker: bytes, sink: OutputSink | None) -> None:
        self._limit = limit
        self._line_limit = 6 * limit + 64  # "\u0000" for each byte, and the event's keys
        self._marker = marker
        self._sink = sink
        self._buf = bytearray()
        self._text_left = limit
        self._response: dict[str, Any] | None = None
        self.parts: dict[str, list[str]] = {"stdout": [], "stderr": []}
        # What the sink raised: the cell goes on, the caller gets it at the end.
        self.sink_error: Exception | None = None

    def want(self) -> int:
        return 65536

    def feed(self, data: bytes) -> Outcome | None:
        if not data:
            return GONE
        buf = self._buf
        start = len(buf)
        buf += data
        begin = 0
        while (end := buf.find(b"\n", start)) >= 0:
            line = bytes(buf[begin : end + 1])
            begin = start = end + 1
            if self._response is not None:
                if line != self._marker:
                    return UNREADABLE
                stray = bytes(buf[begin:])
                return Answer(self._response, None, stray) if stray else self._response
            found = self._line(line)
            if found is not None:
                return found
        del buf[:begin]
        if self._response is not None:
            return None if self._marker.startswith(bytes(buf)) else UNREADABLE
        bound = self._limit if buf.startswith(_RESPONSE_START) else self._line_limit
        return EXCEEDED if len(buf) > bound else None

    def _line(self, line: bytes) -> Outcome | None:
        """Takes one whole line before the response."""
        if line.startswith(_RESPONSE_START):
            if len(line) > self._limit + 1:
                return EXCEEDED
            response = json_object(line)
            if response is None:
                return UNREADABLE
            self._response = response
            return None
        event = json_object(line) if line.startswith(_EVENT_START) and len(line) <= self._line_limit + 1 else None
        stream = None if event is None else event.get("stream")
        text = None if event is None else event.get("text")
        if stream not in _STREAMS or not isinstance(text, str):
            return UNREADABLE if len(line) <= self._line_limit + 1 else EXCEEDED
        assert isinstance(stream, str)
        over = len(text) > self._text_left
        if over:
            text = text[: self._text_left]
        self._text_left -= len(text)
        self.parts[stream].append(text)
        if self._sink is not None and text:
            try:
                self._sink(stream, text)
            except Exception as exc:
                self.sink_error = exc
                self._sink = None
        return EXCEEDED if over else None

    def text(self, stream: str) -> str:
        return "".join(self.parts[stream])


class CellExchange(Exchange):
    """The exchange of one cell.  With `interrupt` (a session's cell) the
    deadline first calls it and gives the cell INTERRUPT_GRACE seconds
    more; only then is the outcome TIMED_OUT."""

    __slots__ = ("cell", "interrupt", "interrupted", "restarted", "started", "timeout")

    def __init__(self, worker: Worker, request: Request, reader: CellReader, now: float,
                 interrupt: Callable[[], None] | None = None, *, restarted: bool = False) -> None:
        super().__init__(worker, request, reader, now)
        self.cell = reader
        self.interrupt = interrupt
        self.interrupted = False  # the deadline passed and the cell was interrupted
        self.restarted = restarted
        self.started = now
        self.timeout = request.timeout

    def time_left(self, now: float) -> float | None:
        deadline = self.deadline
        if (deadline is not None and now >= deadline and self.outcome is None
                and self.interrupt is not None and not self.interrupted):
            self.interrupted = True
            self.interrupt()
            self.deadline = now + INTERRUPT_GRACE
            return INTERRUPT_GRACE
        return super().time_left(now)

    # -- the result ----------------------------------------------------------

    def result(self, response: dict[str, Any], now: float) -> Execution:
        """The Execution of a cell the worker answered."""
        if response.get("success") is not True:
            refused = str(response.get("error", "the worker refused the cell"))
            return self._execution(now, error=ExecutionError("WorkerError", refused))
        raw = response.get("error")
        error: ExecutionError | None = None
        if isinstance(raw, dict):
            error = ExecutionError(str(raw.get("name", "")), str(raw.get("message", "")), str(raw.get("traceback", "")))
        if self.interrupted:
            # The cell ended from the interrupt sent at its deadline (or just
            # after it): its namespace is kept.
            message = f"the cell ran past its timeout of {self.timeout:g} s and was interrupted"
            error = ExecutionError("Timeout", message, error.traceback if error is not None else "")
        value = response.get("value")
        displays = [_display(d) for d in response.get("displays") or () if isinstance(d, dict)]
        return self._execution(now, value=value if isinstance(value, str) else None,
                               return_value=response.get("return_value"), displays=displays, error=error)

    def failed(self, error: WorkerError, now: float, *, state_lost: bool) -> Execution:
        """The Execution of a cell whose answer never came whole."""
        name = _ERROR_NAMES.get(type(error), "WorkerError")
        if isinstance(error, WorkerTimeout) and self.interrupted:
            message = (f"the cell ran past its timeout of {self.timeout:g} s and did not stop within "
                       f"{INTERRUPT_GRACE:g} s of the interrupt; the worker was killed")
        else:
            message = error.message
        return self._execution(now, error=ExecutionError(name, message, "", state_lost))

    def _execution(self, now: float, **fields: Any) -> Execution:
        reader = self.cell
        return Execution(stdout=reader.text("stdout"), stderr=reader.text("stderr"), restarted=self.restarted,
                         duration=max(0.0, now - self.started), **fields)


_ERROR_NAMES: Final[dict[type, str]] = {
    WorkerTimeout: "Timeout",
    OutputLimitExceeded: "OutputLimitExceeded",
    WorkerExited: "WorkerExited",
}


def _display(raw: dict[str, Any]) -> Display:
    data = raw.get("data", "")
    if raw.get("base64") is True and isinstance(data, str):
        return Display(str(raw.get("mime", "")), base64.b64decode(data))
    return Display(str(raw.get("mime", "")), data if isinstance(data, str) else json.dumps(data))


class Finishing(Protocol):
    """What finish_cell needs of the pool's core."""

    closed: bool

    def finish(self, exchange: Exchange) -> dict[str, Any]: ...


def finish_cell(core: Finishing, exchange: CellExchange, now: Callable[[], float],
                settled: dict[str, Any] | None = None) -> Execution:
    """The core's `finish` for a cell of the pool (unless `settle` gave its
    response): what the cell did, also when its worker had to go (a timeout,
    the output limit, the worker's end).  Raises only when the pool closed
    under it, or what the caller's on_output raised."""
    try:
        response = core.finish(exchange) if settled is None else settled
    except WorkerError as error:
        if type(error) is WorkerError and core.closed:
            raise
        execution = exchange.failed(error, now(), state_lost=False)
    else:
        execution = exchange.result(response, now())
    if exchange.cell.sink_error is not None:
        raise exchange.cell.sink_error
    return execution
