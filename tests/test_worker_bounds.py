"""A pool worker bounds what it captures, and answers through a json that scripts cannot reach."""
import pytest

from conftest import POOL_ENV, SANITIZED
from ombrix.workers.inside import startup
from ombrix.workers.pool import OutputLimitExceeded, WorkerPool

LIMIT = 64 * 1024

# Every way a script's printing could grow the worker past LIMIT.
FLOODS = {
    "stdout": 'while True: print("x" * 10000)',
    "stderr": 'import sys\nwhile True: print("x" * 10000, file=sys.stderr)',
    "both streams": 'import sys\nprint("x" * 40000)\nprint("x" * 40000, file=sys.stderr)',
    "caught": 'while True:\n    try:\n        print("x" * 10000)\n    except BaseException:\n        pass',
    "past the end": 'import sys\nsys.stdout.seek(2**40)\nsys.stdout.write("x")',
    "unbounded class": (
        "import io, sys\n"
        "for patch in ('type(sys.stdout).write = io.StringIO.write', 'sys.stdout.__class__ = io.StringIO'):\n"
        "    try:\n        exec(patch)\n    except TypeError:\n        pass\n"
        'while True: print("x" * 10000)'
    ),
    "nested": 'from ombrix.workers import custom_worker as cw\ncw.run_inline("while True: print(10000 * \'x\')")',
}


# The address sanitizer cannot run under an address-space limit.
@pytest.mark.parametrize("kind", [{} if SANITIZED else {"memory_limit": 512 * 2**20}, {"fresh": True}],
                         ids=["reused", "fresh"])
def test_printing_ends_at_max_output(kind):
    with WorkerPool(env=POOL_ENV, size=1, timeout=10, max_output=LIMIT, **kind) as pool:
        for name, code in FLOODS.items():
            with pytest.raises(OutputLimitExceeded) as caught:
                pool.run_inline(code)
            assert caught.value.limit == LIMIT, name
        # Output up to the bound is answered whole; the pool goes on serving.
        answer = pool.run_inline('import sys\nprint("x" * 30000)\nprint("y" * 30000, file=sys.stderr)\nresult = 1')
        assert answer["result"] == {"output": "x" * 30000 + "\n", "errors": "y" * 30000 + "\n", "return_value": 1}


# Scripts that break or rewrite the shared json package.
JSON_ATTACKS = [
    "import json\njson.dumps = None",
    "import json\njson.loads = lambda s: {'action': 'run_inline', 'code': 'result = \"forged\"'}",
    "import json.encoder\njson.encoder.JSONEncoder.encode = lambda self, o: '{\"success\": true, \"result\": 0}'",
    "import json.encoder\njson.encoder.encode_basestring_ascii = lambda s: '\"forged\"'",
    "import json.decoder\njson.decoder.JSONDecoder.decode = lambda self, s: {'action': 'quit'}",
]


@pytest.mark.parametrize("fresh", [False, True], ids=["reused", "fresh"])
def test_answers_survive_a_script_that_breaks_json(fresh):
    # The worker answers a line that fails to decode when the copy's loads
    # raises the copy's JSONDecodeError, from the decoder and the scanner.
    private = startup.private_json()
    for line in ("not json", '"\\x"'):
        with pytest.raises(private.JSONDecodeError):
            private.loads(line)
    with WorkerPool(env=POOL_ENV, size=1, timeout=10, fresh=fresh) as pool:
        for code in JSON_ATTACKS:
            own = pool.run_inline(code + "\nresult = 'own'")
            assert own == {"success": True, "result": {"output": "", "errors": "", "return_value": "own"}}, code
            after = pool.run_inline("result = 'next'", args={"é": [1.5]})
            assert after["result"]["return_value"] == "next", code
