"""`ombrix-mcp` as assistants meet it: the real server process, driven by the
official SDK's client over stdio and over Streamable HTTP."""
import asyncio
import base64
import os
import shutil
import signal
import socket
import subprocess
import sys
from contextlib import asynccontextmanager

import pytest
from conftest import SANITIZED

pytest.importorskip("mcp")
import httpx2  # noqa: E402
from mcp.client.client import Client  # noqa: E402
from mcp.client.session import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402
from mcp.client.streamable_http import streamable_http_client  # noqa: E402
from mcp.shared.exceptions import MCPError  # noqa: E402
from mcp.shared.subscriptions import ToolsListChanged  # noqa: E402

pytestmark = [
    pytest.mark.skipif(shutil.which("bwrap") is None, reason="bwrap missing: install the Debian package bubblewrap"),
    # The server's pool gives its sandboxed workers a minimal environment,
    # without the sanitizer's preload; the server is plain Python over the
    # pool, whose sanitized runs the pool's own tests cover.
    pytest.mark.skipif(SANITIZED, reason="the server's workers cannot load the sanitized module"),
]

TOKEN = "test-token-for-loopback-only"

TYPED = '''
def scale(values: list[float], factor: int = 2, labels: dict[str, str] = {}, flag: bool = False, extra=None):
    """Multiply each value by factor."""
    print("scaling")
    return {"scaled": [v * factor for v in values], "flag": flag}
'''


BUILTIN = {"run_python", "reset_python", "write_file", "read_file", "create_tool", "delete_tool"}


def server_env():
    return {**os.environ, "OMBRIX_MCP_TOKEN": TOKEN}


@asynccontextmanager
async def stdio(tools_dir, *extra):
    params = StdioServerParameters(command=sys.executable,
                                   args=["-P", "-m", "ombrix.workers.mcp", "--tools-dir", str(tools_dir), *extra],
                                   env=server_env())
    async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        yield session


async def tool_names(session):
    return {tool.name for tool in (await session.list_tools()).tools}


def text(result):
    return "\n".join(part.text for part in result.content if part.type == "text")


