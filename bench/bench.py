"""Cost of the worker against its floor, as ratios (module / floor).

Rows, each measured side by side in one run with the two sides interleaved:
  * direct calls of each operation on small inputs against bench/floor.py,
    the same standard-library work as the leanest plain Python;
  * the protocol: pipelined requests per action through a worker subprocess,
    and ping-pong latency of one request at a time, against floor.py running
    as a worker subprocess;
  * start-up: worker start to first response against `python -c` importing
    the same standard modules and writing one line.
Targets: 1.00 for direct calls and the protocol, 1.10 for start-up.

Usage: python -P bench/bench.py [--quick] [--instructions]
"""
import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import floor  # noqa: E402
from ombrix.workers import custom_worker as cw  # noqa: E402

TARGET = 1.00
START_TARGET = 1.10
STD_MODULES = "json, os, signal, sys, traceback, io, pathlib, importlib.util"

WORKER_CMD = [sys.executable, "-P", "-c", "from ombrix.workers.custom_worker import main; main()"]
FLOOR_CMD = [sys.executable, "-P", "-c", "import floor; floor.main()"]
FLOOR_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))

rows = []


def report(name, module, floor_value, unit, target=TARGET):
    ratio = module / floor_value
    rows.append((name, module, floor_value, unit, ratio, target))
    print(f"  {name:<44} {module:>10.2f} {floor_value:>10.2f} {unit:<4} {ratio:>6.3f}  "
          f"{'ok' if ratio <= target else 'MISS'}", flush=True)


# ---------------------------------------------------------------------------
# Direct calls
# ---------------------------------------------------------------------------

def time_loop(fn, n):
    gc.collect()
    t = time.perf_counter
    start = t()
    for _ in range(n):
        fn()
    return (t() - start) / n


def side_by_side(module_fn, floor_fn, n, repeats):
    """Min per-call time of each side; the sides alternate, and which goes
    first alternates too."""
    module_fn(), floor_fn()  # warm caches: imports, linecache, bytecode files
    a, b = [], []
    for i in range(repeats):
        if i % 2:
            b.append(time_loop(floor_fn, n))
            a.append(time_loop(module_fn, n))
        else:
            a.append(time_loop(module_fn, n))
            b.append(time_loop(floor_fn, n))
    return min(a), min(b)


def nested_value():
    return {"name": "tool", "items": [1, 2.5, None, True, ("a", "b")],
            "meta": {"k": [{"x": 1}, {"y": [2, 3]}], 7: "seven"}, "tags": ["p", "q", "r"]}


def direct_cases(tiny):
    """(row name, module call, floor call, calls per timed loop)."""
    value = nested_value()
    printing = "import sys\nprint('hello')\nprint('e', file=sys.stderr)"
    source = "def f(x):\n    return x + 1\n"
    return [
        ("run_inline('result = 1')", lambda: cw.run_inline("result = 1"),
         lambda: floor.run_inline("result = 1"), 200),
        ("run_inline, printing snippet", lambda: cw.run_inline(printing), lambda: floor.run_inline(printing), 200),
        ("run_script, tiny file", lambda: cw.run_script(tiny), lambda: floor.run_script(tiny), 100),
        ("run_function, tiny file", lambda: cw.run_function(tiny, "main", {"x": 1}),
         lambda: floor.run_function(tiny, "main", {"x": 1}), 30),
        ("validate_script", lambda: cw.validate_script(source), lambda: floor.validate_script(source), 200),
        ("validate_script, syntax error", lambda: cw.validate_script("def f(:\n"),
         lambda: floor.validate_script("def f(:\n"), 200),
        ("_serialize, nested value", lambda: cw._serialize(value), lambda: floor._serialize(value), 500),
    ]


def direct_rows(tiny, quick):
    reps = 10 if quick else 80
    for name, m, f, n in direct_cases(tiny):
        assert m() == f(), name  # the same answer from both sides
        a, b = side_by_side(m, f, n, reps)
        report(name, a * 1e6, b * 1e6, "us")


def count_calls(tiny, side, index, n):
    """Child of --instructions: n calls of one side of one row."""
    _, m, f, _ = direct_cases(tiny)[index]
    fn = m if side == "module" else f
    for _ in range(5):
        fn()
    for _ in range(n):
        fn()


