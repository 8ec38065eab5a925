"""Every Python example of the README runs as written.

Each ```python block runs in a fresh interpreter in a directory that holds
the README's own `tool.py` (the block that starts with "# tool.py").
Top-level `await` and `async with` run in an event loop.  A comment line
that is a Python literal and follows an expression statement is that
statement's expected value (`...` inside it matches anything).
"""
import ast
import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import SANITIZED

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
with open(README) as _f:
    _TEXT = _f.read()
_BLOCKS = [(m.group(1), _TEXT.count("\n", 0, m.start()) + 1)
           for m in re.finditer(r"^```python\n(.*?)^```", _TEXT, re.S | re.M)]
TOOL = next(source for source, _ in _BLOCKS if source.startswith("# tool.py\n"))

# Runs one block: statements with an expected value are checked as they run.
RUNNER = r'''
import ast, asyncio, inspect, sys

def matches(value, expected):
    if expected is Ellipsis:
        return True
    if isinstance(expected, dict):
        return (isinstance(value, dict) and value.keys() == expected.keys()
                and all(matches(value[k], expected[k]) for k in expected))
    if isinstance(expected, list | tuple):
        return (type(value) is type(expected) and len(value) == len(expected)
                and all(matches(v, e) for v, e in zip(value, expected)))
    return type(value) is type(expected) and value == expected

def check(value, expected, line):
    if not matches(value, expected):
        raise AssertionError(f"README line {line}: got {value!r}, expected {expected!r}")
    return value

source, first_line, expectations = sys.argv[1], int(sys.argv[2]), eval(sys.argv[3])
tree = ast.parse(source)

class Expect(ast.NodeTransformer):
    def visit_Expr(self, node):
        if node.end_lineno in expectations:
            expected = ast.Subscript(ast.Name("__expected", ast.Load()),
                                     ast.Constant(node.end_lineno), ast.Load())
            call = ast.Call(ast.Name("__check", ast.Load()),
                            [node.value, expected, ast.Constant(first_line + node.end_lineno)], [])
            node.value = ast.copy_location(call, node.value)
        return self.generic_visit(node)

tree = ast.fix_missing_locations(Expect().visit(tree))
code = compile(tree, "README.md", "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
namespace = {"__name__": "__main__", "__check": check, "__expected": expectations}
result = eval(code, namespace)
if inspect.iscoroutine(result):
    asyncio.run(result)
'''


def _expectations(source):
    """Maps the last line of each expression statement to the literal in the
    comment line right after it."""
    lines = source.splitlines()
    ends = {node.end_lineno for node in ast.walk(ast.parse(source)) if isinstance(node, ast.Expr)}
    found = {}
    for end in ends:
        if end < len(lines):
            comment = lines[end].strip()
            if comment.startswith("#"):
                try:
                    found[end] = ast.literal_eval(comment[1:].strip())
                except (ValueError, SyntaxError):
                    pass
    return found


@pytest.mark.parametrize(("source", "first_line"), [pytest.param(*b, id=f"line{b[1]}") for b in _BLOCKS])
def test_readme_example_runs(source, first_line, tmp_path):
    if "sandbox=True" in source and shutil.which("bwrap") is None:
        pytest.skip("bubblewrap is not installed")
    if "ombrix.workers.cluster" in source and importlib.util.find_spec("ray") is None:
        pytest.skip("the ray extra is not installed")
    if "Pool(" in source and SANITIZED:
        pytest.skip("pools as written give their workers a minimal environment, without the sanitizer")
    (tmp_path / "tool.py").write_text(TOOL)
    env = dict(os.environ, RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0")
    completed = subprocess.run(
        [sys.executable, "-P", "-c", RUNNER, source, str(first_line), repr(_expectations(source))],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120,
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
