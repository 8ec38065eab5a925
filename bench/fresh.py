"""Fresh and sandboxed workers against cold worker starts, as ratios measured in one run.

Rows:
  * fresh first answer: a trivial run_inline on a `fresh=True` pool with a
    spare ready, against a cold worker start to its first answer (median);
    target <= 0.10;
  * fresh throughput: requests per second of a size=2 fresh pool, two
    callers, against two threads each starting a new worker process per
    request, measured in the same run (half before, half after the pool, so
    drift on a shared machine hits both sides alike); target >= 12;
  * sandbox cost: the fresh first answer with `sandbox=True` against without
    (median); target <= 1.50.

Usage: python -P bench/fresh.py [--quick]
"""
import argparse
import json
import shutil
import statistics
import subprocess
import sys
import threading
import time

from ombrix.workers.pool import WorkerPool

WORKER_CMD = [sys.executable, "-P", "-c", "from ombrix.workers.custom_worker import main; main()"]
TRIVIAL = {"action": "run_inline", "code": "result = 1"}
LINE = (json.dumps(TRIVIAL) + "\n").encode()


def cold_answer():
    """Seconds from starting a worker process to its first answer; the
    process is then ended and reaped."""
    start = time.perf_counter()
    proc = subprocess.Popen(WORKER_CMD, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert proc.stdin is not None and proc.stdout is not None
    proc.stdin.write(LINE)
    proc.stdin.flush()
    answer = proc.stdout.readline()
    elapsed = time.perf_counter() - start
    proc.stdin.close()
    proc.wait()
    proc.stdout.close()
    assert json.loads(answer)["success"], answer
    return elapsed


def fresh_answers(pool, n):
    """Seconds per trivial request on a fresh pool, each with a spare ready
    (the pause lets the pool fork the next one)."""
    times = []
    for _ in range(n):
        time.sleep(0.02)
        start = time.perf_counter()
        response = pool.run_inline("result = 1")
        times.append(time.perf_counter() - start)
        assert response["result"]["return_value"] == 1, response
    return times


def rate(call, callers, seconds):
    """Requests per second that `callers` threads sustain calling `call`."""
    done = [0] * callers
    stop = time.perf_counter() + seconds

    def loop(index):
        while time.perf_counter() < stop:
            call()
            done[index] += 1

    threads = [threading.Thread(target=loop, args=(i,)) for i in range(callers)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sum(done) / (time.perf_counter() - start)


rows = []


def report(name, value, base, unit, target, at_most=True):
    ratio = value / base
    ok = ratio <= target if at_most else ratio >= target
    rows.append(ok)
    bound = "<=" if at_most else ">="
    print(f"  {name:<40} {value:>10.3f} {base:>10.3f} {unit:<6} {ratio:>7.3f}  {bound} {target:<5} "
          f"{'ok' if ok else 'MISS'}", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    opts = ap.parse_args()
    n = 15 if opts.quick else 60
    seconds = 1.0 if opts.quick else 3.0
    print(f"{'row':<42} {'value':>10} {'base':>10} {'unit':<6} {'ratio':>7}")

    cold = [cold_answer() for _ in range(n)]
    with WorkerPool(size=1, fresh=True, spares=1) as pool:
        fresh_answers(pool, 2)  # the server's start is the pool's, not the request's
        fresh = fresh_answers(pool, n)
    fresh_ms = statistics.median(fresh) * 1000
    report("fresh first answer / cold start", fresh_ms, statistics.median(cold) * 1000, "ms", 0.10)

    cold_before = rate(cold_answer, 2, seconds / 2)
    with WorkerPool(size=2, fresh=True, spares=2) as pool:
        fresh_rate = rate(lambda: pool.run_inline("result = 1"), 2, seconds)
    cold_rate = (cold_before + rate(cold_answer, 2, seconds / 2)) / 2
    report("fresh size=2 throughput / new process", fresh_rate, cold_rate, "req/s", 12.0, at_most=False)

    if shutil.which("bwrap") is None:
        print("  sandbox cost: skipped (bwrap missing: install the Debian package bubblewrap)")
    else:
        # Interleaved, so drift on a shared machine hits both sides alike.
        plain, boxed = [], []
        with WorkerPool(size=1, fresh=True, spares=1) as fresh_pool, \
                WorkerPool(size=1, fresh=True, spares=1, sandbox=True) as boxed_pool:
            fresh_answers(fresh_pool, 2)
            fresh_answers(boxed_pool, 2)
            for i in range(n):
                sides = [(plain, fresh_pool), (boxed, boxed_pool)]
                for times, pool in sides if i % 2 else sides[::-1]:
                    times += fresh_answers(pool, 1)
        report("sandboxed fresh answer / fresh answer", statistics.median(boxed) * 1000,
               statistics.median(plain) * 1000, "ms", 1.50)

    print(f"\n{sum(rows)} of {len(rows)} rows within target")
    return 0 if all(rows) else 1


if __name__ == "__main__":
    sys.exit(main())
