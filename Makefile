# Entry points named in the README.  Each target sets up what it needs.
SHELL := /bin/bash

# PYTHON: the interpreter to build and test with (a command on PATH or a
# path), for example `make test PYTHON=/usr/bin/python3.13`; or
# PYTHON_VERSION, to take that version from the version manager (pyenv's
# newest install of it) or else from PATH: `make test PYTHON_VERSION=3.13`.
# The default is 3.12.  Each interpreter version gets a virtual environment
# of its own (.venv for 3.12, .venv-3.13 for 3.13, ...); VENV overrides it.
PYTHON_VERSION ?= 3.12
PYTHON ?= $(shell { command -v pyenv >/dev/null 2>&1 && v=$$(pyenv latest $(PYTHON_VERSION) 2>/dev/null) && \
	p="$$(pyenv root)/versions/$$v/bin/python$(PYTHON_VERSION)" && test -x "$$p" && echo "$$p"; } || \
	command -v python$(PYTHON_VERSION))
PY_VERSION := $(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV ?= $(if $(filter 3.12,$(PY_VERSION)),.venv,.venv-$(PY_VERSION))
ASAN_VENV ?= $(VENV)-asan
TSAN_VENV ?= $(VENV)-tsan
PIP_FLAGS := --quiet --disable-pip-version-check

# The package is built without build isolation, by the build tools installed
# in the virtual environment, into a build directory of its own that is kept:
# a rebuild compiles only what changed.  Warnings are errors in these builds
# (a plain `pip install .` does not make them errors).
BUILD_TOOLS := 'scikit-build-core>=0.11' 'cmake>=3.24' ninja
BUILD_DIR := build/py$(PY_VERSION)
DEV_ENV := PVM_WERROR=ON PVM_TEST_MODULES=ON

# $(call pip_build,PIP,BUILD-DIR,WHAT): builds and installs WHAT, showing
# the compiler's progress lines; the whole log (BUILD-DIR.log) on failure.
define pip_build
	mkdir -p build
	set -o pipefail; $1 install --no-build-isolation --disable-pip-version-check -v \
		--config-settings=build-dir=$2 '$3' 2>&1 | tee $2.log \
		| { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] |^Successfully installed' || true; } \
		|| { cat $2.log >&2; exit 1; }
endef

.PHONY: run test test-asan test-tsan bench fuzz inplace clean check-python

check-python:
	@test -n "$(PY_VERSION)" || { echo "Python $(PYTHON_VERSION) not found (pyenv, PATH): set PYTHON=/path/to/python3" >&2; exit 2; }
	@"$(PYTHON)" -c 'import sys; sys.exit(sys.version_info < (3, 12))' || \
		{ echo "$(PYTHON) is Python $(PY_VERSION): 3.12 or newer is needed" >&2; exit 2; }
	@if test -x $(VENV)/bin/python && ! $(VENV)/bin/python -c 'import sys; sys.exit("%d.%d" % sys.version_info[:2] != "$(PY_VERSION)")'; then \
		echo "$(VENV) was made with another Python version than $(PY_VERSION): remove it or set VENV" >&2; exit 2; fi

$(VENV)/bin/python: | check-python
	"$(PYTHON)" -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_FLAGS) --upgrade pip

# Main job: build the package and run the example program.
run: check-python $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_TOOLS)
	$(call pip_build,PVM_WERROR=ON $(VENV)/bin/pip,$(BUILD_DIR),.)
	$(VENV)/bin/python -m qorvel_pvm run --image examples/sieve.pvmimg --args 31303030

# Test suite: install the package with its test extras (and the test-only
# native module) and run pytest.
test: check-python $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_TOOLS)
	$(call pip_build,$(DEV_ENV) $(VENV)/bin/pip,$(BUILD_DIR)-test,.[test])
	$(VENV)/bin/python -m pytest -q

# The same tests against an AddressSanitizer + UndefinedBehaviorSanitizer build.
test-asan: check-python
	test -x $(ASAN_VENV)/bin/python || { "$(PYTHON)" -m venv $(ASAN_VENV) && \
		$(ASAN_VENV)/bin/pip install $(PIP_FLAGS) --upgrade pip; }
	$(ASAN_VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_TOOLS)
	$(call pip_build,PVM_SANITIZE=ON $(DEV_ENV) $(ASAN_VENV)/bin/pip,$(BUILD_DIR)-asan,.[test])
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=malloc \
	PVM_ASAN=1 $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# The tests of runs on several threads against a ThreadSanitizer build of the
# package (the Python runtime itself is not instrumented: what is checked is
# the package's own code, synchronised through the runtime's lock).
test-tsan: check-python
	test -x $(TSAN_VENV)/bin/python || { "$(PYTHON)" -m venv $(TSAN_VENV) && \
		$(TSAN_VENV)/bin/pip install $(PIP_FLAGS) --upgrade pip; }
	$(TSAN_VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_TOOLS)
	$(call pip_build,PVM_SANITIZE=thread $(DEV_ENV) $(TSAN_VENV)/bin/pip,$(BUILD_DIR)-tsan,.[test])
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0" \
	PYTHONMALLOC=malloc $(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/test_threads.py

# Benchmarks of the package built from the current sources (installed first,
# so that the figures never come from an older build).
bench: check-python $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_TOOLS)
	$(call pip_build,PVM_WERROR=ON $(VENV)/bin/pip,$(BUILD_DIR),.)
	$(VENV)/bin/python bench/run.py

# Differential fuzzing of the engines (docs/FUZZING.md) with the package built
# from the current sources: FUZZ_PROGRAMS random programs drawn from
# FUZZ_SEED, spread over FUZZ_JOBS processes (one per core by default).
FUZZ_PROGRAMS ?= 1000000
FUZZ_SEED ?= 1
FUZZ_JOBS ?= $(shell nproc)
fuzz: check-python $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_TOOLS)
	$(call pip_build,PVM_WERROR=ON $(VENV)/bin/pip,$(BUILD_DIR),.)
	$(VENV)/bin/python tools/fuzz.py --programs $(FUZZ_PROGRAMS) --seed $(FUZZ_SEED) --jobs $(FUZZ_JOBS)

# Developer build: compiles the modules next to their sources for
# PYTHONPATH=src.  TARGETS limits the build to some modules.
INPLACE_DIR ?= build/inplace
TARGETS ?= all
inplace: | check-python
	cmake -S . -B $(INPLACE_DIR) -G Ninja -DPVM_INPLACE=ON -DPVM_TEST_MODULES=ON -DPVM_WERROR=ON \
		-DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(INPLACE_DIR) --target $(TARGETS)

clean:
	rm -rf build .venv .venv-*
	find src -name '*.so' -delete
