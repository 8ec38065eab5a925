"""Cost of the supervised pool, as ratios measured side by side in one run.

  * overhead: one trivial run_inline at a time through WorkerPool(size=1)
    and AsyncWorkerPool(size=1), against a bare lockstep loop over one
    worker's pipes (write, flush, readline, json.loads), all on one CPU;
    targets 1.5 and 3.0;
  * scale: many concurrent trivial requests through size=1 against size=2
    (time of size=1 over time of size=2), as tasks of one event loop (target
    at least 1.6) and from four threads (waiting threads hand
    workers over through the scheduler, which costs more than the request;
    reported without a target);
  * recovery: from the kill of a timed-out worker to its replacement's first
    answer, against a cold worker start (Popen to first answer); target 2.0.
Every ratio is the minimum (overhead, scale) or median (recovery) over
alternating rounds of both sides; the overhead rows over three worker
processes per side in turn.

Usage: python -P bench/pool.py [--quick]
"""
import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import threading
import time

from ombrix.workers.pool import AsyncWorkerPool, WorkerPool, WorkerTimeout
from ombrix.workers.launchers import handle as pool_process

WORKER_CMD = [sys.executable, "-P", "-c", "from ombrix.workers.custom_worker import main; main()"]
TRIVIAL = {"action": "run_inline", "code": "result = 1", "args": None}
rows = []


def report(name, value, base, unit, target, higher_is_better=False):
    """One row; a target of None reports the ratio without judging it."""
    ratio = value / base
    if target is None:
        verdict = "(no target)"
    else:
        ok = ratio >= target if higher_is_better else ratio <= target
        rows.append(ok)
        verdict = f"(target {'>=' if higher_is_better else '<='} {target})  {'ok' if ok else 'MISS'}"
    print(f"  {name:<50} {value:>10.2f} {base:>10.2f} {unit:<3} {ratio:>6.2f}  {verdict}", flush=True)


def per_request(fn, n):
    start = time.perf_counter()
    fn(n)
    return (time.perf_counter() - start) / n


# The overhead rows run the host and every worker on one CPU: wake-ups
# across CPUs cost more than the pool itself and vary with where the
# scheduler puts each process, while on one CPU the bare loop is at its
# fastest and the pool's own work shows in full.
CPUS = sorted(os.sched_getaffinity(0))
HOST_CPU = WORKER_CPU = CPUS[0]


def pid_of(pool):
    return pool.run_inline("import os\nresult = os.getpid()")["result"]["return_value"]


# A worker process runs a request about a third slower in some starts than
# in others, for its whole life (the bare loop's own worker too; not tied to
# the hash seed, so likely where its memory landed).  One worker per side
# would let that luck decide the ratio either way, so each side gets the
# same number of worker processes in turn and its best is taken.
PLACEMENTS = 3


def overhead(rounds, n):
    times = {"bare": [], "sync": [], "async": []}
    for _ in range(PLACEMENTS):
        overhead_rounds(max(1, rounds // PLACEMENTS), n, times)
    base = min(times["bare"]) * 1e6
    report("WorkerPool(size=1) vs bare lockstep", min(times["sync"]) * 1e6, base, "us", 1.5)
    report("AsyncWorkerPool(size=1) vs bare lockstep", min(times["async"]) * 1e6, base, "us", 3.0)


def overhead_rounds(rounds, n, times):
    """Alternating rounds of the three sides, each on a new worker process."""
    line = json.dumps(TRIVIAL).encode() + b"\n"
    bare = subprocess.Popen(WORKER_CMD, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    os.sched_setaffinity(bare.pid, {WORKER_CPU})
    os.sched_setaffinity(0, {HOST_CPU})

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

        os.sched_setaffinity(pid_of(sync_pool), {WORKER_CPU})
        os.sched_setaffinity(loop.run_until_complete(async_pool.run_inline("import os\nresult = os.getpid()"))
                             ["result"]["return_value"], {WORKER_CPU})
        sides = {"bare": bare_loop, "sync": sync_loop, "async": async_loop}
        for fn in sides.values():
            fn(200)
        for i in range(rounds):
            order = list(sides.items())
            for name, fn in order if i % 2 else reversed(order):
                times[name].append(per_request(fn, n))
        loop.run_until_complete(async_pool.aclose())
    loop.close()
    bare.stdin.close()
    bare.wait()
    os.sched_setaffinity(0, CPUS)


def scale(rounds, n):
    """n trivial requests at once: tasks of one event loop, and (reported
    without a target) four threads; size=1 against size=2."""
    loop = asyncio.new_event_loop()
    one, two = AsyncWorkerPool(size=1), AsyncWorkerPool(size=2)

    async def burst(pool):
        start = time.perf_counter()
        await asyncio.gather(*(pool.run_inline("result = 1") for _ in range(n)))
        return time.perf_counter() - start

    def threads(pool, count=4):
        def work():
            for _ in range(n // count):
                pool.run_inline("result = 1")

        workers = [threading.Thread(target=work) for _ in range(count)]
        start = time.perf_counter()
        for t in workers:
            t.start()
        for t in workers:
            t.join()
        return time.perf_counter() - start

    def alternate(first, second):
        first(), second()
        a, b = [], []
        for i in range(rounds):
            for side, times in ((first, a), (second, b)) if i % 2 else ((second, b), (first, a)):
                times.append(side())
        return min(a) * 1e3, min(b) * 1e3

    t1, t2 = alternate(lambda: loop.run_until_complete(burst(one)), lambda: loop.run_until_complete(burst(two)))
    report(f"{n} requests at once, async size=1 / size=2 time", t1, t2, "ms", 1.6, higher_is_better=True)
    loop.run_until_complete(one.aclose())
    loop.run_until_complete(two.aclose())
    loop.close()
    with WorkerPool(size=1) as sync_one, WorkerPool(size=2) as sync_two:
        t1, t2 = alternate(lambda: threads(sync_one), lambda: threads(sync_two))
    report(f"{n} requests from 4 threads, size=1 / size=2 time", t1, t2, "ms", None, higher_is_better=True)


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
    print(f"  {'pool':<50} {'pool':>10} {'base':>10}     {'ratio':>6}")
    overhead(rounds=10 if quick else 40, n=300 if quick else 500)
    scale(rounds=3 if quick else 7, n=1000 if quick else 4000)
    recovery(rounds=5 if quick else 15)
    if not all(rows):
        sys.exit("pool bench: a target was missed")


if __name__ == "__main__":
    main()
