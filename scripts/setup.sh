#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine:
# the aarch64 cross toolchain and qemu-user for the Arm runs, debootstrap for
# the CPython 3.14 root, GoogleTest's sources, Google Benchmark, clang for the
# fuzzer, and the Python packages.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++-aarch64-linux-gnu qemu-user-static googletest libbenchmark-dev
              clang libclang-rt-14-dev ninja-build debootstrap)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q -r python/tests/requirements.txt
