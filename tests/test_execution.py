"""run_script and run_inline: execution with captured output."""
import io
import re
import sys
import textwrap
import threading

import pytest
from conftest import FILE, module_entries

ENTRY = re.compile(rf'File "{FILE}", line (\d+), in (\S+)')
RS = "ombrix.workers.custom_worker.run_script"
RI = "ombrix.workers.custom_worker.run_inline"


@pytest.fixture
def script(tmp_path):
    """Writes a script file and returns its path as a str."""
    def write(text, name="tool.py"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(text), encoding="utf-8")
        return str(path)
    return write


@pytest.fixture
def streams():
    """The current sys.stdout/sys.stderr, checked unchanged afterwards."""
    before = (sys.stdout, sys.stderr)
    yield before
    after = (sys.stdout, sys.stderr)
    sys.stdout, sys.stderr = before
    assert after[0] is before[0] and after[1] is before[1], "streams were not restored"


def entries(report):
    """(line, name) of the module's own entries in an exception report."""
    return [(int(line), name) for line, name in ENTRY.findall(report)]


# ---------------------------------------------------------------------------
# Success results
# ---------------------------------------------------------------------------

def test_inline_road_of_one_request(cw, streams):
    r = cw.run_inline('print("hi")\nimport sys\nprint("warn", file=sys.stderr)\nresult = 2 + 3')
    assert r == {"success": True, "result": {"output": "hi\n", "errors": "warn\n",
                                             "return_value": 5}}
    assert list(r) == ["success", "result"]
    assert list(r["result"]) == ["output", "errors", "return_value"]


def test_script_captures_both_streams_apart(cw, script, streams):
    path = script("""
        import sys
        print("one")
        sys.stderr.write("e1 ")
        print("two")
        print("e2", file=sys.stderr)
        if __name__ == "__main__":
            print("guarded")
    """)
    r = cw.run_script(path)
    assert r == {"success": True, "result": {"output": "one\ntwo\nguarded\n",
                                             "errors": "e1 e2\n", "return_value": None}}
    assert list(r["result"]) == ["output", "errors", "return_value"]


def test_empty_code_and_empty_file(cw, script, streams):
    empty = {"success": True, "result": {"output": "", "errors": "", "return_value": None}}
    assert cw.run_inline("") == empty
    assert cw.run_script(script("")) == empty


def test_namespace_contents_and_order(cw, script, streams, tmp_path):
    probe = "result = [list(globals()), __builtins__ is __import__('builtins'), __name__]\n"
    r = cw.run_inline(probe)
    assert r["result"]["return_value"] == [["__name__", "__builtins__", "args"], True,
                                           "__main__"]
    path = script(probe + "result.append(__file__)\n")
    r = cw.run_script(path)
    assert r["result"]["return_value"] == [
        ["__name__", "__file__", "__builtins__", "args"], True, "__main__",
        str((tmp_path / "tool.py").resolve())]


def test_script_value_choice(cw, script, streams):
    cases = {
        "def main():\n    return 'from main'\nresult = 'ignored'\n": "from main",
        "main = 3\nresult = 5\n": 5,
        "result = (1, {2})\n": [1, "{2}"],
        "x = 1\n": None,
    }
    for text, expected in cases.items():
        assert cw.run_script(script(text))["result"]["return_value"] == expected, text
    # Inline code never calls main.
    r = cw.run_inline("def main():\n    raise SystemExit\n")
    assert r["result"]["return_value"] is None


def test_args_identity(cw, script, streams):
    path = script("""
        args["seen"] = True
        def main(a=None):
            return [a is args, len(a) if a is not None else None]
    """)
    given = {"x": 1}
    r = cw.run_script(path, given)
    assert r["result"]["return_value"] == [True, 2]
    assert given == {"x": 1, "seen": True}
    for empty in (None, {}):
        r = cw.run_script(path, empty)
        assert r["result"]["return_value"] == [False, None]
    caller_empty = {}
    cw.run_script(path, caller_empty)
    assert caller_empty == {}

    given = {"y": 2}
    r = cw.run_inline("args['z'] = 3\nresult = sorted(args)", given)
    assert given == {"y": 2, "z": 3} and r["result"]["return_value"] == ["y", "z"]
    caller_empty = {}
    r = cw.run_inline("args['z'] = 3\nresult = args", caller_empty)
    assert caller_empty == {} and r["result"]["return_value"] == {"z": 3}


