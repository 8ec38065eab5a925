"""How the pool recovers from what goes wrong on the host's side: bad
options, launchers that fail, idle workers that misbehave, requests larger
than a pipe, cancelled callers.  Through real workers and the public API."""
import asyncio
import os
import signal
import tempfile
import threading

import pytest
from conftest import POOL_ENV, alive, wait_until

from ombrix.workers.launchers.handle import ProcessHandle
from ombrix.workers.launchers.process import SubprocessLauncher
from ombrix.workers.pool import AsyncWorkerPool, WorkerError, WorkerExited, WorkerPool, WorkerTimeout

pytestmark = pytest.mark.timeout(60)


class Launcher:
    """The default launcher, keeping every handle it started; `failing`
    makes starts raise, `gate` (when set) holds them until it is opened."""

    def __init__(self, settings):
        self.inner = SubprocessLauncher(settings)
        self.handles = []
        self.failing = False
        self.gate = None
        self.entered = threading.Event()

    def start(self):
        self.entered.set()
        if self.gate is not None:
            self.gate.wait(30)
        if self.failing:
            raise OSError("no workers today")
        self.handles.append(self.inner.start())
        return self.handles[-1]

    def close(self):
        self.inner.close()


class Broken(Launcher):
    def __init__(self, settings):
        super().__init__(settings)
        self.failing = True


def pool_with_launcher(cls=WorkerPool, **options):
    made = []

    def factory(settings):
        made.append(Launcher(settings))
        return made[-1]

    pool = cls(launcher=factory, env=POOL_ENV, timeout=10.0, **options)
    return pool, made[0]


def run(pool, *args, **kwargs):
    """A request on either face, from synchronous code."""
    if isinstance(pool, AsyncWorkerPool):
        return asyncio.run(pool.run_inline(*args, **kwargs))
    return pool.run_inline(*args, **kwargs)


def value(pool, code, **kwargs):
    return run(pool, code, **kwargs)["result"]["return_value"]


FACES = pytest.mark.parametrize("cls", [WorkerPool, AsyncWorkerPool], ids=["sync", "async"])
PID = "import os\nresult = os.getpid()"


