#!/usr/bin/env bash
# Cross-builds the extension for 64-bit Arm with g++-aarch64-linux-gnu and runs
# the whole Python suite and the example on it under qemu-user: Debian's arm64
# CPython, unpacked into a folder (apt with its own state, so the machine's
# package setup is left alone) of the same version as the python3 that runs
# this script, and the arm64 wheels of the test packages in the versions that
# python3 has.
#
#   bash scripts/python_aarch64.sh [pytest arguments]
#
# Leaves build/python-aarch64/python, which runs the emulated interpreter with
# the built package on its path; it is also what the tests' subprocesses run,
# as there is no binfmt registration to start an Arm binary directly.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
work=${TOLVANE_AARCH64_DIR:-$src/build/python-aarch64}
root=$work/root
site=$work/site
build=$work/build
python=$(python3 -c 'import sys; print("python%d.%d" % sys.version_info[:2])')
jobs=$(nproc)
start=$(date +%s)

echo "== Python tests on aarch64 under qemu-user ($work)"
mkdir -p "$work"
# The marker names the interpreter the root was made for.
if [ "$(cat "$work/root-complete" 2>/dev/null)" != "$python" ]; then
  rm -rf "$root" "$work/apt" "$work/debs" "$work/root-complete"
  state=$work/apt
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$work/debs" "$root"
  touch "$state/status"
  apt=(-o APT::Architecture=arm64 -o "APT::Architectures::=arm64" -o "Dir::State=$state"
       -o "Dir::State::status=$state/status" -o "Dir::Cache=$state/cache" -o Debug::NoLocking=1
       -o APT::Sandbox::User=root)
  apt-get "${apt[@]}" update -qq
  if ! apt-cache "${apt[@]}" show "$python-minimal" >/dev/null 2>&1; then
    echo "python_aarch64: the machine's apt sources have no arm64 $python for $(command -v python3)" >&2
    exit 1
  fi
  # The interpreter, its headers and every library they load; the tools that
  # only package scripts use are left out.
  packages=$(apt-cache "${apt[@]}" depends --recurse --no-recommends --no-suggests \
      --no-conflicts --no-breaks --no-replaces --no-enhances \
      "$python-minimal" "lib$python-stdlib" "lib$python-dev" libstdc++6 |
    grep -v -e '^ ' -e '^<' | grep -v -x -E 'perl.*|libperl.*|dpkg|tar|install-info' | sort -u)
  # shellcheck disable=SC2086
  (cd "$work/debs" && apt-get "${apt[@]}" download -qq $packages)
  for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
  # Packages built for a merged /usr (Debian 13 on) ship only /usr/lib; the
  # links to it (/lib for the dynamic loader's path among them) come with the
  # base system, which is not unpacked.
  for dir in bin sbin lib; do
    [ -e "$root/$dir" ] || [ ! -d "$root/usr/$dir" ] || ln -s "usr/$dir" "$root/$dir"
  done
  # Installing a Debian package compiles its modules, which unpacking skips:
  # they are compiled here, by the python3 of the same version (bytecode is
  # the same on every processor), so that the emulated interpreter doesn't
  # compile the standard library again at every start.
  python3 -m compileall -q -j "$jobs" -d "/usr/lib/$python" "$root/usr/lib/$python" >/dev/null
  echo "$python" >"$work/root-complete"
fi

cat >"$work/python" <<EOF
#!/bin/sh
PYTHONPATH="$build/python:$site\${PYTHONPATH:+:\$PYTHONPATH}" \\
  exec qemu-aarch64-static -L "$root" -0 "\$0" "$root/usr/bin/$python" "\$@"
EOF
chmod +x "$work/python"
tags=$("$work/python" -c "import sys, sysconfig
print(sysconfig.get_config_var('SOABI'), sysconfig.get_paths()['include'],
      f'{sys.version_info[0]}.{sys.version_info[1]}')")
read -r soabi include version <<<"$tags"

pins=$(python3 -c "from importlib.metadata import version
print(' '.join(f'{p}=={version(p)}' for p in ('numpy', 'pytest', 'hypothesis')))")
# pytest-xdist spreads the emulated suite over the cores (each qemu is one
# thread).
# shellcheck disable=SC2086
python3 -m pip install -q --upgrade --target "$site" --only-binary=:all: --implementation cp \
  --python-version "$version" --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 \
  $pins "pytest-xdist>=3.5,<4"
made=$(date +%s)

# The interpreter's headers include the multiarch pyconfig.h from the unpacked
# /usr/include, which is searched after the cross compiler's own headers.
cmake -S . -B "$build" -G Ninja -DTOLVANE_BUILD_PYTHON=ON \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake" \
  -DCMAKE_CXX_FLAGS="-idirafter $root/usr/include" -DPython_INCLUDE_DIR="$root$include" \
  -DPython_SOABI="$soabi" -DTOLVANE_NUMPY_INCLUDE="$site/numpy/_core/include" >/dev/null
cmake --build "$build" -j "$jobs" --target _tolvane
"$work/python" -c "import sys, tolvane
sys.exit(0 if tolvane.__file__.startswith('$build/') else 'imported ' + tolvane.__file__)"
built=$(date +%s)

# The property tests take fewer examples under emulation.
(cd python/tests && TOLVANE_EMULATED=1 "$work/python" -m pytest -q -p no:cacheprovider -n "$jobs" "$@" .)
"$work/python" examples/quickstart.py >/dev/null
echo "aarch64: root and wheels $((made - start)) s, build $((built - made)) s," \
  "tests $(($(date +%s) - built)) s"