def test_created_tools_over_stdio(tmp_path):
    tools = tmp_path / "tools"

    async def first_run():
        async with stdio(tools) as s:
            made = await s.call_tool("create_tool", {"name": "scale", "source": TYPED})
            assert not made.is_error, text(made)
            [tool] = [t for t in (await s.list_tools()).tools if t.name == "scale"]
            assert tool.description == "Multiply each value by factor."
            assert tool.input_schema == {
                "type": "object", "additionalProperties": False, "required": ["values"],
                "properties": {"values": {"type": "array", "items": {"type": "number"}},
                               "factor": {"type": "integer"}, "flag": {"type": "boolean"},
                               "labels": {"type": "object", "additionalProperties": {"type": "string"}},
                               "extra": {}}}
            called = await s.call_tool("scale", {"values": [1, 2.5], "factor": 3, "extra": [None]})
            assert not called.is_error, text(called)
            assert called.structured_content == {"scaled": [3, 7.5], "flag": False}
            assert "scaling" in text(called)

            # Bad input is an error result and changes nothing.
            bad = {"factor": "3", "values": [1]}, {"values": [1], "flag": 1}, {"values": [1], "other": 1}, {}
            for args in bad:
                result = await s.call_tool("scale", args)
                assert result.is_error and "Invalid arguments" in text(result), args
            broken = await s.call_tool("create_tool", {"name": "broken", "source": "x = 1\ndef broken(:\n"})
            assert broken.is_error and "line 2" in text(broken)
            for name, source in [("run_python", "def run_python(): pass"), ("Bad", "def Bad(): pass"),
                                 ("other", "def scale(): pass"), ("scale", "def scale(a, /): pass")]:
                refused = await s.call_tool("create_tool", {"name": name, "source": source})
                assert refused.is_error, name
            assert (await s.call_tool("create_tool", {"name": "scale", "source": 3})).is_error
            assert await tool_names(s) == BUILTIN | {"scale"}
            assert sorted(p.name for p in tools.iterdir()) == ["scale.py"]
            with pytest.raises(MCPError, match="Unknown tool"):
                await s.call_tool("missing", {})
            # A tool that fails, and one that loops, are error results; the server serves on.
            fails = {"name": "fails", "source": "def fails():\n    'Docstring.'\n    1 / 0", "description": "Fails."}
            assert not (await s.call_tool("create_tool", fails)).is_error
            assert "ZeroDivisionError" in text(await s.call_tool("fails", {}))

    async def second_run():
        async with stdio(tools, "--timeout", "1", "--max-input", "1000") as s:
            big = await s.call_tool("create_tool", {"name": "big", "source": "def big(): pass\n" + "#" * 1000})
            assert big.is_error and "limit of 1000" in text(big)
            called = await s.call_tool("scale", {"values": [2]})
            assert called.structured_content == {"scaled": [4], "flag": False}
            assert {t.name: t.description for t in (await s.list_tools()).tools}["fails"] == "Fails."
            source = "def spin() -> int:\n    while True:\n        pass\n"
            assert not (await s.call_tool("create_tool", {"name": "spin", "source": source})).is_error
            spun = await s.call_tool("spin", {})
            assert spun.is_error and "time limit" in text(spun)
            assert not (await s.call_tool("delete_tool", {"name": "scale"})).is_error
            assert (await s.call_tool("delete_tool", {"name": "scale"})).is_error
            with pytest.raises(MCPError, match="Unknown tool"):
                await s.call_tool("scale", {"values": [2]})
            assert sorted(p.name for p in tools.iterdir()) == ["fails.json", "fails.py", "planted.py", "spin.py"]

    async def newest_protocol():  # the change arrives on a subscriptions/listen stream
        params = StdioServerParameters(command=sys.executable, env=server_env(),
                                       args=["-P", "-m", "ombrix.workers.mcp", "--tools-dir", str(tools)])
        async with Client(params) as client, client.listen(tools_list_changed=True) as changes:
            assert client.session.protocol_version == "2026-07-28"
            assert not (await client.call_tool("delete_tool", {"name": "spin"})).is_error
            assert await asyncio.wait_for(anext(changes), 10) == ToolsListChanged()

    asyncio.run(first_run())
    os.mkfifo(tools / "planted.py")  # skipped at start, not read
    asyncio.run(second_run())
    asyncio.run(newest_protocol())


