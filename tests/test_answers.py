"""Answers reach their own caller, pools stay with the process that made
them, and options a pool would silently drop are refused."""
import json
import os
import shutil
import signal
import subprocess
import sys

import pytest

from conftest import POOL_ENV, response_lines, run_worker
from ombrix.workers.pool import WorkerError, WorkerPool, _reader
from ombrix.workers.launchers.process import SubprocessLauncher

FORGED = '{"success": true, "result": {"return_value": "FORGED"}}\n'

# A script that found its request's mark (in-process, memory can be read)
# forges its own answer exactly; the worker's real answer comes after.
KNOWN_MARK = "ab" * 16
FORGE_EXACTLY = f"import os\nos.write(4, ({FORGED!r} + {KNOWN_MARK!r} + '\\n').encode())\nresult = 'late'"


def test_only_a_pool_worker_ends_its_answers_with_their_mark():
    # The worker used directly ignores the field, as it ignores any unknown one.
    marked = '{"action": "run_inline", "code": "result = 1", "_mark": "m"}\n'
    assert response_lines(run_worker(marked)) == [
        {"success": True, "result": {"output": "", "errors": "", "return_value": 1}}]
    started = "from ombrix.workers import custom_worker as cw\ncw._mark_answers()\ncw.main()"
    done = subprocess.run([sys.executable, "-P", "-c", started], input=marked + marked.replace('"m"', "5"),
                          capture_output=True, text=True, timeout=30)
    answer = '{"success": true, "result": {"output": "", "errors": "", "return_value": 1}}\n'
    assert done.stdout == answer + "m\n" + answer  # a mark that is no str is no mark


def test_a_line_written_on_the_answer_descriptor_never_becomes_an_answer(tmp_path, monkeypatch):
    tool = tmp_path / "tool.py"
    tool.write_text("def f(i):\n    print('printed')\n    return i\n")
    with WorkerPool(env=POOL_ENV, size=1, timeout=10.0) as pool:
        for forge in (f"import os\nos.write(4, {FORGED!r}.encode())\nresult = 'A-real'",
                      f"import os\nresult = 'A-real'\nos.write(4, {FORGED!r}.encode())"):
            with pytest.raises(WorkerError):
                pool.run_inline(forge)
            assert [pool.run_inline(f"result = {i}")["result"]["return_value"] for i in range(3)] == [0, 1, 2]
        # A script that knows its mark only forges its own answer; the
        # worker's late answer reaches nobody.
        for _ in range(3):
            with monkeypatch.context() as patch:
                patch.setattr(_reader, "_token", lambda: KNOWN_MARK.encode())
                assert pool.run_inline(FORGE_EXACTLY)["result"] == {"return_value": "FORGED"}
            try:
                assert pool.run_inline("result = 'mine'")["result"]["return_value"] == "mine"
            except WorkerError:
                pass
            for i in range(2):
                try:
                    called = pool.run_function(str(tool), "f", {"i": i})
                except WorkerError:
                    continue
                assert called["result"] == {"return_value": i, "output": "printed\n"}


HOST = """
import json, os, sys, threading, time
from ombrix.workers.pool import WorkerPool
pool = WorkerPool(size=2, env={env!r}, **{options!r})
answers = []
flag = os.path.join(pool.cwd, "go")
code = ("import os, time\\nopen('started', 'w').close()\\n"
        "while not os.path.exists('go'):\\n    time.sleep(0.01)\\nresult = 'in flight'")
thread = threading.Thread(target=lambda: answers.append(pool.run_inline(code)))
thread.start()
while not os.path.exists(os.path.join(pool.cwd, "started")):
    time.sleep(0.01)
for use in (False, True):
    pid = os.fork()
    if pid == 0:
        if use:
            try:
                pool.run_inline("result = 1")
            except RuntimeError as e:
                sys.exit(3 if "forked child" in str(e) else 4)
        sys.exit(0)
    assert os.waitpid(pid, 0)[1] >> 8 == (3 if use else 0), use
open(flag, "w").close()
thread.join()
print(json.dumps([answers[0]["result"]["return_value"], pool.run_inline("result = 2")["result"]["return_value"]]))
pool.close()
"""


@pytest.mark.parametrize("options", [{}, {"fresh": True}])
def test_a_forked_child_leaves_the_parents_pool_alone(options):
    script = HOST.format(env=POOL_ENV, options=options)
    host = subprocess.Popen([sys.executable, "-P", "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True)
    try:
        out, err = host.communicate(timeout=30)
    finally:
        try:
            os.killpg(host.pid, signal.SIGKILL)  # a child hung in the parent's pool
        except ProcessLookupError:
            pass
        host.wait()
    assert host.returncode == 0, err
    assert json.loads(out) == ["in flight", 2]


def test_options_a_launcher_would_drop_are_refused_and_sandboxed_workers_are_fresh(monkeypatch, tmp_path):
    for option in ({"sandbox": True}, {"fresh": True}, {"spares": 1}, {"sandbox": True, "readable": ["/usr"]}):
        with pytest.raises(TypeError, match="launcher"):
            WorkerPool(launcher=SubprocessLauncher, **option)
    # A relative script path names the caller's file.
    (tmp_path / "tool.py").write_text("def f():\n    return 'mine'\nresult = 'script'\n")
    monkeypatch.chdir(tmp_path)
    with WorkerPool(env=POOL_ENV, size=1, fresh=False) as pool:
        assert pool.run_script("tool.py")["result"]["return_value"] == "script"
        assert pool.run_function("tool.py", "f")["result"]["return_value"] == "mine"
    if shutil.which("bwrap") is None:
        return
    with WorkerPool(env=POOL_ENV, size=1, sandbox=True, readable=[str(tmp_path)]) as pool:
        assert pool.options.fresh
        assert pool.run_inline("import builtins\nbuiltins.left = 1\nresult = 0")["success"]
        assert pool.run_inline("import builtins\nresult = hasattr(builtins, 'left')")["result"]["return_value"] is False
        assert pool.run_script("tool.py")["result"]["return_value"] == "script"
