"""handle_command: routing by action, request fields and their defaults, the
unknown-action and quit answers, and the errors that pass through it."""
import builtins
import collections
import contextlib
import math
import traceback

import pytest
from conftest import module_entries
from hypothesis import given, settings, strategies as st

from ombrix.workers import custom_worker

PREFIX = "ombrix.workers.custom_worker."
OPERATIONS = ("run_script", "run_inline", "run_function", "validate_script")
HANDLE = (221, PREFIX + "handle_command")


@contextlib.contextmanager
def fake_operations(cw):
    """Replaces the four operations with recording fakes, restoring them after."""
    calls = []
    saved = {name: getattr(cw, name) for name in OPERATIONS}

    def fake(name):
        def op(*args, **kwargs):
            result = {"success": True, "result": name}
            calls.append((name, args, kwargs, result))
            return result

        return op

    try:
        for name in OPERATIONS:
            setattr(cw, name, fake(name))
        yield calls
    finally:
        for name, value in saved.items():
            setattr(cw, name, value)


@pytest.fixture
def calls(cw):
    with fake_operations(cw) as record:
        yield record


ARGS = {"x": [1, 2]}

ROUTED = [
    # request, operation, positional arguments it receives
    ({"action": "run_script"}, "run_script", ("", None)),
    ({"action": "run_script", "path": "a.py", "args": ARGS}, "run_script", ("a.py", ARGS)),
    ({"action": "run_script", "path": "a.py", "args": None}, "run_script", ("a.py", None)),
    ({"action": "run_inline"}, "run_inline", ("", None)),
    ({"action": "run_inline", "code": "x = 1", "args": ARGS, "path": "ignored"}, "run_inline", ("x = 1", ARGS)),
    ({"action": "run_function"}, "run_function", ("", "main", None)),
    ({"action": "run_function", "path": "t.py", "function": "add", "args": ARGS}, "run_function", ("t.py", "add", ARGS)),
    ({"action": "run_function", "function_name": "ignored"}, "run_function", ("", "main", None)),
    ({"action": "validate"}, "validate_script", ("",)),
    ({"action": "validate", "code": "def f(:", "path": "p", "args": ARGS}, "validate_script", ("def f(:",)),
    # null passes None: the defaults apply only to absent fields
    ({"action": "run_script", "path": None}, "run_script", (None, None)),
    ({"action": "run_function", "function": None}, "run_function", ("", None, None)),
    ({"action": "validate", "code": None}, "validate_script", (None,)),
]


@pytest.mark.parametrize("request_, operation, args", ROUTED)
def test_routed_actions_pass_fields_positionally(cw, calls, request_, operation, args):
    result = cw.handle_command(request_)
    assert len(calls) == 1
    name, got_args, kwargs, returned = calls[0]
    assert (name, got_args, kwargs) == (operation, args, {})
    # Field values are the request's own objects, not copies.
    for value in got_args:
        if isinstance(value, dict):
            assert any(value is field for field in request_.values())
    assert result is returned


@pytest.mark.parametrize(
    "request_, message, lambda_entry",
    [
        ({"action": "run_function", "path": "t.py", "function": 5},
         "Argument 'function_name' has incorrect type (expected str, got int)", (209, "lambda2")),
        ({"action": "run_script", "path": None},
         "Argument 'path' has incorrect type (expected str, got NoneType)", (207, "lambda")),
        ({"action": "run_script", "path": "a.py", "args": "x"},
         "Argument 'args' has incorrect type (expected dict, got str)", (207, "lambda")),
        ({"action": "run_inline", "code": 1.5},
         "Argument 'code' has incorrect type (expected str, got float)", (208, "lambda1")),
        ({"action": "run_inline", "args": [1]},
         "Argument 'args' has incorrect type (expected dict, got list)", (208, "lambda1")),
        ({"action": "validate", "code": True},
         "Argument 'code' has incorrect type (expected str, got bool)", (214, "lambda3")),
        ({"action": "run_function", "path": {}},
         "Argument 'path' has incorrect type (expected str, got dict)", (209, "lambda2")),
    ],
)
def test_wrong_field_types_raise_from_the_operations_checks(cw, request_, message, lambda_entry):
    # The real operations: their argument checks run before any body.
    with pytest.raises(TypeError) as info:
        cw.handle_command(request_)
    assert str(info.value) == message
    line, suffix = lambda_entry
    assert module_entries(info.value) == [HANDLE, (line, PREFIX + "handle_command." + suffix)]


class Formatted:
    def __format__(self, fmt):
        return f"formatted[{fmt}]"


