# Two entry points that work on a fresh machine with only Python:
#   make demo   sets everything up and runs the demo
#   make test   sets everything up and runs the test suite
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin

.PHONY: setup install test demo dev bench

$(BIN)/python:
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

bench: install
	$(BIN)/python bench/run.py
