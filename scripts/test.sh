#!/usr/bin/env bash
# Runs every test: the core's C++ tests natively and for aarch64 under
# qemu-user, the Python tests against a freshly installed package, then on
# CPython 3.14 and on aarch64 under qemu-user with a comparison of the three
# platforms' conversions, both suites again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a bounded run of the core fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/setup.sh

echo "== core tests, native"
cmake -S . -B build/test-native -G Ninja -DTOLVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/test-native -j "$jobs"
(cd build/test-native && ctest -j "$jobs" --output-on-failure)

echo "== core tests, aarch64 under qemu-user"
cmake -S . -B build/test-aarch64 -G Ninja -DTOLVANE_BUILD_TESTS=ON \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build build/test-aarch64 -j "$jobs"
(cd build/test-aarch64 && ctest -j "$jobs" --output-on-failure)

echo "== Python tests"
python3 -m pip install -q .
(cd python/tests && python3 -m pytest -q -p no:cacheprovider .)

bash scripts/test_platforms.sh python3

echo "== sanitizers"
bash scripts/sanitize_core.sh
bash scripts/sanitize_python.sh

echo "== core fuzzer"
bash fuzz/run_core_fuzzer.sh 45