@pytest.mark.parametrize(
    "request_, text",
    [
        ({}, ""),
        ({"path": "a.py"}, ""),
        ({"action": None}, "None"),
        ({"action": True}, "True"),
        ({"action": False}, "False"),
        ({"action": 5}, "5"),
        ({"action": -12345678901234567890}, "-12345678901234567890"),
        ({"action": 1.5}, "1.5"),
        ({"action": 1e100}, "1e+100"),
        ({"action": math.inf}, "inf"),
        ({"action": ""}, ""),
        ({"action": "Run_Script"}, "Run_Script"),
        ({"action": "QUIT"}, "QUIT"),
        ({"action": " quit"}, " quit"),
        ({"action": "validate_script"}, "validate_script"),
        ({"action": "run_script\x00"}, "run_script\x00"),
        ({"action": "h\u00e9llo \U0001f600"}, "h\u00e9llo \U0001f600"),
        ({"action": Formatted()}, "formatted[]"),
    ],
)
def test_unknown_actions(cw, calls, request_, text):
    result = cw.handle_command(request_)
    assert result == {"success": False, "error": "Unknown action: " + text}
    assert list(result) == ["success", "error"]
    assert calls == []


def test_quit_is_answered_without_routing(cw, calls):
    first = cw.handle_command({"action": "quit", "path": 5, "code": [], "args": "x"})
    second = cw.handle_command({"action": "quit"})
    assert first == {"success": True, "result": "goodbye"}
    assert list(first) == ["success", "result"]
    assert first is not second  # a new dictionary per call
    assert calls == []


class Equal:
    """Compares equal to one text, with a chosen hash."""

    def __init__(self, text, hash_of=None):
        self.text = text
        self.hash_value = hash(hash_of if hash_of is not None else text)

    def __eq__(self, other):
        return other == self.text

    def __hash__(self):
        return self.hash_value


class Truthy:
    def __eq__(self, other):
        return 1 if other == "quit" else 0

    __hash__ = object.__hash__


class Raising:
    def __eq__(self, other):
        raise ArithmeticError("no comparison")

    __hash__ = object.__hash__


class Text(str):
    pass


def test_action_matching_follows_equality_and_hashing(cw, calls):
    # quit is compared with ==, whatever the action's type; the truth value counts.
    assert cw.handle_command({"action": Text("quit")})["result"] == "goodbye"
    assert cw.handle_command({"action": Equal("quit")})["result"] == "goodbye"
    assert cw.handle_command({"action": Truthy()})["result"] == "goodbye"
    # The routing lookup behaves as a dictionary lookup: hash, then ==.
    assert cw.handle_command({"action": Text("run_inline")})["result"] == "run_inline"
    assert cw.handle_command({"action": Equal("validate")})["result"] == "validate_script"
    assert [c[0] for c in calls] == ["run_inline", "validate_script"]
    # Equal but with another hash: a dictionary never compares it.
    result = cw.handle_command({"action": Equal("run_script", hash_of="elsewhere")})
    assert result["success"] is False and result["error"].startswith("Unknown action: ")
    assert len(calls) == 2


def test_failing_comparison_propagates(cw, calls):
    with pytest.raises(ArithmeticError) as info:
        cw.handle_command({"action": Raising()})
    assert module_entries(info.value) == [HANDLE]
    assert calls == []


@pytest.mark.parametrize("action, type_name", [([1, 2], "list"), ({"a": 1}, "dict"), ([], "list")])
def test_unhashable_actions_raise_the_lookup_error(cw, calls, action, type_name):
    with pytest.raises(TypeError) as info:
        cw.handle_command({"action": action})
    assert str(info.value) == f"unhashable type: '{type_name}'"
    assert module_entries(info.value) == [HANDLE]
    assert calls == []


@pytest.mark.parametrize(
    "action, operation, line, suffix",
    [
        ("run_script", "run_script", 207, "lambda"),
        ("run_inline", "run_inline", 208, "lambda1"),
        ("run_function", "run_function", 209, "lambda2"),
        ("validate", "validate_script", 214, "lambda3"),
    ],
)
def test_exceptions_from_operations_carry_both_entries(cw, monkeypatch, action, operation, line, suffix):
    def failing(*args):
        raise LookupError("from the operation")

    monkeypatch.setattr(cw, operation, failing)
    with pytest.raises(LookupError) as info:
        cw.handle_command({"action": action})
    assert module_entries(info.value) == [HANDLE, (line, PREFIX + "handle_command." + suffix)]
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "failing"

    # An operation that no longer exists anywhere is a NameError at routing time.
    monkeypatch.delattr(cw, operation)
    with pytest.raises(NameError) as info:
        cw.handle_command({"action": action})
    assert str(info.value) == f"name '{operation}' is not defined"
    assert module_entries(info.value) == [HANDLE, (line, PREFIX + "handle_command." + suffix)]


def test_system_exit_from_an_operation_passes_through(cw, monkeypatch):
    def exiting(code, args):
        raise SystemExit(3)

    monkeypatch.setattr(cw, "run_inline", exiting)
    with pytest.raises(SystemExit) as info:
        cw.handle_command({"action": "run_inline", "code": "raise SystemExit(3)"})
    assert info.value.code == 3
    assert module_entries(info.value) == [HANDLE, (208, PREFIX + "handle_command.lambda1")]


