"""Pools under bubblewrap: what a sandboxed script cannot reach, and what is left after close."""
import os
import shutil
import socket
import subprocess
import time

import pytest

from conftest import POOL_ENV, alive, children_of, started_since
from ombrix.workers.launchers import sandbox
from ombrix.workers.launchers.retire import PENDING_LIMIT
from ombrix.workers.pool import WorkerPool, WorkerTimeout

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
    for path in ("/new-file", "/usr/new-file", str(allowed / "allowed" / "new-file"), "/tmp/t", "/dev/shm/t", "/dev/t"):
        assert value(pool, attempt(f"open({path!r}, 'w').write('x')")) in ("EROFS", "EACCES"), path
    assert value(pool, attempt("open('here.txt', 'w').write('x'); open('/dev/null', 'w').write('x')")) == "ok"
    assert not (allowed / "allowed" / "new-file").exists()


@needs_bwrap
def test_host_processes_are_invisible_and_the_server_unreachable(pool):
    seen = value(pool, """
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
def cmdline(pid):
    try:  # a retired worker may be reaped between the listing and the read
        with open(f'/proc/{pid}/cmdline', 'rb') as f:
            return f.read().decode(errors='replace')
    except FileNotFoundError:
        return None
cmdlines = [cmdline(p) for p in os.listdir('/proc') if p.isdigit()]
result = {
    'cmdlines': [line for line in cmdlines if line is not None],
    'uid': os.getuid(),
    'ptrace_server': libc.ptrace(16, os.getppid(), 0, 0),
}
""")
    with open("/proc/self/cmdline", "rb") as f:
        assert f.read().decode(errors="replace") not in seen["cmdlines"]
    # bwrap's init, the server, this worker, a spare, and retired workers
    # whose reaping is still pending.
    assert len(seen["cmdlines"]) <= 5 + PENDING_LIMIT
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
import os, signal, time
mine = {1, os.getpid(), os.getppid()}
deadline = time.monotonic() + 10  # the spare that replaces this worker's may still be on its way
while True:
    killed = [p for p in map(int, filter(str.isdigit, os.listdir('/proc'))) if p not in mine]
    if killed or time.monotonic() > deadline:
        break
    time.sleep(0.01)
for p in killed:
    os.kill(p, signal.SIGKILL)
def ended(p):
    try:
        with open(f'/proc/{p}/stat') as f:
            return f.read().rsplit(')', 1)[1].split()[0] in 'ZX'
    except OSError:
        return True
# A killed process needs a moment to end; until then it looks like a live spare.
while not all(map(ended, killed)) and time.monotonic() < deadline + 5:
    time.sleep(0.01)
result = len(killed)
""")
    assert killed >= 1
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
    others = children_of(os.getpid())
    pool = WorkerPool(env=POOL_ENV, size=2, fresh=False, spares=1, sandbox=True)
    try:
        value(pool, "import subprocess\nsubprocess.Popen(['sleep', '60'], start_new_session=True)\nresult = 1")
        mine = started_since(others)
        assert len(mine) >= 4  # bwrap, its init, the server, a worker, a spare
    finally:
        pool.close()
    assert [pid for pid in mine if alive(pid)] == []


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
    # Too old for --disable-userns: said at pool start, not by a failing server.
    (tmp_path / "bwrap").write_text("#!/bin/sh\necho bubblewrap 0.6.1\n")
    (tmp_path / "bwrap").chmod(0o755)
    with pytest.raises(RuntimeError, match="0.8 or later.*0.6.1"):
        WorkerPool(env=POOL_ENV, size=1, sandbox=True)


@needs_bwrap
def test_kernel_settings_devices_and_user_namespaces_are_closed(pool):
    # Run by root the sandbox uid is the host's uid 0: every kernel file its
    # owner may write opens unless the mount is read-only.  Opened only.
    found = value(pool, """
import os
writable = []
for top in ('/proc', '/dev'):
    for root, dirs, files in os.walk(top):
        if root == '/proc':
            dirs[:] = [d for d in dirs if not d.isdigit() and d not in ('self', 'thread-self')]
            files = [f for f in files if f not in ('self', 'thread-self')]
        for name in files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                continue
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY))
                writable.append(path)
            except OSError:
                pass
try:
    os.unshare(os.CLONE_NEWUSER)
    userns = 'made'
except OSError as e:
    userns = e.strerror
hidden = [open(f'/proc/{name}').read() for name in ('timer_list', 'keys', 'slabinfo')
          if os.path.exists(f'/proc/{name}')]