def test_main_that_needs_an_argument_without_args(cw, script, streams):
    path = script("def main(required):\n    return required\n")
    r = cw.run_script(path)
    assert r["success"] is False
    assert r["error"].startswith("TypeError: main() missing 1 required positional argument")
    assert entries(r["error"]) == [(57, RS)]
    assert cw.run_script(path, {"k": 1})["result"]["return_value"] == {"k": 1}


# ---------------------------------------------------------------------------
# Paths
# ---------------------------------------------------------------------------

def test_home_expansion_and_missing_files(cw, tmp_path, monkeypatch, streams):
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "tool.py").write_text("result = __file__\n")
    r = cw.run_script("~/tool.py")
    assert r["result"]["return_value"] == str((tmp_path / "tool.py").resolve())
    assert cw.run_script("~/missing.py") == {"success": False,
                                              "error": "Script not found: ~/missing.py"}
    monkeypatch.chdir(tmp_path)
    # Resolution is not strict: sub does not exist, yet the path resolves.
    r = cw.run_script("./sub/../tool.py")
    assert r["result"]["return_value"] == str((tmp_path / "tool.py").resolve())
    assert cw.run_script("sub/tool.py") == {"success": False,
                                            "error": "Script not found: sub/tool.py"}


def test_directories_and_unreadable_files(cw, tmp_path, monkeypatch, streams):
    r = cw.run_script(str(tmp_path))
    assert r["error"].startswith("IsADirectoryError: ")
    assert entries(r["error"]) == [(52, RS)]
    monkeypatch.chdir(tmp_path)
    assert cw.run_script("")["error"].startswith("IsADirectoryError: ")
    (tmp_path / "latin.py").write_bytes(b"x = '\xe9'\n")
    r = cw.run_script("latin.py")
    assert r["error"].startswith("UnicodeDecodeError: ") and entries(r["error"]) == [(52, RS)]


def test_syntax_errors_name_file_and_line(cw, script, tmp_path, monkeypatch, streams):
    monkeypatch.chdir(tmp_path)
    script("x = 1\ndef broken(:\n", name="bad.py")
    r = cw.run_script("bad.py")
    resolved = str((tmp_path / "bad.py").resolve())
    # The exception's text shows the file's base name, its location the full path.
    assert r["error"].startswith("SyntaxError: invalid syntax (bad.py, line 2)\n")
    assert f'File "{resolved}", line 2\n' in r["error"]
    assert entries(r["error"]) == [(53, RS)]
    r = cw.run_inline("x = 1\ndef broken(:\n")
    assert r["error"].startswith("SyntaxError: invalid syntax (<inline>, line 2)\n")
    assert entries(r["error"]) == [(98, RI)]


# ---------------------------------------------------------------------------
# Exception reports
# ---------------------------------------------------------------------------

def test_inline_report_exact_text(cw, streams):
    assert cw.run_inline('raise ValueError("bad")') == {
        "success": False,
        "error": 'ValueError: bad\nTraceback (most recent call last):\n'
                 '  File "ombrix/workers/custom_worker", line 98, in '
                 'ombrix.workers.custom_worker.run_inline\n'
                 '  File "<inline>", line 1, in <module>\nValueError: bad\n'}


def test_script_report_lines(cw, script, streams):
    path = script("""
        print("lost")
        def main():
            raise ValueError("bad")
    """)
    r = cw.run_script(path)
    assert list(r) == ["success", "error"] and r["success"] is False
    assert r["error"].startswith("ValueError: bad\nTraceback (most recent call last):\n"
                                 f'  File "ombrix/workers/custom_worker", line 57, in {RS}\n'
                                 f'  File "{path}", line 4, in main\n')
    assert "lost" not in r["error"]
    r = cw.run_script(script("print('lost')\nraise RuntimeError\n"))
    assert r["error"].startswith("RuntimeError: \nTraceback")
    assert entries(r["error"]) == [(53, RS)]


def test_inline_failures(cw, streams):
    r = cw.run_inline("print('lost')\nx = __file__")
    assert list(r) == ["success", "error"]
    assert r["error"].startswith("NameError: name '__file__' is not defined\n")
    assert "lost" not in r["error"]


