"""main: the JSON-lines loop, in-process with replaced streams and through
real pipes to worker subprocesses; and the main guard."""
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import threading
import types

import pytest

from conftest import FILE, Worker, module_entries, response_lines, run_worker

MAIN = "ombrix.workers.custom_worker.main"
CONSOLE_SCRIPT = os.path.join(os.path.dirname(sys.executable), "custom-worker")


def line(obj):
    return json.dumps(obj) + "\n"


QUIT = line({"action": "quit"})
GOODBYE = {"success": True, "result": "goodbye"}
NOT_JSON = {"success": False, "error": "Invalid JSON: Expecting value: line 1 column 1 (char 0)"}
EXTRA_DATA = {"success": False, "error": "Invalid JSON: Extra data: line 1 column 4 (char 3)"}


def unknown(text):
    return {"success": False, "error": "Unknown action: " + text}


# ---------------------------------------------------------------------------
# In-process: sys.stdin and sys.stdout replaced
# ---------------------------------------------------------------------------


@pytest.fixture
def serve(cw):
    """Runs main over the given stdin; returns (main's result, stdout text).

    The streams are swapped by hand (not with monkeypatch, whose undo list
    would keep every stream alive and spoil the leak check)."""
    previous = signal.getsignal(signal.SIGINT)
    saved = sys.stdin, sys.stdout

    def run(stdin, stdout=None):
        out = io.StringIO() if stdout is None else stdout
        sys.stdin = io.StringIO(stdin) if isinstance(stdin, str) else stdin
        sys.stdout = out
        try:
            result = cw.main()
        finally:
            sys.stdin, sys.stdout = saved
        return result, (out.getvalue() if isinstance(out, io.StringIO) else None)

    yield run
    signal.signal(signal.SIGINT, previous)


def decoded(text):
    assert text == "" or text.endswith("\n")
    return [json.loads(x) for x in text.splitlines()]


def test_blank_input_writes_nothing(serve):
    assert serve("") == (None, "")
    assert serve("\n   \n\t\r\n\r\n \x0b\x0c\u3000\n") == (None, "")


def test_a_session(serve):
    stdin = "".join([
        "\n",
        "not json\n",
        "  {} {}  \r\n",
        line({"action": "QUIT"}),
        line({}),
        '{"action": 1e400}\n',  # json.loads accepts the infinities
        '{"action": NaN, "action": "last wins"}\n',
        " \t" + line({"action": "quit"}),
        line({"action": "never read"}),
    ])
    stdin_stream = io.StringIO(stdin)
    result, out = serve(stdin_stream)
    assert result is None
    assert decoded(out) == [NOT_JSON, EXTRA_DATA, unknown("QUIT"), unknown(""), unknown("inf"),
                            unknown("last wins"), GOODBYE]
    assert stdin_stream.read() == line({"action": "never read"})
    # SIGINT stays ignored after main returns.
    assert signal.getsignal(signal.SIGINT) is signal.SIG_IGN


class Log:
    """A stdin and stdout that record every read, write and flush in one list."""

    def __init__(self, lines):
        self.lines = iter(lines)
        self.events = []

    def __iter__(self):
        return self

    def __next__(self):
        try:
            text = next(self.lines)
        except StopIteration:
            self.events.append(("end",))
            raise
        self.events.append(("read", text))
        return text

    def write(self, text):
        self.events.append(("write", text))
        return len(text)

    def flush(self):
        self.events.append(("flush",))


def test_each_response_is_one_write_and_one_flush_before_the_next_read(serve):
    log = Log(["x\n", "\n", line({"action": "a\u00e9"}), QUIT, "after\n"])
    serve(log, stdout=log)
    assert log.events == [
        ("read", "x\n"),
        ("write", json.dumps({"success": False, "error": "Invalid JSON: Expecting value: line 1 column 1 (char 0)"}) + "\n"),
        ("flush",),
        ("read", "\n"),
        ("read", line({"action": "a\u00e9"})),
        ("write", '{"success": false, "error": "Unknown action: a\\u00e9"}\n'),
        ("flush",),
        ("read", QUIT),
        ("write", '{"success": true, "result": "goodbye"}\n'),
        ("flush",),
    ]