def instructions(tiny, side, index, n):
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-P", __file__,
           "--count", side, str(index), str(n), tiny]
    # One hash seed for every count, so dict probing is the same on both sides.
    env = dict(os.environ, PYTHONHASHSEED="0")
    err = subprocess.run(cmd, capture_output=True, text=True, check=True, env=env).stderr
    return int(next(line for line in err.splitlines() if "Collected" in line).split()[-1])


def instruction_rows(tiny):
    """Instructions per call under callgrind: deterministic where the clock
    is not.  Each side is counted over n calls less a run of none."""
    n = 200
    for index, (name, *_rest) in enumerate(direct_cases(tiny)):
        per_call = []
        for side in ("module", "floor"):
            per_call.append((instructions(tiny, side, index, n) - instructions(tiny, side, index, 0)) / n)
        report(name, per_call[0] / 1e3, per_call[1] / 1e3, "kIr")


# ---------------------------------------------------------------------------
# The protocol through a worker subprocess
# ---------------------------------------------------------------------------

# With two or more CPUs the benchmark runs on one and every worker on
# another, so that both sides of a row see the same scheduling.
CPUS = sorted(os.sched_getaffinity(0))
BENCH_CPU, WORKER_CPU = (CPUS[0], CPUS[1]) if len(CPUS) > 1 else (CPUS[0], CPUS[0])


def pin_worker():
    os.sched_setaffinity(0, {WORKER_CPU})


class Proc:
    def __init__(self, cmd, env, cwd):
        self.p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, cwd=cwd,
                                  bufsize=0, preexec_fn=pin_worker)
        self.rfile = self.p.stdout

    def ping(self, line):
        self.p.stdin.write(line)
        return self.rfile.readline()

    def close(self):
        self.p.stdin.close()
        self.p.wait(timeout=60)


def pipelined(cmd, env, cwd, line, n):
    """Seconds from the first byte of n pipelined requests to the last
    response, after a warm-up request."""
    proc = Proc(cmd, env, cwd)
    proc.ping(line)
    data = line * n
    fd = proc.rfile.fileno()

    def writer():
        proc.p.stdin.write(data)

    t = threading.Thread(target=writer)
    start = time.perf_counter()
    t.start()
    seen = 0
    while seen < n:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            raise RuntimeError(f"{cmd[-1]}: worker ended early")
        seen += chunk.count(b"\n")
    elapsed = time.perf_counter() - start
    t.join()
    proc.close()
    return elapsed


def ping_pong(procs, line, n):
    """Latencies of one request at a time, alternating between the
    processes request by request."""
    lat = [[] for _ in procs]
    clock = time.perf_counter_ns
    for k in range(n):
        for i in ((0, 1) if k % 2 == 0 else (1, 0)):
            proc = procs[i]
            t0 = clock()
            proc.p.stdin.write(line)
            proc.rfile.readline()
            lat[i].append(clock() - t0)
    return lat


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def protocol_requests(tiny):
    return {
        "run_script": {"action": "run_script", "path": tiny},
        "run_inline": {"action": "run_inline", "code": "result = 1"},
        "run_function": {"action": "run_function", "path": tiny, "function": "main", "args": {"x": 1}},
        "validate": {"action": "validate", "code": "def f(x):\n    return x + 1\n"},
    }


def protocol_rows(tiny, quick):
    env = dict(os.environ)
    cwd = str(Path(tiny).parent)
    requests = protocol_requests(tiny)
    n = 2000 if quick else 20000
    reps = 2 if quick else 5
    for action, req in requests.items():
        line = (json.dumps(req) + "\n").encode()
        # Same answer from both sides first.
        m, f = Proc(WORKER_CMD, env, cwd), Proc(FLOOR_CMD, FLOOR_ENV, cwd)
        assert m.ping(line) == f.ping(line), action
        m.close(), f.close()
        a, b = [], []
        for i in range(reps):
            order = [(a, WORKER_CMD, env), (b, FLOOR_CMD, FLOOR_ENV)]
            for out, cmd, e in (order if i % 2 == 0 else order[::-1]):
                out.append(pipelined(cmd, e, cwd, line, n))
        report(f"pipelined {n} x {action} (total)", min(a) * 1e3, min(b) * 1e3, "ms")
    for action in ("run_inline", "validate", "run_script", "run_function"):
        line = (json.dumps(requests[action]) + "\n").encode()
        procs = [Proc(WORKER_CMD, env, cwd), Proc(FLOOR_CMD, FLOOR_ENV, cwd)]
        for proc in procs:
            for _ in range(50):
                proc.ping(line)
        count = 400 if quick else 4000
        lat_m, lat_f = ping_pong(procs, line, count)
        for proc in procs:
            proc.close()
        for q, label in ((0.5, "p50"), (0.99, "p99")):
            report(f"ping-pong {action} {label}", percentile(lat_m, q) / 1e3, percentile(lat_f, q) / 1e3, "us")


