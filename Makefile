# Entry points named in the README.  Each target sets up what it needs.
SHELL := /bin/bash

# A Python 3.12 interpreter: the one on PATH, else a pyenv install.
PY312 ?= $(shell for p in python3.12 $$(ls -d /root/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null) /usr/bin/python3.12 /usr/local/bin/python3.12; do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

VENV := .venv
ASAN_VENV := .venv-asan
PIP_FLAGS := --quiet --disable-pip-version-check

.PHONY: run test test-asan bench inplace clean check-python

check-python:
	@test -n "$(PY312)" || { echo "Python 3.12 not found: set PY312=/path/to/python3.12" >&2; exit 2; }

$(VENV)/bin/python: | check-python
	$(PY312) -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_FLAGS) --upgrade pip

# Main job: build the package and run the example program.
run: $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_FLAGS) .
	$(VENV)/bin/python -m qorvel_pvm run examples/collatz.pvmasm

# Test suite: install the package with its test extras (and the test-only
# native module) and run pytest.
test: $(VENV)/bin/python
	PVM_TEST_MODULES=ON $(VENV)/bin/pip install $(PIP_FLAGS) '.[test]'
	$(VENV)/bin/python -m pytest -q

# The same tests against an AddressSanitizer + UndefinedBehaviorSanitizer build.
test-asan: | check-python
	test -x $(ASAN_VENV)/bin/python || $(PY312) -m venv $(ASAN_VENV)
	PVM_SANITIZE=ON PVM_TEST_MODULES=ON $(ASAN_VENV)/bin/pip install $(PIP_FLAGS) \
		--config-settings=build-dir=build/asan '.[test]'
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=malloc \
	PVM_ASAN=1 $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

bench: $(VENV)/bin/python
	$(VENV)/bin/python bench/run.py

# Developer build: compiles the modules next to their sources for
# PYTHONPATH=src.  TARGETS limits the build to some modules.
INPLACE_DIR ?= build/inplace
TARGETS ?= all
inplace: | check-python
	cmake -S . -B $(INPLACE_DIR) -G Ninja -DPVM_INPLACE=ON -DPVM_TEST_MODULES=ON \
		-DPython_EXECUTABLE=$(PY312) >/dev/null
	cmake --build $(INPLACE_DIR) --target $(TARGETS)

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
	find src -name '*.so' -delete
