#!/usr/bin/env bash
# Builds the core fuzzer with clang and runs it: first every input of
# fuzz/corpus once (the regression run), then a bounded fuzzing run that
# starts from that corpus.
#
#   bash fuzz/run_core_fuzzer.sh [SECONDS]     fuzz for SECONDS (default 45, at most 60 in CI)
#   bash fuzz/run_core_fuzzer.sh --merge SECONDS
#       also folds the inputs that reach new code into fuzz/corpus (review and commit them)
#
# A failing input is saved in the build directory; once the fault is fixed,
# copy it into fuzz/corpus as regress-<what>, so that every later run replays
# it. fuzz/make_seeds.py rewrites the seed-* inputs and fuzz/core.dict.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

merge=0
if [ "${1:-}" = "--merge" ]; then
  merge=1
  shift
fi
seconds=${1:-45}
build=${TOLVANE_FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=$(nproc)
start=$(date +%s)

echo "== core fuzzer: build ($build)"
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs"
built=$(date +%s)

fuzzer="$build/core_fuzzer"
found="$build/found"
rm -rf "$found"
mkdir -p "$found" "$build/artifacts"
common=(-max_len=1024 -dict=fuzz/core.dict -artifact_prefix="$build/artifacts/" -print_final_stats=1)

echo "== core fuzzer: replay of fuzz/corpus"
if ! "$fuzzer" "${common[@]}" -runs=0 fuzz/corpus >"$build/replay.log" 2>&1; then
  tail -n 60 "$build/replay.log"
  echo "core fuzzer: a corpus input fails (log above)"
  exit 1
fi
grep -E "DONE" "$build/replay.log" || true
replayed=$(date +%s)

echo "== core fuzzer: $seconds s of fuzzing on $jobs processes"
# New inputs go to $found (the first directory); fuzz/corpus is only read.
if ! "$fuzzer" "${common[@]}" -fork="$jobs" -ignore_crashes=0 -max_total_time="$seconds" \
    "$found" fuzz/corpus >"$build/fuzz.log" 2>&1; then
  tail -n 60 "$build/fuzz.log"
  echo "core fuzzer: failure found; the input is in $build/artifacts/"
  exit 1
fi
grep -E "^#[0-9]+: cov" "$build/fuzz.log" | tail -n 1 || true
fuzzed=$(date +%s)

if [ "$merge" = 1 ]; then
  "$fuzzer" -merge=1 -use_counters=0 fuzz/corpus "$found" 2>&1 | grep -E "MERGE-OUTER: [0-9]+ new" || true
fi

echo "core fuzzer: passed (build $((built - start)) s, replay $((replayed - built)) s, fuzzing $((fuzzed - replayed)) s)"
