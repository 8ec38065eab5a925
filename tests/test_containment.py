"""Nothing a request starts outlives it, a worker's exit is noticed when it
happens, a stopped fork server holds no request up, and cancellation never
wedges a pool: attacks through real pools."""
import asyncio
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import POOL_ENV

from ombrix.workers.pool import AsyncWorkerPool, WorkerExited, WorkerPool, WorkerTimeout

pytestmark = pytest.mark.timeout(90)

# Scripts wait for files with deadlines of their own; `PID` names the file
# that holds the escaped process's pid.
_HELPERS = r"""
import os, time
def wait_for(path, seconds=20):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.01)
def alive(pid):
    try:
        with open(f'/proc/{pid}/stat') as f:
            return f.read().rsplit(')', 1)[1].split()[0] not in 'ZX'
    except OSError:
        return False
def gone(pid, seconds=5):
    # A killed process needs a CPU to end on: it may still run a moment.
    deadline = time.monotonic() + seconds
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.01)
    return not alive(pid)
"""

# A double fork: the grandchild leaves the worker's group and session
# (SETSID) or stays in them and does BODY; its parent records its pid.
_ESCAPE = _HELPERS + r"""
if os.fork() == 0:
    if SETSID:
        os.setsid()
    pid = os.fork()
    if pid == 0:
        BODY
        time.sleep(60)
        os._exit(0)
    with open(PID, 'w') as f:
        f.write(str(pid))
    os._exit(0)
os.wait()
"""

# Waits for the file 'go', then answers the next request itself on fd 4.
_FORGE = "wait_for('go'); os.write(4, b'{\"success\": true, \"result\": \"forged\"}\\n'); open('done', 'w').close()"


def escape(pid_file, *, setsid, body="pass", then="result = int(open(PID).read())"):
    script = _ESCAPE.replace("SETSID", str(setsid)).replace("PID", repr(pid_file)).replace("BODY", body)
    return script + then.replace("PID", repr(pid_file)) + "\n"


# The same helpers on the host's side.
exec(_HELPERS)


def test_descendants_of_a_plain_worker_never_outlive_their_request(tmp_path):
    pool = WorkerPool(env=POOL_ENV, size=1, timeout=10.0, cwd=str(tmp_path))
    try:
        # It left the session: only the worker's tree (it is their
        # subreaper) leads to it, and it must not answer the next request.
        forger = pool.run_inline(escape("forger.pid", setsid=True, body=_FORGE))["result"]["return_value"]
        check = _HELPERS + (
            "open('go', 'w').close()\n"
            f"while alive({forger}) and not os.path.exists('done'):\n    time.sleep(0.01)\n"
            "result = 'genuine'"
        )
        assert pool.run_inline(check)["result"] == {"output": "", "errors": "", "return_value": "genuine"}
        assert gone(forger)
        # The worker exits while its grandchild holds the answer pipe open:
        # noticed at once, with its status, and the grandchild killed.
        with pytest.raises(WorkerExited) as exited:  # not WorkerTimeout
            pool.run_inline(escape("holder.pid", setsid=False, then="os._exit(3)"), timeout=8.0)
        assert exited.value.returncode == 3
        holder = int((tmp_path / "holder.pid").read_text())
        assert gone(holder)
        assert pool.run_inline("result = 1")["result"]["return_value"] == 1
    finally:
        pool.close()


def test_the_async_face_notices_an_exit_while_the_answer_pipe_is_held(tmp_path):
    async def go():
        async with AsyncWorkerPool(env=POOL_ENV, size=1, timeout=10.0, cwd=str(tmp_path)) as pool:
            with pytest.raises(WorkerExited) as exited:  # not WorkerTimeout
                await pool.run_inline(escape("holder.pid", setsid=False, then="os._exit(3)"), timeout=8.0)
            assert exited.value.returncode == 3
            assert (await pool.run_inline("result = 1"))["result"]["return_value"] == 1

    asyncio.run(go())
    assert gone(int((tmp_path / "holder.pid").read_text()))


