"""Module initialisation: docstring, attributes, import rules and guards."""
import builtins
import importlib
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from ombrix.workers import custom_worker as cw

SO = cw.__file__
ROOT = Path(__file__).resolve().parent.parent

DOC = (
    "Custom Worker \u2014 executes dynamically-created tool scripts in a subprocess.\n\n"
    "Protocol: JSON over stdin/stdout (one line per message).\n\n"
    "This worker is used when Ilvane creates new tools at runtime. It:\n"
    "  1. Receives a script path or inline code\n"
    "  2. Executes it in an isolated namespace\n"
    "  3. Returns the result\n\n"
    "Supported actions:\n"
    "  - run_script: Execute a Python script file\n"
    "  - run_inline: Execute inline Python code\n"
    "  - run_function: Execute a specific function from a script\n"
    "  - validate: Check if a script is valid Python\n"
    "  - quit: Shut down the worker\n"
)

# Loads the extension through the C API with a spec object of our choosing,
# in a fresh process, so that the module record starts empty.
CTYPES_PRELUDE = textwrap.dedent(f"""
    import ctypes, sys, types, json
    lib = ctypes.PyDLL({SO!r})
    lib.PyInit_custom_worker.restype = ctypes.c_void_p
    DEF = lib.PyInit_custom_worker()
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    def load(spec):
        m = api.PyModule_FromDefAndSpec2(DEF, spec, 1013)
        api.PyModule_ExecDef(m, DEF)
        return m
""")


