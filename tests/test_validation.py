"""validate_script: compiling source text without running it."""
import __future__
import builtins
import json
import sys
import warnings

import pytest
from hypothesis import given, settings, strategies as st

from conftest import FILE, module_entries, run_worker
from ombrix.workers import custom_worker as cw

VALID = {"success": True, "result": {"valid": True, "message": "Script is valid Python"}}


def invalid(line, msg, offset):
    return {"success": True, "result": {"valid": False, "message": f"Syntax error at line {line}: {msg}",
                                        "line": line, "offset": offset}}


@pytest.mark.parametrize("code", [
    "",
    "\n\n# only a comment\n",
    "1 / 0",
    "undefined_name + 1",
    "import module_that_does_not_exist_anywhere",
    "def f():\n    return missing()\n",
    "x = 'caf\u00e9 \U0001f600'",
])
def test_valid_code_is_not_run(code):
    result = cw.validate_script(code)
    assert result == VALID and list(result) == ["success", "result"]
    assert list(result["result"]) == ["valid", "message"]


@pytest.mark.parametrize("code, expected", [
    ("x = 1\nreturn x\n", invalid(2, "'return' outside function", 1)),
    ("for x in y:\n    pass\nbreak\n", invalid(3, "'break' outside loop", 1)),
    ("x = (1,\n", invalid(1, "'(' was never closed", 5)),
    ("def f(:\n    pass\n", invalid(1, "invalid syntax", 7)),
    ("if True:\nx = 1\n", invalid(2, "expected an indented block after 'if' statement on line 1", 1)),
    ("x = 1\n    y = 2\n", invalid(2, "unexpected indent", 4)),
    ("if 1:\n\tx = 1\n        y = 2\n", invalid(3, "inconsistent use of tabs and spaces in indentation", 1)),
    ("x = 1 +\ny = )\n", invalid(2, "unmatched ')'", 5)),
])
def test_syntax_errors(code, expected):
    result = cw.validate_script(code)
    assert result == expected
    assert list(result["result"]) == ["valid", "message", "line", "offset"]
    line = result["result"]["line"]
    assert type(line) is int and type(result["result"]["offset"]) is int
    assert result["result"]["message"].startswith(f"Syntax error at line {line}: ")


def test_only_the_first_error_is_reported():
    result = cw.validate_script("ok = 1\ndef f(:\n    pass\nreturn 5\nx = (\n")
    assert result["result"]["line"] == 2 and result["result"]["message"] == "Syntax error at line 2: invalid syntax"


def test_lone_surrogate_raises():
    with pytest.raises(UnicodeEncodeError) as info:
        cw.validate_script("x = '\ud800'")
    assert module_entries(info.value) == [(169, "ombrix.workers.custom_worker.validate_script")]


def test_error_without_position_renders_none():
    # compile rejects a null character with a SyntaxError that has no line.
    assert cw.validate_script("a = 1\x00") == invalid(None, "source code string cannot contain null bytes", None)


def test_handled_exception_is_preserved():
    for code in ["x = 1", "return", "'\ud800'"]:
        try:
            cw.validate_script(code)
        except UnicodeEncodeError:
            pass
        assert sys.exc_info() == (None, None, None)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        for code in ["x = 1", "return"]:
            cw.validate_script(code)
            assert sys.exc_info()[1] is outer
        with pytest.raises(UnicodeEncodeError):
            cw.validate_script("'\ud800'")
        assert sys.exc_info()[1] is outer


def test_builtin_compile_is_fetched_once(monkeypatch):
    def fake_compile(*args, **kwargs):
        raise AssertionError("the replaced compile was called")

    monkeypatch.setattr(builtins, "compile", fake_compile)
    assert cw.validate_script("x = 1") == VALID
    assert cw.validate_script("return")["result"]["valid"] is False


def test_verdict_ignores_the_callers_future_imports():
    # Under barry_as_FLUFL, "<>" is inequality and "!=" a syntax error; the
    # caller's future features must not change what counts as valid.
    flag = __future__.barry_as_FLUFL.compiler_flag
    namespace = {"cw": cw}
    exec(compile("r1 = cw.validate_script('1 <> 2')\nr2 = cw.validate_script('1 != 2')",
                 "<caller>", "exec", flags=flag), namespace)
    assert namespace["r1"]["result"]["valid"] is False
    assert namespace["r2"] == VALID


def test_compiler_warnings_are_issued_not_reported():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert cw.validate_script("x = '\\d'") == VALID
    assert [(w.category, w.filename) for w in caught] == [(SyntaxWarning, "<validation>")]


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.sampled_from(list("()[]:=+-*/ \n\tabcdefgijklmnoprstuvwx0123'\"#,.\\\x00")) |
               st.characters(blacklist_categories=("Cs",)), max_size=40))
def test_any_text_gets_a_well_formed_verdict(code):
    result = cw.validate_script(code)
    if result != VALID:
        assert list(result) == ["success", "result"] and result["success"] is True
        verdict = result["result"]
        assert list(verdict) == ["valid", "message", "line", "offset"] and verdict["valid"] is False
        assert verdict["message"].startswith(f"Syntax error at line {verdict['line']}: ")


def test_lone_surrogate_ends_the_worker():
    # The request carries the JSON escape for a lone surrogate.
    text = '{"action": "validate", "code": "x = \\ud800"}\n{"action": "quit"}\n'
    completed = run_worker(text)
    assert completed.returncode != 0
    assert completed.stdout == b""
    stderr = completed.stderr.decode()
    assert f'File "{FILE}", line 169, in ombrix.workers.custom_worker.validate_script' in stderr
    assert stderr.rstrip().splitlines()[-1].startswith("UnicodeEncodeError: 'utf-8' codec can't encode")


def test_validate_through_the_worker():
    lines = ["{\"action\": \"validate\", \"code\": \"return 1\"}", '{"action": "validate"}']
    completed = run_worker("\n".join(lines) + "\n")
    assert completed.returncode == 0, completed.stderr.decode()
    assert [json.loads(x) for x in completed.stdout.decode().splitlines()] == [
        invalid(1, "'return' outside function", 1), VALID]
