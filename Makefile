# Front door: `make test` and `make run` set up everything they need.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard ombrix/workers/*.cpp ombrix/workers/*.hpp ombrix/*.py ombrix/workers/*.py ombrix/workers/*.pyi ombrix/workers/py.typed) CMakeLists.txt pyproject.toml
TEST_TOOLS := pytest hypothesis

.PHONY: setup build test run clean

# The virtual environment, made from CPython 3.12 with the build and test tools.
$(VENV)/.ready: tools/find-python
	@py=$$(tools/find-python) || exit 1; \
	  if [ ! -x $(PY) ] || ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then \
	    rm -rf $(VENV) && "$$py" -m venv $(VENV) || exit 1; fi
	$(PY) -m pip install -q --disable-pip-version-check 'scikit-build-core>=0.10' cmake ninja $(TEST_TOOLS)
	@touch $@

setup: $(VENV)/.ready

# The package, rebuilt in build/ (kept between runs, so rebuilds are incremental)
# and installed into the virtual environment whenever a source changes.
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	@touch $@

build: $(VENV)/.installed

test: build
	$(PY) -P -m pytest -q tests

run: build
	@$(VENV)/bin/custom-worker

clean:
	rm -rf build $(VENV)