def test_operations_are_resolved_by_name_when_routed(cw, monkeypatch):
    seen = []

    class Tool:
        def run(self, *args):
            seen.append((self, args))
            return {"bound": True}

        def __call__(self, *args):
            seen.append(("instance", args))
            return {"instance": True}

    tool = Tool()
    monkeypatch.setattr(cw, "run_script", tool.run)
    assert cw.handle_command({"action": "run_script", "path": "p"}) == {"bound": True}
    assert seen == [(tool, ("p", None))]

    monkeypatch.setattr(cw, "run_script", tool)
    assert cw.handle_command({"action": "run_script"}) == {"instance": True}
    assert seen[-1] == ("instance", ("", None))

    # Absent from the module, the name is found among the builtins.
    monkeypatch.delattr(cw, "validate_script")
    monkeypatch.setattr(builtins, "validate_script", lambda code: {"builtin": code}, raising=False)
    assert cw.handle_command({"action": "validate", "code": "x"}) == {"builtin": "x"}


@pytest.mark.parametrize(
    "returned, type_name",
    [([], "list"), ("text", "str"), (0, "int"), (collections.OrderedDict(), "collections.OrderedDict")],
)
def test_routed_results_must_be_dict_or_none(cw, monkeypatch, returned, type_name):
    monkeypatch.setattr(cw, "run_inline", lambda code, args: returned)
    with pytest.raises(TypeError) as info:
        cw.handle_command({"action": "run_inline"})
    assert str(info.value) == f"Expected dict, got {type_name}"
    assert module_entries(info.value) == [HANDLE]

    monkeypatch.setattr(cw, "run_inline", lambda code, args: None)
    assert cw.handle_command({"action": "run_inline"}) is None


def test_request_changed_while_fields_are_read(cw, monkeypatch):
    """A key whose comparison empties the request must not leave dangling fields."""
    received = []
    monkeypatch.setattr(cw, "run_function", lambda *a: received.append(a) or {})
    request = {}

    class Clearing(str):
        def __eq__(self, other):
            request.clear()
            return False

        __hash__ = str.__hash__

    path = "p" * 50
    request.update({"action": "run_function", "path": path, Clearing("function"): 1})
    assert cw.handle_command(request) == {}
    assert received == [(path, "main", None)]


def test_fields_are_read_left_to_right(cw, calls):
    reads = []

    class Key(str):
        # A stored key of equal hash is compared on every lookup of its text.
        def __eq__(self, other):
            reads.append(str(self))
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    request = {Key("args"): None, Key("function"): "f", Key("code"): "c", Key("path"): "p", "action": "run_function"}
    cw.handle_command(request)
    assert reads == ["path", "function", "args"]
    assert calls[-1][:2] == ("run_function", ("p", "f", None))

    reads.clear()
    request["action"] = "run_inline"
    cw.handle_command(request)
    assert reads == ["code", "args"]


# ---------------------------------------------------------------------------
# Against a plain-Python dispatcher written from the same rules
# ---------------------------------------------------------------------------


def reference_dispatch(cw, cmd):
    action = cmd.get("action", "")
    if action == "quit":
        return {"success": True, "result": "goodbye"}
    handlers = {
        "run_script": lambda: cw.run_script(cmd.get("path", ""), cmd.get("args")),
        "run_inline": lambda: cw.run_inline(cmd.get("code", ""), cmd.get("args")),
        "run_function": lambda: cw.run_function(cmd.get("path", ""), cmd.get("function", "main"), cmd.get("args")),
        "validate": lambda: cw.validate_script(cmd.get("code", "")),
    }
    handler = handlers.get(action)
    if handler:
        return handler()
    return {"success": False, "error": f"Unknown action: {action}"}


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as exc:  # compared by type and text
        return type(exc), str(exc)


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=4),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=4,
)
actions = st.sampled_from(
    ["run_script", "run_inline", "run_function", "validate", "quit", "QUIT", "validate_script", "", "quit "]
) | json_values
requests = st.fixed_dictionaries(
    {},
    optional={"action": actions, "path": json_values, "code": json_values, "function": json_values,
              "args": json_values, "extra": json_values},
)


@settings(max_examples=300, deadline=None)
@given(requests)
def test_matches_a_plain_python_dispatcher(request_):
    cw = custom_worker
    with fake_operations(cw) as calls:
        mine = outcome(lambda: cw.handle_command(request_))
        my_calls = [c[:3] for c in calls]
        calls.clear()
        theirs = outcome(lambda: reference_dispatch(cw, request_))
        their_calls = [c[:3] for c in calls]
    assert mine == theirs
    assert my_calls == their_calls