# A script may undo its worker's subreaper flag: its orphans then reach the
# fork server.
_UNDO = "import ctypes\nctypes.CDLL(None).prctl(36, 0, 0, 0, 0)\n"


_NAME_HOLDER = "import ctypes; ctypes.CDLL(None).prctl(15, b'ombrix-holder', 0, 0, 0)"  # PR_SET_NAME
_NO_HOLDER = r"""
def holders():
    found = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open(f'/proc/{pid}/comm') as f:
                if f.read().strip() == 'ombrix-holder' and alive(pid):
                    found.append(pid)
        except OSError:
            pass
    return found
deadline = time.monotonic() + 5
while holders() and time.monotonic() < deadline:
    time.sleep(0.01)
result = not holders()
"""


@pytest.mark.parametrize("options", [{"fresh": True}, {"fresh": True, "sandbox": True}, {"sandbox": True}],
                         ids=["fresh", "fresh-sandbox", "sandbox"])
def test_daemons_of_forked_workers_die_with_their_request(options, tmp_path):
    if options.get("sandbox") and not os.path.exists("/usr/bin/bwrap"):
        pytest.skip("bwrap is not installed")
    if not options.get("sandbox"):
        options = dict(options, cwd=str(tmp_path))
    with WorkerPool(env=POOL_ENV, size=1, timeout=10.0, **options) as pool:
        for n, undo in enumerate(["", _UNDO]):
            daemon = pool.run_inline(undo + escape(f"daemon{n}.pid", setsid=True))["result"]["return_value"]
            assert pool.run_inline(_HELPERS + f"result = gone({daemon})")["result"]["return_value"], undo
        # The worker ends while its daemon (found later by its name: a
        # sandboxed worker's files go with it) holds the answer pipe open.
        with pytest.raises(WorkerExited) as exited:  # not WorkerTimeout
            pool.run_inline(escape("holder.pid", setsid=True, body=_NAME_HOLDER, then="os._exit(3)"), timeout=8.0)
        assert exited.value.returncode == 3
        # Orphaned by its worker's death, it is the fork server's to kill.
        assert pool.run_inline(_HELPERS + _NO_HOLDER)["result"]["return_value"]


@pytest.mark.parametrize("options", [{"fresh": True}, {"spares": 1}], ids=["fresh", "spares"])
def test_a_stopped_fork_server_holds_no_request_up(options):
    stop = "import os, signal\nos.kill(os.getppid(), signal.SIGSTOP)\n"
    cases = [
        (stop + "result = 1", None),
        ("result = 2", None),
        (stop + "while True: pass", WorkerTimeout),
        (stop + "os._exit(3)", WorkerExited),
        ("result = 3", None),
    ]
    with WorkerPool(env=POOL_ENV, size=1, timeout=1.0, **options) as pool:
        server = pool.run_inline("import os\nresult = os.getppid()")["result"]["return_value"]
        took = []
        for code, error in cases:
            started = time.monotonic()
            if error is None:
                assert pool.run_inline(code)["success"]
            else:
                with pytest.raises(error):
                    pool.run_inline(code)
            took.append(time.monotonic() - started)
        assert max(took) < 3.0, took
        assert pool.run_inline("import os\nresult = os.getppid()")["result"]["return_value"] != server


class _Counting(ThreadPoolExecutor):
    def __init__(self):
        super().__init__(max_workers=1)
        self.submitted = 0

    def submit(self, fn, /, *args, **kwargs):
        self.submitted += 1
        return super().submit(fn, *args, **kwargs)


