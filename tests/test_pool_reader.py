"""Reading answers off the protocol without processes: framing, the
run_function split, the output cap."""
import json

import pytest

from ombrix.workers.pool import _core
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
    request = encode_request("run_function", "{}")
    data = printed + response(value) + request.marker
    for chunks in split_everywhere(data):
        outcome = feed(request, chunks)
        assert outcome == Answer({"success": True, "result": {"return_value": value}}, printed, b""), chunks


def test_bytes_that_belong_to_no_answer_are_reported_as_stray():
    request = encode_request("run_inline", "{}")
    assert feed(request, [b"chatter\n" + FAKE + b"\n"]) == Answer(json.loads(FAKE), None, b"chatter\n")
    assert feed(request, [response(1) + b"late"]).stray == b"late"
    function = encode_request("run_function", "{}")
    after = feed(function, [response(1) + b"thread\n" + b"glued" + function.marker + b"more"])
    assert (after.response["result"], after.output, after.stray) == ({"return_value": 1}, b"", b"thread\nglued" + b"more")
    assert feed(function, [b"no response\n" + function.marker]) is GARBLED


def test_the_cap_bounds_what_is_held_and_end_of_file_is_gone():
    request = encode_request("run_inline", "{}")
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
    assert feed(request, [line], limit=len(line))["success"] is True
    assert feed(request, [line], limit=len(line) - 2) is EXCEEDED


def test_requests_encode_as_json_dumps_does():
    text = 'q"\u00e9\n\\'
    args = {"a": [1, 2.5, None], "b": text}
    for (action, line), cmd in [
        (_core.inline_request(text, None), {"action": "run_inline", "code": text, "args": None}),
        (_core.script_request(text, args), {"action": "run_script", "path": text, "args": args}),
        (_core.function_request("p", text, args),
         {"action": "run_function", "path": "p", "function": text, "args": args}),
        (_core.validate_request(text), {"action": "validate", "code": text}),
        (_core.any_request({"action": 5, 1: "int key"}), {"action": 5, 1: "int key"}),
    ]:
        assert (action, line) == (cmd["action"], json.dumps(cmd))
    with pytest.raises(TypeError):
        _core.inline_request("x", {"f": object()})
