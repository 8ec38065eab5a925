"""The supervised pool through real worker processes: hostile scripts,
recovery, limits, the clean channel, hygiene and reaping."""
import asyncio
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest
from conftest import POOL_ENV, SANITIZED, groups_alive, queued, wait_until

from ombrix.workers.pool import (
    AsyncWorkerPool,
    OutputLimitExceeded,
    WorkerError,
    WorkerExited,
    WorkerPool,
    WorkerTimeout,
)
from ombrix.workers.launchers.process import SubprocessLauncher

pytestmark = pytest.mark.timeout(60)


class Recording:
    """The default launcher, remembering every worker it started."""

    def __init__(self, settings):
        self.inner = SubprocessLauncher(settings)
        self.pids = []

    def start(self):
        handle = self.inner.start()
        self.pids.append(handle.pid)
        return handle

    def close(self):
        self.inner.close()


def make_pool(cls=WorkerPool, **options):
    launchers = []

    def launcher(settings):
        launchers.append(Recording(settings))
        return launchers[-1]

    options.setdefault("env", POOL_ENV)
    options.setdefault("timeout", 10.0)
    pool = cls(launcher=launcher, **options)
    pool.started = launchers[0].pids
    return pool


@pytest.fixture
def open_pool():
    """Makes pools and checks on teardown that closing them left no process
    of any worker's process group and removed the scratch directory."""
    pools = []

    def make(cls=WorkerPool, **options):
        pools.append(make_pool(cls, **options))
        return pools[-1]

    yield make
    for pool in pools:
        pool.close()
        assert groups_alive(set(pool.started)) == []
        assert not os.path.exists(pool.cwd)


def pid_of(pool):
    return pool.run_inline("import os\nresult = os.getpid()")["result"]["return_value"]


def test_timeouts_kill_the_group_and_keep_the_size(open_pool):
    pool = open_pool(size=2, timeout=0.5)
    for code in ["while True: pass", "import subprocess, time\nsubprocess.Popen(['sleep', '30'])\ntime.sleep(30)"]:
        started = time.monotonic()
        with pytest.raises(WorkerTimeout) as info:
            pool.run_inline(code)
        assert time.monotonic() - started < 0.5 + 0.5
        assert info.value.result["success"] is False
    # Two replacements, and nothing left of the killed workers' groups.
    assert len(pool.started) == 4 and len(groups_alive(set(pool.started))) == 2
    # Per call, and None for no limit.
    with pytest.raises(WorkerTimeout):
        pool.run_inline("import time; time.sleep(5)", timeout=0.2)
    assert pool.run_inline("import time; time.sleep(0.6); result = 1", timeout=None)["result"]["return_value"] == 1


@pytest.mark.parametrize("code, status, names", [
    ("import sys; sys.exit(3)", 3, "SystemExit: 3"),
    ("import os; os._exit(0)", 0, None),
    ("import os, signal; os.kill(os.getpid(), signal.SIGKILL)", -signal.SIGKILL, None),
])
def test_a_dying_worker_fails_only_its_request(open_pool, code, status, names):
    pool = open_pool(size=1)
    results = {}
    # The first request holds the worker until the others are queued behind it.
    hold = "import os, time\nopen('started', 'w').close()\nwhile not os.path.exists('go'): time.sleep(0.01)\n"

    def call(i):
        try:
            results[i] = pool.run_inline((hold + code) if i == 0 else f"result = {i}")
        except WorkerError as exc:
            results[i] = exc

    threads = [threading.Thread(target=call, args=(i,)) for i in range(6)]
    threads[0].start()
    assert wait_until(lambda: os.path.exists(os.path.join(pool.cwd, "started")))
    for t in threads[1:]:
        t.start()
    assert wait_until(lambda: queued(threads[1:]) == 5)
    open(os.path.join(pool.cwd, "go"), "w").close()
    for t in threads:
        t.join()
    exc = results.pop(0)
    assert isinstance(exc, WorkerExited) and exc.returncode == status
    if names:
        assert names in exc.stderr and names in exc.result["error"]
    assert {i: r["result"]["return_value"] for i, r in results.items()} == {i: i for i in range(1, 6)}


