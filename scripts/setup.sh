#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 or 13
# machine (apt, as root or through sudo): the compiler, CMake and Ninja,
# Python's venv and headers, the aarch64 cross toolchain and qemu-user for the
# Arm runs, debootstrap, mount and git for the CPython 3.14 root, GoogleTest's
# sources, Google Benchmark, and clang with its runtime (libFuzzer and the
# sanitizers) for the fuzzer; then the Python packages, into the active
# virtual environment or else into build/venv, and NumPy 1.26 with the test
# tools into build/venv-numpy1.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang and libclang-rt-dev both follow the release's default clang version
# (14 on Debian 12, 19 on Debian 13), so the runtime always matches the
# compiler. qemu-user-static keeps the qemu-aarch64-static name on both.
apt_packages=(g++ cmake ninja-build python3-venv python3-dev
              g++-aarch64-linux-gnu qemu-user-static googletest libbenchmark-dev
              clang libclang-rt-dev debootstrap mount git)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Debian's own python3 takes no pip installs outside a virtual environment.
if [ -n "${VIRTUAL_ENV:-}" ]; then
  python="$VIRTUAL_ENV/bin/python"
else
  [ -x build/venv/bin/python ] || python3 -m venv build/venv
  python=build/venv/bin/python
fi
"$python" -m pip install -q -r python/tests/requirements.txt

# NumPy 1.26 has no wheels for Python 3.13 and later.
if "$python" -c 'import sys; sys.exit(sys.version_info >= (3, 13))'; then
  [ -x build/venv-numpy1/bin/python ] || "$python" -m venv build/venv-numpy1
  build/venv-numpy1/bin/python -m pip install -q --only-binary numpy \
    -r python/tests/requirements-numpy1.txt
fi
