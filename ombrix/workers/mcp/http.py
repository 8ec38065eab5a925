"""Streamable HTTP at `/mcp`: every request needs the bearer token (401
otherwise) and, when it names an Origin, an allowed one (403 otherwise,
against DNS rebinding)."""
from __future__ import annotations

import contextlib
import hmac
import sys
from collections.abc import Awaitable, Callable, Iterator, MutableMapping
from typing import Any

import uvicorn
from mcp.server.transport_security import TransportSecuritySettings

from .server import OmbrixServer

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]


class Guard:
    """ASGI middleware in front of the MCP app."""

    def __init__(self, app: App, token: str, origins: frozenset[str]) -> None:
        self.app = app
        self.token = token.encode()
        self.origins = origins

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            # Every copy of a header counts: one allowed Origin must not hide
            # a foreign one, nor a second Authorization decide the check.
            origins = [value for key, value in scope["headers"] if key.lower() == b"origin"]
            if any(origin.decode("latin-1") not in self.origins for origin in origins):
                await _refuse(send, 403, b"Forbidden: this Origin is not allowed\n")
                return
            tokens = [value for key, value in scope["headers"] if key.lower() == b"authorization"]
            if len(tokens) != 1 or not self._valid(tokens[0]):
                await _refuse(send, 401, b"Unauthorized: a valid bearer token is required\n",
                              [(b"www-authenticate", b'Bearer realm="ombrix-mcp"')])
                return
        await self.app(scope, receive, send)

    def _valid(self, authorization: bytes) -> bool:
        """`Bearer TOKEN`, the scheme in any case (as HTTP has it)."""
        scheme, _, credentials = authorization.partition(b" ")
        return hmac.compare_digest(credentials, self.token) and scheme.lower() == b"bearer"


async def _refuse(send: Send, status: int, body: bytes, extra: list[tuple[bytes, bytes]] | None = None) -> None:
    headers = [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", str(len(body)).encode())]
    await send({"type": "http.response.start", "status": status, "headers": headers + (extra or [])})
    await send({"type": "http.response.body", "body": body})


class _Server(uvicorn.Server):
    """Says where it listens once it does (the port may have been 0), and
    returns after a SIGTERM or SIGINT instead of raising it again, which
    would end the process before its sessions and workers are closed."""

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        with super().capture_signals():
            yield
            self._captured_signals.clear()

    async def startup(self, sockets: Any = None) -> None:
        await super().startup(sockets)
        for server in self.servers:
            for sock in server.sockets:
                host, port = sock.getsockname()[:2]
                shown = f"[{host}]" if ":" in host else host
                print(f"ombrix-mcp: serving http://{shown}:{port}/mcp", file=sys.stderr, flush=True)


async def serve_http(ombrix: OmbrixServer, host: str, port: int, token: str, origins: frozenset[str]) -> None:
    settings = ombrix.settings
    app = ombrix.server.streamable_http_app(
        # The guard checks Origin; the token stands in for the Host check.
        transport_security=TransportSecuritySettings(enable_dns_rebinding_protection=False),
        # JSON escapes may grow the largest accepted input several times.
        max_request_body_size=8 * settings.max_input + 2**20,
        host=host,
    )
    # No WebSocket upgrades: the guard checks HTTP requests, and /mcp needs none.
    config = uvicorn.Config(Guard(app, token, origins), host=host, port=port, log_level="warning",
                            lifespan="on", timeout_graceful_shutdown=2, ws="none")
    await _Server(config).serve()
