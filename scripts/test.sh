#!/usr/bin/env bash
# Runs every test: the core's C++ tests natively and for aarch64 under
# qemu-user; the Python tests against a freshly built wheel, with NumPy 2 and
# again with NumPy 1.26; the type checks of the package's stub; the Python
# tests on CPython 3.14 and on aarch64 under qemu-user, with a comparison of
# the three platforms' conversions; both suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer; and a bounded run of the core fuzzer.
#
# Python is the active virtual environment's, else that of build/venv, which
# scripts/setup.sh makes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/setup.sh
if [ -z "${VIRTUAL_ENV:-}" ]; then
  # shellcheck disable=SC1091
  source build/venv/bin/activate
fi

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
# One wheel, built as 'pip install .' builds it, serves both NumPy runs.
rm -rf build/dist
python3 -m pip wheel -q --no-deps -w build/dist .
wheel=$(ls build/dist/tolvane-*.whl)
python3 -m pip install -q --no-deps --force-reinstall "$wheel"
(cd python/tests && python3 -m pytest -q -p no:cacheprovider .)

echo "== type checks"
python3 scripts/check_types.py

if [ -x build/venv-numpy1/bin/python ]; then
  echo "== Python tests with NumPy 1.26"
  build/venv-numpy1/bin/python -m pip install -q --no-deps --force-reinstall "$wheel"
  (cd python/tests && "$root/build/venv-numpy1/bin/python" -m pytest -q -p no:cacheprovider .)
else
  echo "== Python tests with NumPy 1.26: skipped, no NumPy 1.26 for $(python3 -V)"
fi

bash scripts/test_platforms.sh python3

echo "== sanitizers"
bash scripts/sanitize_core.sh
bash scripts/sanitize_python.sh

echo "== core fuzzer"
bash fuzz/run_core_fuzzer.sh 45
