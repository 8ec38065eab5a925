"""Cells and session files through a real worker: state across cells, the
last value, errors, output streamed as events before the answer, SIGINT, the
output limit, displays, and upload/download inside the session's root."""
import base64
import json
import os
import signal
import subprocess
import sys

import pytest

from conftest import wait_until

START = "from ombrix.workers import custom_worker as cw\ncw._mark_answers()\ncw.main()"


class Session:
    """A marked worker: each answer is events, one response, then the mark."""

    def __init__(self, cwd):
        self.proc = subprocess.Popen([sys.executable, "-P", "-c", START], cwd=cwd,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.count = 0

    def send(self, request):
        self.count += 1
        self.mark = f"m{self.count}"
        self.proc.stdin.write((json.dumps({**request, "_mark": self.mark}) + "\n").encode())
        self.proc.stdin.flush()

    def line(self):
        raw = self.proc.stdout.readline()
        assert raw, "the worker ended"
        return raw.decode("ascii")

    def answer(self):
        """(events, response) of the request sent last."""
        events = []
        while "success" not in (item := json.loads(self.line())):
            assert list(item) == ["stream", "text"]
            events.append((item["stream"], item["text"]))
        assert list(item)[0] == "success"
        assert self.line() == self.mark + "\n"
        return events, item

    def request(self, request):
        self.send(request)
        return self.answer()

    def cell(self, code, session=True, max_output=10_000):
        return self.request({"action": "execute", "code": code, "session": session,
                             "max_output": max_output})


@pytest.fixture
def session(tmp_path):
    s = Session(tmp_path)
    yield s
    s.proc.stdin.close()
    try:
        assert s.proc.wait(timeout=10) == 0
    finally:
        if s.proc.poll() is None:
            s.proc.kill()
            s.proc.wait()
        s.proc.stdout.close()


def test_state_values_and_errors(session, tmp_path):
    events, answer = session.cell("1")
    assert answer["success"] is False and "session" in answer["error"]
    root = tmp_path / "root"
    root.mkdir()
    assert session.request({"action": "session", "directory": str(root)}) == ([], {"success": True})

    assert session.cell("import os\nx = 41\nos.getcwd()")[1] == {
        "success": True, "value": repr(str(root)), "return_value": str(root), "displays": [],
        "error": None}
    assert session.cell("x = 0 if False else x\nnone = None\nnone")[1]["value"] is None
    # A cell that is one expression, or none at all.
    assert [session.cell(code)[1]["value"] for code in ("x", "", "pass")] == ["41", None, None]
    error = session.cell("1/0")[1]["error"]
    assert error["name"] == "ZeroDivisionError" and 'File "<cell>", line 1, in <module>' in error["traceback"]
    _, answer = session.cell("[x + 1, {'k': (1, 2)}, object]")
    assert answer["value"] == "[42, {'k': (1, 2)}, <class 'object'>]"
    assert answer["return_value"] == [42, {"k": [1, 2]}, "<class 'object'>"]
    # A cell of its own namespace neither sees nor leaves names.
    _, answer = session.cell("y = 1\nx", session=False)
    assert answer["error"]["name"] == "NameError" and answer["value"] is None

    # Output written before an exception stays, in order, as events.
    events, answer = session.cell("print('before')\ndef f():\n    raise ValueError('boom')\nf()")
    assert events == [("stdout", "before"), ("stdout", "\n")]
    error = answer["error"]
    assert (error["name"], error["message"]) == ("ValueError", "boom")
    assert error["traceback"].startswith("Traceback (most recent call last):\n")
    assert 'File "<cell>", line 4, in <module>' in error["traceback"]
    assert 'File "<cell>", line 3, in f' in error["traceback"]
    assert error["traceback"].endswith("ValueError: boom\n")

    # SystemExit ends the cell only: the worker and the namespace stay.
    _, answer = session.cell("y = 1\nraise SystemExit(3)")
    assert (answer["error"]["name"], answer["error"]["message"]) == ("SystemExit", "3")
    _, answer = session.cell("x + y")
    assert (answer["value"], answer["error"]) == ("42", None)
    _, answer = session.cell("x = (")
    assert answer["error"]["name"] == "SyntaxError"
    # A cell cannot run a cell inside itself; its own streams still work after.
    events, answer = session.cell(
        "from ombrix.workers.custom_worker import handle_command\n"
        "inner = handle_command({'action': 'execute', 'code': '1', 'session': False, 'max_output': 9})\n"
        "print('still')\ninner['success']")
    assert (events, answer["value"]) == ([("stdout", "still"), ("stdout", "\n")], "False")


def test_events_stream_while_the_cell_runs_and_sigint(session, tmp_path):
    # The cell blocks until the test opens the FIFO, which it does only
    # after the cell's event has arrived.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    session.request({"action": "session", "directory": None})
    session.cell("kept = 'yes'")
    session.send({"action": "execute", "code": f"import sys\nsys.stdout.write('waiting\\n')\n"
                  f"open({str(fifo)!r}).read()", "session": True, "max_output": 100})
    assert json.loads(session.line()) == {"stream": "stdout", "text": "waiting\n"}
    with open(fifo, "w") as f:
        f.write("go")
    assert session.answer() == ([], {"success": True, "value": "'go'", "return_value": "go",
                                     "displays": [], "error": None})

    session.send({"action": "execute", "code": f"print('waiting')\nopen({str(fifo)!r}).read()",
                  "session": True, "max_output": 100})
    assert json.loads(session.line()) == {"stream": "stdout", "text": "waiting"}
    assert json.loads(session.line()) == {"stream": "stdout", "text": "\n"}
    session.proc.send_signal(signal.SIGINT)
    _, answer = session.answer()
    assert answer["error"]["name"] == "KeyboardInterrupt"
    # Between cells SIGINT is ignored, and children of a cell get the default.
    session.proc.send_signal(signal.SIGINT)
    events, answer = session.cell(
        "import signal, subprocess, sys\n"
        "code = 'import signal; print(signal.getsignal(signal.SIGINT) is signal.default_int_handler)'\n"
        "child = subprocess.run([sys.executable, '-c', code], capture_output=True, text=True)\n"
        "kept, child.stdout")
    assert answer["value"] == "('yes', 'True\\n')"


def test_output_limit_and_stream_surface(session):
    session.request({"action": "session", "directory": None})
    # Once passed, every write raises; the cell's error stays the limit's
    # whatever the cell did with the exceptions.
    events, answer = session.cell("print('x' * 4)\ntry:\n    print('y' * 20)\nexcept Exception:\n"
                                  "    pass\ntry:\n    print('z')\nexcept Exception as e:\n"
                                  "    late = e\ntype(late).__name__", max_output=10)
    assert "".join(text for _, text in events) == "xxxx\nyyyyy"
    assert answer["value"] == "'OutputLimitExceeded'"
    assert (answer["error"]["name"], answer["error"]["message"]) == (
        "OutputLimitExceeded", "the cell's output passed 10 bytes")
    # A character is never cut in two; the next cell has its own budget.
    events, answer = session.cell("print('ab\\u00e9\\u00e9')", max_output=5)
    assert events == [("stdout", "ab\u00e9")] and answer["error"]["name"] == "OutputLimitExceeded"

    events, answer = session.cell(
        "import io, sys\n"
        "sys.stdout.buffer.write(b'\\xc3')\n"
        "sys.stdout.buffer.write(b'\\xa9\\xff!')\n"
        "sys.stdout.reconfigure(line_buffering=True)\n"
        "print('after')\n"
        "try:\n    sys.stdout.fileno()\nexcept io.UnsupportedOperation:\n"
        "    sys.stderr.write('no fd')\n"
        "sys.stdout.buffer.write(b'\\xe2\\x82')\n")
    assert events == [("stdout", "\u00e9\ufffd!"), ("stdout", "after"), ("stdout", "\n"),
                      ("stderr", "no fd"), ("stdout", "\ufffd")]
    assert answer["error"] is None
    # The streams stay from cell to cell (a stream kept writes to the next
    # cell), and come back new after a cell closed or detached them.
    session.cell("import sys\nold = sys.stdout\nsys.stderr.close()")
    assert session.cell("old.write('late')\nsys.stderr.write('new')")[0] == [
        ("stdout", "late"), ("stderr", "new")]
    session.cell("sys.stdout.detach()")
    assert session.cell("print('again')")[0] == [("stdout", "again"), ("stdout", "\n")]


def test_no_output_between_cells(session, tmp_path):
    # A thread the cell left writes once the cell has answered: the write
    # fails, and no line reaches the answer pipe outside a cell.
    fifo, done = tmp_path / "fifo", tmp_path / "done"
    os.mkfifo(fifo)
    session.request({"action": "session", "directory": str(tmp_path)})
    session.cell("import sys, threading\nfailed = []\n"
                 "def late(out=sys.stdout):\n"
                 "    open('fifo').read()\n"
                 "    try:\n        out.write('late')\n"
                 "    except ValueError as e:\n        failed.append(str(e))\n"
                 "    open('done', 'w').close()\n"
                 "thread = threading.Thread(target=late)\nthread.start()")
    with open(fifo, "w") as f:
        f.write("go")
    assert wait_until(done.exists)
    # Nor does a process the cell forked write there.  (Forked with the
    # thread gone: beside a live thread, fork warns on the cell's stderr.)
    assert session.cell("thread.join()\nimport os\npid = os.fork()\nif pid == 0:\n    try:\n"
                        "        print('child')\n    except ValueError:\n        os._exit(7)\n"
                        "    os._exit(0)\nos.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])") == (
        [], {"success": True, "value": "7", "return_value": 7, "displays": [], "error": None})
    assert session.cell("failed") == ([], {
        "success": True, "value": "[\"write to a cell's stream while no cell runs\"]",
        "return_value": ["write to a cell's stream while no cell runs"], "displays": [],
        "error": None})


def test_displays_and_figures(session):
    session.request({"action": "session", "directory": None})
    events, answer = session.cell(
        "class Card:\n"
        "    def _repr_mimebundle_(self, include=None, exclude=None):\n"
        "        return {'text/plain': 'card', 'text/markdown': '*card*'}, {}\n"
        "    def _repr_html_(self):\n"
        "        return '<b>card</b>'\n"
        "    def _repr_png_(self):\n"
        "        return b'\\x89PNG'\n"
        "display(Card())\n"
        "display(3)\n"
        "Card()")
    card = [{"mime": "text/markdown", "data": "*card*", "base64": False},
            {"mime": "image/png", "data": base64.b64encode(b"\x89PNG").decode(), "base64": True},
            {"mime": "text/html", "data": "<b>card</b>", "base64": False}]
    assert answer["displays"] == card + card and answer["error"] is None

    events, answer = session.cell(
        "import matplotlib.pyplot as plt\nplt.plot([1, 2, 3])\nplt.figure()\nplt.show()")
    assert events == []  # no warning that show() cannot show
    assert [d["mime"] for d in answer["displays"]] == ["image/png", "image/png"]
    assert base64.b64decode(answer["displays"][0]["data"]).startswith(b"\x89PNG\r\n")
    assert session.cell("plt.get_fignums()")[1]["value"] == "[]"


def test_upload_and_download(session, tmp_path):
    assert session.request({"action": "download", "name": "a"})[1]["kind"] == "other"
    root = tmp_path / "root"
    root.mkdir()
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_bytes(b"secret")
    (root / "link_dir").symlink_to(outside)
    (root / "link_file").symlink_to(outside / "secret")
    session.request({"action": "session", "directory": str(root)})

    data = bytes(range(256))
    upload = {"action": "upload", "name": "new/deep/f.bin", "data": base64.b64encode(data).decode()}
    assert session.request(upload)[1] == {"success": True}
    assert (root / "new/deep/f.bin").read_bytes() == data
    assert session.cell("open('new/deep/f.bin', 'rb').read() == bytes(range(256))")[1]["value"] == "True"
    upload["data"] = base64.b64encode(b"short").decode()
    assert session.request(upload)[1] == {"success": True}
    assert session.request({"action": "download", "name": "new/deep/f.bin"})[1] == {
        "success": True, "data": base64.b64encode(b"short").decode()}

    for name in ["/etc/passwd", str(outside / "secret"), "../outside/secret", "new/../../x",
                 "link_dir/secret", "link_file", "link_dir/new", ""]:
        for request in ({"action": "download", "name": name},
                        {"action": "upload", "name": name, "data": "eA=="}):
            _, answer = session.request(request)
            assert (answer["success"], answer["kind"]) == (False, "refused"), (name, answer)
    assert (outside / "secret").read_bytes() == b"secret" and os.listdir(outside) == ["secret"]
    assert session.request({"action": "download", "name": "nothing"})[1]["kind"] == "missing"
    assert session.request({"action": "upload", "name": "x", "data": "!!"})[1]["kind"] == "other"
