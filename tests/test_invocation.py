"""run_function: loading a script file as a fresh module and calling one of its functions."""
import json
import os
import py_compile
import sys
import textwrap

import pytest

from conftest import FILE, module_entries, run_worker
from ombrix.workers import custom_worker as cw

ENTRY = f'  File "{FILE}", line {{}}, in ombrix.workers.custom_worker.run_function\n'


def write(tmp_path, text, name="tool.py"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return path


TOOL = """\
    import os
    from collections import OrderedDict

    print("loading tool")
    ZERO = 0
    NOTHING = None
    EMPTY = ""
    EMPTY_LIST = []
    FIVE = 5
    TEXT = "words"
    \u00fcber = 1.5

    class Falsy:
        def __bool__(self):
            return False
        def __call__(self):
            return "called"

    FALSY_CALLABLE = Falsy()

    def _private(x=1):
        return ["private", x]

    def add(a, b=10):
        return a + b

    def echo(**kw):
        return kw

    def no_args(*a, **kw):
        return [len(a), len(kw)]

    def whoami():
        return __name__

    def mixed():
        return ({"k": (1, 2)}, {3}, None)

    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y
        def __str__(self):
            return f"Point({self.x}, {self.y})"
        def norm(self):
            return abs(self.x) + abs(self.y)

    if __name__ == "__main__":
        raise SystemExit("the main guard must not run")
"""
# A falsy callable is listed (the listing tests callability) yet not found.
AVAILABLE = "['FALSY_CALLABLE', 'Falsy', 'OrderedDict', 'Point', 'add', 'echo', 'mixed', 'no_args', 'whoami']"


@pytest.fixture
def tool(tmp_path):
    return str(write(tmp_path, TOOL))


def not_found(name, available=AVAILABLE):
    return {"success": False, "error": f"Function '{name}' not found. Available: {available}"}


class TestLoading:
    def test_missing_file_reports_the_path_as_passed(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        for path in ["nope.py", "~/surely/not/here.py", str(tmp_path / "gone.py"), "./a/../b.py"]:
            assert cw.run_function(path, "f") == {"success": False, "error": f"Script not found: {path}"}

    def test_paths_without_a_loader_cannot_load(self, tmp_path, monkeypatch):
        (tmp_path / "notes.txt").write_text("def f(): return 1\n")
        (tmp_path / "folder").mkdir()
        (tmp_path / "plain").write_text("def f(): return 1\n")
        monkeypatch.chdir(tmp_path)
        for path in ["notes.txt", "folder", str(tmp_path / "plain"), ""]:
            assert cw.run_function(path, "f") == {"success": False,
                                                  "error": f"Cannot load module from: {path}"}

    def test_relative_and_home_paths_are_resolved(self, tmp_path, monkeypatch):
        write(tmp_path, "def f():\n    return __file__\n", "rel.py")
        monkeypatch.chdir(tmp_path)
        assert cw.run_function("rel.py", "f")["result"]["return_value"] == str(tmp_path / "rel.py")
        monkeypatch.setenv("HOME", str(tmp_path))
        assert cw.run_function("~/rel.py", "f")["result"]["return_value"] == str(tmp_path / "rel.py")

    def test_fresh_module_every_call(self, tmp_path, capsys):
        script = write(tmp_path, """\
            import sys
            print("top level ran")
            CALLS = []
            def f():
                CALLS.append(1)
                return [len(CALLS), __name__, __name__ in sys.modules, "custom_module" in sys.modules]
        """)
        before = set(sys.modules)
        first = cw.run_function(str(script), "f")
        second = cw.run_function(str(script), "f")
        assert first == second == {"success": True,
                                   "result": {"return_value": [1, "custom_module", False, False]}}
        assert set(sys.modules) == before
        # The script's output is not captured: it goes to the current stdout.
        assert capsys.readouterr().out == "top level ran\ntop level ran\n"

    def test_the_current_text_runs_whatever_the_bytecode_cache_holds(self, tmp_path):
        # A rewrite that keeps the size and the modification time: a cache
        # checked by those would still hold the old code.
        path = write(tmp_path, "def f():\n    return 1\n")
        py_compile.compile(str(path), invalidation_mode=py_compile.PycInvalidationMode.TIMESTAMP)
        stamp = path.stat().st_mtime_ns
        path.write_text("def f():\n    return 2\n")
        os.utime(path, ns=(stamp, stamp))
        assert cw.run_function(str(path), "f") == {"success": True, "result": {"return_value": 2}}

    def test_main_guard_does_not_run(self, tool):
        assert cw.run_function(tool, "whoami") == {"success": True,
                                                   "result": {"return_value": "custom_module"}}

    def test_script_syntax_and_import_errors_are_reported(self, tmp_path):
        bad = write(tmp_path, "def f(:\n    pass\n", "bad.py")
        result = cw.run_function(str(bad), "f")
        assert list(result) == ["success", "error"] and result["success"] is False
        assert result["error"].startswith("SyntaxError: invalid syntax (bad.py, line 1)\nTraceback")
        assert ENTRY.format(134) in result["error"]
        missing = write(tmp_path, "import no_such_module_here\n", "imp.py")
        error = cw.run_function(str(missing), "f")["error"]
        assert error.startswith("ModuleNotFoundError: No module named 'no_such_module_here'\n")
        assert error.endswith("ModuleNotFoundError: No module named 'no_such_module_here'\n")


class TestLookup:
    @pytest.mark.parametrize("name", ["ZERO", "NOTHING", "EMPTY", "EMPTY_LIST", "FALSY_CALLABLE",
                                      "missing", "", "Point.norm", "os.getcwd", "caf\u00e9_\U0001f600"])
    def test_falsy_absent_or_dotted_names_are_not_found(self, tool, name):
        assert cw.run_function(tool, name) == not_found(name)

    @pytest.mark.parametrize("name", ["FIVE", "TEXT", "os", "\u00fcber"])
    def test_truthy_values_that_cannot_be_called(self, tool, name):
        assert cw.run_function(tool, name) == {"success": False, "error": f"'{name}' is not callable"}

    def test_underscore_names_are_callable_but_not_offered(self, tool):
        assert cw.run_function(tool, "_private", {"x": 2}) == {
            "success": True, "result": {"return_value": ["private", 2]}}
        assert cw.run_function(tool, "__init__")["success"] is False

    def test_empty_available_list(self, tmp_path):
        script = write(tmp_path, "import os\nVALUE = 1\ndef _hidden(): pass\n")
        assert cw.run_function(str(script), "f") == not_found("f", "[]")

    def test_every_value_is_read_while_listing(self, tmp_path):
        # A name that dir() offers but getattr cannot read fails the listing,
        # even though it starts with an underscore.
        script = write(tmp_path, """\
            def __dir__():
                return ["_ghost", "real"]
            def real():
                return 1
        """)
        error = cw.run_function(str(script), "absent")["error"]
        assert error.startswith("AttributeError: module 'custom_module' has no attribute '_ghost'\n")
        assert ENTRY.format(139) in error

    def test_lookup_errors_other_than_attribute_error_are_reported(self, tmp_path):
        script = write(tmp_path, """\
            def __getattr__(name):
                raise KeyError(name)
        """)
        error = cw.run_function(str(script), "anything")["error"]
        assert error.startswith("KeyError: 'anything'\nTraceback (most recent call last):\n"
                                + ENTRY.format(137))

    def test_truth_test_failure_is_reported(self, tmp_path):
        script = write(tmp_path, """\
            class Odd:
                def __bool__(self):
                    raise RuntimeError("no truth")
            thing = Odd()
        """)
        error = cw.run_function(str(script), "thing")["error"]
        assert error.startswith("RuntimeError: no truth\n") and ENTRY.format(138) in error


class TestCall:
    def test_keyword_arguments_and_defaults(self, tool):
        assert cw.run_function(tool, "add", {"a": 1}) == {"success": True, "result": {"return_value": 11}}
        assert cw.run_function(tool, "add", {"b": 2, "a": 1})["result"]["return_value"] == 3

    @pytest.mark.parametrize("args", [None, {}])
    def test_empty_args_call_without_arguments(self, tool, args):
        assert cw.run_function(tool, "no_args", args)["result"]["return_value"] == [0, 0]

    def test_callee_receives_a_copy(self, tmp_path):
        script = write(tmp_path, """\
            def grab(**kw):
                kw["added"] = True
                kw.pop("a")
                return sorted(kw)
        """)
        args = {"a": 1, "b": [2]}
        inner = args["b"]
        assert cw.run_function(str(script), "grab", args)["result"]["return_value"] == ["added", "b"]
        assert args == {"a": 1, "b": [2]} and args["b"] is inner

    def test_many_keyword_arguments(self, tool):
        args = {f"k{i:02}": i for i in range(40)}
        assert cw.run_function(tool, "echo", args)["result"]["return_value"] == args

    def test_class_is_instantiated_with_keywords(self, tool):
        assert cw.run_function(tool, "Point", {"x": 3, "y": -4}) == {
            "success": True, "result": {"return_value": "Point(3, -4)"}}

    def test_return_value_is_serialized(self, tool):
        assert cw.run_function(tool, "mixed") == {
            "success": True, "result": {"return_value": [{"k": [1, 2]}, "{3}", None]}}

    def test_unexpected_keyword_is_a_type_error(self, tool):
        error = cw.run_function(tool, "add", {"a": 1, "zz": 2})["error"]
        assert error == ("TypeError: add() got an unexpected keyword argument 'zz'\n"
                         "Traceback (most recent call last):\n"
                         + ENTRY.format(150)
                         + "TypeError: add() got an unexpected keyword argument 'zz'\n")
        error = cw.run_function(tool, "add")["error"]
        assert error.startswith("TypeError: add() missing 1 required positional argument: 'a'\n")
        assert ENTRY.format(152) in error

    def test_non_string_keys_are_rejected(self, tool):
        error = cw.run_function(tool, "echo", {1: 2})["error"]
        assert error.startswith("TypeError: keywords must be strings\n")

    def test_exact_report_of_a_raising_function(self, tmp_path):
        script = write(tmp_path, """\
            def fail(reason=None):
                if reason is None:
                    raise ValueError("bad")
                raise LookupError()
        """)
        expected = ("ValueError: bad\n"
                    "Traceback (most recent call last):\n"
                    + ENTRY.format(152)
                    + f'  File "{script}", line 3, in fail\n'
                    '    raise ValueError("bad")\n'
                    "ValueError: bad\n")
        assert cw.run_function(str(script), "fail") == {"success": False, "error": expected}
        expected = ("LookupError: \n"
                    "Traceback (most recent call last):\n"
                    + ENTRY.format(150)
                    + f'  File "{script}", line 4, in fail\n'
                    "    raise LookupError()\n"
                    "LookupError\n")
        assert cw.run_function(str(script), "fail", {"reason": 1}) == {"success": False, "error": expected}


class TestModuleGlobals:
    def test_serialize_is_looked_up_at_call_time(self, tool, monkeypatch):
        monkeypatch.setattr(cw, "_serialize", lambda obj: ["wrapped", obj])
        assert cw.run_function(tool, "add", {"a": 1})["result"]["return_value"] == ["wrapped", 11]

        def broken(obj):
            raise OverflowError("too big")

        monkeypatch.setattr(cw, "_serialize", broken)
        result = cw.run_function(tool, "add", {"a": 1})
        assert result["success"] is False
        assert result["error"].startswith("OverflowError: too big\nTraceback (most recent call last):\n"
                                          + ENTRY.format(156))

    def test_missing_path_class(self, tool, monkeypatch):
        monkeypatch.delattr(cw, "Path")
        error = cw.run_function(tool, "add")["error"]
        assert error.startswith("NameError: name 'Path' is not defined\n") and ENTRY.format(124) in error

    def test_importlib_is_read_from_the_module(self, tool, monkeypatch):
        class NoUtil:
            pass

        monkeypatch.setattr(cw, "importlib", NoUtil())
        error = cw.run_function(tool, "add")["error"]
        assert error.startswith("AttributeError: 'NoUtil' object has no attribute 'util'\n")
        assert ENTRY.format(129) in error

    def test_spec_without_loader_cannot_load(self, tool, monkeypatch):
        import importlib.util

        class Util:
            @staticmethod
            def spec_from_file_location(name, location):
                spec = importlib.util.spec_from_file_location(name, location)
                spec.loader = None
                return spec

        class FakeImportlib:
            util = Util

        monkeypatch.setattr(cw, "importlib", FakeImportlib())
        assert cw.run_function(tool, "add") == {"success": False, "error": f"Cannot load module from: {tool}"}

    def test_path_errors_are_reported(self):
        error = cw.run_function("a\x00b.py", "f")["error"]
        assert error.startswith("ValueError: embedded null byte\n") and ENTRY.format(124) in error


class TestEscapingExceptions:
    @pytest.mark.parametrize("exit_at_top, args, line, code", [
        (True, None, 134, 7), (False, None, 152, 0), (False, {"code": 3}, 150, 3)])
    def test_system_exit_leaves_with_the_entry(self, tmp_path, exit_at_top, args, line, code):
        script = write(tmp_path, f"""\
            import sys
            if {exit_at_top}:
                sys.exit(7)
            def call(code=0):
                sys.exit(code)
        """)
        with pytest.raises(SystemExit) as info:
            cw.run_function(str(script), "call", args)
        assert info.value.code == code
        assert module_entries(info.value) == [(line, "ombrix.workers.custom_worker.run_function")]

    def test_keyboard_interrupt_is_not_caught(self, tmp_path):
        script = write(tmp_path, "def f():\n    raise KeyboardInterrupt\n")
        with pytest.raises(KeyboardInterrupt):
            cw.run_function(str(script), "f")

    def test_handled_exception_is_preserved(self, tmp_path, tool):
        script = write(tmp_path, """\
            import sys
            def seen():
                return repr(sys.exc_info()[1])
            def fail():
                raise ValueError("inner")
            def leave():
                sys.exit(1)
        """, "seen.py")
        calls = [lambda: cw.run_function(str(script), "seen"),
                 lambda: cw.run_function(str(script), "fail"),
                 lambda: cw.run_function(str(script), "missing"),
                 lambda: cw.run_function(tool, "FIVE"),
                 lambda: cw.run_function("missing.py", "f")]
        for call in calls:
            call()
            assert sys.exc_info() == (None, None, None)
        try:
            raise RuntimeError("outer")
        except RuntimeError as outer:
            # The called function sees the caller's handled exception, as a
            # Python function would.
            assert calls[0]()["result"]["return_value"] == "RuntimeError('outer')"
            for call in calls[1:]:
                call()
                assert sys.exc_info()[1] is outer
            with pytest.raises(SystemExit):
                cw.run_function(str(script), "leave")
            assert sys.exc_info()[1] is outer

    def test_report_describes_the_caught_exception(self, tmp_path):
        # Raised while the caller handles another exception, the error is
        # chained to it, as in Python; the report is about the caught error.
        script = write(tmp_path, "def f():\n    raise ValueError('inner')\n")
        try:
            raise RuntimeError("outer")
        except RuntimeError:
            error = cw.run_function(str(script), "f")["error"]
        assert error.startswith("ValueError: inner\nTraceback (most recent call last):\n")
        assert "During handling of the above exception" in error
        assert error.endswith(ENTRY.format(152) + f'  File "{script}", line 2, in f\n'
                              "    raise ValueError('inner')\nValueError: inner\n")


def test_printed_output_precedes_the_response(tmp_path):
    script = write(tmp_path, """\
        print("loaded")
        def main(name="x"):
            print("hello", name)
            return {"n": 7}
    """)
    request = json.dumps({"action": "run_function", "path": str(script), "args": {"name": "pipe"}})
    completed = run_worker(request + "\n")
    assert completed.returncode == 0, completed.stderr.decode()
    lines = completed.stdout.decode().splitlines()
    assert lines[:2] == ["loaded", "hello pipe"]
    assert [json.loads(line) for line in lines[2:]] == [
        {"success": True, "result": {"return_value": {"n": 7}}}]
