"""The floor: the worker's operations and loop as the leanest plain Python.

Each function does the standard-library work that the module's operation
must do, and nothing else: the same path calls, the same two StringIO
buffers and stream swap, the same namespace, compile and exec, the same
result dictionaries, the same serialisation walk, json.loads and json.dumps,
and one write and one flush per response.  The benchmark holds the module
to it.  Run as a script, it is a worker process speaking the same protocol.
"""
import builtins
import importlib.util
import io
import json
import os  # noqa: F401 - the worker imports it too
import signal
import sys
import traceback
from io import StringIO
from pathlib import Path

def _serialize(obj):
    if obj is None or isinstance(obj, (str, int, float)):
        return obj
    if isinstance(obj, (list, tuple)):
        return [_serialize(item) for item in obj]
    if isinstance(obj, dict):
        return {(k if type(k) is str else str(k)): _serialize(v) for k, v in obj.items()}
    return str(obj)


def _failure(e):
    return {"success": False, "error": f"{type(e).__name__}: {e}\n{traceback.format_exc()}"}


def run_script(path, args=None):
    try:
        p = Path(path).expanduser().resolve()
        if not p.exists():
            return {"success": False, "error": f"Script not found: {path}"}
        old_stdout, old_stderr = sys.stdout, sys.stderr
        captured_out, captured_err = StringIO(), StringIO()
        sys.stdout, sys.stderr = captured_out, captured_err
        namespace = {"__name__": "__main__", "__file__": str(p), "__builtins__": builtins,
                     "args": args if args else {}}
        try:
            code = p.read_text(encoding="utf-8")
            exec(compile(code, str(p), "exec"), namespace)
            main = namespace.get("main")
            if main is not None and callable(main):
                result = main(args) if args else main()
            else:
                result = namespace.get("result")
            return {"success": True, "result": {"output": captured_out.getvalue(),
                                                "errors": captured_err.getvalue(),
                                                "return_value": _serialize(result)}}
        finally:
            sys.stdout, sys.stderr = old_stdout, old_stderr
    except Exception as e:
        return _failure(e)


def run_inline(code, args=None):
    try:
        old_stdout, old_stderr = sys.stdout, sys.stderr
        captured_out, captured_err = StringIO(), StringIO()
        sys.stdout, sys.stderr = captured_out, captured_err
        namespace = {"__name__": "__main__", "__builtins__": builtins, "args": args if args else {}}
        try:
            exec(compile(code, "<inline>", "exec"), namespace)
            result = namespace.get("result")
            return {"success": True, "result": {"output": captured_out.getvalue(),
                                                "errors": captured_err.getvalue(),
                                                "return_value": _serialize(result)}}
        finally:
            sys.stdout, sys.stderr = old_stdout, old_stderr
    except Exception as e:
        return _failure(e)


def run_function(path, function_name, args=None):
    try:
        p = Path(path).expanduser().resolve()
        if not p.exists():
            return {"success": False, "error": f"Script not found: {path}"}
        spec = importlib.util.spec_from_file_location("custom_module", str(p))
        if not spec or not spec.loader:
            return {"success": False, "error": f"Cannot load module from: {path}"}
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        func = getattr(module, function_name, None)
        if not func:
            available = [n for n in dir(module) if callable(getattr(module, n)) and not n.startswith("_")]
            return {"success": False, "error": f"Function '{function_name}' not found. Available: {available}"}
        if not callable(func):
            return {"success": False, "error": f"'{function_name}' is not callable"}
        result = func(**args) if args else func()
        return {"success": True, "result": {"return_value": _serialize(result)}}
    except Exception as e:
        return _failure(e)


def validate_script(code):
    try:
        compile(code, "<validation>", "exec")
        return {"success": True, "result": {"valid": True, "message": "Script is valid Python"}}
    except SyntaxError as e:
        return {"success": True, "result": {"valid": False, "message": f"Syntax error at line {e.lineno}: {e.msg}",
                                            "line": e.lineno, "offset": e.offset}}


_HANDLERS = {
    "run_script": lambda cmd: run_script(cmd.get("path", ""), cmd.get("args")),
    "run_inline": lambda cmd: run_inline(cmd.get("code", ""), cmd.get("args")),
    "run_function": lambda cmd: run_function(cmd.get("path", ""), cmd.get("function", "main"), cmd.get("args")),
    "validate": lambda cmd: validate_script(cmd.get("code", "")),
}


def handle_command(cmd):
    action = cmd.get("action", "")
    if action == "quit":
        return {"success": True, "result": "goodbye"}
    handler = _HANDLERS.get(action)
    if handler:
        return handler(cmd)
    return {"success": False, "error": f"Unknown action: {action}"}


def main():
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            cmd = json.loads(line)
        except json.JSONDecodeError as e:
            sys.stdout.write(json.dumps({"success": False, "error": f"Invalid JSON: {e}"}) + "\n")
            sys.stdout.flush()
            continue
        response = handle_command(cmd)
        sys.stdout.write(json.dumps(response) + "\n")
        sys.stdout.flush()
        if cmd.get("action") == "quit":
            break


if __name__ == "__main__":
    assert io  # imported like the worker does
    main()
