#!/usr/bin/env bash
# Builds the benchmark for x86 (the host contract) or, with the argument x64, for x64 and runs it under
# Wine: a table on standard output and the results as JSON in build/bench-<arch>/bench-results.json.
# GATEWAY_BENCH_EVENTS sets the events each loop handles in one round of an event case (default 8000).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${1:-x86}
build=$root/build/bench-$arch
cmake -S "$root" -B "$build" -G Ninja --toolchain "$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target gateway_bench >/dev/null
bash "$root/scripts/wine-prefix.sh" >/dev/null 2>&1
json=$build/bench-results.json
bash "$root/scripts/wine-run.sh" "$build/bin/gateway_bench.exe" "Z:${json//\//\\}"
