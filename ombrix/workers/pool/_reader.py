"""Reading one answer from a worker's response pipe, without any I/O.

A `ResponseReader` is fed the bytes read for one request and says when the
answer is complete, when it grew past the output limit, or that the worker
is gone.  It never holds more than the limit (plus the short marker line).

A response line is `json.dumps` of a dict whose first key is "success".  For
run_function the worker writes whatever the function printed ahead of the
response, possibly without a final newline, so the request is followed by a
marker request with an unguessable action name; the worker's answer to it
("Unknown action: <marker>") ends the function's answer.  The response is the
last line before the marker's answer that holds a response, starting at the
first `{"success": ` from which the rest of the line parses as a whole: a
printed prefix can never make a balanced suffix parse, and a nested
`{"success": ` inside the response leaves extra data.
"""
from __future__ import annotations

import json
import secrets
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


class _Signal:
    def __init__(self, name: str) -> None:
        self.name = name

    def __repr__(self) -> str:
        return self.name


EXCEEDED: Final = _Signal("EXCEEDED")  # the answer passed the output limit
GONE: Final = _Signal("GONE")  # end of file before the answer
TIMED_OUT: Final = _Signal("TIMED_OUT")  # set by the faces, never by the reader
INTERRUPTED: Final = _Signal("INTERRUPTED")  # the caller gave up (cancelled, interrupted)
GARBLED: Final = _Signal("GARBLED")  # the answer ended without a response line

# A response dict alone, when nothing but the response line came.
Outcome = dict[str, Any] | Answer | _Signal


@dataclass(slots=True)
class Request:
    """The bytes to write for one request, and how to read its answer."""

    data: bytes
    marker: bytes | None  # the marker's answer line, for run_function
    action: object
    timeout: float | None = None

    def reader(self, limit: int) -> ResponseReader:
        return ResponseReader(limit, self.marker)


def encode_request(action: object, text: str) -> Request:
    """The request to write for one request's JSON text (one line)."""
    line = text.encode() + b"\n"
    if action != "run_function":
        return Request(line, None, action)
    token = secrets.token_hex(16)
    marker_request = json.dumps({"action": token}).encode() + b"\n"
    answer = json.dumps({"success": False, "error": f"Unknown action: {token}"}).encode() + b"\n"
    return Request(line + marker_request, answer, action)


def json_value(value: object) -> str:
    """json.dumps(value); strings and None, the usual fields, directly."""
    if type(value) is str:
        return _quote(value)
    if value is None:
        return "null"
    return json.dumps(value)


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
    __slots__ = ("_buf", "_end", "_limit", "_marker", "_scanned")

    def __init__(self, limit: int, marker: bytes | None) -> None:
        self._limit = limit + (0 if marker is None else len(marker))
        self._marker = marker
        self._buf: bytes | bytearray = b""  # a bytearray once a second read is needed
        self._scanned = 0  # bytes of _buf already searched
        self._end = 0  # where the answer found in _buf ends

    def want(self) -> int:
        """How many bytes to read next: never more than one past the limit."""
        return min(65536, self._limit + 1 - len(self._buf))

    def feed(self, data: bytes) -> Outcome | None:
        if not data:
            return GONE
        if not self._buf:
            # The usual answer: one whole response line in one read.
            if (
                self._marker is None
                and len(data) <= self._limit + 1
                and data.startswith(_RESPONSE_START)
                and data.find(b"\n") == len(data) - 1
            ):
                try:
                    value, end = _scan(data.decode("utf-8", "replace"), 0)
                except (ValueError, StopIteration):
                    pass
                else:
                    if end == len(data) - 1 and isinstance(value, dict):
                        return value  # the response itself: nothing else came with it
            self._buf = bytearray()
        assert isinstance(self._buf, bytearray)
        self._buf += data
        found = self._answer_with_marker() if self._marker is not None else self._first_answer()
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

    def _answer_with_marker(self) -> Outcome | None:
        assert self._marker is not None
        buf = self._buf
        at = buf.find(self._marker, max(0, self._scanned - len(self._marker)))
        if at < 0:
            self._scanned = len(buf)
            return None
        head = bytes(buf[:at])
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
        return GARBLED
