# Set-up and the project's jobs. Every target sets up what it needs first:
# a virtual environment in $(VENV), made with CPython 3.12 (found by
# tools/find-python; PYTHON=/path/to/python names another supported one),
# and the package built from this checkout and installed into it with its
# test requirements. Running a target again redoes only what changed.

VENV ?= .venv
PYTHON ?=
ARGS ?=
PY := $(VENV)/bin/python
# Kept between runs, so that a rebuild compiles only what changed; one per
# environment, so that Python versions and compilers never share a build.
BUILD := build/$(notdir $(VENV))
WHEELHOUSE := $(BUILD)/wheel
BUILD_CONFIG := -C build-dir=$(BUILD)/{wheel_tag} -C cmake.define.ZELKOR_WARNINGS_AS_ERRORS=ON
SOURCES := $(shell find src python -type f) pyproject.toml CMakeLists.txt

# pip leaves files open, which a debug interpreter reports (its warning
# filters show ResourceWarning): lines that say nothing about this project.
PIP := PYTHONWARNINGS=ignore::ResourceWarning $(PY) -m pip

# Follows a `pip wheel --verbose` command: shows the compiler's progress,
# one line a step; the whole output is in the log $(1), shown on failure.
show_progress = 2>&1 | tee $(1) \
	| { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\]' || true; } \
	|| { cat $(1) >&2; echo "error: the build failed (its output: $(1))" >&2; exit 1; }

# A recipe line with a pipeline fails when any command of it fails.
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c

.PHONY: help setup demo test test-all test-debian-root test-free-threaded test-clang windows-cross bench wheel sanitize coverage clean FORCE

help: ## list the targets
	@grep -E '^[a-z-]+:.*## ' $(MAKEFILE_LIST) | awk -F ':.*## ' \
	    '{ name[NR] = $$1; text[NR] = $$2; if (length($$1) > width) width = length($$1) } \
	     END { for (i = 1; i <= NR; i++) printf "  make %-*s  %s\n", width, name[i], text[i] }'

setup: $(VENV)/.installed ## make the environment and install the package and test requirements

# Checked on every run: the folder must be one this Makefile made, with the
# Python asked for.
$(VENV)/.made-by-make: FORCE
	@PYTHON="$(PYTHON)" tools/venv $(VENV)