def test_a_request_field_of_the_wrong_type_ends_only_that_worker(open_pool):
    pool = open_pool(size=1)
    with pytest.raises(WorkerExited) as info:
        pool.request({"action": "run_function", "path": "x.py", "function": 5})
    assert info.value.returncode == 1 and "TypeError" in info.value.stderr
    assert pool.validate("x = (")["result"]["valid"] is False


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer cannot run under an address-space limit")
def test_unbounded_allocation_under_memory_limit(open_pool):
    pool = open_pool(size=1, memory_limit=512 * 2**20)
    try:
        response = pool.run_inline("chunks = []\nwhile True:\n    chunks.append(bytearray(2**24))")
        assert response["success"] is False and "MemoryError" in response["error"]
    except WorkerExited:
        pass
    assert pool.run_inline("result = len(bytearray(2**20))")["result"]["return_value"] == 2**20


def test_output_limit_bounds_what_the_host_holds(open_pool):
    limit = 2**20
    pool = open_pool(size=1, max_output=limit)
    for call in (lambda: pool.run_inline("print('x' * 50_000_000)"),
                 lambda: pool.request({"action": "run_function", "path": script(pool, "def main():\n"
                                       "    for _ in range(50):\n        print('y' * 10**6)\n")})):
        tracemalloc.start()
        try:
            with pytest.raises(OutputLimitExceeded):
                call()
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 4 * limit
    assert pool.run_inline("print('y' * 1000)")["result"]["output"] == "y" * 1000 + "\n"


