"""`make run` in a fresh clone sets itself up and then writes nothing but answers on stdout."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
REQUESTS = b'{"action": "run_inline", "code": "print(1)\\nresult = 2"}\n{"action": "quit"}\n'
ANSWERS = [
    {"success": True, "result": {"output": "1\n", "errors": "", "return_value": 2}},
    {"success": True, "result": "goodbye"},
]


@pytest.mark.timeout(900)  # the first run builds a virtual environment and the module
def test_make_run_answers_alone_cold_and_warm(tmp_path):
    if shutil.which("git") is None or shutil.which("make") is None or not (ROOT / ".git").exists():
        pytest.skip("needs git, make and a checkout")
    clone = tmp_path / "clone"
    subprocess.run(["git", "clone", "-q", str(ROOT), str(clone)], check=True)
    # A host that starts the worker is not itself a make recipe (an outer
    # make would have this one print its directory).
    env = {k: v for k, v in os.environ.items() if k not in ("MAKELEVEL", "MAKEFLAGS", "MFLAGS", "VIRTUAL_ENV")}
    for run in ("cold", "warm"):
        done = subprocess.run(["make", "run"], cwd=clone, env=env, input=REQUESTS, capture_output=True, timeout=800)
        assert done.returncode == 0, (run, done.stderr.decode(errors="replace")[-2000:])
        lines = done.stdout.decode().splitlines()
        assert [json.loads(line) for line in lines] == ANSWERS, (run, done.stdout[:2000])
    # Only what the worker needs was installed.
    assert not list((clone / ".venv").glob("lib/python3*/site-packages/pytest"))
