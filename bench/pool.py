"""Cost of the supervised pool, as ratios measured side by side in one run.

  * overhead: one trivial run_inline at a time through WorkerPool(size=1)
    and AsyncWorkerPool(size=1), against a bare lockstep loop over one
    worker's pipes (write, flush, readline, json.loads); targets 1.5 and 3.0;
  * scale: many concurrent trivial requests through size=1 against size=2
    (time of size=1 over time of size=2); target at least 1.6;
  * recovery: from the kill of a timed-out worker to its replacement's first
    answer, against a cold worker start (Popen to first answer); target 2.0.
Every ratio is the minimum (overhead, scale) or median (recovery) over
alternating rounds of both sides.

Usage: python -P bench/pool.py [--quick]
"""
import argparse
import asyncio
import json
import statistics
import subprocess
import sys
import threading
import time

from ombrix.workers.pool import AsyncWorkerPool, WorkerPool, WorkerTimeout
from ombrix.workers.pool import process as pool_process

WORKER_CMD = [sys.executable, "-P", "-c", "from ombrix.workers.custom_worker import main; main()"]
TRIVIAL = {"action": "run_inline", "code": "result = 1", "args": None}
rows = []


def report(name, value, base, unit, target, higher_is_better=False):
    ratio = value / base
    ok = ratio >= target if higher_is_better else ratio <= target
    rows.append(ok)
    bound = ">=" if higher_is_better else "<="
    print(f"  {name:<46} {value:>10.2f} {base:>10.2f} {unit:<3} {ratio:>6.2f}  (target {bound} {target})"
          f"  {'ok' if ok else 'MISS'}", flush=True)


def per_request(fn, n):
    start = time.perf_counter()
    fn(n)
    return (time.perf_counter() - start) / n


def overhead(rounds, n):
    line = json.dumps(TRIVIAL).encode() + b"\n"
    bare = subprocess.Popen(WORKER_CMD, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def bare_loop(k):
        for _ in range(k):
            bare.stdin.write(line)
            bare.stdin.flush()
            json.loads(bare.stdout.readline())

    loop = asyncio.new_event_loop()
    with WorkerPool(size=1) as sync_pool:
        async_pool = AsyncWorkerPool(size=1)

        def sync_loop(k):
            for _ in range(k):
                sync_pool.run_inline("result = 1")

        async def async_requests(k):
            for _ in range(k):
                await async_pool.run_inline("result = 1")

        def async_loop(k):
            loop.run_until_complete(async_requests(k))

        sides = {"bare": bare_loop, "sync": sync_loop, "async": async_loop}
        for fn in sides.values():
            fn(200)
        times = {name: [] for name in sides}
        for i in range(rounds):
            order = list(sides.items())
            for name, fn in order if i % 2 else reversed(order):
                times[name].append(per_request(fn, n))
        loop.run_until_complete(async_pool.aclose())
    loop.close()
    bare.stdin.close()
    bare.wait()
    base = min(times["bare"]) * 1e6
    report("WorkerPool(size=1) vs bare lockstep", min(times["sync"]) * 1e6, base, "us", 1.5)
    report("AsyncWorkerPool(size=1) vs bare lockstep", min(times["async"]) * 1e6, base, "us", 3.0)


def scale(rounds, n):
    """Concurrent trivial requests from as many threads as workers plus one."""
    def run(pool, threads):
        per_thread = n // threads

        def work():
            for _ in range(per_thread):
                pool.run_inline("result = 1")

        workers = [threading.Thread(target=work) for _ in range(threads)]
        start = time.perf_counter()
        for t in workers:
            t.start()
        for t in workers:
            t.join()
        return time.perf_counter() - start

    with WorkerPool(size=1) as one, WorkerPool(size=2) as two:
        run(one, 2), run(two, 3)
        t1, t2 = [], []
        for i in range(rounds):
            if i % 2:
                t2.append(run(two, 3))
                t1.append(run(one, 2))
            else:
                t1.append(run(one, 2))
                t2.append(run(two, 3))
    report(f"{n} concurrent requests, size=1 time / size=2 time", min(t1) * 1e3, min(t2) * 1e3, "ms", 1.6,
           higher_is_better=True)


def cold_start():
    start = time.perf_counter()
    proc = subprocess.Popen(WORKER_CMD, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    proc.stdin.write(json.dumps(TRIVIAL).encode() + b"\n")
    proc.stdin.flush()
    proc.stdout.readline()
    took = time.perf_counter() - start
    proc.stdin.close()
    proc.wait()
    return took


def recovery(rounds):
    killed = []
    kill = pool_process.ProcessHandle.kill

    def timed_kill(self):
        killed.append(time.perf_counter())
        kill(self)

    pool_process.ProcessHandle.kill = timed_kill
    try:
        cold, recover = [], []
        with WorkerPool(size=1, timeout=0.2) as pool:
            for _ in range(rounds):
                cold.append(cold_start())
                try:
                    pool.run_inline("while True: pass")
                except WorkerTimeout:
                    pass
                pool.run_inline("result = 1")
                recover.append(time.perf_counter() - killed[-1])
    finally:
        pool_process.ProcessHandle.kill = kill
    report("timeout kill to replacement's answer vs cold start", statistics.median(recover) * 1e3,
           statistics.median(cold) * 1e3, "ms", 2.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    print(f"  {'pool':<46} {'pool':>10} {'base':>10}     {'ratio':>6}")
    overhead(rounds=10 if quick else 40, n=300 if quick else 500)
    scale(rounds=3 if quick else 7, n=1000 if quick else 4000)
    recovery(rounds=5 if quick else 15)
    if not all(rows):
        sys.exit("pool bench: a target was missed")


if __name__ == "__main__":
    main()