@pytest.mark.parametrize("options, error", [
    ({"size": 0}, ValueError), ({"size": "2"}, TypeError), ({"size": True}, TypeError),
    ({"timeout": 0}, ValueError), ({"timeout": "1"}, TypeError), ({"memory_limit": 0}, ValueError),
    ({"env": [("A", "b")]}, TypeError), ({"env": {"A": 1}}, TypeError), ({"cwd": 5}, TypeError),
    ({"fresh": 1}, TypeError), ({"spares": -1}, ValueError), ({"spares": 1.5}, TypeError),
    ({"readable": ["/usr"]}, ValueError), ({"sandbox": True, "readable": [5]}, TypeError),
    ({"launcher": SubprocessLauncher, "fresh": True}, TypeError),
])
def test_bad_options_are_refused_before_any_worker_starts(options, error, monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    with pytest.raises(error):
        WorkerPool(**options)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("options, error", [
    ({"cwd": "missing"}, FileNotFoundError),
    ({"cwd": "missing", "fresh": True}, FileNotFoundError),
    # The fork server cannot start: every attempt to fork a worker finds it gone.
    ({"fresh": True, "env": {"PYTHONHOME": "/nonexistent"}}, RuntimeError),
    ({"launcher": Broken}, OSError),
])
def test_a_pool_that_cannot_start_its_workers_fails_and_leaves_nothing(options, error, monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    if options.get("cwd"):
        options = dict(options, cwd=str(tmp_path / options["cwd"]))
    with pytest.raises(error):
        WorkerPool(**{"env": POOL_ENV, **options})
    assert os.listdir(tmp_path) == []


@FACES
def test_a_failing_launcher_fails_requests_until_it_works_again(cls, caplog):
    pool, launcher = pool_with_launcher(cls, size=1, recycle_after=1)
    try:
        launcher.failing = True
        assert value(pool, "result = 1") == 1  # its worker retires; no replacement starts
        assert "starting a replacement worker failed" in caplog.text

        if cls is AsyncWorkerPool:
            async def two():
                return await asyncio.gather(*(pool.run_inline("result = 2") for _ in range(2)), return_exceptions=True)

            # Each caller is told; the queued one gets the place the first gave back.
            outcomes = asyncio.run(two())
        else:
            with pytest.raises(OSError) as info:
                pool.run_inline("result = 2")
            outcomes = [info.value]
        assert all(isinstance(e, OSError) and "no workers today" in str(e) for e in outcomes)
        launcher.failing = False
        assert value(pool, "result = 4") == 4
        assert len(launcher.handles) == 3  # the first, the one that served, its replacement
    finally:
        pool.close()


def write_to_answer_pipe(handle, data):
    """Writes into a worker's answer pipe from outside, as something it
    left behind could."""
    pipe = f"pipe:[{os.fstat(handle.response_fd).st_ino}]"
    for fd in os.listdir(f"/proc/{handle.pid}/fd"):
        if os.readlink(f"/proc/{handle.pid}/fd/{fd}") == pipe:
            with open(f"/proc/{handle.pid}/fd/{fd}", "wb") as end:
                end.write(data)
            return
    raise AssertionError("the worker holds no end of its answer pipe")


@FACES
@pytest.mark.parametrize("misbehave", ["writes", "ends"])
def test_an_idle_worker_that_writes_or_ends_is_replaced_before_serving(cls, misbehave):
    pool, launcher = pool_with_launcher(cls, size=1)

    def act(pid):
        if misbehave == "writes":
            write_to_answer_pipe(launcher.handles[-1], b'{"success": true, "result": "forged"}\n')
        else:
            os.kill(pid, signal.SIGKILL)
            assert wait_until(lambda: not alive(pid))

    async def in_one_loop():
        first = (await pool.run_inline(PID))["result"]["return_value"]
        act(first)
        await asyncio.sleep(0)  # the loop sees it between requests
        return first, (await pool.run_inline(PID))["result"]["return_value"]

    try:
        if cls is AsyncWorkerPool:
            first, second = asyncio.run(in_one_loop())
        else:
            first = value(pool, PID)
            act(first)
            second = value(pool, PID)
        assert second not in (first, "forged")
        assert len(launcher.handles) == 2
        act(second)  # closing copes with it too
    finally:
        pool.close()


@FACES
def test_requests_larger_than_a_pipe(cls):
    big = {"s": "x" * 2**20}
    pool, launcher = pool_with_launcher(cls, size=1)
    try:
        assert value(pool, "result = len(args['s'])", args=big) == 2**20
        # A worker that does not read: the request times out while it is
        # still being written, and the next one gets a new worker.
        os.kill(launcher.handles[0].pid, signal.SIGSTOP)
        with pytest.raises(WorkerTimeout) as info:
            run(pool, "result = 0", args=big, timeout=0.5)
        assert info.value.timeout == 0.5
        assert value(pool, "result = len(args['s'])", args=big) == 2**20
        assert len(launcher.handles) == 2
    finally:
        pool.close()


def test_a_cancelled_queued_request_never_runs_and_close_fails_the_queue(tmp_path):
    pool, launcher = pool_with_launcher(AsyncWorkerPool, size=1, cwd=str(tmp_path))

    async def scenario():
        holder = asyncio.ensure_future(pool.run_inline(
            "import os, time\nwhile not os.path.exists('go'): time.sleep(0.01)\nresult = 'held'"))
        queued = asyncio.ensure_future(pool.run_inline("open('ran', 'w').close()"))
        await asyncio.sleep(0)  # both tasks take their first step: one holds the worker, one queues
        queued.cancel()
        (tmp_path / "go").touch()
        assert (await holder)["result"]["return_value"] == "held"
        with pytest.raises(asyncio.CancelledError):
            await queued
        assert (await pool.run_inline(PID))["result"]["return_value"] == launcher.handles[0].pid
        assert not (tmp_path / "ran").exists()
        # Closing fails the running request and the queued one alike; one
        # cancelled while queued stays cancelled.
        calls = [asyncio.ensure_future(pool.run_inline("import time\nwhile True: time.sleep(1)")) for _ in range(3)]
        await asyncio.sleep(0)
        calls[2].cancel()
        await pool.aclose()
        outcomes = await asyncio.gather(*calls, return_exceptions=True)
        assert all(isinstance(outcome, WorkerError) and "closed" in str(outcome) for outcome in outcomes[:2])
        assert isinstance(outcomes[2], asyncio.CancelledError)

    asyncio.run(scenario())


@pytest.mark.parametrize("start", ["works", "fails"])
def test_a_start_whose_caller_was_cancelled_joins_the_pool_or_gives_its_place_back(start):
    pool, launcher = pool_with_launcher(AsyncWorkerPool, size=1)

    async def scenario():
        first = (await pool.run_inline(PID))["result"]["return_value"]
        os.kill(first, signal.SIGKILL)
        assert wait_until(lambda: not alive(first))
        launcher.gate, launcher.entered = threading.Event(), threading.Event()
        task = asyncio.ensure_future(pool.run_inline(PID))
        assert await asyncio.to_thread(launcher.entered.wait, 10)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        launcher.failing = start == "fails"
        launcher.gate.set()
        if launcher.failing:
            with pytest.raises(OSError):
                await pool.run_inline(PID)
            launcher.failing = False
        assert (await pool.run_inline(PID))["result"]["return_value"] == launcher.handles[1].pid
        assert len(launcher.handles) == 2
        # Closed from another thread while the loop runs.
        await asyncio.to_thread(pool.close)
        assert not any(map(alive, (h.pid for h in launcher.handles)))

    asyncio.run(scenario())


def test_what_a_worker_writes_besides_its_answers_is_logged_and_bounded(caplog, tmp_path):
    caplog.set_level("INFO", logger="ombrix.workers.pool")
    script = tmp_path / "tool.py"
    script.write_text("def main():\n    print('printed first')\n    raise ValueError('then failed')\n")
    with WorkerPool(env=POOL_ENV, size=1, timeout=10.0) as pool:
        assert "then failed" in pool.run_function(str(script))["error"]
        with pytest.raises(WorkerExited) as info:
            pool.run_inline("import os\nos.write(2, b'a' * 1_000_000 + b'end')\nos._exit(1)")
    assert "printed first" in caplog.text
    # A bounded tail for the error, and log lines far shorter than the write.
    assert info.value.stderr.endswith("aaend") and len(info.value.stderr) < 100_000
    assert max(len(r.getMessage()) for r in caplog.records) < 100_000


@pytest.mark.xfail(strict=True, reason="the check for threads and children runs when a request ends, not before "
                   "the next one: a signal handler can start a thread in an idle worker")
def test_a_thread_started_while_idle_never_runs_beside_the_next_request(tmp_path):
    with WorkerPool(env=POOL_ENV, size=1, timeout=10.0, cwd=str(tmp_path)) as pool:
        pid = value(pool, "import os, signal, threading, time\ndef later(*_):\n"
                          "    threading.Thread(target=time.sleep, args=(30,), daemon=True).start()\n"
                          "    open('started', 'w').close()\n"
                          "signal.signal(signal.SIGUSR1, later)\nresult = os.getpid()")
        os.kill(pid, signal.SIGUSR1)
        assert wait_until(lambda: (tmp_path / "started").exists())
        assert value(pool, "import threading\nresult = threading.active_count()") == 1


def test_a_worker_started_while_the_pool_closes_is_ended(tmp_path):
    pool, launcher = pool_with_launcher(size=1, recycle_after=1, cwd=str(tmp_path))
    launcher.gate, launcher.entered = threading.Event(), threading.Event()
    answers = []
    caller = threading.Thread(target=lambda: answers.append(value(pool, "result = 1")))
    caller.start()
    assert launcher.entered.wait(10)  # the retired worker's replacement is starting
    pool.close()
    launcher.gate.set()
    caller.join(20)
    assert answers == [1] and len(launcher.handles) == 2
    assert wait_until(lambda: not alive(launcher.handles[1].pid))


class WithoutPidfd(Launcher):
    """Hands out handles without a pidfd, as a launcher that cannot open one does."""

    def start(self):
        inner = super().start()
        fds = [os.dup(fd) for fd in (inner.request_fd, inner.response_fd, inner.stray_fd)]
        self.handles[-1] = ProcessHandle(inner.pid, *fds, waiter=inner.wait)
        inner.close()
        return self.handles[-1]


def test_workers_without_a_pidfd_are_still_timed_out_reaped_and_replaced():
    with WorkerPool(launcher=WithoutPidfd, env=POOL_ENV, size=1, timeout=10.0) as pool:
        first = value(pool, PID)
        with pytest.raises(WorkerTimeout):
            pool.run_inline("while True: pass", timeout=0.5)
        with pytest.raises(WorkerExited) as info:
            pool.run_inline("import os\nos._exit(3)")
        assert info.value.returncode == 3
        assert value(pool, PID) != first
