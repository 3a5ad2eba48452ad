# Two commands on a fresh machine:  make demo  /  make test
SHELL := /bin/bash

# python3.12 from PATH, else the newest pyenv 3.12.
PYTHON ?= $(shell if python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then echo python3.12; \
             else ls -d $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12 2>/dev/null | tail -n1; fi)
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-stamp

.PHONY: demo test install bench clean sanitize

$(STAMP): requirements-dev.txt
	@test -n "$(PYTHON)" || { echo "python3.12 not found" >&2; exit 1; }
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $(STAMP)

install: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps .

demo: install
	MPLBACKEND=Agg $(PY) examples/tour.py

test: install
	MPLBACKEND=Agg $(PY) -m pytest -q tests

# The peers (QuantLib, NumPy, SciPy) come with the development requirements.
bench: install
	$(PY) bench/run.py
	@if command -v valgrind >/dev/null; then $(PY) bench/instructions.py; else echo "valgrind not found: no instruction counts"; fi

clean:
	rm -rf build build-* out .pytest_cache

# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, their runtimes preloaded into python3.12.
# Leak detection is off: the interpreter itself keeps memory until exit; the
# module's own leaks are checked by tests/test_leaks.py.
SAN_DIR := build-sanitize
sanitize: $(STAMP)
	cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_SANITIZE=ON \
	      -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(SAN_DIR)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(SAN_DIR) MPLBACKEND=Agg $(PY) -m pytest -q -p no:cacheprovider tests
