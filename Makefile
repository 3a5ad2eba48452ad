# Two commands on a fresh machine:  make demo  /  make test
# Another interpreter gets its own environment:
#   make test PYTHON=python3.13 VENV=.venv-3.13
SHELL := /bin/bash

# python3.12 from PATH, else the newest pyenv 3.12.
PYTHON ?= $(shell if python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then echo python3.12; \
             else ls -d $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12 2>/dev/null | tail -n1; fi)
VENV ?= .venv
PY := $(VENV)/bin/python
# What building the package and running the tour need; the test and benchmark
# toolchain comes on top of it.
DEMO_STAMP := $(VENV)/.demo-deps-stamp
DEV_STAMP := $(VENV)/.dev-deps-stamp

.PHONY: demo test install bench clean sanitize

$(PY):
	@test -n "$(PYTHON)" || { echo "python3.12 not found (or pass PYTHON=...)" >&2; exit 1; }
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info < (3, 12))' || { echo "$(PYTHON): no CPython 3.12 or later" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(DEMO_STAMP): requirements-demo.txt | $(PY)
	$(PY) -m pip install -q -r requirements-demo.txt
	touch $@

$(DEV_STAMP): requirements-dev.txt $(DEMO_STAMP)
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

install: $(DEMO_STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps .

demo: install
	MPLBACKEND=Agg $(PY) examples/tour.py

test: $(DEV_STAMP) install
	MPLBACKEND=Agg $(PY) -m pytest -q tests

# The peers (QuantLib, NumPy, SciPy) come with the development requirements.
bench: $(DEV_STAMP) install
	$(PY) bench/run.py
	@if command -v valgrind >/dev/null; then $(PY) bench/instructions.py; else echo "valgrind not found: no instruction counts"; fi

clean:
	rm -rf build build-* out .pytest_cache

# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (both modules of the package), their runtimes
# preloaded into the interpreter. The package is installed first so that its
# type stubs are there; the sanitized build folder comes first on the path.
# Leak detection is off: the interpreter itself keeps memory until exit; the
# module's own leaks are checked by tests/test_refleaks.py.
SAN_DIR := build-sanitize
sanitize: $(DEV_STAMP) install
	cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_SANITIZE=ON \
	      -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(SAN_DIR)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(SAN_DIR) MPLBACKEND=Agg $(PY) -m pytest -q -p no:cacheprovider tests