def test_streams_and_names_are_looked_up_at_each_use(cw, serve, monkeypatch):
    seen = []
    first_out, second_out = io.StringIO(), io.StringIO()

    def handle(cmd):
        # Replacing sys.stdin changes nothing: main iterates what it read once.
        # Replacing sys.stdout takes effect for this very response.
        seen.append((cmd, sys.exception()))
        sys.stdin = io.StringIO(QUIT)
        sys.stdout = second_out
        return {"n": len(seen)}

    monkeypatch.setattr(cw, "handle_command", handle)
    outer = KeyError("handled outside main")
    try:
        raise outer
    except KeyError:
        serve('{"a": 1}\nbad\n{"b": 2}\n', stdout=first_out)
        assert sys.exception() is outer
    assert seen == [({"a": 1}, outer), ({"b": 2}, outer)]
    assert first_out.getvalue() == ""
    assert second_out.getvalue() == line({"n": 1}) + line(NOT_JSON) + line({"n": 2})


def test_the_quit_decision_is_taken_on_the_request(cw, serve, monkeypatch):
    monkeypatch.setattr(cw, "handle_command", lambda cmd: {"answered": cmd.get("action")})
    rest = io.StringIO(line({"action": "x"}) + line({"action": "quit", "y": 1}) + line({"action": "z"}))
    _, out = serve(rest)
    assert decoded(out) == [{"answered": "x"}, {"answered": "quit"}]
    assert rest.read() == line({"action": "z"})

    # A request that is not a dict reaches `cmd.get` only after its answer.
    monkeypatch.setattr(cw, "handle_command", lambda cmd: {"ok": True})
    out = io.StringIO()
    with pytest.raises(AttributeError) as info:
        serve("[1]\n", stdout=out)
    assert out.getvalue() == line({"ok": True})
    assert module_entries(info.value) == [(244, MAIN)]


@pytest.mark.parametrize(
    "text, error, message, entries",
    [
        ("[1, 2]", TypeError, "Argument 'cmd' has incorrect type (expected dict, got list)", [(240, MAIN)]),
        ("null", TypeError, "Argument 'cmd' has incorrect type (expected dict, got NoneType)", [(240, MAIN)]),
        ('"quit"', TypeError, "Argument 'cmd' has incorrect type (expected dict, got str)", [(240, MAIN)]),
        ('{"action": ["quit"]}', TypeError, "unhashable type: 'list'",
         [(240, MAIN), (221, "ombrix.workers.custom_worker.handle_command")]),
        # Not a decoding error: the integer is too long to convert.
        ('{"action": 1' + "0" * 5000 + "}", ValueError, None, [(233, MAIN)]),
    ],
)
def test_exceptions_end_main_without_a_response(serve, text, error, message, entries):
    stdin = io.StringIO(line({"action": 1}) + text + "\n" + QUIT)
    out = io.StringIO()
    with pytest.raises(error) as info:
        serve(stdin, stdout=out)
    if message is not None:
        assert str(info.value) == message
    assert module_entries(info.value) == entries
    assert decoded(out.getvalue()) == [unknown("1")]
    assert stdin.read() == QUIT


class FailingOut:
    def __init__(self, fail_on):
        self.fail_on = fail_on

    def write(self, text):
        if self.fail_on == "write":
            raise BrokenPipeError("write")

    def flush(self):
        if self.fail_on == "flush":
            raise BrokenPipeError("flush")


@pytest.mark.parametrize(
    "stdin, fail_on, entry",
    [(QUIT, "write", 241), (QUIT, "flush", 242), ("oops\n", "write", 236), ("oops\n", "flush", 237)],
)
def test_output_failures_end_main(serve, stdin, fail_on, entry):
    with pytest.raises(BrokenPipeError) as info:
        serve(stdin, stdout=FailingOut(fail_on))
    assert str(info.value) == fail_on
    assert module_entries(info.value)[0] == (entry, MAIN)
    if stdin == "oops\n":
        # Raised while answering the decoding error, which becomes its context.
        context = info.value.__context__
        assert type(context).__name__ == "JSONDecodeError"
        assert module_entries(context) == [(233, MAIN)]


def test_unencodable_response_writes_nothing(cw, serve, monkeypatch):
    monkeypatch.setattr(cw, "handle_command", lambda cmd: {"value": object()})
    out = io.StringIO()
    with pytest.raises(TypeError) as info:
        serve(QUIT, stdout=out)
    assert "not JSON serializable" in str(info.value)
    assert module_entries(info.value)[0] == (241, MAIN)
    assert out.getvalue() == ""


