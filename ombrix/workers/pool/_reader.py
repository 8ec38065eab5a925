"""Reading one answer from a worker's response pipe, without any I/O.

A `ResponseReader` is fed the bytes read for one request and says when the
answer is complete, when it grew past the output limit, or that the worker
is gone.  It never holds more than the limit (plus the short marker lines).

A response line is `json.dumps` of a dict whose first key is "success".
Every request but quit carries an unguessable mark (a "_mark" field, which
the protocol's actions ignore), and a pool worker writes the mark's line
right after the response, in the same write: the marker that ends the
request's answer exactly.  A line a script wrote on the answer descriptor
therefore never shifts the answers of later requests: before the marker
there must be exactly one line, the response, or the worker was tampered
with (UNREADABLE).

For run_function the worker writes whatever the function printed ahead of
the response, possibly without a final newline, and the function may print
a line that looks like anything; its request is followed by a marker
request with an unguessable action name instead, whose answer ("Unknown
action: <marker>") is the marker.  The response is the last
line before the marker's answer that holds a response, starting at the
first `{"success": ` from which the rest of the line parses as a whole: a
printed prefix can never make a balanced suffix parse, and a nested
`{"success": ` inside the response leaves extra data.  A run_function
request is also preceded by a marker (its answer must come first), so an
answer the worker wrote late for an earlier request, one whose marker a
script stole, is never taken for what this function printed.
"""
from __future__ import annotations

import enum
import json
import os
from dataclasses import dataclass
from json.encoder import encode_basestring_ascii as _quote
from json.scanner import make_scanner
from typing import Any, Final

_RESPONSE_START: Final = b'{"success": '
# The decoder's scanner, called directly: json.loads wraps it in two Python
# calls and two regular expression matches, a tenth of a request's cost.
_scan: Final = make_scanner(json.JSONDecoder())  # type: ignore[arg-type]  # typeshed types it as its own class


@dataclass(slots=True)
class Answer:
    response: dict[str, Any]
    output: bytes | None  # what run_function printed ahead of the response
    stray: bytes  # protocol bytes that belong to no answer: the worker is not clean


class Failure(enum.Enum):
    """An exchange that ended without a usable answer."""

    EXCEEDED = "the answer passed the output limit"
    GONE = "end of file before the answer"
    TIMED_OUT = "the deadline passed (told by the exchange, never by the reader)"
    INTERRUPTED = "the caller gave up (cancelled, interrupted)"
    UNREADABLE = "the answer ended without its response line"


EXCEEDED: Final = Failure.EXCEEDED
GONE: Final = Failure.GONE
TIMED_OUT: Final = Failure.TIMED_OUT
INTERRUPTED: Final = Failure.INTERRUPTED
UNREADABLE: Final = Failure.UNREADABLE

# A response dict alone, when nothing but the response line came.
Outcome = dict[str, Any] | Answer | Failure


@dataclass(slots=True)
class Request:
    """The bytes to write for one request, and how to read its answer."""

    data: bytes
    marker: bytes | None  # the marker's answer line (none for quit)
    action: object
    timeout: float | None = None
    lead: bytes = b""  # the leading marker's answer line, for run_function

    def reader(self, limit: int) -> ResponseReader:
        return ResponseReader(limit, self.marker, self.action == "run_function", self.lead)


# Unguessable tokens (16 random bytes, in hex) for marks and markers, drawn
# from the system's random source 256 at a time: a request's mark costs no
# system call.  list.pop is atomic, so no two requests get the same token; a
# forked child draws its own.
_tokens: list[bytes] = []
os.register_at_fork(after_in_child=_tokens.clear)


def _token() -> bytes:
    while True:
        try:
            return _tokens.pop()
        except IndexError:
            drawn = os.urandom(16 * 256).hex().encode()
            _tokens.extend([drawn[i : i + 32] for i in range(0, len(drawn), 32)])


def _marker() -> tuple[bytes, bytes]:
    """A marker request and the worker's answer to it."""
    token = _token()
    request = b'{"action": "' + token + b'"}\n'
    answer = b'{"success": false, "error": "Unknown action: ' + token + b'"}\n'
    return request, answer


def encode_request(action: object, text: str) -> Request:
    """The request to write for one request's JSON text (one object, one line)."""
    if action == "quit":  # the worker ends after its answer: nothing else to wait for
        return Request(text.encode() + b"\n", None, action)
    if action != "run_function":
        token = _token()
        # The mark goes last, so it wins over a "_mark" of the caller's own.
        head = text.encode()[:-1]
        line = head + (b', "_mark": "' if head != b"{" else b'"_mark": "') + token + b'"}\n'
        return Request(line, token + b"\n", action)
    line = text.encode() + b"\n"
    marker_request, answer = _marker()
    lead_request, lead = _marker()
    return Request(lead_request + line + marker_request, answer, action, lead=lead)


def json_value(value: object) -> str:
    """json.dumps(value); strings and None, the usual fields, directly."""
    if type(value) is str:
        return _quote(value)
    if value is None:
        return "null"
    return json.dumps(value)


def json_object(line: bytes) -> dict[str, Any] | None:
    """What json.loads gives for a line that holds one JSON object, else None."""
    try:
        text = line.decode()
        value, end = _scan(text, 0)
    except (ValueError, StopIteration):
        return None
    return value if isinstance(value, dict) and not text[end:].strip(" \t\n\r") else None


