"""The typed requests of the pool's public methods: their arguments checked
on the host, before any worker is involved, and encoded as the request's
JSON line (its action, and the text the reader's mark is added to)."""
from __future__ import annotations

import base64
import json
import os
from typing import Any

from ._reader import json_value
from .options import DEFAULT, Default


def _check_str(name: str, value: object) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")


def _check_args(args: object) -> None:
    if args is not None and not isinstance(args, dict):
        raise TypeError(f"args must be a dict or None, not {type(args).__name__}")


# Each gives the action and the JSON text json.dumps would give for the
# request dict, built directly: encoding is on every request's path.


def inline_request(code: str, args: dict[str, Any] | None) -> tuple[str, str]:
    _check_str("code", code)
    _check_args(args)
    return "run_inline", f'{{"action": "run_inline", "code": {json_value(code)}, "args": {json_value(args)}}}'


def _caller_path(path: object) -> str:
    """A script's path as the caller means it: a relative one names the
    caller's file, not one in the workers' directory."""
    path = os.fspath(path) if isinstance(path, os.PathLike) else path
    _check_str("path", path)
    assert isinstance(path, str)
    return path if not path or os.path.isabs(path) else os.path.join(os.getcwd(), path)


def script_request(path: str | os.PathLike[str], args: dict[str, Any] | None) -> tuple[str, str]:
    path = _caller_path(path)
    _check_args(args)
    return "run_script", f'{{"action": "run_script", "path": {json_value(path)}, "args": {json_value(args)}}}'


def function_request(path: str | os.PathLike[str], function: str, args: dict[str, Any] | None) -> tuple[str, str]:
    path = _caller_path(path)
    _check_str("function", function)
    _check_args(args)
    fields = f'"path": {json_value(path)}, "function": {json_value(function)}, "args": {json_value(args)}'
    return "run_function", f'{{"action": "run_function", {fields}}}'


def validate_request(code: str) -> tuple[str, str]:
    _check_str("code", code)
    return "validate", f'{{"action": "validate", "code": {json_value(code)}}}'


def execute_request(code: str, session: bool, max_output: int) -> tuple[str, str]:
    _check_str("code", code)
    fields = f'"code": {json_value(code)}, "session": {"true" if session else "false"}, "max_output": {max_output}'
    return "execute", f'{{"action": "execute", {fields}}}'


def check_output_sink(on_output: object) -> None:
    if on_output is not None and not callable(on_output):
        raise TypeError(f"on_output must be callable or None, not {type(on_output).__name__}")


def file_name(name: object) -> str:
    """A session file's name, refused on the host too when it could leave
    the session's root: absolute, or with a ".." component."""
    _check_str("name", name)
    assert isinstance(name, str)
    parts = name.split("/")
    if not name or name.startswith("/") or ".." in parts or "\0" in name:
        raise ValueError(f"file names must be relative to the session's directory, without '..': {name!r}")
    return name


def upload_request(name: object, data: object) -> tuple[str, str]:
    name = file_name(name)
    if not isinstance(data, bytes | bytearray | memoryview):
        raise TypeError(f"data must be bytes, not {type(data).__name__}")
    encoded = base64.b64encode(data).decode("ascii")
    return "upload", f'{{"action": "upload", "name": {json_value(name)}, "data": "{encoded}"}}'


def download_request(name: object, max_size: int) -> tuple[str, str]:
    """A download whose file's base64 text may take `max_size` bytes: the
    worker refuses a larger one instead of passing the answer's bound."""
    return "download", f'{{"action": "download", "name": {json_value(file_name(name))}, "max_size": {max_size}}}'


def any_request(cmd: dict[str, Any]) -> tuple[object, str]:
    if not isinstance(cmd, dict):
        raise TypeError(f"cmd must be a dict, not {type(cmd).__name__}")
    return cmd.get("action"), json.dumps(cmd)


# -- the public request methods, written once for each kind of caller --------
#
# A face gives `_call(encoded, timeout)`: it sends one encoded request and
# returns (or, for the asyncio faces, awaits) its response.  The timeout is
# the face's to check: DEFAULT stands for the pool's own.

Timeout = float | Default | None


class Requests:
    """The five request methods of a face for threads."""

    def _call(self, encoded: tuple[object, str], timeout: Timeout) -> dict[str, Any]:
        raise NotImplementedError

    def run_inline(self, code: str, args: dict[str, Any] | None = None, *,
                   timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return self._call(inline_request(code, args), timeout)

    def run_script(self, path: str | os.PathLike[str], args: dict[str, Any] | None = None, *,
                   timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return self._call(script_request(path, args), timeout)

    def run_function(self, path: str | os.PathLike[str], function: str = "main",
                     args: dict[str, Any] | None = None, *, timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return self._call(function_request(path, function, args), timeout)

    def validate(self, code: str, *, timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return self._call(validate_request(code), timeout)

    def request(self, cmd: dict[str, Any], *, timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return self._call(any_request(cmd), timeout)


class AsyncRequests:
    """The same five methods as coroutines, for asyncio tasks."""

    async def _call(self, encoded: tuple[object, str], timeout: Timeout) -> dict[str, Any]:
        raise NotImplementedError

    async def run_inline(self, code: str, args: dict[str, Any] | None = None, *,
                         timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return await self._call(inline_request(code, args), timeout)

    async def run_script(self, path: str | os.PathLike[str], args: dict[str, Any] | None = None, *,
                         timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return await self._call(script_request(path, args), timeout)

    async def run_function(self, path: str | os.PathLike[str], function: str = "main",
                           args: dict[str, Any] | None = None, *, timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return await self._call(function_request(path, function, args), timeout)

    async def validate(self, code: str, *, timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return await self._call(validate_request(code), timeout)

    async def request(self, cmd: dict[str, Any], *, timeout: Timeout = DEFAULT) -> dict[str, Any]:
        return await self._call(any_request(cmd), timeout)
