"""Signatures, attributes and argument binding of the exported functions."""
import ctypes
import inspect
import traceback
from collections import OrderedDict

import pytest
from conftest import FILE

from ombrix.workers import custom_worker as cw


SIGNATURES = {
    "run_script": "(path: 'str', args: 'dict | None' = None) -> 'dict'",
    "run_inline": "(code: 'str', args: 'dict | None' = None) -> 'dict'",
    "run_function": "(path: 'str', function_name: 'str', args: 'dict | None' = None) -> 'dict'",
    "validate_script": "(code: 'str') -> 'dict'",
    "_serialize": "(obj)",
    "handle_command": "(cmd: 'dict') -> 'dict'",
    "main": "()",
}

DOCS = {
    "run_script": "Execute a Python script file and capture its output.",
    "run_inline": "Execute inline Python code.",
    "run_function": "Execute a specific function from a Python script.",
    "validate_script": "Validate that code is syntactically correct Python.",
    "_serialize": "Attempt to serialize an object to JSON-compatible format.",
    "handle_command": "Route a command to the appropriate handler.",
    "main": None,
}

FIRST_LINES = {"run_script": 29, "run_inline": 82, "run_function": 121, "validate_script": 166,
               "_serialize": 186, "handle_command": 199, "main": 224}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_introspection(name):
    f = getattr(cw, name)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "ombrix.workers.custom_worker"
    assert f.__doc__ == DOCS[name]
    assert f.__kwdefaults__ is None
    assert f.__defaults__ == ((None,) if name in ("run_script", "run_inline", "run_function") else None)
    code = f.__code__
    assert code.co_filename == FILE
    assert code.co_firstlineno == FIRST_LINES[name]
    params = list(inspect.signature(f).parameters)
    assert code.co_argcount == len(params)
    assert list(code.co_varnames[: len(params)]) == params
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0


def test_annotations_are_strings_in_order():
    assert list(cw.run_function.__annotations__.items()) == [
        ("path", "str"), ("function_name", "str"), ("args", "dict | None"), ("return", "dict")]
    assert cw._serialize.__annotations__ == {} and cw.main.__annotations__ == {}


def test_code_objects_are_harmless_to_execute():
    # A code object taken from a function must not crash the interpreter.
    with pytest.raises(AssertionError):
        exec(cw.main.__code__, {})
    assert cw.main.__code__.co_name == "main"
    assert cw.run_script.__code__.co_varnames == (
        "path", "args", "p", "old_stdout", "old_stderr", "captured_out", "captured_err",
        "namespace", "code", "result", "e")


def test_reassigning_attributes_does_not_change_binding(monkeypatch):
    monkeypatch.setattr(cw.validate_script, "__defaults__", ("default",))
    monkeypatch.setattr(cw.validate_script, "__name__", "renamed")
    monkeypatch.setattr(cw.validate_script, "__annotations__", {"code": "int"})
    with pytest.raises(TypeError, match=r"^validate_script\(\) takes exactly 1 positional argument \(0 given\)$"):
        cw.validate_script()
    with pytest.raises(TypeError, match=r"expected str, got int"):
        cw.validate_script(1)
    with pytest.raises(TypeError):
        cw.run_script.__defaults__ = 5
    with pytest.raises(AttributeError):
        cw.run_script.__code__ = cw.main.__code__
    # Free attributes live in the function's own __dict__.
    monkeypatch.setattr(cw.run_inline, "marker", 1, raising=False)
    assert cw.run_inline.__dict__ == {"marker": 1}
    # The default of `args` is fixed when the module is built.
    monkeypatch.setattr(cw.run_inline, "__defaults__", ({"a": 1},))
    assert cw.run_inline("result = args")["result"]["return_value"] == {}


def arity(fn, word, count, given):
    s = "" if count == 1 else "s"
    return f"{fn}() takes {word} {count} positional argument{s} ({given} given)"


ARITY_CASES = [
    (lambda: cw.run_script(), arity("run_script", "at least", 1, 0)),
    (lambda: cw.run_script(args=None), arity("run_script", "at least", 1, 0)),
    (lambda: cw.run_script("a", None, 3), arity("run_script", "at most", 2, 3)),
    (lambda: cw.run_script("a", None, 3, args=None), arity("run_script", "at most", 2, 3)),
    (lambda: cw.run_inline(), arity("run_inline", "at least", 1, 0)),
    (lambda: cw.run_function("p"), arity("run_function", "at least", 2, 1)),
    (lambda: cw.run_function("p", args={}), arity("run_function", "at least", 2, 1)),
    (lambda: cw.run_function(function_name="f"), arity("run_function", "at least", 2, 0)),
    (lambda: cw.run_function(1, 2, 3, 4), arity("run_function", "at most", 3, 4)),
    (lambda: cw.validate_script(), arity("validate_script", "exactly", 1, 0)),
    (lambda: cw.validate_script("a", "b"), arity("validate_script", "exactly", 1, 2)),
    (lambda: cw._serialize(), arity("_serialize", "exactly", 1, 0)),
    (lambda: cw.handle_command({}, {}), arity("handle_command", "exactly", 1, 2)),
]