@pytest.mark.parametrize("fresh", [True, False], ids=["fresh", "plain"])
def test_cancellation_storms_never_wedge_a_pool(fresh):
    options = {"fresh": True} if fresh else {"recycle_after": 1}  # every request retires its worker

    async def go():
        executor = _Counting()
        asyncio.get_running_loop().set_default_executor(executor)
        before = len(os.listdir("/proc/self/fd"))
        pool = AsyncWorkerPool(env=POOL_ENV, size=2, timeout=10.0, **options)
        try:
            # Retirements queue behind a busy executor; their callers are
            # cancelled before any runs.
            gate = threading.Event()
            blocked = asyncio.get_running_loop().run_in_executor(None, gate.wait)
            tasks = [asyncio.ensure_future(pool.run_inline("result = 1")) for _ in range(2)]
            deadline = time.monotonic() + 10
            while executor.submitted < 3 and time.monotonic() < deadline:
                await asyncio.sleep(0.005)
            assert executor.submitted == 3
            for task in tasks:
                task.cancel()
            gate.set()
            await blocked
            await asyncio.gather(*tasks, return_exceptions=True)
            # A storm: tasks cancelled at every stage of their requests.
            tasks = []
            for i in range(60):
                tasks.append(asyncio.ensure_future(pool.run_inline("result = 1")))
                await asyncio.sleep(0.001 * (i % 4))
                tasks[i // 2].cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            answer = await asyncio.wait_for(pool.run_inline("result = 2"), 10)
            assert answer["result"]["return_value"] == 2
        finally:
            await pool.aclose()
        assert len(os.listdir("/proc/self/fd")) == before

    asyncio.run(go())


class _Interrupt(Exception):
    pass


# Where the pool waits, and what retiring a worker runs.
_WAITS = {"_drive", "wait", "start", "answer", "_retire", "_dispose", "_replace", "kill", "ended"}


@pytest.mark.parametrize("fresh", [True, False], ids=["fresh", "plain"])
def test_interrupted_callers_never_wedge_a_pool(fresh, tmp_path):
    import signal

    left = [0]

    def interrupt(signum, frame):
        # Like KeyboardInterrupt, a bounded number of times, wherever the
        # pool waits (for a worker, an answer, a start) or retires a worker
        # in the caller's thread.  (In the few instructions that hand a
        # worker from one to the other, an interrupt can still lose it.)
        while frame is not None and "ombrix" not in frame.f_code.co_filename:
            frame = frame.f_back
        if frame is not None and frame.f_code.co_name in _WAITS and left[0] > 0:
            left[0] -= 1
            raise _Interrupt

    def interrupted(times, fn, *args):
        left[0] = times
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.0002)
        try:
            with pytest.raises(_Interrupt):
                fn(*args)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            left[0] = 0

    def served(pool):
        answers = []
        caller = threading.Thread(target=lambda: answers.append(pool.run_inline("result = 1")), daemon=True)
        caller.start()
        caller.join(20)
        return answers and answers[0]["result"]["return_value"] == 1

    options = {"fresh": True} if fresh else {"recycle_after": 1}
    before = len(os.listdir("/proc/self/fd"))
    previous = signal.signal(signal.SIGALRM, interrupt)
    pool = WorkerPool(env=POOL_ENV, size=1, timeout=20.0, cwd=str(tmp_path), **options)
    try:
        for _ in range(3):  # while its request runs
            interrupted(3, pool.run_inline, "import time\ntime.sleep(20)")
            assert served(pool)
        # While it waits for the worker another caller holds.
        holding = _HELPERS + "open('started', 'w').close()\nwait_for('go')"
        holder = threading.Thread(target=pool.run_inline, args=(holding,), daemon=True)
        holder.start()
        wait_for(str(tmp_path / "started"))
        # (Once: threading's own waits do not survive every interrupt.)
        interrupted(1, pool.run_inline, "result = 2")
        (tmp_path / "go").touch()
        holder.join(20)
        assert served(pool)
    finally:
        pool.close()
        signal.signal(signal.SIGALRM, previous)
    assert len(os.listdir("/proc/self/fd")) == before