def worker_instructions(cmd, env, cwd, line, n):
    """Instructions of a whole worker process serving n copies of `line`."""
    env = dict(env, PYTHONHASHSEED="0")
    vg = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
    done = subprocess.run(vg + cmd, input=line * n, capture_output=True, env=env, cwd=cwd, check=True)
    assert done.stdout.count(b"\n") == n
    return int(next(x for x in done.stderr.decode().splitlines() if "Collected" in x).split()[-1])


def protocol_instruction_rows(tiny):
    """Per request, from a run of n requests less a run of one."""
    cwd = str(Path(tiny).parent)
    n = 1000
    for action, req in protocol_requests(tiny).items():
        line = (json.dumps(req) + "\n").encode()
        per_request = []
        for cmd, env in ((WORKER_CMD, dict(os.environ)), (FLOOR_CMD, FLOOR_ENV)):
            total = worker_instructions(cmd, env, cwd, line, n) - worker_instructions(cmd, env, cwd, line, 1)
            per_request.append(total / (n - 1))
        report(f"{action} per request", per_request[0] / 1e3, per_request[1] / 1e3, "kIr")


# ---------------------------------------------------------------------------
# Start-up
# ---------------------------------------------------------------------------

def first_line_seconds(cmd, stdin_data):
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0, preexec_fn=pin_worker)
    p.stdin.write(stdin_data)
    line = p.stdout.readline()
    elapsed = time.perf_counter() - start
    p.stdin.close()
    p.wait()
    assert line.endswith(b"\n"), (cmd, line)
    return elapsed


def startup_row(quick):
    worker = (WORKER_CMD, b'{"action": "quit"}\n')
    plain = ([sys.executable, "-P", "-c", f"import {STD_MODULES}; sys.stdout.write('{{}}\\n'); sys.stdout.flush()"],
             b"")
    a, b = [], []
    for i in range(10 if quick else 40):
        for out, (cmd, data) in ([(a, worker), (b, plain)] if i % 2 == 0 else [(b, plain), (a, worker)]):
            out.append(first_line_seconds(cmd, data))
    report("start-up to first response (median)", statistics.median(a) * 1e3,
           statistics.median(b) * 1e3, "ms", START_TARGET)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    ap.add_argument("--instructions", action="store_true",
                    help="also count instructions per direct call under callgrind (slow)")
    ap.add_argument("--count", nargs=4, help=argparse.SUPPRESS)
    opts = ap.parse_args()
    if opts.count:
        side, index, n, tiny = opts.count
        return count_calls(tiny, side, int(index), int(n))
    os.sched_setaffinity(0, {BENCH_CPU})
    with tempfile.TemporaryDirectory() as d:
        tiny = os.path.join(d, "tiny.py")
        Path(tiny).write_text("def main(x=None):\n    return {'x': x, 'ok': [1, 2]}\n")
        print(f"{'row':<46} {'module':>10} {'floor':>10} {'unit':<4} {'ratio':>6}")
        print("direct calls (min of repeats, per call)")
        direct_rows(tiny, opts.quick)
        print("protocol through a worker subprocess")
        protocol_rows(tiny, opts.quick)
        print("start-up")
        startup_row(opts.quick)
        if opts.instructions:
            print("direct calls, instructions per call (callgrind)")
            instruction_rows(tiny)
            print("protocol, instructions per request in the worker process (callgrind)")
            protocol_instruction_rows(tiny)
    misses = [r for r in rows if r[4] > r[5]]
    print(f"\n{len(rows) - len(misses)} of {len(rows)} rows within target"
          + (": misses: " + ", ".join(r[0] for r in misses) if misses else ""))


if __name__ == "__main__":
    main()
