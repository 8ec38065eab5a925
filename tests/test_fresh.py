"""Fresh workers forked from a warm server: no request sees another's changes."""
import asyncio
import errno
import os
import threading

import pytest

from conftest import POOL_ENV, alive, children_of, started_since
from ombrix.workers.pool import AsyncWorkerPool, WorkerExited, WorkerPool, WorkerTimeout

LEAVE_STATE = """
import json, os, sys, threading, time
_dumps = json.dumps
json.dumps = lambda o, *a, **k: _dumps(dict(o, tampered=True) if isinstance(o, dict) and 'result' in o else o, *a, **k)
os.chdir('/')
os.environ['LEFT_BEHIND'] = '1'
sys.path.append('/left-behind')
threading.Thread(target=time.sleep, args=(60,)).start()
result = os.getpid()
"""

INSPECT = """
import json, os, sys, threading
result = {
    'dumps': json.dumps({}),
    'cwd': os.getcwd(),
    'env': 'LEFT_BEHIND' in os.environ,
    'path': '/left-behind' in sys.path,
    'threads': threading.active_count(),
    'pid': os.getpid(),
}
"""


def test_state_left_by_a_request_never_reaches_the_next(tmp_path):
    with WorkerPool(env=POOL_ENV, size=1, fresh=True, spares=1, cwd=str(tmp_path)) as pool:
        before = pool.run_inline(INSPECT)["result"]["return_value"]
        left = pool.run_inline(LEAVE_STATE)
        answer = pool.run_inline(INSPECT)
    # Workers answer through their own json: the patch reaches neither answer.
    assert "tampered" not in left and "tampered" not in answer
    pid, after = left["result"]["return_value"], answer["result"]["return_value"]
    assert after["pid"] not in (pid, before["pid"])
    assert after == dict(before, pid=after["pid"])
    assert before == {"dumps": "{}", "cwd": str(tmp_path), "env": False, "path": False,
                      "threads": 1, "pid": before["pid"]}


def test_fresh_composes_with_timeouts_limits_output_and_run_function(tmp_path):
    script = tmp_path / "tool.py"
    script.write_text("import os\ndef main(n):\n    print('printed')\n    os.write(1, b'stray')\n    return n + 1\n")
    with WorkerPool(env=POOL_ENV, size=1, fresh=True, spares=1, timeout=5.0, file_size_limit=4096) as pool:
        big = pool.run_inline("import os\nfd = os.open('big', os.O_WRONLY | os.O_CREAT)\ntry:\n"
                              "    while True:\n        os.write(fd, bytes(8192))\nexcept OSError as e:\n"
                              "    result = e.errno")
        assert big["result"]["return_value"] == errno.EFBIG
        with pytest.raises(WorkerTimeout):
            pool.run_inline("import time\ntime.sleep(30)", timeout=0.5)
        called = pool.run_function(str(script), "main", {"n": 1})["result"]
        assert called["return_value"] == 2 and "stray" not in str(called)
        answer = pool.run_inline("import os\nos.write(1, b'noise\\n')\nprint('kept')\nresult = 3")
        assert answer["result"]["output"] == "kept\n" and answer["result"]["return_value"] == 3


def test_a_dead_fork_server_is_replaced():
    with WorkerPool(env=POOL_ENV, size=1, fresh=True, spares=1) as pool:
        # A worker's parent is the server; killing it takes the worker along.
        server = pool.run_inline("import os\nresult = os.getppid()")["result"]["return_value"]
        with pytest.raises(WorkerExited):
            pool.run_inline("import os, signal\nos.kill(os.getppid(), signal.SIGKILL)\nimport time\ntime.sleep(30)")
        # More requests than spares: a new server must fork some of them.
        after = [pool.run_inline("import os\nresult = os.getppid()")["result"]["return_value"] for _ in range(3)]
        assert server not in after


def test_async_fresh_pool():
    async def go():
        async with AsyncWorkerPool(env=POOL_ENV, size=2, fresh=True, spares=1) as pool:
            first = await pool.run_inline("import os\nos.environ['LEFT_BEHIND'] = '1'\nresult = os.getpid()")
            answers = await asyncio.gather(*(
                pool.run_inline("import os\nresult = [os.getpid(), 'LEFT_BEHIND' in os.environ]")
                for _ in range(4)))
        return first["result"]["return_value"], [a["result"]["return_value"] for a in answers]

    pid, answers = asyncio.run(go())
    pids = {p for p, _ in answers}
    assert len(pids) == 4 and pid not in pids
    assert not any(left for _, left in answers)


def test_close_ends_every_process_of_a_fresh_pool():
    others = children_of(os.getpid())
    fds = len(os.listdir("/proc/self/fd"))
    pool = WorkerPool(env=POOL_ENV, size=2, fresh=True, spares=2)
    try:
        # Retired workers end in the background: close must not leave those
        # still pending (nor what they started) behind.
        sleeper = "import os, subprocess\nresult = [os.getpid(), subprocess.Popen(['sleep', '60'], start_new_session=True).pid]"
        started = [pid for _ in range(6) for pid in pool.run_inline(sleeper)["result"]["return_value"]]
        mine = started_since(others)
        assert len(mine) >= 3  # the server, a worker, spares
        pool.close()
    finally:
        pool.close()
    assert [pid for pid in {*mine, *started} if alive(pid)] == []
    assert len(os.listdir("/proc/self/fd")) == fds


def test_retirements_pending_are_bounded():
    from ombrix.workers.launchers.retire import Retirer

    release = threading.Event()

    class Dying:  # a worker whose end takes until `release`
        pid = 0
        kill = lambda self: None  # noqa: E731
        ended = lambda self, timeout=None: release.wait(timeout)  # noqa: E731
        wait = lambda self, timeout=None: 0  # noqa: E731

    retirer, done = Retirer(bound=2), []
    for _ in range(2):
        retirer.retire(Dying(), lambda: done.append(1))
    third = threading.Thread(target=retirer.retire, args=(Dying(), lambda: done.append(1)))
    third.start()
    third.join(0.2)
    blocked = third.is_alive()
    release.set()
    third.join()
    retirer.close()
    assert blocked and len(done) == 3



def test_a_host_with_many_open_files():
    # Descriptors past 1024 are out of reach of select(); the pool must not use it.
    held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    try:
        with WorkerPool(env=POOL_ENV, size=1, fresh=True) as pool:
            for _ in range(2):
                assert pool.run_inline("result = 7")["result"]["return_value"] == 7
    finally:
        for fd in held:
            os.close(fd)
