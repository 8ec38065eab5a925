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

Usage: python -P bench/bench.py [--quick]
"""
import argparse
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


def direct_rows(tiny, quick):
    reps = 7 if quick else 25
    value = nested_value()
    assert cw._serialize(value) == floor._serialize(value)
    cases = [
        ("run_inline('result = 1')", lambda: cw.run_inline("result = 1"),
         lambda: floor.run_inline("result = 1"), 2000),
        ("run_inline, printing snippet", lambda: cw.run_inline("import sys\nprint('hello')\nprint('e', file=sys.stderr)"),
         lambda: floor.run_inline("import sys\nprint('hello')\nprint('e', file=sys.stderr)"), 2000),
        ("run_script, tiny file", lambda: cw.run_script(tiny), lambda: floor.run_script(tiny), 1000),
        ("run_function, tiny file", lambda: cw.run_function(tiny, "main", {"x": 1}),
         lambda: floor.run_function(tiny, "main", {"x": 1}), 300),
        ("validate_script", lambda: cw.validate_script("def f(x):\n    return x + 1\n"),
         lambda: floor.validate_script("def f(x):\n    return x + 1\n"), 2000),
        ("validate_script, syntax error", lambda: cw.validate_script("def f(:\n"),
         lambda: floor.validate_script("def f(:\n"), 2000),
        ("_serialize, nested value", lambda: cw._serialize(value), lambda: floor._serialize(value), 5000),
    ]
    for name, m, f, n in cases:
        assert m() == f(), name  # the same answer from both sides
        n = max(n // 4, 50) if quick else n
        a, b = side_by_side(m, f, n, reps)
        report(name, a * 1e6, b * 1e6, "us")


# ---------------------------------------------------------------------------
# The protocol through a worker subprocess
# ---------------------------------------------------------------------------

class Proc:
    def __init__(self, cmd, env, cwd):
        self.p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, cwd=cwd,
                                  bufsize=0)
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


def ping_pong(procs, line, n, block=100):
    """Latencies of one request at a time, blocks alternating between the
    processes."""
    lat = [[] for _ in procs]
    for _ in range(n // block):
        for i, proc in enumerate(procs):
            for _ in range(block):
                t0 = time.perf_counter_ns()
                proc.p.stdin.write(line)
                proc.rfile.readline()
                lat[i].append(time.perf_counter_ns() - t0)
    return lat


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def protocol_rows(tiny, quick):
    env = dict(os.environ)
    cwd = str(Path(tiny).parent)
    requests = {
        "run_script": {"action": "run_script", "path": tiny},
        "run_inline": {"action": "run_inline", "code": "result = 1"},
        "run_function": {"action": "run_function", "path": tiny, "function": "main", "args": {"x": 1}},
        "validate": {"action": "validate", "code": "def f(x):\n    return x + 1\n"},
    }
    n = 2000 if quick else 20000
    reps = 2 if quick else 3
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


# ---------------------------------------------------------------------------
# Start-up
# ---------------------------------------------------------------------------

def first_line_seconds(cmd, stdin_data):
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
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
    opts = ap.parse_args()
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
    misses = [r for r in rows if r[4] > r[5]]
    print(f"\n{len(rows) - len(misses)} of {len(rows)} rows within target"
          + (": misses: " + ", ".join(r[0] for r in misses) if misses else ""))


if __name__ == "__main__":
    main()