def test_stdin_read_failure_ends_main(serve):
    class Broken:
        def __iter__(self):
            return self

        def __next__(self):
            raise UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")

    with pytest.raises(UnicodeDecodeError) as info:
        serve(Broken())
    assert module_entries(info.value) == [(227, MAIN)]


def test_sigint_disposition_is_set_through_the_signal_global(cw, serve, monkeypatch):
    calls = []
    fake = types.SimpleNamespace(SIGINT="INT", SIG_IGN="IGN", signal=lambda *a: calls.append(a))
    monkeypatch.setattr(cw, "signal", fake)
    serve("")
    assert calls == [("INT", "IGN")]

    monkeypatch.setattr(cw, "signal", types.SimpleNamespace(SIGINT=2))
    stdin = io.StringIO(QUIT)
    with pytest.raises(AttributeError) as info:
        serve(stdin)
    assert module_entries(info.value) == [(225, MAIN)]
    assert stdin.read() == QUIT  # nothing was read


def test_main_off_the_main_thread_reads_nothing(cw, monkeypatch):
    stdin = io.StringIO(QUIT)
    monkeypatch.setattr(sys, "stdin", stdin)
    caught = []

    def run():
        try:
            cw.main()
        except BaseException as exc:  # noqa: BLE001 - handed to the test thread
            caught.append(exc)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    assert len(caught) == 1 and isinstance(caught[0], ValueError)
    assert module_entries(caught[0]) == [(225, MAIN)]
    assert stdin.read() == QUIT


@pytest.mark.parametrize("op", ["run_script", "run_inline", "run_function", "validate_script",
                                "handle_command", "main"])
def test_a_generator_resumed_in_a_handler_keeps_its_own_exception_state(cw, serve, tmp_path, op):
    tool = tmp_path / "tool.py"
    tool.write_text("def f():\n    raise ValueError('inner')\n")
    calls = {
        "run_script": lambda: cw.run_script(str(tool)),
        "run_inline": lambda: cw.run_inline("1/0"),
        "run_function": lambda: cw.run_function(str(tool), "f"),
        "validate_script": lambda: cw.validate_script("x = ("),
        "handle_command": lambda: cw.handle_command({"action": "run_inline", "code": "result = 1"}),
        "main": lambda: serve("not json\n" + QUIT),
    }

    def gen():
        calls[op]()
        yield
        yield sys.exc_info()[1]
        try:
            raise KeyError("later")
        except KeyError as later:
            yield later.__context__

    g = gen()
    try:
        raise KeyError("earlier")
    except KeyError:
        next(g)
    # The caller's exception belongs to the caller: once it is no longer
    # handled, the generator neither reports it nor chains to it.
    assert next(g) is None
    assert next(g) is None


# ---------------------------------------------------------------------------
# Through pipes
# ---------------------------------------------------------------------------


def assert_pure_ascii_lines(raw):
    assert raw.endswith(b"\n") or raw == b""
    for chunk in raw.split(b"\n")[:-1]:
        assert chunk and chunk.isascii() and b"\r" not in chunk