def test_serialize_failure_is_reported(cw, script, streams):
    code = "class Bad:\n    def __str__(self):\n        raise KeyError('k')\nresult = [Bad()]\n"
    r = cw.run_inline(code)
    assert r["error"].startswith("KeyError: 'k'\n")
    ser = "ombrix.workers.custom_worker._serialize"
    assert entries(r["error"]) == [(107, RI), (193, ser), (196, ser)]
    r = cw.run_script(script(code))
    assert entries(r["error"]) == [(68, RS), (193, ser), (196, ser)]
    loop = "x = []\nx.append(x)\nresult = x\n"
    assert cw.run_inline(loop)["error"].startswith("RecursionError: ")


def test_handled_exception_is_preserved(cw, script, streams):
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert cw.run_inline("1/0")["success"] is False
        assert cw.run_script(script("1/0"))["success"] is False
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)
    cw.run_inline("raise ValueError")
    assert sys.exc_info() == (None, None, None)


# ---------------------------------------------------------------------------
# Streams on every way out
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("text, error", [
    ("import sys\nsys.exit(0)", SystemExit),
    ("raise KeyboardInterrupt", KeyboardInterrupt),
    ("raise GeneratorExit", GeneratorExit),
])
def test_base_exceptions_pass_through(cw, script, streams, text, error):
    with pytest.raises(error) as info:
        cw.run_inline(text)
    assert module_entries(info.value)[0] == (98, RI)
    assert (sys.stdout, sys.stderr) == streams
    with pytest.raises(error) as info:
        cw.run_script(script(text))
    assert module_entries(info.value)[0] == (53, RS)
    assert (sys.stdout, sys.stderr) == streams
    with pytest.raises(error) as info:
        cw.run_script(script(f"def main():\n    {text.replace(chr(10), '; ')}\n"))
    assert module_entries(info.value)[0] == (57, RS)


def test_script_that_rebinds_the_streams(cw, script, streams):
    code = "import io, sys\nsys.stdout = io.StringIO()\nsys.stderr = None\nprint('x')\n"
    assert cw.run_inline(code)["result"]["output"] == ""
    assert (sys.stdout, sys.stderr) == streams
    assert cw.run_script(script(code + "raise OSError"))["success"] is False
    assert (sys.stdout, sys.stderr) == streams


class SysProxy:
    """Stands in for the module global `sys`; refuses chosen assignments."""

    def __init__(self, refuse):
        object.__setattr__(self, "refuse", refuse)

    def __getattr__(self, name):
        return getattr(sys, name)

    def __setattr__(self, name, value):
        if self.refuse(name, value):
            raise OSError(f"refused {name}")
        setattr(sys, name, value)


def test_failed_restore_replaces_the_result_and_restores_stderr(cw, monkeypatch, streams):
    saved_out, saved_err = streams
    monkeypatch.setattr(cw, "sys", SysProxy(lambda n, v: n == "stdout" and v is saved_out))
    try:
        r = cw.run_inline("raise ValueError('inner')")
        stuck = sys.stdout
        stderr_after = sys.stderr
    finally:
        sys.stdout = saved_out
    assert isinstance(stuck, io.StringIO) and stderr_after is saved_err
    assert r["error"].startswith("OSError: refused stdout\n")
    # The exception in flight (entry at line 98) is kept as the context of the
    # new one (entry at the restore's line).
    context, _, last = r["error"].partition("During handling of the above exception")
    assert "ValueError: inner" in context and entries(context) == [(98, RI)]
    assert entries(last) == [(111, RI)]


def test_failed_redirect_of_stderr_puts_stdout_back(cw, monkeypatch, script, streams):
    monkeypatch.setattr(cw, "sys", SysProxy(lambda n, v: n == "stderr"))
    r = cw.run_script(script("result = 1"))
    assert r["error"].startswith("OSError: refused stderr\n")
    assert entries(r["error"]) == [(41, RS)]


def test_module_globals_are_looked_up_at_use(cw, monkeypatch, script, streams):
    made = []

    class Recording(io.StringIO):
        def __init__(self):
            super().__init__()
            made.append(self)

    monkeypatch.setattr(cw, "StringIO", Recording)
    cw.run_inline("print('a')")
    assert len(made) == 2 and made[0].getvalue() == "a\n"
    monkeypatch.setattr(cw, "_serialize", lambda obj: ["wrapped", obj])
    assert cw.run_inline("result = 1")["result"]["return_value"] == ["wrapped", 1]
    monkeypatch.delattr(cw, "sys")
    r = cw.run_inline("result = 1")
    assert r["error"].startswith("NameError: name 'sys' is not defined\n")
    assert entries(r["error"]) == [(85, RI)]
    r = cw.run_script(script("x = 1"))
    assert entries(r["error"]) == [(37, RS)]
    monkeypatch.delattr(cw, "Path")
    r = cw.run_script("x.py")
    assert r["error"].startswith("NameError: name 'Path' is not defined\n")
    assert entries(r["error"]) == [(32, RS)]


