"""`ombrix-mcp` (also `python -m ombrix.workers.mcp`): the command line."""
from __future__ import annotations

import argparse
import asyncio
import os
import secrets
import signal
import sys
from pathlib import Path

from ombrix.workers.pool import AsyncWorkerPool

from .server import OmbrixServer, Settings
from .tools import default_tools_dir


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive, not {value}")
    return value


def _address(text: str) -> tuple[str, int]:
    """HOST:PORT, [IPV6]:PORT, :PORT or PORT (the host then 127.0.0.1)."""
    host, _, port = text.rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    try:
        number = int(port)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, not {text!r}") from None
    if not 0 <= number < 65536:
        raise argparse.ArgumentTypeError(f"no such port: {number}")
    return host, number


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ombrix-mcp",
        description="Serve sandboxed Python interpreters and assistant-written tools over the Model Context Protocol.")
    p.add_argument("--http", metavar="HOST:PORT", type=_address,
                   help="serve Streamable HTTP at /mcp instead of stdio (host 127.0.0.1 unless given)")
    p.add_argument("--token-file", type=Path,
                   help="file holding the HTTP bearer token (default: $OMBRIX_MCP_TOKEN, else a random one)")
    p.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                   help="an Origin header value HTTP requests may carry (repeatable; none by default)")
    p.add_argument("--size", type=_positive_int, default=2, help="worker processes (default 2)")
    p.add_argument("--timeout", type=_positive_float, default=30.0, help="seconds per call (default 30)")
    p.add_argument("--memory-limit", type=_positive_int, metavar="BYTES", help="address space per worker")
    p.add_argument("--max-output", type=_positive_int, default=2**20, metavar="BYTES",
                   help="bytes of output per call (default 1 MiB)")
    p.add_argument("--readable", action="append", default=[], metavar="PATH",
                   help="a host path the sandbox may read (repeatable)")
    p.add_argument("--max-sessions", type=_positive_int, default=16,
                   help="interpreter sessions at once (default 16)")
    p.add_argument("--no-sandbox", dest="sandbox", action="store_false",
                   help="run workers without the bubblewrap sandbox (unsafe for untrusted code)")
    p.add_argument("--idle-timeout", type=_positive_float, default=600.0,
                   help="seconds after which an unused interpreter session ends (default 600)")
    p.add_argument("--tools-dir", type=Path, default=None,
                   help=f"where created tools are kept (default {default_tools_dir()})")
    p.add_argument("--max-input", type=_positive_int, default=2**20, metavar="BYTES",
                   help="largest code, file or tool source accepted (default 1 MiB)")
    return p


def _token(args: argparse.Namespace) -> str:
    if args.token_file is not None:
        path: Path = args.token_file
        try:
            token = path.read_text(encoding="utf-8").strip()
        except (OSError, UnicodeDecodeError) as exc:
            sys.exit(f"ombrix-mcp: cannot read the token file: {exc}")
        if not token:
            sys.exit(f"ombrix-mcp: the token file {args.token_file} is empty")
        return token
    token = os.environ.get("OMBRIX_MCP_TOKEN", "").strip()
    if token:
        return token
    token = secrets.token_urlsafe(32)
    print(f"ombrix-mcp: bearer token for this run: {token}", file=sys.stderr, flush=True)
    return token


async def serve(args: argparse.Namespace, settings: Settings, token: str | None) -> None:
    readable = [*settings.readable, str(settings.tools_dir)] if settings.sandbox else []
    try:
        settings.tools_dir.mkdir(parents=True, exist_ok=True)
        pool = AsyncWorkerPool(size=settings.size, timeout=settings.timeout, memory_limit=settings.memory_limit,
                               max_output=settings.max_output, sandbox=settings.sandbox, fresh=True,
                               readable=readable, max_sessions=settings.max_sessions)
    except (OSError, ValueError, RuntimeError) as exc:  # no bwrap, a readable path missing, ...
        sys.exit(f"ombrix-mcp: cannot start the workers: {exc}")
    async with pool:
        ombrix = OmbrixServer(settings, pool, stdio=args.http is None)
        reaper = asyncio.create_task(ombrix.interpreters.reap_idle())
        try:
            if args.http is not None:
                from .http import serve_http

                host, port = args.http
                assert token is not None
                await serve_http(ombrix, host, port, token, frozenset(args.allow_origin))
                return
            from .stdio import stdio_streams

            task = asyncio.current_task()
            assert task is not None
            asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, task.cancel)
            async with stdio_streams(8 * settings.max_input + 2**20) as (read, write):
                await ombrix.server.run(read, write, ombrix.initialization_options())
        finally:
            reaper.cancel()
            await ombrix.interpreters.end_all()


def main(argv: list[str] | None = None) -> None:
    args = parser().parse_args(argv)
    if not args.sandbox:
        print("ombrix-mcp: warning: --no-sandbox: code runs as this user with this user's access to files "
              "and the network", file=sys.stderr, flush=True)
        if args.readable:
            parser().error("--readable only applies to the sandbox")
    tools_dir = (args.tools_dir or default_tools_dir()).resolve()
    settings = Settings(size=args.size, timeout=args.timeout, memory_limit=args.memory_limit,
                        max_output=args.max_output, readable=tuple(args.readable), max_sessions=args.max_sessions,
                        sandbox=args.sandbox, idle_timeout=args.idle_timeout, tools_dir=tools_dir,
                        max_input=args.max_input)
    try:
        asyncio.run(serve(args, settings, _token(args) if args.http is not None else None))
    except (KeyboardInterrupt, asyncio.CancelledError):
        pass


if __name__ == "__main__":
    main()
