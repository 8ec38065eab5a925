"""The interpreter sessions behind `run_python` and the file tools: one
per MCP client, ended with its connection or after it idled too long, and
an Execution turned into a tool result."""
from __future__ import annotations

import asyncio
import base64
import time
from collections.abc import Awaitable, Callable, Hashable
from dataclasses import dataclass, field

import mcp_types as types

from ombrix.workers.pool import AsyncSession, AsyncWorkerPool, Execution, WorkerError

Content = types.TextContent | types.ImageContent

_IMAGES = {"image/png", "image/jpeg", "image/svg+xml"}
_TEXTS = {"text/html": "HTML", "text/markdown": "Markdown", "application/json": "JSON", "text/latex": "LaTeX"}


class SessionUnavailable(Exception):
    """No session could be had for the client; the message says why."""


@dataclass
class _Entry:
    pool: AsyncWorkerPool
    session: AsyncSession
    last_used: float = field(default_factory=time.monotonic)
    busy: int = 0


class Interpreters:
    """The open sessions, by client key.  Each runs in a pool of its own
    (`new_pool`): in the sandbox, the workers of one pool share a uid and a
    scratch tmpfs, so two clients' sessions in one pool could read each
    other's files."""

    def __init__(self, new_pool: Callable[[], AsyncWorkerPool], max_sessions: int, idle_timeout: float) -> None:
        self.new_pool = new_pool
        self.max_sessions = max_sessions
        self.idle_timeout = idle_timeout
        self._entries: dict[Hashable, _Entry] = {}
        self._opening: dict[Hashable, asyncio.Lock] = {}
        self._places = 0  # sessions open or being opened

    async def _entry(self, key: Hashable) -> _Entry:
        lock = self._opening.setdefault(key, asyncio.Lock())
        async with lock:
            entry = self._entries.get(key)
            if entry is None:
                if self._places >= self.max_sessions:
                    raise SessionUnavailable(f"No interpreter session is free: the server has max_sessions "
                                             f"({self.max_sessions}) sessions open")
                self._places += 1
                try:
                    entry = self._entries[key] = await self._open()
                except BaseException:
                    self._places -= 1
                    raise
            entry.busy += 1
            return entry

    async def _open(self) -> _Entry:
        try:
            pool = await asyncio.to_thread(self.new_pool)  # starts a sandbox: blocking
        except (OSError, ValueError, RuntimeError, WorkerError) as exc:
            raise SessionUnavailable(f"The interpreter session could not start: {exc}") from None
        try:
            session = pool.session()
            await session.__aenter__()
        except BaseException as exc:
            await pool.aclose()
            if isinstance(exc, WorkerError | RuntimeError):
                raise SessionUnavailable(f"The interpreter session could not start: {exc}") from None
            raise
        return _Entry(pool, session)

    async def use[R](self, key: Hashable, operation: Callable[[AsyncSession], Awaitable[R]]) -> R:
        """`await operation(session)` on the client's session, opened if needed."""
        entry = await self._entry(key)
        try:
            return await operation(entry.session)
        finally:
            entry.busy -= 1
            entry.last_used = time.monotonic()

    async def end(self, key: Hashable) -> bool:
        """Ends the client's session, if it has one (whether it had one)."""
        entry = self._entries.pop(key, None)
        self._opening.pop(key, None)
        if entry is None:
            return False
        self._places -= 1
        try:
            await entry.session.aclose()
        finally:
            await entry.pool.aclose()
        return True

    async def end_all(self) -> None:
        for key in list(self._entries):
            await self.end(key)

    async def reap_idle(self) -> None:
        """Ends sessions unused for the idle timeout, for as long as it runs."""
        interval = min(self.idle_timeout / 4, 30.0)
        while True:
            await asyncio.sleep(interval)
            now = time.monotonic()
            for key, entry in list(self._entries.items()):
                if entry.busy == 0 and now - entry.last_used >= self.idle_timeout:
                    await self.end(key)


def execution_result(execution: Execution) -> types.CallToolResult:
    """A cell's Execution as a tool result: the text of its streams, value
    and error, its displays as images or text, isError when it failed."""
    parts: list[str] = []
    if execution.restarted:
        parts.append("[The previous interpreter was lost; this cell ran in a new, empty one.]")
    if execution.stdout:
        parts.append(f"stdout:\n{execution.stdout}")
    if execution.stderr:
        parts.append(f"stderr:\n{execution.stderr}")
    if execution.value is not None:
        parts.append(f"value: {execution.value}")
    error = execution.error
    if error is not None:
        parts.append(f"error: {error.name}: {error.message}")
        if error.traceback:
            parts.append(error.traceback.rstrip("\n"))
        if error.state_lost:
            parts.append("[The interpreter was ended; its variables are lost. The next cell starts afresh.]")
    content: list[Content] = [types.TextContent(type="text", text="\n".join(parts) or "(no output)")]
    for display in execution.displays:
        data = display.data
        if display.mime in _IMAGES:
            raw = data.encode("utf-8") if isinstance(data, str) else data
            content.append(types.ImageContent(type="image", data=base64.b64encode(raw).decode("ascii"),
                                              mime_type=display.mime))
        elif isinstance(data, str):
            label = _TEXTS.get(display.mime, display.mime)
            content.append(types.TextContent(type="text", text=f"[{label} display]\n{data}"))
    structured = {
        "stdout": execution.stdout, "stderr": execution.stderr, "value": execution.value,
        "error": None if error is None else {"name": error.name, "message": error.message,
                                             "traceback": error.traceback, "state_lost": error.state_lost},
    }
    return types.CallToolResult(content=list(content), structured_content=structured, is_error=error is not None)
