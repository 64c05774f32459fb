# Set-up and the project's jobs. Every target sets up what it needs first:
# a virtual environment in .venv made with Python 3.12 (found by
# tools/find-python), the test requirements, and the package built and
# installed from this checkout. Running a target again redoes only what changed.

VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src python -type f ! -name '*.pyc') pyproject.toml CMakeLists.txt

.PHONY: setup demo test bench sanitize clean

setup: $(VENV)/.installed

$(VENV)/.created:
	python=$$(tools/find-python) && "$$python" -m venv --clear $(VENV)
	touch $@

$(VENV)/.requirements: $(VENV)/.created requirements/dev.txt
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements/dev.txt
	touch $@

$(VENV)/.installed: $(VENV)/.requirements $(SOURCES)
	$(PY) -m pip install --quiet .
	touch $@

demo: setup
	$(PY) examples/demo.py

test: setup
	$(PY) -m pytest

bench: setup
	$(PY) benchmarks/bench.py

# Its own environment and build (.venv-sanitized, build/sanitized).
sanitize:
	tools/sanitized-tests

clean:
	rm -rf $(VENV) .venv-sanitized build
