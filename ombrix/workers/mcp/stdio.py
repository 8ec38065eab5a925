"""The stdio transport's wire on the event loop itself.

The SDK's `stdio_server` reads and writes the standard streams through
worker threads, a thread hop per line each way; given streams, it serves
them as they are.  Here the wire is a private copy of fds 0 and 1, read and
written by the loop's pipe transports, and fds 0 and 1 themselves point at
the null device and at stderr meanwhile, so nothing else the process or a
library prints reaches the client.  When stdin or stdout is not a pipe (a
file, say), the SDK's own streams serve instead.
"""
from __future__ import annotations

import asyncio
import os
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from typing import Any, cast

from mcp.server.stdio import stdio_server


class _Lines:
    """The lines of the wire, as the SDK reads its stdin."""

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self._reader = reader

    def __aiter__(self) -> _Lines:
        return self

    async def __anext__(self) -> str:
        reader = self._reader
        try:
            line = await reader.readuntil(b"\n")
        except asyncio.IncompleteReadError as end:
            if not end.partial:
                raise StopAsyncIteration from None
            line = end.partial
        except asyncio.LimitOverrunError as overrun:
            # A line past the limit is dropped whole, and read as an
            # unparsable message (the SDK answers it as such).
            while True:
                await reader.readexactly(overrun.consumed)
                try:
                    await reader.readuntil(b"\n")
                    break
                except asyncio.LimitOverrunError as more:
                    overrun = more
                except asyncio.IncompleteReadError:
                    break
            return "\n"
        return line.decode("utf-8", "replace")


class _Out:
    """The wire's write side, as the SDK writes its stdout."""

    def __init__(self, writer: asyncio.StreamWriter) -> None:
        self._writer = writer

    async def write(self, text: str) -> None:
        self._writer.write(text.encode("utf-8"))

    async def flush(self) -> None:
        await self._writer.drain()


@asynccontextmanager
async def stdio_streams(max_line: int) -> AsyncIterator[Any]:
    """The SDK's (read, write) stream pair over the process's stdin and stdout."""
    loop = asyncio.get_running_loop()
    # The copies are closed through their file objects only: closing an fd
    # number a file object still holds would close it twice, the second
    # time whatever took the number meanwhile.
    wire_in = os.fdopen(os.dup(0), "rb", buffering=0)
    wire_out = os.fdopen(os.dup(1), "wb", buffering=0)
    reader = asyncio.StreamReader(limit=max_line)
    try:
        read_pipe, _ = await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), wire_in)
        try:
            write_pipe, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin, wire_out)
        except ValueError:
            read_pipe.close()
            raise
    except ValueError:  # not a pipe: the SDK's threads serve
        wire_in.close()
        wire_out.close()
        piped = False
    else:
        piped = True
    if not piped:
        async with stdio_server() as streams:
            yield streams
        return
    writer = asyncio.StreamWriter(write_pipe, cast(asyncio.BaseProtocol, protocol), None, loop)
    saved = os.dup(0), os.dup(1)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.close(null)
    os.dup2(2, 1)
    try:
        async with stdio_server(stdin=cast(Any, _Lines(reader)), stdout=cast(Any, _Out(writer))) as streams:
            yield streams
    finally:
        read_pipe.close()
        write_pipe.close()
        for fd, copy in zip((0, 1), saved, strict=True):
            os.dup2(copy, fd)
            os.close(copy)
