"""Reading answers off the protocol without processes: framing, the
run_function split, the output cap."""
import json

import pytest

from ombrix.workers.pool import _reader, requests
from ombrix.workers.pool._reader import EXCEEDED, UNREADABLE, GONE, Answer, encode_request


def response(value):
    return json.dumps({"success": True, "result": {"return_value": value}}).encode() + b"\n"


def feed(request, chunks, limit=1 << 20):
    reader = request.reader(limit)
    for chunk in chunks:
        outcome = reader.feed(chunk)
        if outcome is not None:
            return outcome
    return None


def split_everywhere(data):
    """The same bytes in one read, byte by byte, and cut in two at every point."""
    yield [data]
    yield [data[i : i + 1] for i in range(len(data))]
    for cut in range(1, len(data)):
        yield [data[:cut], data[cut:]]


FAKE = b'{"success": true, "result": 1}'


@pytest.mark.parametrize("printed, value", [
    (b"", 1),
    (b"no newline", 2),
    (b"line\npartial", [1, 2]),
    (FAKE + b"\n", "x"),
    (FAKE, {"k": '{"success": true}'}),  # a glued fake response, and one nested in the value
    (b'{"success": ' * 3, None),
    ("caf\u00e9\n".encode(), 3),
])
def test_run_function_answers_split_prints_from_the_response(printed, value):
    request = encode_request("run_function", "{}")
    data = request.lead + printed + response(value) + request.marker
    for chunks in split_everywhere(data):
        outcome = feed(request, chunks)
        assert outcome == Answer({"success": True, "result": {"return_value": value}}, printed, b""), chunks


def test_answers_end_at_their_marker_and_anything_else_is_stray_or_garbled():
    request = encode_request("run_inline", "{}")
    assert feed(request, [response(1), request.marker]) == json.loads(response(1))
    assert feed(request, [response(1) + request.marker + b"late"]).stray == b"late"
    # A second line before the marker's answer: which one is the worker's
    # cannot be told.
    for extra in (b"chatter\n", FAKE + b"\n"):
        for data in (extra + response(1), response(1) + extra):
            assert feed(request, [data + request.marker]) is UNREADABLE
    other = encode_request("run_inline", "{}").marker  # a marker answer, not its own
    assert feed(request, [FAKE + b"\n" + other[:-1]]) is None
    assert feed(request, [FAKE + b"\n" + other]) is UNREADABLE
    function = encode_request("run_function", "{}")
    after = feed(function, [function.lead + response(1) + b"thread\n" + b"glued" + function.marker + b"more"])
    assert (after.response["result"], after.output, after.stray) == ({"return_value": 1}, b"", b"thread\ngluedmore")
    assert feed(function, [function.lead + b"no response\n" + function.marker]) is UNREADABLE
    # An earlier answer arriving late comes before the leading marker's answer.
    assert feed(function, [response(0) + function.lead + response(1) + function.marker]) is UNREADABLE
    assert feed(function, [response(0)[:14]]) is UNREADABLE  # told before the whole answer came
    quit_ = encode_request("quit", '{"action": "quit"}')
    assert quit_.marker is None and feed(quit_, [response(1)]) == Answer(json.loads(response(1)), None, b"")


def test_the_cap_bounds_what_is_held_and_end_of_file_is_gone():
    request = encode_request("run_inline", "{}")
    reader = request.reader(100)
    held = 0
    outcome = None
    while outcome is None:
        chunk = b"x" * reader.want()
        held += len(chunk)
        outcome = reader.feed(chunk)
    assert outcome is EXCEEDED and held == 101 + len(request.marker)
    assert feed(request, [b'{"success": true', b""]) is GONE
    line = response("y" * 80)
    assert feed(request, [line + request.marker], limit=len(line))["success"] is True
    assert feed(request, [line + request.marker], limit=len(line) - 2) is EXCEEDED


def test_requests_encode_as_json_dumps_does():
    text = 'q"\u00e9\n\\'
    args = {"a": [1, 2.5, None], "b": text}
    for (action, line), cmd in [
        (requests.inline_request(text, None), {"action": "run_inline", "code": text, "args": None}),
        (requests.script_request("/" + text, args), {"action": "run_script", "path": "/" + text, "args": args}),
        (requests.function_request("/p", text, args),
         {"action": "run_function", "path": "/p", "function": text, "args": args}),
        (requests.validate_request(text), {"action": "validate", "code": text}),
        (requests.any_request({"action": 5, 1: "int key"}), {"action": 5, 1: "int key"}),
    ]:
        assert (action, line) == (cmd["action"], json.dumps(cmd))
    with pytest.raises(TypeError):
        requests.inline_request("x", {"f": object()})


def test_object_lines_parse_as_json_loads_does():
    def loads(line):
        try:
            value = json.loads(line)
        except ValueError:
            return None
        return value if isinstance(value, dict) else None

    for line in [b'{"stream": "stdout", "text": "\\u00e9"}\n', '{"a": "é"}\n'.encode(), b'{"a": 1} \r\n',
                 b'{"a": 1} x\n', b'{"a": 1}{"b": 2}\n', b"[1]\n", b'{"a": "\xff"}\n', b"{\n", b"\n"]:
        assert _reader.json_object(line) == loads(line), line