@pytest.fixture
def http_server(request, tmp_path):
    """A server on a free loopback port (with the test's parameters as further arguments): its URL."""
    process = subprocess.Popen(
        [sys.executable, "-P", "-m", "ombrix.workers.mcp", "--http", "127.0.0.1:0",
         "--tools-dir", str(tmp_path / "tools"), "--allow-origin", "http://allowed.example", "--max-sessions", "2",
         *getattr(request, "param", ())],
        env=server_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        for line in process.stderr:
            if "serving http://" in line:
                yield line.split("serving ", 1)[1].strip()
                break
        else:
            pytest.fail("the server did not start")
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            pytest.fail("the server did not end on SIGTERM")
        # Status 0, not death by the signal: it closed its sessions and workers first.
        assert process.returncode == 0, process.stderr.read()


@asynccontextmanager
async def http_session(url, **kwargs):
    async with httpx2.AsyncClient(headers={"Authorization": f"Bearer {TOKEN}"}) as client, \
            streamable_http_client(url, http_client=client) as (read, write), \
            ClientSession(read, write, **kwargs) as session:
        await session.initialize()
        yield session


def test_http_guard_and_change_announced(http_server):
    async def scenario():
        init = {"jsonrpc": "2.0", "id": 1, "method": "ping"}
        accept = {"Accept": "application/json, text/event-stream"}
        async with httpx2.AsyncClient() as raw:
            for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": TOKEN}):
                assert (await raw.post(http_server, json=init, headers={**accept, **headers})).status_code == 401
            # Any method, any path: a DELETE could otherwise end another client's MCP session.
            for method, url in [("GET", http_server), ("DELETE", http_server), ("OPTIONS", http_server),
                                ("POST", http_server.replace("/mcp", "/other"))]:
                assert (await raw.request(method, url, headers=accept)).status_code == 401, (method, url)
            good = {**accept, "Authorization": f"Bearer {TOKEN}"}
            foreign = await raw.post(http_server, json=init, headers={**good, "Origin": "http://evil.example"})
            assert foreign.status_code == 403
            both = [*good.items(), ("Origin", "http://evil.example"), ("Origin", "http://allowed.example")]
            assert (await raw.post(http_server, json=init, headers=both)).status_code == 403
            allowed = await raw.post(http_server, json=init, headers={**good, "Origin": "http://allowed.example"})
            assert allowed.status_code not in (401, 403)
            lower = await raw.post(http_server, json=init, headers={**accept, "Authorization": f"bearer {TOKEN}"})
            assert lower.status_code not in (401, 403)

        changed = asyncio.Event()

        async def on_message(message):
            if getattr(message, "method", None) == "notifications/tools/list_changed":
                changed.set()

        async with http_session(http_server, message_handler=on_message) as listener, \
                http_session(http_server) as maker:
            assert "echo" not in await tool_names(listener)
            made = await maker.call_tool("create_tool", {"name": "echo", "source": "def echo(s: str): return s"})
            assert not made.is_error, text(made)
            await asyncio.wait_for(changed.wait(), 10)
            assert "echo" in await tool_names(listener)
            assert (await listener.call_tool("echo", {"s": "hi"})).structured_content == {"result": "hi"}

    asyncio.run(scenario())


async def run_when_free(session, code):
    """run_python once the server has a session free for this client (polled)."""
    for _ in range(200):
        ran = await session.call_tool("run_python", {"code": code})
        if not ran.is_error or "No interpreter session is free" not in text(ran):
            return ran
        await asyncio.sleep(0.1)
    pytest.fail("no session became free")


PNG = (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x06\x00\x00\x00\x1f\x15\xc4\x89"
       b"\x00\x00\x00\rIDATx\x9cc\xf8\xcf\xc0\xf0\x1f\x00\x05\x00\x01\xff\x89\x99=\x1d\x00\x00\x00\x00IEND\xaeB`\x82")


def test_interpreter_sessions_over_http(http_server, tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("host secret")
    listener = socket.create_server(("127.0.0.1", 0))
    listener.setblocking(False)
    port = listener.getsockname()[1]

    async def scenario():
        progress = []

        async def on_progress(done, total, message):
            progress.append(message)

        async with http_session(http_server) as a, http_session(http_server) as b:
            ran = await a.call_tool("run_python", {"code": "x = 41\nprint('hi')\nx + 1"}, progress_callback=on_progress)
            assert not ran.is_error and ran.structured_content["value"] == "42" and "hi" in text(ran)
            assert "stdout: hi" in progress
            assert text(await a.call_tool("run_python", {"code": "x"})) == "value: 41"
            other = await b.call_tool("run_python", {"code": "x"})
            assert other.is_error and "NameError" in text(other)

            failed = await a.call_tool("run_python", {"code": "def f():\n    raise KeyError('k')\nf()"})
            assert failed.is_error and failed.structured_content["error"]["name"] == "KeyError"
            assert 'line 2, in f' in failed.structured_content["error"]["traceback"]
            slow = await a.call_tool("run_python", {"code": "while True:\n    pass", "timeout": 1})
            assert slow.is_error and slow.structured_content["error"]["name"] == "Timeout"
            assert (await a.call_tool("run_python", {"code": "x", "timeout": 0})).is_error

            shown = await a.call_tool("run_python", {"code": "class P:\n    def _repr_png_(self):\n"
                                                     f"        return {PNG!r}\nP()"})
            [image] = [part for part in shown.content if part.type == "image"]
            assert image.mime_type == "image/png" and base64.b64decode(image.data) == PNG

            walls = await a.call_tool("run_python", {"code": (
                "import socket\nreached = []\n"
                f"try:\n    reached.append(open({str(secret)!r}).read())\nexcept OSError as e:\n    pass\n"
                f"try:\n    socket.create_connection(('127.0.0.1', {port}), timeout=2)\n"
                "    reached.append('listener')\nexcept OSError:\n    pass\nreached")})
            assert text(walls) == "value: []"

            wrote = await a.call_tool("write_file", {"path": "d/data.bin", "content": "AP8C", "binary": True})
            assert not wrote.is_error, text(wrote)
            assert text(await a.call_tool("run_python", {"code": "open('d/data.bin', 'rb').read()"})) == \
                "value: b'\\x00\\xff\\x02'"
            assert text(await a.call_tool("read_file", {"path": "d/data.bin", "binary": True})) == "AP8C"
            assert (await a.call_tool("read_file", {"path": "d/data.bin"})).is_error  # not UTF-8
            assert (await a.call_tool("write_file", {"path": "../out.txt", "content": "x"})).is_error
            assert (await b.call_tool("read_file", {"path": "d/data.bin"})).is_error
            # Nor through the scratch tmpfs, which the workers of one sandbox share.
            snoop = await b.call_tool("run_python", {"code": "import glob\nglob.glob('/scratch/*/d/data.bin')"})
            assert text(snoop) == "value: []", text(snoop)

            assert not (await a.call_tool("reset_python", {})).is_error
            assert (await a.call_tool("run_python", {"code": "x"})).is_error
        with pytest.raises(BlockingIOError):
            listener.accept()
        # Both clients' sessions ended with their MCP sessions: a third gets one of the two places.
        async with http_session(http_server) as c:
            assert text(await run_when_free(c, "1")) == "value: 1"
        # A client of the newest revision has no MCP session: each call gets an
        # empty interpreter, ended with the call (more calls than places).
        async with httpx2.AsyncClient(headers={"Authorization": f"Bearer {TOKEN}"}) as client, \
                Client(streamable_http_client(http_server, http_client=client)) as modern:
            assert modern.session.protocol_version == "2026-07-28"
            for _ in range(3):
                assert text(await run_when_free(modern, "y = 1")) == "(no output)"
            assert "NameError" in text(await modern.call_tool("run_python", {"code": "y"}))

    try:
        asyncio.run(scenario())
    finally:
        listener.close()


@pytest.mark.parametrize("http_server", [["--max-sessions", "1", "--idle-timeout", "1"]], indirect=True)
def test_idle_session_ends(http_server):
    async def scenario():
        async with http_session(http_server) as a, http_session(http_server) as b:
            assert not (await a.call_tool("run_python", {"code": "x = 1"})).is_error
            # b gets the only place once a's session idled out; a has none then.
            assert text(await run_when_free(b, "2")) == "value: 2"
            assert "No interpreter session is free" in text(await a.call_tool("run_python", {"code": "x"}))

    asyncio.run(scenario())


def test_stdin_from_a_file(tmp_path):
    """Input from a file, not a pipe: the SDK's own streams serve, and the
    server's copies of fds 0 and 1 are closed once each (a second close
    would close whatever took the number meanwhile)."""
    requests = tmp_path / "requests.jsonl"
    requests.write_text('{"jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {"protocolVersion": '
                        '"2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}}\n')
    with requests.open() as stdin:
        done = subprocess.run([sys.executable, "-P", "-X", "dev", "-m", "ombrix.workers.mcp",
                               "--tools-dir", str(tmp_path / "tools")],
                              stdin=stdin, capture_output=True, text=True, timeout=60, env=server_env())
    assert done.returncode == 0 and "ResourceWarning" not in done.stderr, done.stderr