# The build runs in the environment, with its build requirements installed
# there, so that it compiles only what changed. It shows the compiler's
# progress, one line a step; its whole output is in $(BUILD)/wheel.log, and
# is shown when it fails.
$(VENV)/.installed: $(VENV)/.made-by-make $(SOURCES)
	@echo "Installing pip and the build requirements into $(VENV)"
	@$(PIP) install --quiet --upgrade pip
	@tools/install-build-requirements $(PY)
	@echo "Building both modules (all of them the first time, about 20 s; later only what changed)"
	@rm -rf $(WHEELHOUSE) && mkdir -p $(BUILD)
	@$(PIP) wheel --verbose --no-deps --no-build-isolation $(BUILD_CONFIG) -w $(WHEELHOUSE) . \
	    $(call show_progress,$(BUILD)/wheel.log)
	@echo "Installing the package and its test requirements into $(VENV)"
	@$(PIP) install --quiet --force-reinstall --no-deps $(WHEELHOUSE)/*.whl
	@$(PIP) install --quiet $$($(PY) -c 'import sysconfig; print("--constraint tools/free-threaded-constraints.txt" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")') \
	    "$$(echo $(WHEELHOUSE)/*.whl)[test]"
	@touch $@

demo: setup ## demonstrate both modules on a temporary folder
	$(PY) examples/demo.py

test: setup ## run every test (CPython 3.12 unless PYTHON= names another; DEV_MODE=1 for -X dev)
	$(if $(DEV_MODE),PYTHONDEVMODE=1 )ZELKOR_WHEEL="$$(echo $(WHEELHOUSE)/*.whl)" $(PY) -m pytest $(ARGS)

test-all: ## run every test on CPython 3.12 to 3.15, their debug and free-threaded builds
	$(MAKE) test PYTHON=
	@if python=$$(PYTHON= tools/find-python 3.13 2>/dev/null); then \
	    $(MAKE) test PYTHON="$$python" VENV=.venv-3.13; \
	elif [ "$${CI:-}" = true ]; then \
	    echo "error: CPython 3.13 not found (pyenv install 3.13)" >&2; exit 1; \
	else \
	    echo "CPython 3.13 not found: its tests are skipped"; \
	fi
	@$(MAKE) --no-print-directory test-debian-root
	@$(MAKE) --no-print-directory test-free-threaded

# The free-threaded CPython 3.13 and its ThreadSanitizer build, made from the
# source tarball by tools/free-threaded-cpython.
test-free-threaded: ## run every test on a free-threaded CPython 3.13, then under ThreadSanitizer
	@if ! reason=$$(tools/free-threaded-cpython check); then \
	    if [ "$${CI:-}" = true ]; then \
	        echo "error: cannot test on a free-threaded CPython: $$reason" >&2; exit 1; \
	    fi; \
	    echo "Free-threaded CPython skipped: $$reason"; exit 0; \
	fi; \
	python=$$(tools/free-threaded-cpython python) && \
	$(MAKE) --no-print-directory test PYTHON="$$python" VENV=.venv-3.13t && \
	tools/thread-sanitized-tests $(ARGS)

# Debian's python3.14d and python3.15d are the debug builds.
DEBIAN_PYTHONS := python3.14 python3.15 python3.14d python3.15d

test-debian-root: ## run every test on CPython 3.14 and 3.15, release and debug builds, in a Debian root
	@if ! reason=$$(tools/debian-root check); then \
	    if [ "$${CI:-}" = true ]; then \
	        echo "error: cannot run the tests on CPython 3.14 and 3.15: $$reason" >&2; exit 1; \
	    fi; \
	    echo "CPython 3.14 and 3.15 skipped: $$reason"; exit 0; \
	fi; \
	for python in $(DEBIAN_PYTHONS); do \
	    case $$python in *d) dev_mode=1 ;; *) dev_mode= ;; esac; \
	    echo "== $$python$${dev_mode:+ -X dev}"; \
	    tools/debian-root run make --no-print-directory test PYTHON=/usr/bin/$$python \
	        VENV=.venv-debian-$${python#python} DEV_MODE=$$dev_mode ARGS="$(ARGS)" || exit 1; \
	done

test-clang: ## run every test against a build made with clang++ (Debian's clang package)
	@command -v clang++ >/dev/null || { echo "error: clang++ not found; install Debian's clang package (apt-get install clang)" >&2; exit 1; }
	CC=clang CXX=clang++ $(MAKE) test VENV=.venv-clang

# Debian's MinGW-w64 compiler against CPython 3.13's Windows headers, from
# the same tarball as the free-threaded interpreters.
windows-cross: ## cross-compile and link both modules for Windows (MinGW-w64; nothing runs them here)
	@if ! reason=$$(tools/windows-cross-build check); then \
	    if [ "$${CI:-}" = true ]; then \
	        echo "error: cannot cross-compile for Windows: $$reason" >&2; exit 1; \
	    fi; \
	    echo "Windows cross-build skipped: $$reason"; exit 0; \
	fi; \
	tools/windows-cross-build

bench: setup ## time both modules against pure Python (ARGS=--quick for a short run)
	$(PY) benchmarks/bench.py $(ARGS)

wheel: setup ## dist/: an sdist, and the manylinux wheel built from it (auditwheel)
	@[ "$$(uname -s)" = Linux ] || { echo "error: make wheel repairs with auditwheel, on Linux only; elsewhere use cibuildwheel" >&2; exit 1; }
	$(PIP) install --quiet --group wheel
	rm -rf dist $(BUILD)/unrepaired
	$(PY) -m build --sdist --outdir dist .
	@echo "Building the wheel from the sdist (all of it, about 20 s)"
	@$(PIP) wheel --verbose --no-deps -w $(BUILD)/unrepaired dist/*.tar.gz \
	    $(call show_progress,$(BUILD)/sdist-wheel.log)
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair --plat manylinux_2_17_$$(uname -m) -w dist $(BUILD)/unrepaired/*.whl
	$(PY) -m auditwheel show dist/*.whl

sanitize: ## every test against an AddressSanitizer and UBSan build (GCC only)
	tools/sanitized-tests $(ARGS)

coverage: ## line, function and branch coverage of src/ by every test (GCC only; HTML in build/coverage/html)
	tools/coverage-report $(ARGS)

# Removes only the environments this Makefile made.
clean: ## remove the environments, build folders, dist/ and the test caches
	@for venv in .venv .venv-*; do \
	    if [ -e "$$venv/.made-by-make" ]; then echo "rm -rf $$venv"; rm -rf "$$venv"; \
	    elif [ -e "$$venv" ]; then echo "$$venv was not made by make: left alone"; fi; \
	done
	rm -rf build dist .hypothesis .pytest_cache .mypy_cache

FORCE:
