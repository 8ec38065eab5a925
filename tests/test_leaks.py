"""Leak hunt: every operation, every outcome, repeated until memory is flat.

Each case is one call that reaches one outcome: a success shape, a failure
result, an exception leaving the function, a binding or type error, or a
protocol response of `main` fed from an in-memory stdin.  The case is first
run once and its outcome checked (so a case cannot quietly measure some other
path), then run in warm-up and measured rounds by `assert_no_leak`, which
fails when sys.getallocatedblocks() grows in every measured round.
"""
import contextlib
import io
import json
import signal
import sys
from collections import OrderedDict, namedtuple

import pytest

from conftest import assert_no_leak
from ombrix.workers import custom_worker as cw

# Calls per round: cheap calls many times, file loading fewer.  A leak of one
# block per call still grows a round by more than the slack.  Three measured
# rounds after the warm-up, as in CPython's refleak runs.
CHEAP, FILE, MODULE = 500, 200, 100
ROUNDS = 3

SCRIPTS = {
    "main_args.py": "def main(a):\n    print('hi')\n    return {'n': a['n'], 't': (1, 2)}\n",
    "main_plain.py": "import sys\nprint('e', file=sys.stderr)\ndef main():\n    return [1, 2.5]\n",
    "result.py": "result = {1: 'one', None: {3}}\n",
    "nothing.py": "x = 1\n",
    "raises.py": "print('lost')\nraise ValueError('bad')\n",
    "syntax.py": "def f(:\n    pass\n",
    "exits.py": "import sys\nsys.exit(3)\n",
    "main_needs_arg.py": "def main(a):\n    return a\n",
    "bad_serialize.py": "class S:\n    def __str__(self):\n        raise KeyError('s')\nresult = [S()]\n",
    "latin1.py": b"x = '\xe9'\n",
    "rebinds.py": "import sys, io\nsys.stdout = io.StringIO()\nsys.stderr = None\nresult = 1\n",
    "funcs.py": (
        "import collections\n"
        "value = 0\n"
        "number = 7\n"
        "def ok(a=1, b=2):\n    return {'sum': a + b, 'set': {1}}\n"
        "def quiet():\n    return None\n"
        "def fails():\n    raise ValueError('bad')\n"
        "def leaves():\n    raise SystemExit(2)\n"
        "def odd():\n    class O:\n        def __str__(self):\n            raise KeyError('o')\n    return O()\n"
        "def _private():\n    return 1\n"
        "class Thing:\n    def __init__(self, **kw):\n        self.kw = kw\n"
    ),
    "notes.txt": "not python\n",
}