def script(pool, text, name="tool.py"):
    path = os.path.join(pool.cwd, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def test_run_function_prints_come_back_as_output(open_pool):
    pool = open_pool(size=1)
    path = script(pool, (
        "def partial(n):\n    print('no newline', end='')\n    return n\n"
        "def fake():\n    print('{\"success\": true, \"result\": \"fake\"}')\n"
        "    print('{\"success\": false', end='')\n    return '{\"success\": true}'\n"
        "def quiet():\n    return 7\n"
    ))
    assert pool.run_function(path, "partial", {"n": 2}) == {
        "success": True, "result": {"return_value": 2, "output": "no newline"}}
    assert pool.run_function(path, "fake")["result"] == {
        "return_value": '{"success": true}',
        "output": '{"success": true, "result": "fake"}\n{"success": false'}
    assert pool.request({"action": "run_function", "path": path, "function": "quiet"})["result"] == {
        "return_value": 7, "output": ""}
    assert pool.run_function(path, "missing")["success"] is False
    assert len(pool.started) == 1


def test_the_protocol_stays_clean(open_pool, caplog):
    pool = open_pool(size=1)
    caplog.set_level("INFO", logger="ombrix.workers.pool")
    # fd 0 and fd 1 are not the protocol.
    response = pool.run_inline("import os, sys\nos.system('echo from-shell')\nsys.__stdout__.write('raw\\n')\n"
                               "sys.__stdout__.flush()\nresult = input()")
    assert response["success"] is False and "EOFError" in response["error"]
    fake = pool.run_inline("import os\nos.system('echo \\'{\"success\": true, \"result\": 0}\\'')\nresult = 'real'")
    assert fake["result"]["return_value"] == "real"
    assert pool.run_inline("import os\nresult = os.read(0, 10).decode()", timeout=2)["result"]["return_value"] == ""
    first = pid_of(pool)
    assert pid_of(pool) == first
    assert wait_until(lambda: "from-shell" in caplog.text, 2)
    assert "from-shell" in caplog.text and "raw" in caplog.text


def test_workers_left_with_threads_or_children_are_recycled(open_pool):
    pool = open_pool(size=1)
    first = pid_of(pool)
    # A thread that keeps printing into what becomes the protocol stream.
    pool.run_inline("import threading, sys, time\n"
                    "def chatter():\n    while True:\n        print('{\"success\": true, \"result\": 0}')\n"
                    "        time.sleep(0.001)\n"
                    "threading.Thread(target=chatter, daemon=True).start()\ntime.sleep(0.01)")
    assert [pool.run_inline(f"result = {i}")["result"]["return_value"] for i in range(5)] == list(range(5))
    second = pid_of(pool)
    assert second != first
    # A forked copy of the worker returns into the worker loop.
    forked = pool.run_inline("import os\nresult = os.fork()")
    assert forked["result"]["return_value"] > 0  # the parent's answer: the child never answers
    assert [pool.run_inline(f"result = {i}")["result"]["return_value"] for i in range(5)] == list(range(5))
    # A grandchild that left the group is killed too.
    escaped = pool.run_inline("import subprocess\n"
                              "result = subprocess.Popen(['sleep', '30'], start_new_session=True).pid")
    escaped_pid = escaped["result"]["return_value"]
    third = pid_of(pool)
    assert third not in (first, second)
    assert wait_until(lambda: groups_alive({escaped_pid}) == [], 2)


def test_recycle_after_and_host_side_type_checks(open_pool):
    pool = open_pool(size=1, recycle_after=2)
    pids = [pid_of(pool) for _ in range(3)]
    assert pids[0] == pids[1] != pids[2]
    for bad in (lambda: pool.run_inline(b"x"), lambda: pool.run_inline("x", args=[1]),
                lambda: pool.run_function("p.py", function=None), lambda: pool.request("quit"),
                lambda: pool.run_inline("x", args={"f": object()}), lambda: pool.validate("x", timeout="1")):
        with pytest.raises(TypeError):
            bad()
    assert pid_of(pool) == pids[2]
    assert len(pool.started) == 3


def test_environment_cwd_and_file_size(open_pool, monkeypatch):
    monkeypatch.setenv("OMBRIX_TEST_SECRET", "hunter2")
    pool = open_pool(size=1, file_size_limit=4096, env=None if not SANITIZED else POOL_ENV)
    env = pool.run_inline("import os\nresult = dict(os.environ)")["result"]["return_value"]
    assert "OMBRIX_TEST_SECRET" not in env
    if not SANITIZED:
        assert env["HOME"] == pool.cwd and env["LC_ALL"] == "C.UTF-8"
    assert pool.run_inline("import os\nresult = os.getcwd()")["result"]["return_value"] == pool.cwd
    response = pool.run_inline("with open('big', 'wb') as f:\n    f.write(b'x' * 10000)")
    assert response["success"] is False and "File too large" in response["error"]
    pool.request({"action": "quit"})
    assert pool.run_inline("result = 5")["result"]["return_value"] == 5
    explicit = open_pool(size=1, env=dict(POOL_ENV or {}, ONLY="this"))
    assert explicit.run_inline("import os\nresult = os.environ['ONLY']")["result"]["return_value"] == "this"


def test_cpu_limit_holds_per_request(open_pool):
    pool = open_pool(size=1, cpu_limit=1, timeout=10)
    spin = "import time\nend = time.process_time() + 0.6\nwhile time.process_time() < end: pass\nresult = 1"
    assert [pool.run_inline(spin)["success"] for _ in range(2)] == [True, True]
    with pytest.raises(WorkerExited) as info:
        pool.run_inline("while True: pass")
    assert info.value.returncode == -signal.SIGXCPU


def test_errors_survive_pickling():
    for exc in (WorkerError("a"), WorkerTimeout("b", 1.5), WorkerExited("c", -9, "tail"),
                OutputLimitExceeded("d", 10)):
        copy = pickle.loads(pickle.dumps(exc))
        assert type(copy) is type(exc) and copy.args == exc.args
        assert copy.result == {"success": False, "error": exc.args[0]} and str(copy) == exc.args[0]
    copy = pickle.loads(pickle.dumps(WorkerExited("c", -9, "tail")))
    assert (copy.returncode, copy.stderr) == (-9, "tail")


def test_close_kills_busy_workers_and_fails_their_callers():
    pool = make_pool(size=2)
    errors = []

    def busy(i):
        try:
            pool.run_inline(f"import time\nopen('started{i}', 'w').close()\ntime.sleep(30)")
        except WorkerError as exc:
            errors.append(exc)

    threads = [threading.Thread(target=busy, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    # Two requests running, one queued.
    assert wait_until(lambda: sum(name.startswith("started") for name in os.listdir(pool.cwd)) == 2)
    assert wait_until(lambda: queued(threads) == 1)
    pool.close()
    pool.close()
    for t in threads:
        t.join(5)
    assert len(errors) == 3
    assert groups_alive(set(pool.started)) == []
    with pytest.raises(RuntimeError):
        pool.run_inline("result = 1")


def test_workers_die_with_their_host(tmp_path):
    host = ("import sys, time\nsys.path[:0] = [p for p in sys.argv[1:]]\n"
            "from ombrix.workers.pool import WorkerPool\n"
            f"pool = WorkerPool(size=1, env={POOL_ENV!r}, cwd={str(tmp_path)!r})\n"
            "print(pool.run_inline('import os\\nresult = os.getpid()')['result']['return_value'], flush=True)\n"
            "time.sleep(60)\n")
    # The host is killed, so its pool never removes a scratch directory of its own: it gets tmp_path.
    with subprocess.Popen([sys.executable, "-P", "-c", host, *sys.path], stdout=subprocess.PIPE) as proc:
        try:
            worker = int(proc.stdout.readline())
        finally:
            proc.kill()
    assert wait_until(lambda: groups_alive({worker}) == [], 5)


# A request that says it runs (a file 'running' in the workers' directory) and keeps running.
RUNNING = "import time\nopen('running', 'w').close()\ntime.sleep(30)"


async def started(pool):
    path = os.path.join(pool.cwd, "running")
    for _ in range(1000):
        if os.path.exists(path):
            os.unlink(path)
            return
        await asyncio.sleep(0.01)
    raise AssertionError("the request did not start")


def test_async_pool(open_pool):
    pool = open_pool(AsyncWorkerPool, size=2)
    path = script(pool, "def main(x):\n    print('half', end='')\n    return x\n")

    async def scenario():
        calls = [pool.run_inline(f"result = {i}") for i in range(20)]
        calls.append(pool.run_inline("while True: pass", timeout=0.5))
        calls.append(pool.run_function(path, args={"x": 3}))
        results = await asyncio.gather(*calls, return_exceptions=True)
        assert [r["result"]["return_value"] for r in results[:20]] == list(range(20))
        assert isinstance(results[20], WorkerTimeout)
        assert results[21]["result"] == {"return_value": 3, "output": "half"}
        # A cancelled caller leaves no worker behind and the pool serves on.
        task = asyncio.ensure_future(pool.run_inline(RUNNING, timeout=None))
        await started(pool)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        both = [pool.run_inline("import time; time.sleep(0.2)\nresult = 1") for _ in range(2)]
        assert [r["result"]["return_value"] for r in await asyncio.wait_for(asyncio.gather(*both), 5)] == [1, 1]

    async def on_another_loop():
        assert (await pool.run_inline("result = 2"))["result"]["return_value"] == 2
        await pool.aclose()

    asyncio.run(scenario())
    asyncio.run(on_another_loop())


def test_async_close_wakes_a_request_in_flight(open_pool):
    pool = open_pool(AsyncWorkerPool, size=1)

    async def scenario():
        task = asyncio.ensure_future(pool.run_inline(RUNNING, timeout=10))
        await started(pool)
        await asyncio.wait_for(pool.aclose(), 5)
        with pytest.raises(WorkerError, match="closed"):
            await asyncio.wait_for(task, 5)

    asyncio.run(scenario())