def run_py(code, python=sys.executable):
    proc = subprocess.run([python, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_docstring_is_exact():
    assert cw.__doc__ == DOC
    assert len(cw.__doc__) == 556


def test_module_attributes():
    assert cw.__builtins__ is builtins
    assert cw.importlib is importlib and hasattr(cw.importlib, "util")
    assert cw.json is json and cw.os is os and cw.sys is sys
    assert cw.StringIO is __import__("io").StringIO
    assert cw.Path is Path
    assert cw.__test__ == {}
    assert cw.__name__ == "ombrix.workers.custom_worker"
    assert cw.__file__ == SO and cw.__package__ == "ombrix.workers"
    assert not hasattr(cw, "__path__")
    # Binding order, seen in a fresh process (tests here may rebind names).
    out = run_py("from ombrix.workers import custom_worker as cw; print(*vars(cw))")
    assert out.split() == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__", "importlib", "json", "os", "signal", "sys", "traceback", "StringIO",
        "Path", "run_script", "run_inline", "run_function", "validate_script", "_serialize",
        "handle_command", "main", "__test__", "_limit_output", "_mark_answers"]


def test_second_import_gives_the_same_object():
    test_dict = cw.__test__
    del sys.modules["ombrix.workers.custom_worker"]
    try:
        again = importlib.import_module("ombrix.workers.custom_worker")
        assert again is cw and again.__test__ is test_dict
        assert importlib.reload(cw) is cw and cw.__test__ is test_dict
    finally:
        sys.modules["ombrix.workers.custom_worker"] = cw


def test_import_under_another_name_adds_full_name_alias():
    out = run_py(textwrap.dedent(f"""
        import importlib.util, sys
        spec = importlib.util.spec_from_file_location("custom_worker", {SO!r})
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        print(m.__name__, sys.modules["ombrix.workers.custom_worker"] is m)
    """))
    assert out.split() == ["custom_worker", "True"]
    # An existing entry under the full name is left alone.
    out = run_py(textwrap.dedent(f"""
        import importlib.util, sys
        sys.modules["ombrix.workers.custom_worker"] = marker = object()
        spec = importlib.util.spec_from_file_location("custom_worker", {SO!r})
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        print(sys.modules["ombrix.workers.custom_worker"] is marker)
    """))
    assert out.split() == ["True"]


def test_spec_attributes_are_copied_with_their_rules():
    out = run_py(CTYPES_PRELUDE + textwrap.dedent("""
        spec = types.SimpleNamespace(name="custom_worker", loader=None, parent="pkg",
                                     submodule_search_locations=None)
        m = load(spec)
        d = vars(m)
        print(json.dumps([d["__loader__"], d["__package__"], "__file__" in d, "__path__" in d]))
        sys.modules.pop("ombrix.workers.custom_worker")
        again = api.PyModule_FromDefAndSpec2(DEF, types.SimpleNamespace(name="other"), 1013)
        print(again is m)
    """))
    first, second = out.splitlines()
    assert json.loads(first) == [None, "pkg", False, False]
    assert second == "True"
    out = run_py(CTYPES_PRELUDE + textwrap.dedent("""
        m = load(types.SimpleNamespace(name="x", origin="/o", submodule_search_locations=["/a"]))
        print(json.dumps([m.__file__, m.__path__, m.__loader__, m.__package__]))
    """))
    # Attributes missing from the spec are skipped (the module keeps None).
    assert json.loads(out) == ["/o", ["/a"], None, None]


def test_exec_with_another_module_object_is_refused():
    out = run_py(CTYPES_PRELUDE + textwrap.dedent("""
        load(types.SimpleNamespace(name="custom_worker"))
        try:
            api.PyModule_ExecDef(types.ModuleType("intruder"), DEF)
        except RuntimeError as e:
            print(e)
    """))
    assert out.strip() == ("Module 'custom_worker' has already been imported. "
                           "Re-initialisation is not supported.")


def test_failed_exec_step_can_be_retried():
    out = run_py(textwrap.dedent("""
        import sys, types, traceback, importlib, pathlib
        real = sys.modules["pathlib"]
        sys.modules["pathlib"] = types.ModuleType("pathlib")
        try:
            import ombrix.workers.custom_worker
        except ImportError as e:
            print(e)
            last = traceback.extract_tb(e.__traceback__)[-1]
            print(last.filename, last.lineno, last.name)
        sys.modules["pathlib"] = real
        assert "ombrix.workers.custom_worker" not in sys.modules
        from ombrix.workers import custom_worker as cw
        print(cw.Path is real.Path, cw.__test__)
    """))
    assert out.splitlines() == [
        "cannot import name Path",
        "ombrix/workers/custom_worker 26 init ombrix.workers.custom_worker",
        "True {}",
    ]


def test_from_import_falls_back_to_submodule_entry():
    out = run_py(textwrap.dedent("""
        import sys, types, io, traceback, importlib.util, json, signal, pathlib
        fake = types.ModuleType("io")
        sub = types.ModuleType("io.StringIO")
        real = sys.modules["io"]
        sys.modules["io"] = fake
        sys.modules["io.StringIO"] = sub
        from ombrix.workers import custom_worker as cw
        print(cw.StringIO is sub)
        sys.modules["io"] = real
    """))
    assert out.strip() == "True"


def test_second_interpreter_is_refused():
    out = run_py(textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        from ombrix.workers import custom_worker
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import ombrix.workers.custom_worker")
        except Exception as e:
            print(e)
    """))
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in out


def alt_build():
    marker = ROOT / "build" / "py313" / "python.txt"
    modules = sorted((ROOT / "build" / "py313").glob("custom_worker*.so"))
    if not marker.exists() or not modules:
        pytest.skip("no CPython 3.13 build of the module (pyenv has no 3.13)")
    return marker.read_text().strip(), str(modules[-1])


def test_version_mismatch_warns_once_and_import_succeeds():
    python, module = alt_build()
    load = textwrap.dedent(f"""
        import importlib.util, json, sys, warnings
        spec = importlib.util.spec_from_file_location("custom_worker", {module!r})
        m = importlib.util.module_from_spec(spec)
    """)
    out = run_py(load + textwrap.dedent("""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            spec.loader.exec_module(m)
        print(json.dumps([[w.category.__name__, str(w.message)] for w in caught]))
        print(m.validate_script.__name__)
    """), python=python)
    warned, name = out.splitlines()
    assert json.loads(warned) == [[
        "RuntimeWarning",
        "compile time Python version 3.12 of module 'ombrix.workers.custom_worker' "
        "does not match runtime version 3.13"]]
    assert name == "validate_script"
    out = run_py(load + textwrap.dedent("""
        warnings.simplefilter("error")
        try:
            spec.loader.exec_module(m)
        except RuntimeWarning as e:
            print("refused", "3.13" in str(e))
    """), python=python)
    assert out.split() == ["refused", "True"]


def test_rebinding_module_globals_takes_effect_at_next_use(monkeypatch):
    assert cw.run_inline("result = 1")["result"]["return_value"] == 1  # lookups warmed up
    vars(cw)["_serialize"] = lambda obj: "replaced"
    try:
        assert cw.run_inline("result = 1")["result"]["return_value"] == "replaced"
        del vars(cw)["_serialize"]
        report = cw.run_inline("result = 1")["error"]
        assert report.startswith("NameError: name '_serialize' is not defined\n")
        # A name missing from the module is looked up among the builtins.
        monkeypatch.setattr(builtins, "_serialize", lambda obj: "from builtins", raising=False)
        assert cw.run_inline("result = 1")["result"]["return_value"] == "from builtins"
    finally:
        vars(cw)["_serialize"] = real_serialize
    assert cw.run_inline("result = [1]")["result"]["return_value"] == [1]


real_serialize = cw._serialize


def test_functions_kept_from_a_failed_import_fail_cleanly():
    # The main guard runs the loop during the import; a request that is not an
    # object makes it fail.  The init traceback entry's frame still holds the
    # failed module's globals, functions included.
    code = CTYPES_PRELUDE + textwrap.dedent("""
        import io
        sys.stdin = io.StringIO("[1, 2]\\n")
        try:
            load(types.SimpleNamespace(name="__main__"))
        except TypeError as e:
            tb = e.__traceback__
            while tb.tb_next is not None and tb.tb_frame.f_code.co_name != "init ombrix.workers.custom_worker":
                tb = tb.tb_next
            run_inline = tb.tb_frame.f_globals["run_inline"]
        try:
            run_inline("result = 1")
        except ImportError as e:
            print(e)
    """)
    out = run_py(code)
    assert out.strip() == "module 'ombrix.workers.custom_worker' failed to initialise"
