"""Pools under bubblewrap: what a sandboxed script cannot reach, and what is left after close."""
import os
import shutil
import socket
import subprocess
import time

import pytest

from conftest import POOL_ENV
from ombrix.workers import sandbox
from ombrix.workers.pool import WorkerPool
from test_fresh import _alive, _children, _started_since

needs_bwrap = pytest.mark.skipif(shutil.which("bwrap") is None,
                                 reason="bwrap missing: install the Debian package bubblewrap")


@pytest.fixture(scope="module")
def allowed(tmp_path_factory):
    root = tmp_path_factory.mktemp("sandbox")
    (root / "allowed").mkdir()
    (root / "allowed" / "tool.py").write_text("def main():\n    return 'tool ran'\n")
    (root / "secret.txt").write_text("secret")
    return root


@pytest.fixture(scope="module")
def pool(allowed):
    with WorkerPool(env=POOL_ENV, size=1, fresh=True, spares=1, timeout=10.0, sandbox=True,
                    readable=[str(allowed / "allowed")]) as pool:
        yield pool


def value(pool, code):
    answer = pool.run_inline(code)
    assert answer["success"], answer
    return answer["result"]["return_value"]


def attempt(operation):
    """Code that runs `operation` and results in 'ok' or the OSError's errno name."""
    return ("import errno, os, socket\ntry:\n    " + operation
            + "\n    result = 'ok'\nexcept OSError as e:\n    result = errno.errorcode.get(e.errno, str(e))")


@needs_bwrap
def test_loopback_listener_of_the_host_is_unreachable(pool):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        port = listener.getsockname()[1]
        socket.create_connection(("127.0.0.1", port), timeout=2).close()  # reachable outside
        inside = value(pool, attempt(f"socket.create_connection(('127.0.0.1', {port}), timeout=2).close()"))
    assert inside in ("ECONNREFUSED", "ENETUNREACH")


@needs_bwrap
def test_files_outside_the_allowed_paths(pool, allowed):
    assert value(pool, attempt(f"open({str(allowed / 'secret.txt')!r}).read()")) == "ENOENT"
    assert os.path.exists("/etc/hostname")
    assert value(pool, attempt("open('/etc/hostname').read()")) == "ENOENT"
    assert pool.run_script(str(allowed / "allowed" / "tool.py"))["result"]["return_value"] == "tool ran"
    for path in ("/new-file", "/usr/new-file", str(allowed / "allowed" / "new-file")):
        assert value(pool, attempt(f"open({path!r}, 'w').write('x')")) in ("EROFS", "EACCES"), path
    assert value(pool, attempt("open('here.txt', 'w').write('x'); open('/tmp/t', 'w').write('x')")) == "ok"
    assert not (allowed / "allowed" / "new-file").exists()


@needs_bwrap
def test_host_processes_are_invisible_and_the_server_unreachable(pool):
    seen = value(pool, """
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
result = {
    'cmdlines': [open(f'/proc/{p}/cmdline', 'rb').read().decode(errors='replace')
                 for p in os.listdir('/proc') if p.isdigit()],
    'uid': os.getuid(),
    'ptrace_server': libc.ptrace(16, os.getppid(), 0, 0),
}
""")
    with open("/proc/self/cmdline", "rb") as f:
        assert f.read().decode(errors="replace") not in seen["cmdlines"]
    assert len(seen["cmdlines"]) <= 5  # bwrap's init, the server, this worker, a spare
    assert seen["uid"] == 65534
    assert seen["ptrace_server"] == -1


@needs_bwrap
def test_bounded_fork_bomb_is_contained(pool):
    made = value(pool, """
import os, time
made = 0
for _ in range(200):
    try:
        if os.fork() == 0:
            time.sleep(30)
            os._exit(0)
        made += 1
    except OSError:
        break
result = made
""")
    assert made < 200
    assert value(pool, "result = 'still serving'") == "still serving"


@needs_bwrap
def test_spares_killed_by_a_script_are_passed_over(pool):
    killed = value(pool, """
import os, signal
mine = {1, os.getpid(), os.getppid()}
killed = [p for p in map(int, filter(str.isdigit, os.listdir('/proc'))) if p not in mine]
for p in killed:
    os.kill(p, signal.SIGKILL)
result = len(killed)
""")
    assert killed >= 1
    time.sleep(0.2)  # a killed process takes a moment to end; until then it looks alive
    for _ in range(3):
        assert value(pool, "result = 'served'") == "served"


@needs_bwrap
def test_an_installation_under_tmp_stays_visible(monkeypatch, tmp_path):
    (tmp_path / "site.txt").write_text("installed")
    monkeypatch.setattr(sandbox, "installation_paths", lambda: [str(tmp_path)])
    command = sandbox.bwrap_command(shutil.which("bwrap"), ["cat", str(tmp_path / "site.txt")], [])
    assert subprocess.run(command, capture_output=True, timeout=30).stdout == b"installed"


@needs_bwrap
def test_close_leaves_nothing(allowed):
    others = _children(os.getpid())
    pool = WorkerPool(env=POOL_ENV, size=2, fresh=False, spares=1, sandbox=True)
    try:
        value(pool, "import subprocess\nsubprocess.Popen(['sleep', '60'], start_new_session=True)\nresult = 1")
        mine = _started_since(others)
        assert len(mine) >= 4  # bwrap, its init, the server, a worker, a spare
    finally:
        pool.close()
    assert [pid for pid in mine if _alive(pid)] == []


def test_sandbox_option_errors(monkeypatch, tmp_path):
    # A str is a sequence of paths too: each character would be bound.
    with pytest.raises(TypeError):
        WorkerPool(size=1, sandbox=True, readable=str(tmp_path))
    with pytest.raises(FileNotFoundError):
        WorkerPool(size=1, sandbox=True, readable=[str(tmp_path / "missing")])
    with pytest.raises(ValueError):
        WorkerPool(size=1, sandbox=True, cwd=str(tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(RuntimeError, match="bubblewrap"):
        WorkerPool(env=POOL_ENV, size=1, sandbox=True)
