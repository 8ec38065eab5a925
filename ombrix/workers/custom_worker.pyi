"""Type information for the custom worker extension module."""

from typing import Any, Literal, TypeAlias, TypedDict

# A value that `_serialize` produces: built only from None, str, int, float,
# bool, lists and dicts with str keys.  Scalars come back as the very objects
# passed in, so subclasses (an int-based enum member, say) keep their type.
_JSON: TypeAlias = None | str | int | float | bool | list[_JSON] | dict[str, _JSON]

class _Failure(TypedDict):
    success: Literal[False]
    error: str

class _Captured(TypedDict):
    output: str
    errors: str
    return_value: _JSON

class _CapturedSuccess(TypedDict):
    success: Literal[True]
    result: _Captured

class _Returned(TypedDict):
    return_value: _JSON

class _FunctionSuccess(TypedDict):
    success: Literal[True]
    result: _Returned

class _Valid(TypedDict):
    valid: Literal[True]
    message: str

class _Invalid(TypedDict):
    valid: Literal[False]
    message: str
    line: int | None
    offset: int | None

class _Validated(TypedDict):
    success: Literal[True]
    result: _Valid | _Invalid

class _Goodbye(TypedDict):
    success: Literal[True]
    result: Literal["goodbye"]

def run_script(path: str, args: dict[str, Any] | None = None) -> _CapturedSuccess | _Failure:
    """Execute a Python script file and capture its output."""

def run_inline(code: str, args: dict[str, Any] | None = None) -> _CapturedSuccess | _Failure:
    """Execute inline Python code."""

def run_function(
    path: str, function_name: str, args: dict[str, Any] | None = None
) -> _FunctionSuccess | _Failure:
    """Execute a specific function from a Python script."""

def validate_script(code: str) -> _Validated:
    """Validate that code is syntactically correct Python."""

def _serialize(obj: object) -> _JSON:
    """Attempt to serialize an object to JSON-compatible format."""

# The routed operations are looked up in the module namespace at every call;
# handle_command also passes on None, which only a replacement bound in their
# place can return.
def handle_command(
    cmd: dict[str, Any],
) -> _CapturedSuccess | _FunctionSuccess | _Validated | _Goodbye | _Failure:
    """Route a command to the appropriate handler."""

def main() -> None: ...

__test__: dict[str, Any]

# Set by a pool worker's start-up: bounds the characters run_script and
# run_inline capture in one request (stdout and stderr together); past it the
# process exits with status 113.  A later call only tightens the bound.
def _limit_output(limit: int, /) -> None:
    """Bound the characters that run_script and run_inline capture in one request."""

# Set by a pool worker's start-up: main's loop then ends the answer to a
# request that has a str field "_mark" with a line holding the mark, written
# together with the response, so the pool finds the end of its answer exactly.
def _mark_answers() -> None:
    """End the answer to a request with a str field "_mark" with a line holding the mark."""