result = {'writable': writable, 'userns': userns, 'hidden': hidden}
""")
    devices = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom", "/dev/tty",
               "/dev/ptmx", "/dev/pts/ptmx"}
    assert sorted(set(found["writable"]) - devices) == []
    assert found["userns"] != "made"
    assert set(found["hidden"]) <= {""}


@needs_bwrap
def test_planted_scratch_entries_neither_block_nor_steer_later_workers(pool):
    planted = value(pool, """
import os
for i in range(3001):
    for plant in (lambda: open(f'/scratch/w{i}', 'x').close(), lambda: os.symlink('/proc', f'/scratch/w-{i}')):
        try:
            plant()
        except OSError:  # a running worker's directory
            pass
# What this worker leaves in its own scratch must go too: unreadable
# directories at several depths, odd names, a chain deeper than the remover
# holds descriptors for.
os.makedirs('a/b/c')
for name in ('odd\\nname', 'x' * 255, os.fsdecode(b'\\xff\\xfe')):
    open(os.path.join('a/b/c', name), 'w').close()
deep = 'd'
for _ in range(150):
    os.mkdir(deep)
    deep = os.path.join(deep, 'd')
os.chmod('a/b/c', 0)
os.chmod('a/b', 0)
os.chmod('a', 0)
os.makedirs('/scratch/aside/x')  # beside its own directory, as a moved one would be
os.chmod('/scratch', 0)
result = os.getcwd()
""")
    for _ in range(3):
        seen = value(pool, "import os\nresult = [os.getcwd(), os.path.islink(os.getcwd()), os.listdir('.')]")
        assert seen[1:] == [False, []] and seen[0] != planted
    left = f"[p for p in ({planted!r}, '/scratch/aside', '/scratch/w1', '/scratch/w-1') if os.path.lexists(p)]"
    gone = f"import os, time\nend = time.monotonic() + 10\nwhile {left} and time.monotonic() < end:\n" \
           f"    time.sleep(0.01)\nresult = {left}"
    assert value(pool, gone) == []


@needs_bwrap
def test_a_request_leaves_nothing_for_the_next(pool):
    first = value(pool, """
import os, tempfile
before = sorted(os.listdir('/tmp'))  # where a `readable` path under /tmp is bound
for path in ('mine', '/tmp/left', '/dev/shm/left', os.path.join(tempfile.gettempdir(), 'temp')):
    try:
        open(path, 'w').close()
    except OSError:
        pass
result = [os.getcwd(), before]
""")
    later = value(pool, f"""
import os, tempfile
result = [sorted(os.listdir('/tmp')) == {first[1]!r}, os.listdir('/dev/shm'), os.listdir('.'), tempfile.gettempdir() == os.getcwd(),
          os.environ['HOME'] == os.getcwd(), os.getcwd() != {first[0]!r}]
""")
    assert later == [True, [], [], True, True, True]


@needs_bwrap
def test_ordinary_scripts_find_localhost_and_their_user(pool):
    found = value(pool, """
import getpass, grp, os, pwd, socket, tarfile, threading
with socket.create_server(('localhost', 0)) as server:
    port = server.getsockname()[1]
    threading.Thread(target=lambda: server.accept()[0].sendall(b'hello'), daemon=True).start()
    with socket.create_connection(('localhost', port), timeout=5) as client:
        greeting = client.recv(5).decode()
result = [greeting, getpass.getuser(), os.environ['LOGNAME'], os.path.expanduser('~') == os.getcwd(),
          pwd.getpwuid(os.getuid()).pw_dir, grp.getgrgid(os.getgid()).gr_name,
          socket.getaddrinfo('sandbox', 80, socket.AF_INET)[0][4][0], sorted(os.listdir('/etc'))]
""")
    assert found == ["hello", "sandbox", "sandbox", True, "/scratch", "sandbox", "127.0.0.1",
                     ["group", "hosts", "nsswitch.conf", "passwd"]]


@needs_bwrap
def test_a_big_scratch_tree_holds_no_timeout_up(pool):
    # The script fills its scratch directory until its timeout; removing
    # that tree must delay neither its own outcome nor the next request.
    fill = ("import os\ni = 0\nwhile True:\n    os.mkdir(f'd{i}')\n"
            "    for j in range(400):\n        open(f'd{i}/f{j}', 'w').close()\n    i += 1")
    start = time.monotonic()
    with pytest.raises(WorkerTimeout):
        pool.run_inline(fill, timeout=3.0)
    timed_out = time.monotonic() - start
    assert value(pool, "result = 1") == 1
    assert timed_out < 3.5
    assert time.monotonic() - start < 4.5