class Refusing:
    """A stand-in for a module global that raises when called."""

    def __init__(self, after=0):
        self.after = after

    def __call__(self, *args):
        if self.after == 0:
            raise MemoryError("refused")
        self.after -= 1
        return io.StringIO()


@pytest.mark.parametrize("name, value, script_line, inline_line", [
    ("StringIO", Refusing(), 38, 86),
    ("StringIO", Refusing(after=1), 39, 87),
    ("_serialize", None, 68, 107),
    ("__builtins__", None, 47, 93),
])
def test_failing_steps_carry_their_lines(cw, monkeypatch, script, streams, name, value,
                                         script_line, inline_line):
    path = script("result = 1")
    for run, arg, line, fn in ((cw.run_script, path, script_line, RS),
                               (cw.run_inline, "result = 1", inline_line, RI)):
        if isinstance(value, Refusing):
            value.after = 1 if line in (39, 87) else 0
            monkeypatch.setattr(cw, name, value)
        else:
            monkeypatch.delattr(cw, name)
        r = run(arg)
        monkeypatch.undo()
        assert r["success"] is False and entries(r["error"]) == [(line, fn)], r["error"]


def test_path_steps_carry_their_lines(cw, monkeypatch, streams):
    class BadPath:
        def __init__(self, path):
            pass

        def expanduser(self):
            return self

        def resolve(self):
            return self

        def exists(self):
            raise PermissionError("exists")

    monkeypatch.setattr(cw, "Path", BadPath)
    r = cw.run_script("x.py")
    assert r["error"].startswith("PermissionError: exists\n")
    assert entries(r["error"]) == [(33, RS)]


EVIL_KEY = """
class Evil:
    def __hash__(self):
        return hash({name!r})
    def __eq__(self, other):
        raise ArithmeticError("compare")
globals()[Evil()] = 1
"""


def test_failing_namespace_lookups(cw, script, streams):
    # A key that collides with "main" or "result" and cannot be compared.
    r = cw.run_script(script(EVIL_KEY.format(name="main")))
    assert r["error"].startswith("ArithmeticError: compare\n")
    assert entries(r["error"]) == [(56, RS)]
    r = cw.run_script(script(EVIL_KEY.format(name="result")))
    assert entries(r["error"]) == [(58, RS)]
    r = cw.run_inline(EVIL_KEY.format(name="result"))
    assert entries(r["error"]) == [(100, RI)]


def test_nested_captures(cw, streams):
    code = ("print('outer')\n"
            "from ombrix.workers import custom_worker as cw\n"
            "result = cw.run_inline(\"print('inner')\\nresult = 1\")\n"
            "print('after')\n")
    r = cw.run_inline(code)
    assert r["result"]["output"] == "outer\nafter\n"
    assert r["result"]["return_value"] == {
        "success": True, "result": {"output": "inner\n", "errors": "", "return_value": 1}}


def test_a_capture_from_a_second_thread_is_refused(cw, script, streams):
    started, release = threading.Event(), threading.Event()
    results = []
    holder = threading.Thread(target=lambda: results.append(cw.run_inline(
        "args['started'].set()\nargs['release'].wait(30)\nprint('first')", {"started": started, "release": release})))
    holder.start()
    try:
        assert started.wait(30)
        during = sys.stdout
        for call in (lambda: cw.run_inline("print('second')"), lambda: cw.run_script(script("print(1)"))):
            with pytest.raises(RuntimeError, match="another thread"):
                call()
            assert sys.stdout is during  # nothing was swapped
    finally:
        release.set()
        holder.join()
    assert results[0]["result"]["output"] == "first\n"
    assert cw.run_inline("print('later')")["result"]["output"] == "later\n"


def test_code_compiles_independently_of_the_callers_future_flags(cw, streams):
    caller = compile("from __future__ import annotations\n"
                     "r = cw.run_inline('def f(x: int): pass\\nresult = f.__annotations__')\n",
                     "<caller>", "exec")
    space = {"cw": cw}
    exec(caller, space)
    assert space["r"]["result"]["return_value"] == {"x": "<class 'int'>"}
