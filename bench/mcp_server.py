"""`ombrix-mcp` through the official SDK client, measured in one run.

Rows:
  * stdio round trip: `run_python` of a trivial cell over stdio, against
    `AsyncSession.execute` of the same cell on a pool with the same settings
    (medians, both printed); target: at most 2 ms above it;
  * HTTP: 8 clients at once, 50 `run_python` calls each over Streamable
    HTTP, every answer checked; throughput and p99 printed; target: all
    answered correctly.

Usage: python -P bench/mcp_server.py [--quick]
"""
import argparse
import asyncio
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import httpx2
from mcp.client.session import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.client.streamable_http import streamable_http_client

from ombrix.workers.pool import AsyncWorkerPool

CELL = "1 + 1"
TOKEN = "bench-token"


def server_args(tools_dir, sandbox):
    return ["-P", "-m", "ombrix.workers.mcp", "--tools-dir", tools_dir, *([] if sandbox else ["--no-sandbox"])]


async def direct(calls, sandbox):
    async with AsyncWorkerPool(size=1, sandbox=sandbox, fresh=True) as pool, pool.session() as session:
        for _ in range(20):
            await session.execute(CELL)
        times = []
        for _ in range(calls):
            start = time.perf_counter()
            execution = await session.execute(CELL)
            times.append(time.perf_counter() - start)
            assert execution.value == "2", execution
        return times


async def over_stdio(calls, tools_dir, sandbox):
    params = StdioServerParameters(command=sys.executable, args=server_args(tools_dir, sandbox),
                                   env={**os.environ})
    async with stdio_client(params) as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        for _ in range(20):
            await session.call_tool("run_python", {"code": CELL})
        times = []
        for _ in range(calls):
            start = time.perf_counter()
            result = await session.call_tool("run_python", {"code": CELL})
            times.append(time.perf_counter() - start)
            assert result.structured_content["value"] == "2", result
        return times


async def over_http(url, clients, calls):
    async def client(number):
        times, wrong = [], 0
        async with httpx2.AsyncClient(headers={"Authorization": f"Bearer {TOKEN}"}) as http, \
                streamable_http_client(url, http_client=http) as (read, write), \
                ClientSession(read, write) as session:
            await session.initialize()
            await session.call_tool("run_python", {"code": f"me = {number}"})
            for call in range(calls):
                start = time.perf_counter()
                result = await session.call_tool("run_python", {"code": f"me * 1000 + {call}"})
                times.append(time.perf_counter() - start)
                wrong += result.is_error or result.structured_content["value"] != str(number * 1000 + call)
        return times, wrong

    start = time.perf_counter()
    outcomes = await asyncio.gather(*(client(n) for n in range(clients)))
    elapsed = time.perf_counter() - start
    times = sorted(t for ts, _ in outcomes for t in ts)
    return times, sum(w for _, w in outcomes), elapsed


def start_http(tools_dir, sandbox):
    process = subprocess.Popen([sys.executable, *server_args(tools_dir, sandbox), "--http", "127.0.0.1:0"],
                               env={**os.environ, "OMBRIX_MCP_TOKEN": TOKEN}, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in process.stderr:
        if "serving http://" in line:
            return process, line.split("serving ", 1)[1].strip()
    process.kill()
    process.wait()
    raise RuntimeError("the server did not start")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    sandbox = shutil.which("bwrap") is not None
    calls = 100 if quick else 500
    ok = True
    with tempfile.TemporaryDirectory() as tools_dir:
        base = statistics.median(asyncio.run(direct(calls, sandbox))) * 1e3
        mcp = statistics.median(asyncio.run(over_stdio(calls, tools_dir, sandbox))) * 1e3
        within = mcp - base <= 2.0
        ok &= within
        print(f"mcp: stdio run_python median {mcp:.3f} ms, session.execute median {base:.3f} ms "
              f"(+{mcp - base:.3f} ms; target <= +2 ms: {'ok' if within else 'MISSED'})"
              f"{'' if sandbox else ' [no bwrap: unsandboxed]'}")
        process, url = start_http(tools_dir, sandbox)
        try:
            clients, per_client = 8, 50
            times, wrong, elapsed = asyncio.run(over_http(url, clients, per_client))
        finally:
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=10)
        p99 = times[min(len(times) - 1, int(len(times) * 0.99))] * 1e3
        correct = wrong == 0 and len(times) == clients * per_client
        ok &= correct
        print(f"mcp: HTTP {clients} clients x {per_client} calls: {len(times) / elapsed:.0f} calls/s, "
              f"p99 {p99:.2f} ms, median {statistics.median(times) * 1e3:.2f} ms, {wrong} wrong "
              f"(target: all correct: {'ok' if correct else 'MISSED'})")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
