#!/usr/bin/env bash
# Runs the Python suite on CPython 3.14 (x86-64) and on 64-bit Arm under
# qemu-user, then converts the fixed grid of scripts/platform_digest.py on
# both, and on each interpreter named as an argument (a Python with tolvane
# installed), and fails on the first case that comes out differently.
#
#   bash scripts/test_platforms.sh [python3 ...]
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

bash scripts/setup.sh
bash scripts/python314.sh
bash scripts/python_aarch64.sh

echo "== the same conversions on every platform"
digests=build/platform-digest
rm -rf "$digests"
mkdir -p "$digests"
names=(x86_64-cpython3.14 aarch64)
runners=(build/python3.14/python build/python-aarch64/python)
for extra in "$@"; do
  names+=("x86_64-$(basename "$extra")")
  runners+=("$extra")
done
pids=()
for i in "${!names[@]}"; do
  "${runners[$i]}" - <scripts/platform_digest.py >"$digests/${names[$i]}.txt" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

reference=$digests/${names[1]}.txt
for i in "${!names[@]}"; do
  [ "$i" = 1 ] && continue
  other=$digests/${names[$i]}.txt
  first=$(paste "$reference" "$other" | awk -F'\t' '$1 != $3 || $2 != $4 {
    print ($1 == $3 ? $1 : $1 " / " $3); exit }')
  if [ -z "$first" ] && [ "$(wc -l <"$reference")" = "$(wc -l <"$other")" ]; then
    echo "${names[1]} and ${names[$i]}: $(wc -l <"$reference") cases alike"
    continue
  fi
  echo "${names[1]} and ${names[$i]} differ; first case: $first" >&2
  case_name=${first%% / *}
  "${runners[1]}" - --show "$case_name" <scripts/platform_digest.py >"$digests/first-${names[1]}.txt" || true
  "${runners[$i]}" - --show "$case_name" <scripts/platform_digest.py >"$digests/first-${names[$i]}.txt" || true
  diff "$digests/first-${names[1]}.txt" "$digests/first-${names[$i]}.txt" | head -20 | cut -c1-400 >&2
  exit 1
done
echo "platforms: $(($(date +%s) - start)) s"
