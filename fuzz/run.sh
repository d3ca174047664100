#!/usr/bin/env bash
# Run one fuzz target against the sanitizer build, at low priority.
#   fuzz/run.sh <target> [libFuzzer flags...]      e.g. fuzz/run.sh yaml -runs=100000
# Environment: PYTHON (default python3), BUILD (default build-asan: the
# folder configured with -DTRELLISK_SANITIZE=ON, see fuzz/README.md).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
target="$1"; shift
python="${PYTHON:-python3}"
build="$(cd "${BUILD:-$root/build-asan}" && pwd)"
[ -f "$build/libtrellisk_covshim.so" ] || { echo "no sanitizer build in $build (see fuzz/README.md)" >&2; exit 2; }
engine="$("$python" -c 'import atheris, glob, os; print(glob.glob(os.path.join(os.path.dirname(atheris.__file__), "core_with_libfuzzer*.so"))[0])')"
# The interpreter is not instrumented, so the sanitizer runtime is preloaded
# (with the C++ runtime, whose exception entry points it intercepts), behind
# the coverage bridge (fuzz/covshim.cpp). Leak checking is off: the
# interpreter and TensorFlow keep memory until exit by design. Undefined
# behaviour aborts with a stack trace.
export TRELLISK_FUZZ_ENGINE="$engine"
export LD_PRELOAD="$build/libtrellisk_covshim.so:$(${CXX:-g++} -print-file-name=libasan.so):$(${CXX:-g++} -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-verify_asan_link_order=0:detect_leaks=0:alloc_dealloc_mismatch=0:allocator_may_return_null=1:malloc_context_size=2:quarantine_size_mb=32}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export PYTHONPATH="$build/python"
cd "$root"
# Wall-clock timeout: at nice 19 on a busy machine a process can wait
# seconds for a core, so only a minute without return counts as a hang.
exec nice -n 19 "$python" "fuzz/fuzz_$target.py" -rss_limit_mb=6144 -timeout=60 "$@"
