"""The MCP server: the built-in tools, the created tools run in fresh workers
of the pool, and the announcement of tool-list changes to every connected
client the way its protocol version wants it."""
from __future__ import annotations

import asyncio
import base64
import binascii
import json
from collections.abc import Awaitable, Callable, Hashable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import mcp_types as types
from mcp.server.connection import Connection
from mcp.server.context import CallNext, HandlerResult, ServerRequestContext
from mcp.server.lowlevel.server import NotificationOptions, Server
from mcp.server.models import InitializationOptions
from mcp.server.subscriptions import InMemorySubscriptionBus, ListenHandler, ToolsListChanged
from mcp.shared.exceptions import MCPError
from mcp_types.version import MODERN_PROTOCOL_VERSIONS

from ombrix.workers.pool import AsyncWorkerPool, OutputLimitExceeded, WorkerError, WorkerExited, WorkerTimeout

from .schema import JSON, ToolSourceError, schema_errors
from .sessions import Interpreters, SessionUnavailable, execution_result
from .tools import ToolStore

Context = ServerRequestContext[Any, Any]
Args = dict[str, Any]


@dataclass(frozen=True)
class Settings:
    """What the command line decides (see `ombrix-mcp --help`)."""

    size: int = 2
    timeout: float = 30.0
    memory_limit: int | None = None
    max_output: int = 2**20
    readable: tuple[str, ...] = ()
    max_sessions: int = 16
    sandbox: bool = True
    idle_timeout: float = 600.0
    tools_dir: Path = Path()
    max_input: int = 2**20

    def session_pool(self) -> AsyncWorkerPool:
        """The pool of one client's interpreter session: a sandbox of its
        own, which sees the --readable paths but not the tools directory."""
        return AsyncWorkerPool(size=1, timeout=self.timeout, memory_limit=self.memory_limit,
                               max_output=self.max_output, sandbox=self.sandbox, readable=list(self.readable),
                               spares=0, max_sessions=1)


class ToolError(Exception):
    """Bad input or a failed run: the tool's result, with isError set."""


def text_result(text: str, *, error: bool = False, structured: JSON | None = None) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(type="text", text=text)],
                                structured_content=structured, is_error=error)


def _tool(name: str, description: str, properties: JSON, required: list[str]) -> types.Tool:
    schema = {"type": "object", "properties": properties, "required": required, "additionalProperties": False}
    return types.Tool(name=name, description=description, input_schema=schema)


_STRING = {"type": "string"}

CREATE_TOOL = _tool(
    "create_tool",
    "Create (or replace) a tool from a Python script that defines a top-level function of the tool's name. "
    "The tool's input schema comes from the function's signature (int, float, str, bool, list, dict and their "
    "list[...]/dict[str, ...] forms; parameters with defaults are optional), its description from the docstring "
    "unless one is given. Each call runs the function in a fresh sandboxed interpreter; its return value, which "
    "must be JSON-compatible, is the result. Tools persist across server restarts.",
    {"name": {"type": "string", "pattern": "^[a-z][a-z0-9_]{0,63}$"}, "source": _STRING, "description": _STRING},
    ["name", "source"],
)
DELETE_TOOL = _tool("delete_tool", "Delete a tool made with create_tool.", {"name": _STRING}, ["name"])
RUN_PYTHON = _tool(
    "run_python",
    "Run Python code in this conversation's sandboxed interpreter session: variables, imports and files persist "
    "between calls (until reset_python or the session idles out). Returns stdout, stderr, the value of a final "
    "expression and any error with its traceback; display(obj) and matplotlib figures come back as images.",
    {"code": _STRING, "timeout": {"type": "number", "exclusiveMinimum": 0}},
    ["code"],
)
RESET_PYTHON = _tool("reset_python", "End this conversation's interpreter session; the next run_python starts "
                     "with an empty one (files written so far are gone too).", {}, [])
