"""Reading answers off the protocol without processes: framing, the
run_function split, the output cap."""
import json

import pytest

from ombrix.workers.pool._reader import EXCEEDED, GARBLED, GONE, Answer, encode_request


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
    request = encode_request({"action": "run_function", "path": "p.py", "function": "f", "args": None})
    data = printed + response(value) + request.marker
    for chunks in split_everywhere(data):
        outcome = feed(request, chunks)
        assert outcome == Answer({"success": True, "result": {"return_value": value}}, printed, b""), chunks


def test_bytes_that_belong_to_no_answer_are_reported_as_stray():
    request = encode_request({"action": "run_inline", "code": "x"})
    assert feed(request, [b"chatter\n" + FAKE + b"\n"]) == Answer(json.loads(FAKE), None, b"chatter\n")
    assert feed(request, [response(1) + b"late"]).stray == b"late"
    function = encode_request({"action": "run_function", "path": "p.py"})
    after = feed(function, [response(1) + b"thread\n" + b"glued" + function.marker + b"more"])
    assert (after.response["result"], after.output, after.stray) == ({"return_value": 1}, b"", b"thread\nglued" + b"more")
    assert feed(function, [b"no response\n" + function.marker]) is GARBLED


def test_the_cap_bounds_what_is_held_and_end_of_file_is_gone():
    request = encode_request({"action": "run_inline", "code": "x"})
    reader = request.reader(100)
    held = 0
    outcome = None
    while outcome is None:
        chunk = b"x" * reader.want()
        held += len(chunk)
        outcome = reader.feed(chunk)
    assert outcome is EXCEEDED and held == 101
    assert feed(request, [b'{"success": true', b""]) is GONE
    line = response("y" * 80)
    assert feed(request, [line], limit=len(line)).response["success"] is True
    assert feed(request, [line], limit=len(line) - 2) is EXCEEDED


def test_requests_encode_as_json_dumps_does():
    for cmd in ({"action": "run_inline", "code": 'q"\u00e9\n', "args": None},
                {"action": "run_function", "path": "p", "function": "f", "args": {"a": [1, 2.5, None]}},
                {"action": 5, 1: "int key"}):
        request = encode_request(cmd)
        assert request.data.split(b"\n")[0] == json.dumps(cmd).encode()
    with pytest.raises(TypeError):
        encode_request({"action": "run_inline", "args": {"f": object()}})
