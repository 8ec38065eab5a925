"""Code cells and sessions, through real workers: plain and sandboxed, sync and asyncio."""
import asyncio
import glob
import json
import os
import shutil
import tempfile
import threading

import pytest

from conftest import POOL_ENV
from ombrix.workers.pool import AsyncWorkerPool, Display, OutputLimitExceeded, WorkerError, WorkerPool
from ombrix.workers.pool._cells import CellReader
from ombrix.workers.pool._reader import EXCEEDED, GONE, UNREADABLE, Answer

needs_bwrap = pytest.mark.skipif(shutil.which("bwrap") is None,
                                 reason="bwrap missing: install the Debian package bubblewrap")
LIMIT = 10_000


class Face:
    """One pool, sync or asyncio, called the same way (the asyncio one on a
    loop run in the test's own thread, so on_output's thread is comparable)."""

    def __init__(self, is_async, **options):
        self.loop = asyncio.new_event_loop() if is_async else None
        self.pool = (AsyncWorkerPool if is_async else WorkerPool)(env=POOL_ENV, **options)

    def run(self, value):
        return self.loop.run_until_complete(value) if self.loop else value

    def execute(self, code, **kw):
        return self.run(self.pool.execute(code, **kw))

    def session(self, **kw):
        session = self.pool.session(**kw)
        if self.loop:
            self.run(session.__aenter__())
        return FaceSession(self, session)

    def close(self, keep_loop=False):
        if self.loop:
            self.run(self.pool.aclose())
            if not keep_loop:
                self.loop.close()
        else:
            self.pool.close()


class FaceSession:
    def __init__(self, face, session):
        self.face, self.session = face, session

    def execute(self, code, **kw):
        return self.face.run(self.session.execute(code, **kw))

    def upload(self, name, data):
        return self.face.run(self.session.upload(name, data))

    def download(self, name):
        return self.face.run(self.session.download(name))

    def interrupt(self):
        self.session.interrupt()

    def close(self):
        self.face.run(self.session.aclose()) if self.face.loop else self.session.close()


@pytest.fixture(scope="module", params=[
    pytest.param((False, False), id="plain-sync"),
    pytest.param((False, True), id="plain-async"),
    pytest.param((True, False), id="sandboxed-sync", marks=needs_bwrap),
    pytest.param((True, True), id="sandboxed-async", marks=needs_bwrap),
])
def face(request):
    sandbox, is_async = request.param
    face = Face(is_async, size=1, timeout=20.0, max_output=LIMIT, sandbox=sandbox)
    face.sandbox = sandbox
    yield face
    face.close()


@pytest.fixture
def session(face):
    session = face.session()
    yield session
    session.close()


def test_state_values_and_streaming_with_interrupt_from_another_thread(face, session):
    seen = []

    def on_output(stream, text):
        seen.append((stream, text, threading.current_thread()))
        if "ready" in text:  # the cell loops until interrupted: it has not ended yet
            threading.Thread(target=session.interrupt).start()

    first = session.execute("x = 41\nimport sys\nprint('to err', file=sys.stderr)\nx + 1")
    assert (first.value, first.return_value, first.error, first.restarted) == ("42", 42, None, False)
    assert first.stderr == "to err\n" and first.stdout == "" and first.duration > 0
    assert session.execute("'a' + 'b'").value == "'ab'" and session.execute("x = 1").value is None

    looped = session.execute("y = 5\nimport sys\nsys.stdout.write('ready\\n')\nwhile True: pass", on_output=on_output)
    assert looped.error.name == "KeyboardInterrupt" and not looped.error.state_lost
    assert looped.stdout == "ready\n" and [s for s, _, _ in seen] == ["stdout"] * len(seen)
    assert {t for _, _, t in seen} == {threading.current_thread()}
    assert session.execute("x + y").return_value == 6  # the namespace outlived the interrupt
    session.interrupt()  # no cell runs: nothing happens
    assert session.execute("x").value == "1"

    other = face.session()
    try:
        assert other.execute("x").error.name == "NameError"
    finally:
        other.close()
    alone = face.execute("print('one'); x = 3\nx * 2")
    assert (alone.stdout, alone.return_value, alone.restarted) == ("one\n", 6, False)
    assert face.execute("x").error.name == "NameError"