def parse_response(line: bytes) -> tuple[int, dict[str, Any]] | None:
    """Where the response starts in `line`, and the response; None when the
    line holds none."""
    start = line.find(_RESPONSE_START)
    while start >= 0:
        try:
            value = json.loads(line[start:])
        except ValueError:
            pass
        else:
            if isinstance(value, dict):
                return start, value
        start = line.find(_RESPONSE_START, start + 1)
    return None


class ResponseReader:
    __slots__ = ("_buf", "_end", "_function", "_lead", "_limit", "_line", "_marker", "_scanned")

    def __init__(self, limit: int, marker: bytes | None, function: bool = False, lead: bytes = b"") -> None:
        self._limit = limit + len(lead) + (0 if marker is None else len(marker))
        self._marker = marker
        self._function = function
        self._lead = lead
        self._buf: bytes | bytearray = b""  # a bytearray once a second read is needed
        self._scanned = 0  # bytes of _buf already searched
        self._line: dict[str, Any] | None = None  # the response in _buf, waiting for the marker's answer
        self._end = 0  # where the answer found in _buf ends

    def want(self) -> int:
        """How many bytes to read next: never more than one past the limit."""
        return min(65536, self._limit + 1 - len(self._buf))

    def feed(self, data: bytes) -> Outcome | None:
        if not data:
            return GONE
        if self._line is not None:  # a whole response line came alone
            if data == self._marker:
                return self._line
            self._line = None
            self._buf = bytearray(self._buf)
        elif not self._buf:
            # The usual answer: one whole response line, and the marker's
            # answer in the same read or the next.
            marker = self._marker
            if marker is not None and not self._function and len(data) <= self._limit + 1:
                line = data[: len(data) - len(marker)] if data.endswith(marker) else data
                # One whole response line: its only newline at its end.
                whole = line.startswith(_RESPONSE_START) and line.find(b"\n") == len(line) - 1
                value = json_object(line) if whole else None
                if value is not None:
                    if len(line) != len(data):
                        return value  # the response itself: nothing else came with it
                    self._line, self._buf = value, data
                    return None
            self._buf = bytearray()
        assert isinstance(self._buf, bytearray)
        self._buf += data
        found: Outcome | None
        if self._marker is None:
            found = self._first_answer()
        elif self._function:
            found = self._answer_with_marker()
        else:
            found = self._only_answer()
        # An answer counts against the limit up to its end (bytes after it
        # are stray, and they stop at one past the limit too).
        if found is not None and self._end <= self._limit + 1:
            return found
        if len(self._buf) > self._limit:
            return EXCEEDED
        return None

    def _first_answer(self) -> Answer | None:
        buf = self._buf
        start = self._scanned
        while (end := buf.find(b"\n", start)) >= 0:
            parsed = parse_response(bytes(buf[start : end + 1]))
            if parsed is not None:
                at, response = parsed
                self._end = end + 1
                stray = bytes(buf[: start + at]) + bytes(buf[end + 1 :])
                return Answer(response, None, stray)
            start = end + 1
        self._scanned = start
        return None

    def _find_marker(self) -> int:
        assert self._marker is not None
        at = self._buf.find(self._marker, max(0, self._scanned - len(self._marker)))
        self._scanned = len(self._buf) if at < 0 else at
        return at

    def _only_answer(self) -> Outcome | None:
        """The one response line before the marker's answer."""
        assert self._marker is not None
        at = self._find_marker()
        if at < 0:
            # Two whole lines and neither is the marker's answer: it will
            # not come (the marker was taken, or its answer rewritten).
            first = self._buf.find(b"\n")
            return UNREADABLE if first >= 0 and self._buf.find(b"\n", first + 1) >= 0 else None
        self._end = at + len(self._marker)
        line = bytes(self._buf[:at])
        stray = bytes(self._buf[self._end :])
        if line.endswith(b"\n") and line.find(b"\n") == len(line) - 1 and line.startswith(_RESPONSE_START):
            try:
                value = json.loads(line)
            except ValueError:
                pass
            else:
                if isinstance(value, dict):
                    return Answer(value, None, stray) if stray else value
        # Anything but one response line means something else wrote to the
        # answer descriptor: which line is the worker's cannot be told.
        return UNREADABLE

    def _answer_with_marker(self) -> Outcome | None:
        assert self._marker is not None
        buf = self._buf
        lead = self._lead
        if len(buf) < len(lead):
            return None if lead.startswith(bytes(buf)) else UNREADABLE
        if not buf.startswith(lead):
            # Bytes ahead of the leading marker's answer: an earlier answer
            # came late, or something wrote between requests.
            return UNREADABLE
        at = self._find_marker()
        if at < len(lead):
            return None
        head = bytes(buf[len(lead) : at])
        self._end = at + len(self._marker)
        # Bytes glued in front of the marker's answer, and any after it, were
        # written by something else than the worker loop.
        cut = head.rfind(b"\n") + 1
        stray = head[cut:] + bytes(buf[at + len(self._marker) :])
        lines = [line + b"\n" for line in head[:cut].split(b"\n")[:-1]]
        for i in range(len(lines) - 1, -1, -1):
            parsed = parse_response(lines[i])
            if parsed is not None:
                start, response = parsed
                output = b"".join(lines[:i]) + lines[i][:start]
                return Answer(response, output, b"".join(lines[i + 1 :]) + stray)
        # The worker answered the marker but no response line is there: only
        # something writing over the protocol explains that.
        return UNREADABLE
