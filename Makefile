# Two entry points that work on a fresh machine with only Python:
#   make demo   sets everything up and runs the demo
#   make test   sets everything up and runs the test suite
# The pinned set installs on Python 3.11 only: take python3.11, or python3
# when that is 3.11; PYTHON=/path/to/python3.11 chooses another one.
PYTHON_VERSION := 3.11
PYTHON ?= $(firstword $(foreach p,python$(PYTHON_VERSION) python3,\
  $(shell command -v $(p) >/dev/null 2>&1 && $(p) -c 'import sys; sys.exit(sys.version_info[:2] != ($(subst .,$(comma) ,$(PYTHON_VERSION))))' 2>/dev/null && command -v $(p))))
comma := ,
VENV ?= .venv
BIN := $(VENV)/bin

.PHONY: setup install test demo dev bench

$(BIN)/python:
	@if [ -z "$(PYTHON)" ]; then \
	  echo "error: Python $(PYTHON_VERSION) not found (no python$(PYTHON_VERSION) and python3 is another version): install it or run make PYTHON=/path/to/python$(PYTHON_VERSION)" >&2; exit 1; \
	elif ! $(PYTHON) -c 'import sys; sys.exit(sys.version_info[:2] != ($(subst .,$(comma) ,$(PYTHON_VERSION))))' 2>/dev/null; then \
	  echo "error: $(PYTHON) is not Python $(PYTHON_VERSION), which the pinned dependencies need" >&2; exit 1; \
	fi
	$(PYTHON) -m venv $(VENV)

# Pinned dependencies (constraints.txt is the one place for versions).
$(VENV)/.deps: constraints.txt | $(BIN)/python
	$(BIN)/python -m pip install --upgrade pip
	$(BIN)/python -m pip install -r constraints.txt
	touch $@

setup: $(VENV)/.deps

# Build and install the package with the pinned toolchain of the venv.
install: setup
	$(BIN)/python -m pip install --no-build-isolation --no-deps .

test: install
	$(BIN)/python -m pytest -q -p no:cacheprovider

demo: install
	$(BIN)/python -m quorvane.trellisk demo

# In-place build for development: PYTHONPATH=python $(BIN)/python ...
dev: setup
	cmake -S . -B build-dev -DTRELLISK_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python)
	cmake --build build-dev -j2

# make bench QUICK=1: short smoke runs of every benchmark.
bench: install
	$(BIN)/python bench/run.py $(if $(QUICK),--quick)
