# Front door: `make test` and `make run` set up everything they need.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard ombrix/workers/*.cpp ombrix/workers/*.hpp ombrix/*.py ombrix/workers/*.py ombrix/workers/inside/*.py ombrix/workers/launchers/*.py ombrix/workers/pool/*.py ombrix/workers/cluster/*.py ombrix/workers/mcp/*.py ombrix/workers/*.pyi ombrix/workers/py.typed) CMakeLists.txt pyproject.toml
TEST_TOOLS := pytest hypothesis mypy ruff pytest-timeout pytest-cov matplotlib
# The host side (pure Python) is type-checked and linted by `make test`.
HOST_CODE := ombrix/workers/inside ombrix/workers/launchers ombrix/workers/pool ombrix/workers/cluster ombrix/workers/mcp

.PHONY: setup build test stubtest lint run clean asan valgrind fuzz bench
# The set-up steps install into one virtual environment, one at a time.
.NOTPARALLEL:

# The virtual environment, made from CPython 3.12 with the build tools: all
# that `make run` needs besides the package.
$(VENV)/.base: tools/find-python Makefile
	@py=$$(tools/find-python) || exit 1; \
	  if [ ! -x $(PY) ] || ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then \
	    rm -rf $(VENV) && "$$py" -m venv $(VENV) || exit 1; fi
	$(PY) -m pip install -q --disable-pip-version-check 'scikit-build-core>=0.10' cmake ninja
	@touch $@

# The test tools on top.
$(VENV)/.ready: $(VENV)/.base
	$(PY) -m pip install -q --disable-pip-version-check $(TEST_TOOLS)
	@touch $@

setup: $(VENV)/.ready

# The optional extras' dependencies (the `ray` extra, for ombrix.workers.cluster),
# read from pyproject.toml, so the tests of every extra run here and in CI.
$(VENV)/.extras: $(VENV)/.ready pyproject.toml
	$(PY) -m pip install -q --disable-pip-version-check $$($(PY) -c 'import tomllib; \
	  print(*sum(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"].values(), []))')
	@touch $@

# The package, rebuilt in build/ (kept between runs, so rebuilds are incremental)
# and installed into the virtual environment whenever a source changes.
$(VENV)/.package: $(VENV)/.base $(SOURCES)
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	@touch $@

build: $(VENV)/.package $(VENV)/.ready $(VENV)/.extras

