"""Cost of sessions and streamed cells, as ratios measured side by side in one run.

  * a trivial cell in a session against a trivial run_inline through
    WorkerPool(size=1), one request at a time, host and workers on one CPU;
    target 1.5;
  * streaming: a cell that prints 10 MB in 10 kB writes, delivered to an
    on_output callback as it runs, against the same print captured by
    run_inline; target 2.0;
  * a sandboxed session's first answer (a spare ready: opening the session
    and running its first cell) against a cold worker start (Popen to first
    answer); target 0.15; skipped where the sandbox cannot run;
  * beside them, without a target, a trivial Jupyter execute round trip
    where jupyter_client and ipykernel are installed.
Overhead rows are the minimum over alternating rounds (over three pools in
turn), the others medians.

Usage: python -P bench/sessions.py [--quick]
"""
import argparse
import os
import shutil
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from pool import PLACEMENTS, cold_start  # the pool bench's cold worker start, and its worker placements

from ombrix.workers.pool import WorkerPool

PRINT_10MB = "chunk = 'x' * 9999\nfor _ in range(1000):\n    print(chunk)\n"
rows = []


def report(name, value, base, unit, target):
    """One row; a target of None reports the figure without judging it."""
    ratio = value / base if base else float("nan")
    if target is None:
        verdict = "(no target)"
    else:
        ok = ratio <= target
        rows.append(ok)
        verdict = f"(target <= {target})  {'ok' if ok else 'MISS'}"
    print(f"  {name:<50} {value:>10.2f} {base:>10.2f} {unit:<3} {ratio:>6.2f}  {verdict}", flush=True)


def alternate(sides, rounds, pick=min):
    """Each side's figure over rounds, the sides' order flipped each round."""
    for fn in sides.values():
        fn()
    times = {name: [] for name in sides}
    for i in range(rounds):
        order = list(sides.items())
        for name, fn in order if i % 2 else reversed(order):
            times[name].append(fn())
    return {name: pick(values) for name, values in times.items()}


def per_call(fn, n):
    def timed():
        start = time.perf_counter()
        for _ in range(n):
            fn()
        return (time.perf_counter() - start) / n
    return timed


CPUS = sorted(os.sched_getaffinity(0))


def pin(pid):
    os.sched_setaffinity(pid, {CPUS[0]})


def trivial_cell(rounds, n):
    """Best of PLACEMENTS pools and sessions in turn, each on new workers
    (see the pool bench: a worker's speed varies from start to start)."""
    pin(0)
    best = {"cell": [], "inline": []}
    for _ in range(PLACEMENTS):
        with WorkerPool(size=1) as pool, pool.session() as session:
            pin(pool.run_inline("import os\nresult = os.getpid()")["result"]["return_value"])
            pin(int(session.execute("import os\nos.getpid()").value))
            for name, value in alternate({"cell": per_call(lambda: session.execute("1"), n),
                                          "inline": per_call(lambda: pool.run_inline("result = 1"), n)},
                                         max(1, rounds // PLACEMENTS)).items():
                best[name].append(value)
    os.sched_setaffinity(0, CPUS)
    report("trivial session cell vs run_inline (size=1)", min(best["cell"]) * 1e6, min(best["inline"]) * 1e6, "us", 1.5)


def streaming(rounds):
    received = []

    def on_output(stream, text):
        received.append(len(text))

    with WorkerPool(size=1, max_output=64 * 2**20) as pool:
        def streamed():
            received.clear()
            start = time.perf_counter()
            execution = pool.execute(PRINT_10MB, on_output=on_output)
            took = time.perf_counter() - start
            assert execution.error is None and sum(received) == 10**7, (execution.error, sum(received))
            return took

        def captured():
            start = time.perf_counter()
            response = pool.run_inline(PRINT_10MB)
            took = time.perf_counter() - start
            assert len(response["result"]["output"]) == 10**7, response
            return took

        best = alternate({"streamed": streamed, "captured": captured}, rounds, statistics.median)
    report("10 MB printed, streamed vs captured", best["streamed"] * 1e3, best["captured"] * 1e3, "ms", 2.0)


def sandboxed_first_answer(rounds):
    if shutil.which("bwrap") is None:
        print("  sandboxed session first answer: skipped (no bwrap)")
        return
    with WorkerPool(size=1, sandbox=True) as pool:
        pool.run_inline("result = 1")  # the fork server is up and a spare is ready

        def first_answer():
            start = time.perf_counter()
            with pool.session() as session:
                session.execute("1")
                took = time.perf_counter() - start
            # Off the clock: the session's worker and a fresh one retired, a
            # new spare forked and the server idle again, as between callers.
            pool.run_inline("result = 1")
            time.sleep(0.05)
            return took

        best = alternate({"session": first_answer, "cold": cold_start}, rounds, statistics.median)
    report("sandboxed session first answer vs cold start", best["session"] * 1e3, best["cold"] * 1e3, "ms", 0.15)


def jupyter(rounds):
    try:
        from jupyter_client.manager import start_new_kernel
    except ImportError:
        print("  Jupyter execute round trip: skipped (jupyter_client and ipykernel not installed)")
        return
    manager, client = start_new_kernel(kernel_name="python3")
    try:
        def round_trip():
            start = time.perf_counter()
            client.execute_interactive("1", timeout=10, output_hook=lambda msg: None)
            return time.perf_counter() - start

        for _ in range(20):
            round_trip()
        times = [round_trip() for _ in range(rounds * 20)]
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)
    print(f"  {'Jupyter trivial execute round trip (median)':<50} {statistics.median(times) * 1e3:>10.2f} ms "
          "(no target)", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    print(f"  {'sessions':<50} {'value':>10} {'base':>10}     {'ratio':>6}")
    trivial_cell(rounds=10 if quick else 40, n=300 if quick else 500)
    streaming(rounds=3 if quick else 7)
    sandboxed_first_answer(rounds=5 if quick else 15)
    jupyter(rounds=3 if quick else 10)
    if not all(rows):
        sys.exit("sessions bench: a target was missed")


if __name__ == "__main__":
    main()