@pytest.fixture(scope="module")
def scripts(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    paths = {}
    for name, text in SCRIPTS.items():
        p = root / name
        if isinstance(text, bytes):
            p.write_bytes(text)
        else:
            p.write_text(text)
        paths[name] = str(p)
    paths["dir"] = str(root)
    paths["missing"] = str(root / "missing.py")
    return paths


def outcome(fn):
    """Runs fn once: ("return", value) or ("raise", exception class)."""
    try:
        return "return", fn()
    except BaseException as e:  # noqa: BLE001 - every way out is an outcome here
        return "raise", type(e)


def swallow(fn, exc):
    """fn, with the expected exception caught and dropped."""

    def call():
        try:
            fn()
        except exc:
            pass

    return call


def check_and_hunt(fn, expect, calls):
    """`expect` is an exception class that must leave fn, or a predicate on
    the value fn returns.  Then the leak hunt runs over the same call."""
    kind, value = outcome(fn)
    if isinstance(expect, type) and issubclass(expect, BaseException):
        # NotImplementedError (a RuntimeError) never stands for an outcome.
        assert kind == "raise" and issubclass(value, expect), (kind, value)
        assert not issubclass(value, NotImplementedError), value
        assert_no_leak(swallow(fn, expect), rounds=ROUNDS, calls=calls)
    else:
        assert kind == "return", value
        assert expect(value), value
        assert_no_leak(fn, rounds=ROUNDS, calls=calls)


def ok(result):
    return result["success"] is True


def failed(prefix):
    return lambda r: r["success"] is False and list(r) == ["success", "error"] and r["error"].startswith(prefix)


@contextlib.contextmanager
def module_global(name, value=None, remove=False):
    """Rebinds (or removes) one of the module's globals for the duration."""
    d = vars(cw)
    missing = object()
    old = d.get(name, missing)
    if remove:
        d.pop(name, None)
    else:
        d[name] = value
    try:
        yield
    finally:
        if old is missing:
            d.pop(name, None)
        else:
            d[name] = old


# ---------------------------------------------------------------------------
# _serialize
# ---------------------------------------------------------------------------

class ListSub(list):
    pass


class BrokenIterList(list):
    def __iter__(self):
        raise OSError("no iteration")


class ItemsDict(dict):
    def __init__(self, items):
        super().__init__()
        self._items = items

    def items(self):
        return self._items


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class Grows:
    """A value whose str() adds a key to the dictionary being walked."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target[len(self.target)] = 0
        return "grown"


def grows_case():
    d = {}
    d["a"] = Grows(d)
    d["b"] = 1
    return cw._serialize(d)


def self_containing():
    x = []
    x.append(x)
    try:
        return cw._serialize(x)
    finally:
        x.clear()


Point = namedtuple("Point", "x y")

SERIALIZE_CASES = {
    "none": (lambda: cw._serialize(None), lambda r: r is None, CHEAP),
    "scalars": (lambda: cw._serialize([1, 2.5, True, "s", float("nan")]), lambda r: len(r) == 5, CHEAP),
    "nested": (lambda: cw._serialize({"a": [(1, 2), {3: {4}}], 5: Point(1, 2), None: b"x"}),
               lambda r: r == {"a": [[1, 2], {"3": "{4}"}], "5": [1, 2], "None": "b'x'"}, CHEAP),
    "subclasses": (lambda: cw._serialize(ListSub([1, ListSub([2])])), lambda r: r == [1, [2]], CHEAP),
    "dict subclass items list": (lambda: cw._serialize(ItemsDict([(1, 2), ("a", [3])])),
                                 lambda r: r == {"1": 2, "a": [3]}, CHEAP),
    "dict subclass items iterator": (lambda: cw._serialize(ItemsDict(iter([("k", (1,))]))),
                                     lambda r: r == {"k": [1]}, CHEAP),
    "duplicate key text": (lambda: cw._serialize({1: "a", "1": "b"}), lambda r: r == {"1": "b"}, CHEAP),
    "str raises": (lambda: cw._serialize({"k": [BadStr()]}), ValueError, CHEAP),
    "key str raises": (lambda: cw._serialize({BadStr(): 1}), ValueError, CHEAP),
    "iteration raises": (lambda: cw._serialize(BrokenIterList([1])), OSError, CHEAP),
    "items too many values": (lambda: cw._serialize(ItemsDict([(1, 2, 3)])), ValueError, CHEAP),
    "items too few values": (lambda: cw._serialize(ItemsDict([(1,)])), ValueError, CHEAP),
    "items element not iterable": (lambda: cw._serialize(ItemsDict([None])), TypeError, CHEAP),
    "dict changes size": (grows_case, RuntimeError, CHEAP),
    "self-containing list": (self_containing, RecursionError, 100),
    "no argument": (lambda: cw._serialize(), TypeError, CHEAP),
    "two arguments": (lambda: cw._serialize(1, 2), TypeError, CHEAP),
    "unexpected keyword": (lambda: cw._serialize(1, other=2), TypeError, CHEAP),
}


@pytest.mark.parametrize("case", list(SERIALIZE_CASES))
def test_serialize(case):
    fn, expect, calls = SERIALIZE_CASES[case]
    check_and_hunt(fn, expect, calls)


def test_serialize_recursion_name_missing():
    fn = cw._serialize
    with module_global("_serialize", remove=True):
        check_and_hunt(lambda: fn([1]), NameError, CHEAP)


# ---------------------------------------------------------------------------
# run_script
# ---------------------------------------------------------------------------

class StrSub(str):
    pass


def script_cases(s):
    return {
        "main with args": (lambda: cw.run_script(s["main_args.py"], {"n": 1}),
                           lambda r: r["result"] == {"output": "hi\n", "errors": "",
                                                     "return_value": {"n": 1, "t": [1, 2]}}),
        "main without args": (lambda: cw.run_script(s["main_plain.py"]),
                              lambda r: r["result"] == {"output": "", "errors": "e\n", "return_value": [1, 2.5]}),
        "result": (lambda: cw.run_script(s["result.py"], {}),
                   lambda r: r["result"]["return_value"] == {"1": "one", "None": "{3}"}),
        "no value": (lambda: cw.run_script(s["nothing.py"]), lambda r: r["result"]["return_value"] is None),
        "rebinds streams": (lambda: cw.run_script(s["rebinds.py"]), lambda r: r["result"]["return_value"] == 1),
        "not found": (lambda: cw.run_script(s["missing"]), failed("Script not found: ")),
        "raises": (lambda: cw.run_script(s["raises.py"]), failed("ValueError: bad\n")),
        "syntax error": (lambda: cw.run_script(s["syntax.py"]), failed("SyntaxError: ")),
        "directory": (lambda: cw.run_script(s["dir"]), failed("IsADirectoryError: ")),
        "not utf-8": (lambda: cw.run_script(s["latin1.py"]), failed("UnicodeDecodeError: ")),
        "main cannot take args": (lambda: cw.run_script(s["main_needs_arg.py"]), failed("TypeError: ")),
        "serialize raises": (lambda: cw.run_script(s["bad_serialize.py"]), failed("KeyError: ")),
        "system exit": (lambda: cw.run_script(s["exits.py"]), SystemExit),
        "no arguments": (lambda: cw.run_script(), TypeError),
        "too many": (lambda: cw.run_script("a", None, 3), TypeError),
        "multiple values": (lambda: cw.run_script("a", path="b"), TypeError),
        "unexpected keyword": (lambda: cw.run_script("a", nope=1), TypeError),
        "path type": (lambda: cw.run_script(5), TypeError),
        "path subclass": (lambda: cw.run_script(StrSub("a")), TypeError),
        "args type": (lambda: cw.run_script("a", [1]), TypeError),
        "args subclass": (lambda: cw.run_script("a", OrderedDict()), TypeError),
    }


SCRIPT_CASE_NAMES = list(script_cases({k: "" for k in [*SCRIPTS, "dir", "missing"]}))


@pytest.mark.parametrize("case", SCRIPT_CASE_NAMES)
def test_run_script(case, scripts):
    fn, expect = script_cases(scripts)[case]
    check_and_hunt(fn, expect, FILE)


def test_run_script_without_sys_or_traceback(scripts):
    # A missing module global is an ordinary failure, reported...
    with module_global("sys", remove=True):
        check_and_hunt(lambda: cw.run_script(scripts["nothing.py"]), failed("NameError: "), FILE)
    # ...unless the report itself cannot be built: then it leaves the function.
    with module_global("traceback", remove=True):
        check_and_hunt(lambda: cw.run_script(scripts["raises.py"]), NameError, FILE)


# ---------------------------------------------------------------------------
# run_inline
# ---------------------------------------------------------------------------

INLINE_CASES = {
    "result": (lambda: cw.run_inline("result = 1"),
               lambda r: r == {"success": True, "result": {"output": "", "errors": "", "return_value": 1}}),
    "prints": (lambda: cw.run_inline("import sys\nprint('out')\nprint('err', file=sys.stderr)"),
               lambda r: r["result"]["output"] == "out\n" and r["result"]["errors"] == "err\n"),
    "args": (lambda: cw.run_inline("result = args", {"k": [1, (2,)]}),
             lambda r: r["result"]["return_value"] == {"k": [1, [2]]}),
    "main not called": (lambda: cw.run_inline("def main():\n    return 1\n"),
                        lambda r: r["result"]["return_value"] is None),
    "odd value": (lambda: cw.run_inline("result = {frozenset(): range(3), 1.5: object}"),
                  lambda r: list(r["result"]["return_value"]) == ["frozenset()", "1.5"]),
    "rebinds stdout": (lambda: cw.run_inline("import sys, io\nsys.stdout = io.StringIO()\nprint('x')"),
                       ok),
    "raises": (lambda: cw.run_inline("print('lost')\nraise ValueError('bad')"), failed("ValueError: bad\n")),
    "raises without text": (lambda: cw.run_inline("raise KeyError"), failed("KeyError: \n")),
    "syntax error": (lambda: cw.run_inline("x = 1\n)"), failed("SyntaxError: ")),
    "no __file__": (lambda: cw.run_inline("__file__"), failed("NameError: ")),
    "serialize raises": (lambda: cw.run_inline(
        "class S:\n    def __str__(self):\n        raise KeyError('s')\nresult = S()"), failed("KeyError: ")),
    "exception with odd str": (lambda: cw.run_inline(
        "class E(Exception):\n    def __format__(self, spec):\n        return 'formatted'\nraise E('x')"),
        failed("E: formatted\n")),
    "system exit": (lambda: cw.run_inline("raise SystemExit(1)"), SystemExit),
    "keyboard interrupt": (lambda: cw.run_inline("raise KeyboardInterrupt"), KeyboardInterrupt),
    "generator exit": (lambda: cw.run_inline("raise GeneratorExit"), GeneratorExit),
    "no arguments": (lambda: cw.run_inline(), TypeError),
    "keyword only args": (lambda: cw.run_inline(args=None), TypeError),
    "code type": (lambda: cw.run_inline(b"x"), TypeError),
    "args type": (lambda: cw.run_inline("x", 1), TypeError),
}


# NameError reports are dear (the traceback module looks for similar names).
INLINE_CALLS = {"no __file__": 100}


@pytest.mark.parametrize("case", list(INLINE_CASES))
def test_run_inline(case):
    fn, expect = INLINE_CASES[case]
    check_and_hunt(fn, expect, INLINE_CALLS.get(case, CHEAP))


def test_run_inline_report_cannot_be_built():
    with module_global("traceback", remove=True):
        check_and_hunt(lambda: cw.run_inline("1/0"), NameError, CHEAP)
    with module_global("StringIO", remove=True):
        check_and_hunt(lambda: cw.run_inline("result = 1"), failed("NameError: "), CHEAP)


# ---------------------------------------------------------------------------
# run_function
# ---------------------------------------------------------------------------

def function_cases(s):
    f = s["funcs.py"]
    return {
        "with args": (lambda: cw.run_function(f, "ok", {"a": 2, "b": 3}),
                      lambda r: r == {"success": True, "result": {"return_value": {"sum": 5, "set": "{1}"}}}),
        "without args": (lambda: cw.run_function(f, "quiet"),
                         lambda r: r == {"success": True, "result": {"return_value": None}}),
        "class": (lambda: cw.run_function(f, "Thing", {"k": 1}),
                  lambda r: r["success"] is True and "Thing" in r["result"]["return_value"]),
        "private": (lambda: cw.run_function(f, "_private", {}), ok),
        "not found": (lambda: cw.run_function(s["missing"], "main"), failed("Script not found: ")),
        "cannot load": (lambda: cw.run_function(s["notes.txt"], "main"), failed("Cannot load module from: ")),
        "function not found": (lambda: cw.run_function(f, "absent"),
                               failed("Function 'absent' not found. Available: ['Thing', 'fails'")),
        "falsy name": (lambda: cw.run_function(f, "value"), failed("Function 'value' not found")),
        "not callable": (lambda: cw.run_function(f, "number"), failed("'number' is not callable")),
        "raises": (lambda: cw.run_function(f, "fails"), failed("ValueError: bad\n")),
        "bad keyword": (lambda: cw.run_function(f, "ok", {"c": 1}), failed("TypeError: ")),
        "serialize raises": (lambda: cw.run_function(f, "odd"), failed("KeyError: ")),
        "syntax error": (lambda: cw.run_function(s["syntax.py"], "f"), failed("SyntaxError: ")),
        "top level raises": (lambda: cw.run_function(s["raises.py"], "main"), failed("ValueError: bad\n")),
        "system exit": (lambda: cw.run_function(f, "leaves"), SystemExit),
        "top level exits": (lambda: cw.run_function(s["exits.py"], "main"), SystemExit),
        "too few": (lambda: cw.run_function(f, args={}), TypeError),
        "too many": (lambda: cw.run_function(f, "a", None, 4), TypeError),
        "multiple values": (lambda: cw.run_function(f, "a", function_name="b"), TypeError),
        "name type": (lambda: cw.run_function(f, 1), TypeError),
        "args type": (lambda: cw.run_function(f, "ok", ()), TypeError),
    }


FUNCTION_CASE_NAMES = list(function_cases({k: "" for k in [*SCRIPTS, "dir", "missing"]}))


@pytest.mark.parametrize("case", FUNCTION_CASE_NAMES)
def test_run_function(case, scripts):
    fn, expect = function_cases(scripts)[case]
    check_and_hunt(fn, expect, MODULE)


# ---------------------------------------------------------------------------
# validate_script
# ---------------------------------------------------------------------------

VALIDATE_CASES = {
    "valid": (lambda: cw.validate_script("x = 1/0"),
              lambda r: r == {"success": True, "result": {"valid": True, "message": "Script is valid Python"}}),
    "syntax error": (lambda: cw.validate_script("x = (\n"),
                     lambda r: r["result"]["valid"] is False and isinstance(r["result"]["line"], int)),
    "indentation": (lambda: cw.validate_script("if x:\npass"), lambda r: r["result"]["valid"] is False),
    "compiler error": (lambda: cw.validate_script("return 1"), lambda r: r["result"]["line"] == 1),
    "lone surrogate": (lambda: cw.validate_script("'\ud800'"), UnicodeEncodeError),
    "null byte": (lambda: cw.validate_script("x\0"), lambda r: r["result"]["valid"] is False),
    "no arguments": (lambda: cw.validate_script(), TypeError),
    "code type": (lambda: cw.validate_script(None), TypeError),
}


@pytest.mark.parametrize("case", list(VALIDATE_CASES))
def test_validate_script(case):
    fn, expect = VALIDATE_CASES[case]
    check_and_hunt(fn, expect, CHEAP)


# ---------------------------------------------------------------------------
# handle_command
# ---------------------------------------------------------------------------

def command_cases(s):
    hc = cw.handle_command
    return {
        "quit": (lambda: hc({"action": "quit", "path": 1}), lambda r: r == {"success": True, "result": "goodbye"}),
        "run_script": (lambda: hc({"action": "run_script", "path": s["result.py"]}), ok),
        "run_inline": (lambda: hc({"action": "run_inline", "code": "result = args", "args": {"a": 1}}),
                       lambda r: r["result"]["return_value"] == {"a": 1}),
        "run_function": (lambda: hc({"action": "run_function", "path": s["funcs.py"], "function": "quiet"}), ok),
        "run_function default": (lambda: hc({"action": "run_function", "path": s["funcs.py"]}),
                                 failed("Function 'main' not found")),
        "validate": (lambda: hc({"action": "validate", "code": "x =", "path": 1}),
                     lambda r: r["result"]["valid"] is False),
        "no action": (lambda: hc({}), lambda r: r == {"success": False, "error": "Unknown action: "}),
        "null action": (lambda: hc({"action": None}), failed("Unknown action: None")),
        "number action": (lambda: hc({"action": 1.5}), failed("Unknown action: 1.5")),
        "text action": (lambda: hc({"action": "QUIT"}), failed("Unknown action: QUIT")),
        "unhashable action": (lambda: hc({"action": [1]}), TypeError),
        "wrong field type": (lambda: hc({"action": "run_script", "path": None}), TypeError),
        "not a dict": (lambda: hc([1]), TypeError),
        "dict subclass": (lambda: hc(OrderedDict(action="quit")), TypeError),
        "unexpected keyword": (lambda: hc(command={}), TypeError),
        "operation exits": (lambda: hc({"action": "run_inline", "code": "raise SystemExit"}), SystemExit),
    }


COMMAND_CASE_NAMES = list(command_cases({k: "" for k in [*SCRIPTS, "dir", "missing"]}))


@pytest.mark.parametrize("case", COMMAND_CASE_NAMES)
def test_handle_command(case, scripts):
    fn, expect = command_cases(scripts)[case]
    check_and_hunt(fn, expect, MODULE if "function" in case else FILE)


def test_handle_command_odd_routing():
    # A replaced operation; one that returns neither a dict nor None; one that is gone.
    with module_global("run_inline", lambda code, args: {"code": code}):
        check_and_hunt(lambda: cw.handle_command({"action": "run_inline", "code": "x", "args": {"a": 1}}),
                       lambda r: r == {"code": "x"}, CHEAP)
    with module_global("validate_script", lambda code: 5):
        check_and_hunt(lambda: cw.handle_command({"action": "validate"}), TypeError, CHEAP)
    with module_global("validate_script", remove=True):
        check_and_hunt(lambda: cw.handle_command({"action": "validate"}), NameError, CHEAP)


# ---------------------------------------------------------------------------
# main, fed from an in-memory stdin
# ---------------------------------------------------------------------------

def serve(text):
    """Runs main over `text`; returns (its return value, what it wrote)."""
    old_in, old_out = sys.stdin, sys.stdout
    old_handler = signal.getsignal(signal.SIGINT)
    sys.stdin, sys.stdout = io.StringIO(text), io.StringIO()
    try:
        value = cw.main()
        return value, sys.stdout.getvalue()
    finally:
        sys.stdin, sys.stdout = old_in, old_out
        signal.signal(signal.SIGINT, old_handler)


def lines(*requests):
    return "".join((r if isinstance(r, str) else json.dumps(r)) + "\n" for r in requests)


def answered(*prefixes):
    """main returned None, and each response line starts as given."""

    def check(r):
        value, out = r
        got = out.splitlines()
        return value is None and len(got) == len(prefixes) and all(
            line.startswith(p) for line, p in zip(got, prefixes))

    return check


def main_cases(s):
    return {
        "empty input": (lambda: serve(""), answered()),
        "blank lines": (lambda: serve(" \n\t\r\n\n"), answered()),
        "invalid json": (lambda: serve("not json\n{} {}\n"),
                         answered('{"success": false, "error": "Invalid JSON: Expecting value',
                                  '{"success": false, "error": "Invalid JSON: Extra data')),
        "every action": (lambda: serve(lines(
            {"action": "run_script", "path": s["result.py"]},
            {"action": "run_inline", "code": "print('\u00e9')\nresult = float('nan')"},
            {"action": "validate", "code": "def"},
            {"action": "unknown"},
            {"action": "run_script", "path": s["missing"]},
            {"action": "run_inline", "code": "1/0"})),
            answered(*['{"success": true'] * 3, *['{"success": false'] * 3)),
        "run_function prints": (lambda: serve(lines({"action": "run_function", "path": s["main_args.py"],
                                                     "args": {"a": {"n": 1}}})),
                                answered("hi", '{"success": true')),
        "quit": (lambda: serve(lines("  " + json.dumps({"action": "quit"}), {"action": "run_inline"})),
                 answered('{"success": true, "result": "goodbye"}')),
        "non-object line": (lambda: serve(lines({"action": "validate"}, "[1, 2]", {"action": "quit"})), TypeError),
        "null line": (lambda: serve("null\n"), TypeError),
        "unhashable action": (lambda: serve(lines({"action": {}})), TypeError),
        "wrong field type": (lambda: serve(lines({"action": "run_inline", "code": 5})), TypeError),
        "script exits": (lambda: serve(lines({"action": "run_inline", "code": "import sys; sys.exit(0)"})),
                         SystemExit),
        # A value json.dumps cannot write (an int past the digit limit of
        # int-to-text conversion): ValueError ends main, nothing is written.
        "response not encodable": (lambda: serve(lines({"action": "run_inline", "code": "result = 10 ** 5000"})),
                                   ValueError),
        "arguments": (lambda: cw.main(1), TypeError),
        "keywords": (lambda: cw.main(x=1), TypeError),
    }


MAIN_CASE_NAMES = list(main_cases({k: "" for k in [*SCRIPTS, "dir", "missing"]}))


@pytest.mark.parametrize("case", MAIN_CASE_NAMES)
def test_main(case, scripts):
    fn, expect = main_cases(scripts)[case]
    check_and_hunt(fn, expect, MODULE if case in ("every action", "run_function prints") else FILE)


def test_main_write_fails():
    # A closed stdout: the write raises and ends main.
    def closed_stdout():
        old_in, old_out = sys.stdin, sys.stdout
        old_handler = signal.getsignal(signal.SIGINT)
        out = io.StringIO()
        out.close()
        sys.stdin, sys.stdout = io.StringIO(lines({"action": "quit"})), out
        try:
            cw.main()
        finally:
            sys.stdin, sys.stdout = old_in, old_out
            signal.signal(signal.SIGINT, old_handler)

    check_and_hunt(closed_stdout, ValueError, FILE)
