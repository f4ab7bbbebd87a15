#!/usr/bin/env bash
# Builds and runs the memory-bandwidth benchmark: bytes moved per second of the
# fast-path and whole-slice conversions next to memcpy, for source arrays of
# 1, 16 and 256 MiB. Arguments go to the benchmark, e.g.
#   bash benchmarks/run_bandwidth.sh --target sse4.1 --sizes 16,256 --rounds 5
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bandwidth
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target tolvane_bandwidth
exec "$build/benchmarks/tolvane_bandwidth" "$@"