# The same sources built for CPython 3.13 when pyenv has one, to check how the
# module behaves on an interpreter it was not written for (it warns).
PY313 := $(lastword $(sort $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13.*/bin/python3.13)))
ALT_BUILD := build/py313
$(ALT_BUILD)/.built: $(VENV)/.ready $(SOURCES)
	@if [ -n "$(PY313)" ]; then \
	  PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(ALT_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DOMBRIX_ANY_PYTHON=ON -DPython_EXECUTABLE=$(PY313) >/dev/null && \
	  PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(ALT_BUILD) >/dev/null && \
	  echo "$(PY313)" > $(ALT_BUILD)/python.txt || exit 1; fi
	@mkdir -p $(ALT_BUILD) && touch $@

# Line coverage of the host side (the tests import the installed package, so
# modules are named, not paths), which must keep COVER_MIN %.  The cluster
# tests have Ray's workers measure the actors too, each into a data file of its
# own that pytest-cov combines with this process's.
COVER := pool launchers cluster
COVER_MIN := 90
COVERAGE_FILE := $(CURDIR)/build/.coverage
test: build $(ALT_BUILD)/.built stubtest lint
	COVERAGE_FILE=$(COVERAGE_FILE) $(PY) -P -m pytest -q $(COVER:%=--cov=ombrix.workers.%) --cov-report=term tests
	set -o pipefail; $(PY) -m coverage report --data-file=$(COVERAGE_FILE) --include='*/ombrix/workers/pool/*,*/ombrix/workers/launchers/*,*/ombrix/workers/cluster/*' \
	  --fail-under=$(COVER_MIN) | tail -1

lint: $(VENV)/.ready
	$(PY) -m mypy --strict $(HOST_CODE)
	$(VENV)/bin/ruff check $(HOST_CODE)

# The type stub against the installed module.  stubtest does not count the
# module's own function type as a function, so the plain run allowlists the
# seven functions (tools/stubtest-allowlist.txt); tools/stubtest then checks
# their signatures, with that type recognised and no allowlist.
stubtest: build
	$(PY) -P -m mypy.stubtest ombrix.workers.custom_worker --allowlist tools/stubtest-allowlist.txt
	$(PY) -P tools/stubtest ombrix.workers.custom_worker

# Only the worker's answers reach stdout: the set-up (the build tools and the
# package, not the test tools or the extras) reports on stderr and reads no
# request meant for the worker.
run:
	@$(MAKE) --no-print-directory $(VENV)/.package </dev/null >&2
	@exec $(VENV)/bin/custom-worker

# ---------------------------------------------------------------------------
# Address and undefined-behaviour sanitizers.  The module is built on its own
# in build/asan and laid out as a package tree in build/asan/site, which goes
# first on PYTHONPATH, so the pytest run and every worker subprocess it starts
# import the sanitized module while .venv keeps the normal one.  The
# interpreter is not instrumented: the runtime is preloaded, and the object
# allocator is plain malloc so the sanitizer sees every Python object.  Every
# report goes to a file under build/asan/reports; any such file fails the run,
# also when it came from a worker whose exit a test expected anyway.
# libstdc++ is preloaded after the runtime, which can then find the real
# __cxa_throw: an extension that throws C++ exceptions (matplotlib's, in the
# cell tests) aborts in the runtime's interceptor otherwise.
# The cluster tests are left out: Ray's processes would inherit the preloaded
# runtime, and Ray's own native code (its process-title setup) reads freed
# memory under it.  The cluster module is plain Python over the pool, whose
# sanitized runs the pool tests cover.
ASAN_BUILD := build/asan
ASAN_SITE := $(ASAN_BUILD)/site
ASAN_REPORTS := $(CURDIR)/$(ASAN_BUILD)/reports
ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:log_path=$(ASAN_REPORTS)/asan \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan \
  PYTHONPATH=$(CURDIR)/$(ASAN_SITE) OMBRIX_EXPECT_MODULE_DIR=$(CURDIR)/$(ASAN_SITE)/ombrix/workers

$(ASAN_BUILD)/.built: $(VENV)/.ready $(SOURCES)
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DOMBRIX_SANITIZE=address,undefined -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(ASAN_BUILD) >/dev/null
	rm -rf $(ASAN_SITE) && mkdir -p $(ASAN_SITE)/ombrix/workers
	cp ombrix/__init__.py $(ASAN_SITE)/ombrix/
	cp ombrix/workers/*.py ombrix/workers/custom_worker.pyi ombrix/workers/py.typed $(ASAN_SITE)/ombrix/workers/
	for room in ombrix/workers/*/__init__.py; do cp -r "$${room%/__init__.py}" $(ASAN_SITE)/ombrix/workers/; done
	cp $(ASAN_BUILD)/custom_worker*.so $(ASAN_SITE)/ombrix/workers/
	@touch $@

asan: build $(ALT_BUILD)/.built $(ASAN_BUILD)/.built
	@rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	$(ASAN_ENV) $(PY) -P tools/check-sanitized
	$(ASAN_ENV) $(PY) -P -m pytest -q -p no:cacheprovider --ignore=tests/test_cluster.py tests
	@if compgen -G '$(ASAN_REPORTS)/*' >/dev/null; then \
	  echo "sanitizer reports:"; cat $(ASAN_REPORTS)/*; exit 1; fi
	@echo "asan: no sanitizer reports"

# The protocol tests under valgrind's memcheck (slow: not part of CI).  The
# pytest process and every worker it starts run under memcheck; each process
# logs to its own file in build/valgrind, and any error logged there (an
# invalid read or write, a use of uninitialised memory, a bad free) fails the
# run, also when it came from a worker whose exit a test expected anyway.
# tools/valgrind.supp holds the one known false report (glibc's wmemcmp).
VALGRIND_TESTS := tests/test_protocol.py tests/test_dispatch.py \
  tests/test_fuzz.py::test_worker_batches tests/test_fuzz.py::test_hand_made_batch
VALGRIND_LOGS := $(CURDIR)/build/valgrind
valgrind: build
	@rm -rf $(VALGRIND_LOGS) && mkdir -p $(VALGRIND_LOGS)
	PYTHONMALLOC=malloc valgrind --tool=memcheck --trace-children=yes --leak-check=no --quiet \
	  --suppressions=$(CURDIR)/tools/valgrind.supp --log-file=$(VALGRIND_LOGS)/memcheck.%p.log \
	  $(PY) -P -m pytest -q -p no:cacheprovider --timeout=1800 $(VALGRIND_TESTS)
	@if grep -l . $(VALGRIND_LOGS)/*.log >/dev/null 2>&1; then \
	  echo "memcheck errors:"; grep -h . $(VALGRIND_LOGS)/*.log | head -200; exit 1; fi
	@echo "valgrind: no memcheck errors in $$(ls $(VALGRIND_LOGS) | wc -l) processes"

# A long seeded run of the protocol fuzzer: at least 100,000 request lines.
FUZZ_LINES ?= 100000
FUZZ_SEED ?= 20240611
fuzz: build
	$(PY) -P tools/fuzz-protocol --lines $(FUZZ_LINES) --seed $(FUZZ_SEED)

# A Jupyter kernel is measured beside sessions where its packages install.
$(VENV)/.bench: $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check jupyter_client ipykernel || \
	  echo "bench: jupyter_client and ipykernel could not be installed; their row is skipped"
	@touch $@

# Cost against a plain-Python floor doing the same standard-library work.
# BENCH_ARGS=--instructions adds instruction counts under callgrind (slow).
# Then the pool, fresh and sandboxed workers against cold worker starts,
# sessions and streamed cells against plain requests, the cluster pool against
# the local pool on a local Ray instance, and the MCP server through the SDK's
# client against the pool's sessions.
# Every part runs; the target fails when any part missed a target.
bench: build $(VENV)/.bench
	@status=0; \
	  $(PY) -P bench/bench.py $(BENCH_ARGS) || status=1; \
	  $(PY) -P bench/pool.py $(filter --quick,$(BENCH_ARGS)) || status=1; \
	  $(PY) -P bench/fresh.py $(filter --quick,$(BENCH_ARGS)) || status=1; \
	  $(PY) -P bench/sessions.py $(filter --quick,$(BENCH_ARGS)) || status=1; \
	  $(PY) -P bench/cluster.py $(filter --quick,$(BENCH_ARGS)) || status=1; \
	  $(PY) -P bench/mcp_server.py $(filter --quick,$(BENCH_ARGS)) || status=1; \
	  exit $$status

clean:
	rm -rf build $(VENV)