def test_output_is_kept_whatever_ends_the_cell(face, session):
    raised = session.execute("v = 1\nprint('before')\ndef f():\n    raise ValueError('bad')\nf()")
    assert raised.stdout == "before\n" and raised.error.name == "ValueError" and raised.error.message == "bad"
    assert "<cell>" in raised.error.traceback and raised.error.traceback.endswith("ValueError: bad\n")

    exited = session.execute("import sys\nprint('bye')\nsys.exit(3)")
    assert (exited.stdout, exited.error.name, exited.error.state_lost) == ("bye\n", "SystemExit", False)

    slow = session.execute("print('slow', flush=True)\nimport time\ntime.sleep(60)", timeout=0.5)
    assert (slow.stdout, slow.error.name, slow.error.state_lost) == ("slow\n", "Timeout", False)
    assert "KeyboardInterrupt" in slow.error.traceback

    child = session.execute("import os\nos.system('echo child')\nprint('mine')")  # a child's fd 1 is not the cell's
    assert (child.stdout, child.error) == ("mine\n", None)

    flood = session.execute(f"print('x' * {2 * LIMIT})\nprint('never')")
    assert flood.error.name == "OutputLimitExceeded" and not flood.error.state_lost
    assert flood.stdout == "x" * len(flood.stdout) and LIMIT // 2 < len(flood.stdout) <= LIMIT
    assert session.execute("v").return_value == 1 and not session.execute("v").restarted

    crashed = session.execute("import os\nprint('gone', flush=True)\nos._exit(7)")
    assert (crashed.stdout, crashed.error.name, crashed.error.state_lost) == ("gone\n", "WorkerExited", True)
    assert "status 7" in crashed.error.message
    after = session.execute("v")
    assert after.restarted and after.error.name == "NameError"
    assert not session.execute("1").restarted

    for code, name in (("print('a', flush=True)\nimport time\ntime.sleep(60)", "Timeout"),
                       ("import os\nprint('a', flush=True)\nos._exit(1)", "WorkerExited"),
                       (f"print('a' * {2 * LIMIT})", "OutputLimitExceeded")):
        alone = face.execute(code, timeout=0.5)
        assert alone.error.name == name and alone.stdout.startswith("a") and not alone.restarted
    assert face.execute("1 + 1").value == "2"  # the pool replaced what it lost


def test_a_cell_that_blocks_signals_is_killed_after_the_grace(face, session):
    blocked = session.execute("import signal\nz = 1\nsignal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())\n"
                              "print('blocked', flush=True)\nwhile True: pass", timeout=0.5)
    assert (blocked.stdout, blocked.error.name, blocked.error.state_lost) == ("blocked\n", "Timeout", True)
    assert blocked.duration >= 1.4
    after = session.execute("z")
    assert after.restarted and after.error.name == "NameError"


def test_displays(face, session):
    result = session.execute(
        "class Rich:\n"
        "    def _repr_html_(self): return '<b>hi</b>'\n"
        "    def _repr_png_(self): return b'\\x89PNG\\0'\n"
        "    def __repr__(self): return 'Rich()'\n"
        "display(Rich())\nRich()")
    html, png = Display("text/html", "<b>hi</b>"), Display("image/png", b"\x89PNG\0")
    assert result.value == "Rich()" and sorted(result.displays[:2], key=str) == sorted([html, png], key=str)
    assert sorted(result.displays[2:], key=str) == sorted([html, png], key=str)