def test_pipe_empty_input(tmp_path):
    done = run_worker("", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


def test_pipe_session(tmp_path):
    stdin = b"".join([
        b"\n", b"   \n", b"\t\r\n", b"\r\n",
        b"not json\n",
        b"{} {}\r\n",
        line({"action": "QUIT"}).encode(),
        '{"action": "h\u00e9 \U0001f600"}\n'.encode("utf-8"),  # raw UTF-8 in
        b'{"action": "\\ud800"}\n',  # a lone surrogate still goes out as ASCII
        b"  " + QUIT.encode().rstrip(b"\n") + b"\t \n",
        line({"action": "after quit"}).encode(),
    ])
    done = run_worker(stdin, cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == b""
    assert_pure_ascii_lines(done.stdout)
    assert b"\\u00e9 \\ud83d\\ude00" in done.stdout
    assert b'"Unknown action: \\ud800"' in done.stdout
    assert response_lines(done) == [NOT_JSON, EXTRA_DATA, unknown("QUIT"), unknown("h\u00e9 \U0001f600"),
                                    unknown("\ud800"), GOODBYE]


@pytest.mark.parametrize("bad", ["[1, 2]", "null"])
def test_console_script_ends_on_a_request_that_is_not_an_object(bad):
    stdin = line({"action": "first"}) + bad + "\n" + line({"action": "never"})
    done = subprocess.run([CONSOLE_SCRIPT], input=stdin.encode(), capture_output=True, timeout=60)
    assert done.returncode != 0
    assert response_lines(done) == [unknown("first")]
    err = done.stderr.decode()
    assert err.startswith("Traceback (most recent call last):")
    assert f'File "{FILE}", line 240, in {MAIN}' in err
    got = "list" if bad.startswith("[") else "NoneType"
    assert err.rstrip().endswith(f"TypeError: Argument 'cmd' has incorrect type (expected dict, got {got})")


@pytest.mark.parametrize("stdin", ["", QUIT + line({"action": "x"})])
def test_console_script_exits_zero_after_quit_or_end_of_input(stdin):
    done = subprocess.run([CONSOLE_SCRIPT], input=stdin.encode(), capture_output=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, b"")
    assert response_lines(done) == ([GOODBYE] if stdin else [])


STDIN_HOST = """\
import sys
from ombrix.workers.custom_worker import main
ours = sys.stdin
try:
    main()
finally:
    print("restored" if sys.stdin is ours else repr(sys.stdin.read()))
"""


@pytest.mark.parametrize("last, rebind, after", [
    ("[1, 2]\n", "", "restored"),  # main raises: the host's stdin is back
    (QUIT, "import io, sys\nsys.stdin = io.StringIO('kept')", "'kept'"),  # a script's own binding stays
])
def test_scripts_read_an_empty_stdin_not_the_requests(tmp_path, last, rebind, after):
    stdin = "".join(line({"action": "run_inline", "code": code}) for code in [
        "result = input()", "import sys\nresult = sys.stdin.read()", rebind]) + line({"action": "next"}) + last
    done = subprocess.run([sys.executable, "-P", "-c", STDIN_HOST], input=stdin.encode(), capture_output=True,
                          cwd=tmp_path, timeout=60)
    *responses, printed = done.stdout.decode().splitlines()
    responses = [json.loads(r) for r in responses]
    assert responses[0]["error"].startswith("EOFError: EOF when reading a line\n")
    assert responses[1]["result"]["return_value"] == ""
    assert responses[3:] == [unknown("next")] + ([GOODBYE] if last == QUIT else [])
    assert printed == after


FORKING_SCRIPT = """\
import os
print("before")
pid = os.fork()
if pid:
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
def main():
    return pid == 0 or status
"""


def test_a_forked_copy_of_the_worker_never_serves(tmp_path):
    (tmp_path / "forks.py").write_text(FORKING_SCRIPT)
    child_exits = ("import os, sys\npid = os.fork()\nif pid == 0:\n    sys.exit(3)\n"
                   "result = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])")
    stdin = (line({"action": "run_function", "path": "forks.py"}) + line({"action": "run_inline", "code": child_exits})
             + line({"action": "next"}) + QUIT)
    done = run_worker(stdin, cwd=tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    # The child returns to the loop and ends there: no answer, no second
    # "before" from the buffer it inherited, its SystemExit code as status.
    first, *responses = done.stdout.decode().splitlines()
    assert first == "before"
    assert [json.loads(r) for r in responses] == [
        {"success": True, "result": {"return_value": 0}},
        {"success": True, "result": {"output": "", "errors": "", "return_value": 3}}, unknown("next"), GOODBYE]


@contextlib.contextmanager
def deadline(worker, seconds=60):
    """Kills a hung worker so that a blocked read fails instead of hanging."""
    timer = threading.Timer(seconds, worker.proc.kill)
    timer.start()
    try:
        yield
    finally:
        timer.cancel()


def test_lockstep_host_never_blocks_and_sigint_is_ignored(worker):
    with deadline(worker):
        for i in range(20):
            assert worker.request({"action": i}) == unknown(str(i))
        worker.send_line("{")
        assert worker.read_line()["error"].startswith("Invalid JSON: Expecting property name")
        worker.proc.send_signal(signal.SIGINT)
        assert worker.request({"action": "still here"}) == unknown("still here")
        assert worker.request({"action": "quit"}) == GOODBYE
        assert worker.proc.wait() == 0
        assert worker.proc.stderr.read() == b""


FAKE_OPERATIONS = """
import sys
from ombrix.workers import custom_worker as _cw

def _fake(name):
    def op(*args):
        if args[-1] == {"exit": 3}:
            raise SystemExit(3)
        if name == "run_function":
            print("printed by", args[1])
        return {"success": True, "result": {"op": name, "args": list(args)}}
    return op

for _name in ("run_script", "run_inline", "run_function", "validate_script"):
    setattr(_cw, _name, _fake(_name))
_cw.main()
"""


class FakeOperationsWorker(Worker):
    def __init__(self, cwd):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", FAKE_OPERATIONS],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd,
        )


def test_pipe_routed_actions(tmp_path):
    w = FakeOperationsWorker(tmp_path)
    try:
        with deadline(w):
            assert w.request({"action": "run_script", "path": "a.py"}) == {
                "success": True, "result": {"op": "run_script", "args": ["a.py", None]}}
            assert w.request({"action": "run_inline", "code": "x", "args": {"k": "\u00e9"}}) == {
                "success": True, "result": {"op": "run_inline", "args": ["x", {"k": "\u00e9"}]}}
            assert w.request({"action": "validate", "code": "c", "path": "p"}) == {
                "success": True, "result": {"op": "validate_script", "args": ["c"]}}
            # run_function output is not captured: it comes first, on the same stream.
            w.send_line(json.dumps({"action": "run_function", "path": "t.py"}))
            assert w.proc.stdout.readline() == b"printed by main\n"
            assert w.read_line() == {"success": True, "result": {"op": "run_function", "args": ["t.py", "main", None]}}
            # SystemExit from a script ends the worker with its code and no answer.
            w.send_line(json.dumps({"action": "run_inline", "args": {"exit": 3}}))
            assert w.proc.wait() == 3
            assert w.proc.stdout.read() == b""
    finally:
        w.close()


# ---------------------------------------------------------------------------
# Main guard: the module loaded under the name "__main__"
# ---------------------------------------------------------------------------

LOAD_AS_MAIN = r"""
import ctypes, json, sys, traceback
from importlib.machinery import ModuleSpec

path = sys.argv[1]
lib = ctypes.PyDLL(path)
lib.PyInit_custom_worker.restype = ctypes.c_void_p
lib.PyInit_custom_worker.argtypes = []
api = ctypes.pythonapi
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_ExecDef.restype = ctypes.c_int
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]

definition = lib.PyInit_custom_worker()
module = api.PyModule_FromDefAndSpec2(definition, ModuleSpec("__main__", None, origin=path), 1013)

seen = []
class Stdin:
    def __init__(self, lines):
        self.lines = iter(lines)
    def __iter__(self):
        return self
    def __next__(self):
        seen.append("__test__" in vars(module))
        return next(self.lines)

sys.stdin = Stdin(sys.stdin)
try:
    api.PyModule_ExecDef(module, definition)
    error = None
except BaseException as exc:
    error = [type(exc).__name__, [[f.lineno, f.name] for f in traceback.extract_tb(exc.__traceback__)
                                  if f.filename == "ombrix/workers/custom_worker"]]
print(json.dumps({"seen": seen, "test_bound": "__test__" in vars(module), "name": module.__name__,
                  "error": error}))
"""


@pytest.mark.parametrize("bad", [False, True])
def test_loading_as_main_runs_the_loop_during_the_import(cw, bad, tmp_path):
    stdin = line({"action": "x"}) + ("[1]\n" if bad else QUIT) + line({"action": "y"})
    done = subprocess.run([sys.executable, "-c", LOAD_AS_MAIN, cw.__file__], input=stdin.encode(),
                          capture_output=True, timeout=60, cwd=tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    *responses, summary = response_lines(done)
    assert summary["name"] == "__main__"
    # The loop ran before __test__ was bound, and the import returned after it.
    assert summary["seen"] == [False, False]
    if bad:
        assert responses == [unknown("x")]
        assert summary["error"] == ["TypeError", [[248, "init ombrix.workers.custom_worker"], [240, MAIN]]]
        assert summary["test_bound"] is False
    else:
        assert responses == [unknown("x"), GOODBYE]
        assert summary["error"] is None
        assert summary["test_bound"] is True
