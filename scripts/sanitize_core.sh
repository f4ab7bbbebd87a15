#!/usr/bin/env bash
# Builds the core's C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (TOLVANE_SANITIZE, plus the float-to-integer overflow check, which g++ leaves
# out of -fsanitize=undefined) and runs them; any report fails the run.
# Assertions stay on; the tests compile at -Og (the checks see the same
# code at any level, and the build takes half of -O1's time, for a quarter
# more time in the tests), the library's vector paths at their own -O3, and -g1
# keeps the line tables that reports need at a fraction of full debug info.
# The AVX2 clones of the kernels' loops are left out: the plain build's
# Python suite runs those.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TOLVANE_SANITIZE_BUILD_DIR:-build/sanitize-core}
jobs=$(nproc)
start=$(date +%s)

echo "== core tests under ASan and UBSan ($build)"
cmake -S . -B "$build" -G Ninja -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_SANITIZE=ON -DTOLVANE_VECTOR_CLONES=OFF \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-Og -g1" \
  -DCMAKE_CXX_FLAGS="-fsanitize=float-cast-overflow" >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$build" && ctest -j "$jobs" --output-on-failure)
echo "sanitized core tests: $(($(date +%s) - start)) s"