def test_files(face, session):
    session.upload("in/data.bin", b"\0\xffraw")
    result = session.execute("import os\nopen('out.txt', 'w').write(open('in/data.bin', 'rb').read()[2:].decode())\n"
                             "os.symlink('/etc', 'link')\nos.getcwd()")
    assert result.error is None
    assert session.download("out.txt") == b"raw" and session.download("in/data.bin") == b"\0\xffraw"
    for name in ("/etc/hostname", "../x", "in/../../x", "link/hostname"):
        with pytest.raises(ValueError):
            session.download(name)
        with pytest.raises(ValueError):
            session.upload(name, b"x")
    with pytest.raises(FileNotFoundError):
        session.download("missing.txt")
    # A file whose base64 passes the answer's bound is refused; the session goes on.
    assert session.execute(f"kept = 1\nopen('big', 'wb').write(bytes({LIMIT}))").error is None
    with pytest.raises(OutputLimitExceeded):
        session.download("big")
    assert session.execute("kept").value == "1"
    with pytest.raises(TypeError):
        session.upload("a.txt", "not bytes")
    session.close()
    session.close()
    if not face.sandbox:  # the session's directory went with it
        assert not os.path.exists(result.return_value)
    with pytest.raises(RuntimeError):
        session.execute("1")


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
def test_max_sessions_and_misuse(is_async):
    face = Face(is_async, size=1, max_sessions=1, cpu_limit=1)
    try:
        first = face.session()
        if not is_async:  # the CPU limit holds per cell, not for the session's whole life
            spin = "import time\nend = time.process_time() + 0.6\nwhile time.process_time() < end: pass"
            assert [first.execute(spin).error for _ in range(2)] == [None, None]
            spun = first.execute("while True: pass", timeout=10)
            assert (spun.error.name, spun.error.state_lost) == ("WorkerExited", True)
        made = set(glob.glob(os.path.join(tempfile.gettempdir(), "ombrix-session-*")))
        with pytest.raises(RuntimeError, match="max_sessions"):
            face.session()
        assert set(glob.glob(os.path.join(tempfile.gettempdir(), "ombrix-session-*"))) == made  # none left behind
        looping = "import sys\nsys.stdout.write('go\\n')\nwhile True: pass"
        with pytest.raises(WorkerError, match="closed"):  # closed from another thread while its cell runs
            first.execute(looping,
                          on_output=lambda stream, text: threading.Thread(target=first.session.close).start())
        second = face.session()
        for call in (lambda: face.execute(1), lambda: face.execute("1", on_output=5),
                     lambda: second.execute(b"1"), lambda: face.execute("1", timeout="1")):
            with pytest.raises(TypeError):
                call()
        with pytest.raises(ZeroDivisionError):  # on_output's own error, once the cell has ended
            face.execute("print(1)", on_output=lambda stream, text: 1 / 0)
        if is_async:  # a cancelled cell's worker goes: the next cell runs in a new one
            second.execute("kept = 1")
            with pytest.raises(TimeoutError):
                face.run(asyncio.wait_for(second.session.execute("import time\ntime.sleep(60)"), 0.5))
            after = second.execute("kept")
            assert after.restarted and after.error.name == "NameError"
            closing = []
            for _ in range(3):  # closed by a task of its loop while its cell runs: a race, so thrice
                with pytest.raises(WorkerError, match="closed"):
                    second.execute(looping, on_output=lambda stream, text: closing.append(
                        asyncio.ensure_future(second.session.aclose())))
                second = face.session()
        face.close(keep_loop=True)
        with pytest.raises(RuntimeError, match="session is closed"):
            second.execute("1")  # the pool's close closed it
        with pytest.raises(RuntimeError, match="pool is closed"):
            face.execute("1")
    finally:
        face.close()
    with pytest.raises(ValueError):
        WorkerPool(max_sessions=0)


def test_cell_reader_fed_bytes():
    marker = b"0123abcd\n"
    seen = []
    reader = CellReader(40, marker, lambda stream, text: seen.append((stream, text)))
    event = json.dumps({"stream": "stdout", "text": "h\u00e9"}).encode() + b"\n"
    response = b'{"success": true, "value": null}\n'
    assert reader.feed(event[:5]) is None and seen == []
    assert reader.feed(event[5:] + event[:3]) is None and seen == [("stdout", "h\u00e9")]
    assert reader.feed(event[3:] + response + marker[:4]) is None
    assert reader.feed(marker[4:]) == {"success": True, "value": None} and reader.text("stdout") == "h\u00e9h\u00e9"

    def outcome(*chunks):
        reader = CellReader(40, marker, None)
        for chunk in chunks:
            found = reader.feed(chunk)
            if found is not None:
                return found
        return None

    assert outcome(response + marker + b"late") == Answer({"success": True, "value": None}, None, b"late")
    assert outcome(b"printed\n") is UNREADABLE
    assert outcome(response + b"x\n") is UNREADABLE
    part = b'{"stream": "stderr", "text": "' + b"x" * 20 + b'"}\n'
    assert outcome(part, part) is None and outcome(part, part, part) is EXCEEDED  # 60 characters, 40 allowed
    assert outcome(b'{"success": true, "value": "' + b"x" * 40 + b'"}\n') is EXCEEDED
    assert outcome(b'{"stream": "stdout", "text": "' + b"x" * 400) is EXCEEDED
    assert outcome(event) is None and outcome(event, b"") is GONE
