#!/bin/sh
# Install a built wheel into a fresh venv and run the demo there, with no
# compiler on PATH (nothing may be built at install time), from outside the
# source tree.
#   tools/check_wheel.sh <python> <wheel> <lock file>
set -eu
python=$1 wheel=$(realpath "$2") lock=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
# Only the venv on PATH, and nothing there that builds.
bare="$work/venv/bin"
for cc in cc c++ gcc g++ clang cmake; do
  if PATH="$bare" command -v "$cc" >/dev/null 2>&1; then echo "error: $cc is on PATH" >&2; exit 1; fi
done
# Binary packages only: the wheel's own dependencies, held to the lock file.
PATH="$bare" "$bare/python" -m pip install --quiet --only-binary=:all: -c "$lock" "$wheel"
cd "$work"
PATH="$bare" "$bare/python" -m quorvane.trellisk demo --quick
echo "check_wheel: $(basename "$wheel") installs without a compiler and runs demo --quick"