KEYWORD_CASES = [
    (lambda: cw.run_script("a", path="b"), "run_script() got multiple values for keyword argument 'path'"),
    (lambda: cw.run_script("a", nope=1), "run_script() got an unexpected keyword argument 'nope'"),
    (lambda: cw.run_function("a", "f", function_name="g"),
     "run_function() got multiple values for keyword argument 'function_name'"),
    (lambda: cw._serialize(obj=1, extra=2), "_serialize() got an unexpected keyword argument 'extra'"),
    (lambda: cw.handle_command(command={}), "handle_command() got an unexpected keyword argument 'command'"),
]


@pytest.mark.parametrize("call,message", ARITY_CASES + KEYWORD_CASES)
def test_binding_errors_with_traceback_entry(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    fn = message.split("(")[0]
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.filename, last.lineno, last.name) == (FILE, FIRST_LINES[fn], f"ombrix.workers.custom_worker.{fn}")


class StrSub(str):
    pass


class DictSub(dict):
    pass


TYPE_CASES = [
    (lambda: cw.run_script(1), "path", "str", "int", False),
    (lambda: cw.run_script(StrSub("x")), "path", "str", "StrSub", True),
    (lambda: cw.run_script("x", []), "args", "dict", "list", False),
    (lambda: cw.run_script("x", DictSub()), "args", "dict", "DictSub", True),
    (lambda: cw.run_inline(b"x"), "code", "str", "bytes", False),
    (lambda: cw.run_function("p", None), "function_name", "str", "NoneType", False),
    (lambda: cw.run_function(1, 2, 3), "path", "str", "int", False),
    (lambda: cw.validate_script(None), "code", "str", "NoneType", False),
    (lambda: cw.handle_command(None), "cmd", "dict", "NoneType", False),
    (lambda: cw.handle_command(OrderedDict()), "cmd", "dict", "collections.OrderedDict", True),
    (lambda: cw.handle_command(cmd=[]), "cmd", "dict", "list", False),
]


@pytest.mark.parametrize("call,param,expected,got,note", TYPE_CASES)
def test_exact_type_checks(call, param, expected, got, note):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == (1 if note else 0)
    if note:
        assert "subclass" in notes[0]
    # A failed type test adds no traceback entry of the module.
    assert all(fs.filename != FILE for fs in traceback.extract_tb(info.value.__traceback__))


def test_main_argument_errors():
    with pytest.raises(TypeError, match=r"^main\(\) takes no arguments \(1 given\)$") as info:
        cw.main(1)
    with pytest.raises(TypeError, match=r"^main\(\) takes no keyword arguments$"):
        cw.main(1, 2, x=3)
    with pytest.raises(TypeError, match=r"^main\(\) takes no keyword arguments$"):
        cw.main(x=3)
    assert all(fs.filename != FILE for fs in traceback.extract_tb(info.value.__traceback__))


def test_keywords_bind_by_content_and_for_str_subclasses():
    # A str subclass keyword with equal content binds like the plain name.
    with pytest.raises(TypeError, match="Argument 'code'"):
        cw.validate_script(**{StrSub("code"): 5})
    # A freshly built (not interned) name binds too.
    name = "".join(["co", "de"])
    with pytest.raises(TypeError, match="Argument 'code'"):
        cw.validate_script(**{name: 5})


# --- calls through the C API that Python syntax cannot make -------------------

api = ctypes.pythonapi
api.PyObject_Vectorcall.restype = ctypes.py_object
api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
api.PyObject_Call.restype = ctypes.py_object
api.PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def vectorcall(f, args, kwnames):
    arr = (ctypes.py_object * len(args))(*args)
    return api.PyObject_Vectorcall(f, arr, len(args) - len(kwnames), kwnames)


def test_non_string_keywords():
    with pytest.raises(TypeError) as info:
        vectorcall(cw.run_script, ["p", 1], (5,))
    assert str(info.value) == "run_script() keywords must be strings"
    assert traceback.extract_tb(info.value.__traceback__)[-1].lineno == 29
    # The classic call path refuses a non-string key before binding.
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        api.PyObject_Call(cw.run_script, ("p",), {1: 2})


def test_classic_and_vector_calls_agree():
    for kwargs in ({"path": 1}, {"path": "x", "args": []}, {"bogus": 1}):
        errors = []
        for call in (lambda: api.PyObject_Call(cw.run_script, (), kwargs),
                     lambda: cw.run_script(**kwargs)):
            with pytest.raises(TypeError) as info:
                call()
            errors.append(str(info.value))
        assert errors[0] == errors[1]


def test_duplicate_keyword_through_vectorcall():
    with pytest.raises(TypeError, match="multiple values for keyword argument 'code'"):
        vectorcall(cw.validate_script, [1, 2], ("code", "code"))