_BINARY = {"type": "boolean", "description": "content is base64 (default false: UTF-8 text)"}
WRITE_FILE = _tool("write_file", "Write a file in the interpreter session's working directory (a relative path "
                   "inside it; parent directories are made).", {"path": _STRING, "content": _STRING,
                                                               "binary": _BINARY}, ["path", "content"])
READ_FILE = _tool("read_file", "Read a file from the interpreter session's working directory.",
                  {"path": _STRING, "binary": {"type": "boolean", "description": "return base64 (default false)"}},
                  ["path"])

# Names no created tool may take, also of the built-in tools still to come.
BUILTIN = frozenset({"create_tool", "delete_tool", "run_python", "reset_python", "write_file", "read_file"})


async def _tell_tools_changed(connection: Connection) -> None:
    try:  # a client that does not read gets no more of the caller's time than this
        async with asyncio.timeout(2.0):
            await connection.send_tool_list_changed()
    except Exception:  # a client gone meanwhile, or not reading: it misses this change
        pass


class OmbrixServer:
    """One server process: its pool, its tool store and its listeners."""

    def __init__(self, settings: Settings, pool: AsyncWorkerPool, *, stdio: bool) -> None:
        self.settings = settings
        self.pool = pool
        self.interpreters = Interpreters(settings.session_pool, settings.max_sessions, settings.idle_timeout)
        # Over stdio the process serves one client; over HTTP each MCP
        # session's connection is a client, whose interpreter ends with it.
        self._stdio = stdio
        self._clients: set[Connection] = set()
        self.store = ToolStore(settings.tools_dir, BUILTIN)
        self._changing = asyncio.Lock()
        self._bus = InMemorySubscriptionBus()
        # Connections of the handshake protocol versions, which get
        # notifications/tools/list_changed on their own channel; the newer
        # version gets the change on its subscriptions/listen streams.
        self._connections: set[Connection] = set()
        self._builtin: dict[str, tuple[types.Tool, Callable[[Context, Args], Awaitable[types.CallToolResult]]]] = {
            "create_tool": (CREATE_TOOL, self._create_tool),
            "delete_tool": (DELETE_TOOL, self._delete_tool),
            "run_python": (RUN_PYTHON, self._run_python),
            "reset_python": (RESET_PYTHON, self._reset_python),
            "write_file": (WRITE_FILE, self._write_file),
            "read_file": (READ_FILE, self._read_file),
        }
        self.server: Server[Any] = Server(
            "ombrix-mcp",
            version="0.1.0",
            instructions="Python in sandboxed interpreters, and tools you write yourself with create_tool.",
            on_list_tools=self._list_tools,
            on_call_tool=self._call_tool,
            on_subscriptions_listen=ListenHandler(self._bus),
        )
        # In place of the SDK's default tracing middleware, a no-op without an
        # exporter that still costs every call its span.
        self.server.middleware = [self._track]

    def initialization_options(self) -> InitializationOptions:
        return self.server.create_initialization_options(NotificationOptions(tools_changed=True))

    # -- connections and announcements ---------------------------------------

    async def _track(self, ctx: Context, call_next: CallNext) -> HandlerResult:
        result = await call_next(ctx)
        # The session's connection is not public; it carries the per-client
        # channel and the teardown that ends this client's membership.
        connection: Connection = ctx.session._connection
        if (connection not in self._connections and connection.initialized.is_set()
                and connection.has_standalone_channel
                and connection.protocol_version not in MODERN_PROTOCOL_VERSIONS):
            self._connections.add(connection)
            connection.exit_stack.callback(self._connections.discard, connection)
        return result

    async def announce_tools_changed(self) -> None:
        await self._bus.publish(ToolsListChanged())
        # All at once: clients that do not read cost the caller 2 s in all, not 2 s each.
        await asyncio.gather(*(_tell_tools_changed(connection) for connection in list(self._connections)))

    # -- the MCP requests -----------------------------------------------------

    async def _list_tools(self, ctx: Context, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        created = [types.Tool(name=t.name, description=t.description, input_schema=t.input_schema)
                   for t in self.store.tools.values()]
        return types.ListToolsResult(tools=[tool for tool, _ in self._builtin.values()] + created)

    async def _call_tool(self, ctx: Context, params: types.CallToolRequestParams) -> types.CallToolResult:
        args: Args = dict(params.arguments or {})
        try:
            if params.name in self._builtin:
                tool, handler = self._builtin[params.name]
                self._check(args, tool.input_schema)
                return await handler(ctx, args)
            created = self.store.tools.get(params.name)
            if created is None:
                raise MCPError(types.INVALID_PARAMS, f"Unknown tool: {params.name}")
            self._check(args, created.input_schema)
            return await self._run_created(created.path, created.name, args)
        except ToolError as exc:
            return text_result(str(exc), error=True)

    def _check(self, args: Args, schema: JSON) -> None:
        errors = schema_errors(args, schema)
        if errors:
            raise ToolError("Invalid arguments: " + "; ".join(errors))
        size = len(json.dumps(args, ensure_ascii=False).encode("utf-8", "surrogatepass"))
        if size > self.settings.max_input:
            raise ToolError(f"The input is {size} bytes, more than the server's limit of {self.settings.max_input}")

    # -- the interpreter sessions ----------------------------------------------

    def _client(self, ctx: Context) -> Hashable:
        if self._stdio:
            return "stdio"
        connection: Connection = ctx.session._connection
        if connection not in self._clients:
            self._clients.add(connection)
            connection.exit_stack.push_async_callback(self._client_gone, connection)
        return connection

    async def _client_gone(self, connection: Connection) -> None:
        self._clients.discard(connection)
        await self.interpreters.end(connection)

    async def _in_session[R](self, ctx: Context, operation: Callable[[Any], Awaitable[R]]) -> R:
        try:
            return await self.interpreters.use(self._client(ctx), operation)
        except SessionUnavailable as exc:
            raise ToolError(str(exc)) from None
        except WorkerError as exc:  # a reset or the idle timeout ended the session meanwhile
            raise ToolError(f"The interpreter session failed: {exc}") from None

    async def _run_python(self, ctx: Context, args: Args) -> types.CallToolResult:
        code: str = args["code"]
        timeout: float = args.get("timeout", self.settings.timeout)
        if not 0 < timeout <= self.settings.timeout:
            raise ToolError(f"timeout must be above 0 and at most the server's {self.settings.timeout} s")
        on_output: Callable[[str, str], object] | None = None
        sender: asyncio.Task[None] | None = None
        meta = ctx.meta or {}
        if "progressToken" in meta or "progress_token" in meta:
            # Each write of the cell becomes a progress notification, in order.
            queue: asyncio.Queue[tuple[str, str] | None] = asyncio.Queue()
            on_output = lambda stream, text: queue.put_nowait((stream, text))  # noqa: E731

            async def send() -> None:
                count = 0
                while (item := await queue.get()) is not None:
                    count += 1
                    await ctx.session.report_progress(count, None, f"{item[0]}: {item[1]}")

            sender = asyncio.create_task(send())
        try:
            execution = await self._in_session(
                ctx, lambda session: session.execute(code, timeout=timeout,
                                                     on_output=on_output))
        finally:
            if sender is not None:
                queue.put_nowait(None)
                await sender
        return execution_result(execution)

    async def _reset_python(self, ctx: Context, args: Args) -> types.CallToolResult:
        had = await self.interpreters.end(self._client(ctx))
        return text_result("The interpreter session was ended; the next run_python starts an empty one."
                           if had else "There was no interpreter session; the next run_python starts one.")

    async def _write_file(self, ctx: Context, args: Args) -> types.CallToolResult:
        path: str = args["path"]
        content: str = args["content"]
        if args.get("binary"):
            try:
                data = base64.b64decode(content, validate=True)
            except binascii.Error:
                raise ToolError("content is not valid base64 (binary=true)") from None
        else:
            data = content.encode("utf-8", "surrogatepass")
        try:
            await self._in_session(ctx, lambda session: session.upload(path, data))
        except (ValueError, OSError, WorkerError) as exc:
            raise ToolError(f"Could not write {path!r}: {exc}") from None
        return text_result(f"Wrote {len(data)} bytes to {path}")

    async def _read_file(self, ctx: Context, args: Args) -> types.CallToolResult:
        path: str = args["path"]
        try:
            data = await self._in_session(ctx, lambda session: session.download(path))
        except (ValueError, OSError, WorkerError) as exc:
            raise ToolError(f"Could not read {path!r}: {exc}") from None
        if args.get("binary"):
            return text_result(base64.b64encode(data).decode("ascii"))
        try:
            return text_result(data.decode("utf-8"))
        except UnicodeDecodeError:
            raise ToolError(f"{path} is not UTF-8 text; read it with binary=true") from None

    # -- created tools -----------------------------------------------------------

    async def _create_tool(self, ctx: Context, args: Args) -> types.CallToolResult:
        name, source, description = args["name"], args["source"], args.get("description")
        async with self._changing:
            try:
                answer = await self.pool.validate(source)
            except WorkerError as exc:
                raise ToolError(f"The script could not be checked: {exc}") from None
            checked = answer.get("result") if answer.get("success") else None
            if not isinstance(checked, dict):
                raise ToolError(f"The script could not be checked: {answer.get('error')}")
            if not checked.get("valid"):
                raise ToolError(f"{checked.get('message')} (line {checked.get('line')}, "
                                f"offset {checked.get('offset')}); the tool was not created")
            try:
                tool = self.store.prepare(name, source, description)
            except (ToolSourceError, ValueError) as exc:
                raise ToolError(f"{exc}; the tool was not created") from None
            replaced = name in self.store.tools
            try:
                self.store.store(tool, source, description)
            except OSError as exc:
                raise ToolError(f"The script could not be stored: {exc}") from None
        await self.announce_tools_changed()
        verb = "Replaced" if replaced else "Created"
        return text_result(f"{verb} the tool {name!r}: {tool.description}\nInput schema: "
                           f"{json.dumps(tool.input_schema)}", structured={"name": name,
                                                                            "inputSchema": tool.input_schema})

    async def _delete_tool(self, ctx: Context, args: Args) -> types.CallToolResult:
        name = args["name"]
        async with self._changing:
            if name in BUILTIN:
                raise ToolError(f"{name!r} is a built-in tool and cannot be deleted")
            try:
                self.store.delete(name)
            except KeyError:
                raise ToolError(f"There is no created tool {name!r}") from None
        await self.announce_tools_changed()
        return text_result(f"Deleted the tool {name!r}")

    async def _run_created(self, path: Path, name: str, args: Args) -> types.CallToolResult:
        try:
            answer = await self.pool.run_function(path, name, args)
        except WorkerTimeout:
            raise ToolError(f"{name} ran past the time limit of {self.settings.timeout} s") from None
        except OutputLimitExceeded:
            raise ToolError(f"{name} produced more than {self.settings.max_output} bytes") from None
        except WorkerExited as exc:
            raise ToolError(f"{name} ended its interpreter (status {exc.returncode})") from None
        except WorkerError as exc:
            raise ToolError(f"{name} could not run: {exc}") from None
        if not answer.get("success"):
            raise ToolError(str(answer.get("error")))
        result = answer["result"]
        value = result.get("return_value")
        content: list[types.TextContent | types.ImageContent] = [
            types.TextContent(type="text", text=json.dumps(value, ensure_ascii=False))]
        if result.get("output"):
            content.append(types.TextContent(type="text", text=f"What {name} printed:\n{result['output']}"))
        structured = value if isinstance(value, dict) else {"result": value}
        return types.CallToolResult(content=list(content), structured_content=structured, is_error=False)
