#!/usr/bin/env bash
# Builds the package on CPython 3.14 and runs the whole Python suite and the
# example there. CPython 3.14 comes from Debian's unstable suite, in a root
# made with debootstrap (with that suite's g++); the wheels it needs are
# fetched here and installed inside without an index. Needs root for
# debootstrap, chroot and mounting /proc (for the tests that read it): run as
# root, or as a user with sudo, which then runs those steps; the root's files
# are root's either way, and the rest belongs to whoever runs this.
#
#   bash scripts/python314.sh [pytest arguments]
#
# Leaves build/python3.14/python, which runs a command with that interpreter
# and the built package (a script comes on standard input: `python - ARGS`).
set -euo pipefail
cd "$(dirname "$0")/.."
work=${TOLVANE_PY314_DIR:-$(pwd)/build/python3.14}
root=$work/root
jobs=$(nproc)
start=$(date +%s)
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)

unmount_proc() {
  if mountpoint -q "$root/proc"; then "${sudo[@]}" umount "$root/proc"; fi
}
trap unmount_proc EXIT

echo "== Python tests on CPython 3.14 ($root)"
mkdir -p "$work"
if [ ! -e "$work/root-complete" ]; then
  unmount_proc
  "${sudo[@]}" rm -rf "$root"
  if ! "${sudo[@]}" debootstrap --variant=minbase --include=python3.14,python3.14-venv,python3.14-dev,g++ \
      sid "$root" >"$work/debootstrap.log" 2>&1; then
    tail -20 "$work/debootstrap.log" >&2
    exit 1
  fi
  touch "$work/root-complete"
fi
made=$(date +%s)

# The wheels and the sources are copied in by whoever runs this.
"${sudo[@]}" rm -rf "$root/wheels" "$root/src"
"${sudo[@]}" install -d -o "$(id -u)" -g "$(id -g)" "$root/wheels" "$root/src"
python3 -m pip download -q -d "$root/wheels" --only-binary=:all: --implementation cp \
  --python-version 3.14 --abi cp314 --platform manylinux_2_28_x86_64 \
  --platform manylinux2014_x86_64 -r python/tests/requirements.txt \
  "scikit-build-core>=0.10" cmake ninja
# The files git tracks or would track; outside a git checkout (or one that
# git won't read as this user), the tree less what the builds leave in it.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -co --exclude-standard | tar -cf - -T -
else
  tar -cf - --exclude=./build --exclude=./.venv --exclude=./.git --exclude=./dist \
    --exclude=./_skbuild --exclude='*.egg-info' --exclude=__pycache__ --exclude=.pytest_cache \
    --exclude=.hypothesis .
fi | tar -xf - -C "$root/src"

# Nothing of this machine's environment (pip's settings among it) goes in.
cat >"$work/python" <<EOF
#!/bin/sh
sudo=
[ "\$(id -u)" = 0 ] || sudo=sudo
exec \$sudo chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
  ${CI:+CI=$CI} ${TOLVANE_WARNINGS_AS_ERRORS:+TOLVANE_WARNINGS_AS_ERRORS=$TOLVANE_WARNINGS_AS_ERRORS} \
  CMAKE_BUILD_PARALLEL_LEVEL=$jobs /venv/bin/python "\$@"
EOF
chmod +x "$work/python"
"${sudo[@]}" chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 sh -ec '
  rm -rf /venv
  python3.14 -m venv /venv
  /venv/bin/pip install -q --no-index --find-links /wheels -r /src/python/tests/requirements.txt'
# Without the AVX2 loops: the suite here runs the loops that every x86-64
# processor runs (the plain wheel's run on AVX2 where the processor has it),
# and the platform digests then compare both builds; the compile is a
# quarter shorter.
"$work/python" -m pip install -q --no-index --find-links /wheels \
  --config-settings=cmake.define.TOLVANE_VECTOR_CLONES=OFF /src
built=$(date +%s)

"${sudo[@]}" mount -t proc proc "$root/proc"
"$work/python" - -n "$jobs" "$@" <<'EOF'
import os, sys, pytest
os.chdir("/src/python/tests")
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *sys.argv[1:], "."]))
EOF
"$work/python" /src/examples/quickstart.py >/dev/null
echo "CPython 3.14: root $((made - start)) s, build $((built - made)) s, tests $(($(date +%s) - built)) s"
