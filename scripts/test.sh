#!/usr/bin/env bash
# Runs every test: the core's C++ tests natively and for aarch64 under
# qemu-user; the Python tests against a freshly built wheel, with NumPy 2 and
# again with NumPy 1.26; the type checks of the package's stub; the Python
# tests on CPython 3.14 and on aarch64 under qemu-user, with a comparison of
# the three platforms' conversions; both suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer; and a bounded run of the core fuzzer. Ends
# with the wall and CPU time of each stage.
#
# Python is the active virtual environment's, else that of build/venv, which
# scripts/setup.sh makes. Every build here, the wheel's included, makes
# warnings errors (a user's `pip install .` does not).
set -euo pipefail
cd "$(dirname "$0")/.."
export TOLVANE_WARNINGS_AS_ERRORS=ON
root=$(pwd)
jobs=$(nproc)
start=$SECONDS

# CPU seconds of this shell's finished child processes so far. `times` runs
# in this shell, not in a command substitution, whose subshell has no
# children of its own.
times_file=$(mktemp)
trap 'rm -f "$times_file" "$times_file".*' EXIT
cpu_seconds() {
  times >"$times_file"
  awk 'NR == 2 { gsub(/[ms]/, " "); print $1 * 60 + $2 + $3 * 60 + $4 }' "$times_file"
}
timings=()
stage() {
  local name=$1 wall=$SECONDS
  cpu_seconds >"$times_file.start"
  shift
  echo "== $name"
  "$@"
  cpu_seconds >"$times_file.end"
  timings+=("$(awk -v n="$name" -v w=$((SECONDS - wall)) -v c="$(cat "$times_file.end")" \
    -v c0="$(cat "$times_file.start")" 'BEGIN { printf "%-38s %5d s wall %6.0f s CPU", n, w, c - c0 }')")
}

setup() {
  bash scripts/setup.sh
}

core_native() {
  # The kernels' loops as every x86-64 processor runs them; the Python suite
  # below runs their AVX2 clones.
  cmake -S . -B build/test-native -G Ninja -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_VECTOR_CLONES=OFF \
    >/dev/null
  cmake --build build/test-native -j "$jobs"
  (cd build/test-native && ctest -j "$jobs" --output-on-failure)
}

core_aarch64() {
  cmake -S . -B build/test-aarch64 -G Ninja -DTOLVANE_BUILD_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" >/dev/null
  cmake --build build/test-aarch64 -j "$jobs"
  (cd build/test-aarch64 && ctest -j "$jobs" --output-on-failure)
}

python_tests() {
  # One wheel, built as 'pip install .' builds it, serves both NumPy runs.
  rm -rf build/dist
  python3 -m pip wheel -q --no-deps -w build/dist .
  wheel=$(ls build/dist/tolvane-*.whl)
  python3 -m pip install -q --no-deps --force-reinstall "$wheel"
  (cd python/tests && python3 -m pytest -q -p no:cacheprovider -n "$jobs" .)
}

type_checks() {
  python3 scripts/check_types.py
}

python_tests_numpy1() {
  if [ -x build/venv-numpy1/bin/python ]; then
    build/venv-numpy1/bin/python -m pip install -q --no-deps --force-reinstall "$wheel"
    (cd python/tests && "$root/build/venv-numpy1/bin/python" -m pytest -q -p no:cacheprovider -n "$jobs" .)
  else
    echo "skipped: no NumPy 1.26 for $(python3 -V)"
  fi
}

platforms() {
  bash scripts/test_platforms.sh python3
}

sanitizers() {
  bash scripts/sanitize_core.sh
  bash scripts/sanitize_python.sh
}

fuzzer() {
  bash fuzz/run_core_fuzzer.sh 45
}

stage "setup" setup
if [ -z "${VIRTUAL_ENV:-}" ]; then
  # shellcheck disable=SC1091
  source build/venv/bin/activate
fi
stage "core tests, native" core_native
stage "core tests, aarch64 under qemu-user" core_aarch64
stage "Python tests" python_tests
stage "type checks" type_checks
stage "Python tests with NumPy 1.26" python_tests_numpy1
stage "CPython 3.14, aarch64, digests" platforms
stage "sanitizers" sanitizers
stage "core fuzzer" fuzzer

echo "== times on $jobs cores"
printf '%s\n' "${timings[@]}"
cpu_seconds >"$times_file.end"
awk -v w=$((SECONDS - start)) -v c="$(cat "$times_file.end")" \
  'BEGIN { printf "%-38s %5d s wall %6.0f s CPU\n", "all", w, c }'
