"""Cost of the cluster pool against the local pool, measured in one run.

  * throughput: a stream of requests that each compute for about 1 ms, sent by
    several client threads, through ClusterPool(actors=2, size=1) against
    WorkerPool(size=2); target: the cluster pool at least 0.7x as fast;
  * per-request overhead: one trivial request at a time (ping-pong), median
    latency through each pool and the difference.
Both run on a local Ray instance kept on loopback, with two CPUs.

Usage: python -P bench/cluster.py [--quick]
"""
import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

# Keeps every connection of the local Ray instance on 127.0.0.1; it must be set
# before Ray is imported.
os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"

import ray

from ombrix.workers.cluster import ClusterPool
from ombrix.workers.pool import WorkerPool

THROUGHPUT_TARGET = 0.7
# A stream keeps this many requests in flight (client threads); the target
# applies to it.  A shallow stream of 8 is reported too, without a target.
CLIENTS = 32
SHALLOW_CLIENTS = 8
TRIVIAL = "result = 1"


def compute_code(seconds=0.001):
    """Inline code that computes for about `seconds` in this interpreter."""
    def code(n):
        return f"x = 0\nfor i in range({n}):\n    x += i\nresult = x"

    n = 10000
    while True:
        compiled = compile(code(n), "<bench>", "exec")
        start = time.perf_counter()
        for _ in range(20):
            exec(compiled, {})
        took = (time.perf_counter() - start) / 20
        if took > seconds / 2:
            return code(int(n * seconds / took))
        n *= 2


def stream(pool, code, requests, clients=CLIENTS):
    """Requests per second for `requests` calls shared by `clients` threads."""
    left = [requests]
    lock = threading.Lock()
    failures = []

    def client():
        while True:
            with lock:
                if left[0] == 0:
                    return
                left[0] -= 1
            answer = pool.run_inline(code)
            if not answer.get("success"):
                failures.append(answer)

    threads = [threading.Thread(target=client) for _ in range(clients)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.perf_counter() - start
    if failures:
        raise SystemExit(f"a benchmark request failed: {failures[0]}")
    return requests / took


def ping_pong(pool, requests):
    """Median seconds of one trivial request at a time."""
    times = []
    for _ in range(requests):
        start = time.perf_counter()
        pool.run_inline(TRIVIAL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer requests, for a smoke run")
    opts = parser.parse_args()
    requests, pings, rounds = (200, 200, 1) if opts.quick else (1000, 1000, 3)

    code = compute_code()
    # Ray puts the driver's working directory first on its workers' path; the
    # checkout's source tree there would shadow the installed package.
    cwd = os.getcwd()
    os.chdir(tempfile.mkdtemp())
    try:
        ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    finally:
        os.chdir(cwd)
    try:
        with WorkerPool(size=2) as local, ClusterPool(actors=2, size=1) as cluster:
            for pool in (local, cluster):  # warm: workers started, code paths hot
                stream(pool, code, 50)
                ping_pong(pool, 50)
            local_rate, cluster_rate, local_lat, cluster_lat = [], [], [], []
            shallow_local, shallow_cluster = [], []
            for _ in range(rounds):
                local_rate.append(stream(local, code, requests))
                cluster_rate.append(stream(cluster, code, requests))
                shallow_local.append(stream(local, code, requests, SHALLOW_CLIENTS))
                shallow_cluster.append(stream(cluster, code, requests, SHALLOW_CLIENTS))
                local_lat.append(ping_pong(local, pings))
                cluster_lat.append(ping_pong(cluster, pings))
    finally:
        ray.shutdown()

    ratio = max(cluster_rate) / max(local_rate)
    print(f"cluster pool on local Ray (2 CPUs), best of {rounds} rounds")
    print(f"  ~1 ms requests/s, {CLIENTS} in flight: WorkerPool(size=2) {max(local_rate):8.0f}   "
          f"ClusterPool(actors=2, size=1) {max(cluster_rate):8.0f}   "
          f"ratio {ratio:.3f} (target >= {THROUGHPUT_TARGET})  {'ok' if ratio >= THROUGHPUT_TARGET else 'MISS'}")
    shallow = max(shallow_cluster) / max(shallow_local)
    print(f"  ~1 ms requests/s, {SHALLOW_CLIENTS} in flight: WorkerPool(size=2) {max(shallow_local):8.0f}   "
          f"ClusterPool(actors=2, size=1) {max(shallow_cluster):8.0f}   ratio {shallow:.3f} (no target)")
    local_us, cluster_us = min(local_lat) * 1e6, min(cluster_lat) * 1e6
    print(f"  trivial request, median latency: WorkerPool {local_us:7.0f} us   "
          f"ClusterPool {cluster_us:7.0f} us   overhead {cluster_us - local_us:7.0f} us per request")
    return ratio >= THROUGHPUT_TARGET


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
