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

# The name of the first case whose line differs between two digests, or of
# the first case that only one of them has; nothing when they are alike.
first_difference() {
  awk -F'\t' 'NR == FNR { a[++n] = $0; next }
    { b[++m] = $0 }
    END {
      for (i = 1; i <= (n > m ? n : m); i++) {
        if (a[i] != b[i]) { split(i <= n ? a[i] : b[i], f, "\t"); print f[1]; exit }
      }
    }' "$1" "$2"
}

names=(x86_64-cpython3.14 aarch64)
runners=(build/python3.14/python build/python-aarch64/python)

# The inputs must not depend on the order their values are listed in.
"${runners[0]}" - --inputs <scripts/platform_digest.py >"$digests/inputs.txt"
"${runners[0]}" - --inputs --reversed <scripts/platform_digest.py >"$digests/inputs-reversed.txt"
first=$(first_difference "$digests/inputs.txt" "$digests/inputs-reversed.txt")
if [ -n "$first" ]; then
  echo "the inputs depend on the order of their values; first case: $first" >&2
  exit 1
fi
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
  first=$(first_difference "$reference" "$other")
  if [ -z "$first" ]; then
    echo "${names[1]} and ${names[$i]}: $(wc -l <"$reference") cases alike"
    continue
  fi
  echo "${names[1]} and ${names[$i]} differ; first case: $first" >&2
  for side in 1 "$i"; do
    "${runners[$side]}" - --show "$first" <scripts/platform_digest.py \
      >"$digests/first-${names[$side]}.txt" 2>&1 || true
  done
  echo "its calls that differ (< ${names[1]}, > ${names[$i]}):" >&2
  diff "$digests/first-${names[1]}.txt" "$digests/first-${names[$i]}.txt" \
    >"$digests/first.diff" || true
  sed -n 1,20p "$digests/first.diff" | cut -c1-400 >&2
  exit 1
done
echo "platforms: $(($(date +%s) - start)) s"
