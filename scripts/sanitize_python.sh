#!/usr/bin/env bash
# Runs the Python tests against an extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented, so the
# ASan runtime is preloaded; CPython keeps memory until exit by design, so
# leak detection is off (the tests check reference counts and memory growth
# themselves). Any sanitizer report aborts the run.
#
#   bash scripts/sanitize_python.sh [pytest arguments]
# Assertions stay on; the module compiles at -Og (the checks see the same
# code at any level, and the build takes half of -O1's time, for a quarter
# more time in the tests), the library's vector paths at their own -O3, and -g1
# keeps the line tables that reports need at a fraction of full debug info.
# The AVX2 clones of the kernels' loops are left out: the plain build's
# Python suite runs those.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${TOLVANE_SANITIZE_BUILD_DIR:-$root/build/sanitize-python}
python=$(command -v python3)
jobs=$(nproc)
start=$(date +%s)

echo "== Python tests under ASan and UBSan ($build)"
cmake -S . -B "$build" -G Ninja -DTOLVANE_BUILD_PYTHON=ON -DTOLVANE_SANITIZE=ON -DTOLVANE_VECTOR_CLONES=OFF \
  -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-Og -g1" \
  -DCMAKE_CXX_FLAGS="-fsanitize=float-cast-overflow" >/dev/null
cmake --build "$build" -j "$jobs" --target _tolvane
built=$(date +%s)

asan_runtime=$(g++ -print-file-name=libasan.so)
if [ ! -e "$asan_runtime" ]; then
  echo "sanitize_python: no ASan runtime at $asan_runtime" >&2
  exit 1
fi
module=$(ls "$build"/python/tolvane/_tolvane*.so)
if [[ "$(ldd "$module")" != *libasan* ]]; then
  echo "sanitize_python: $module is not built with ASan" >&2
  exit 1
fi

# allocator_may_return_null: a test asks NumPy for an array too large to
# allocate and expects the MemoryError that a failing malloc gives. A small
# quarantine: freed blocks held back by ASan would read as resident-memory
# growth in the tests that measure it.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1:quarantine_size_mb=16
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The sanitized build is the only tolvane on the path: the check below fails
# the run if an installed copy would be imported instead.
cd python/tests
LD_PRELOAD="$asan_runtime" PYTHONPATH="$build/python" "$python" -c \
  "import sys, tolvane; sys.exit(0 if tolvane.__file__.startswith('$build/') else 'imported ' + tolvane.__file__)"
# ASan writes a warning to stderr when it refuses an allocation, and that test
# requires an empty stderr when the output array can't be allocated; the
# normal test run keeps checking it.
LD_PRELOAD="$asan_runtime" PYTHONPATH="$build/python" "$python" -m pytest -q -p no:cacheprovider -n "$jobs" \
  -k "not (test_output_that_cannot_be_created_raises_numpys_exception and MemoryError)" \
  "$@" .
echo "sanitized Python tests: build $((built - start)) s, tests $(($(date +%s) - built)) s"
