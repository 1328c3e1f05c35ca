#!/bin/bash
# Builds and runs the memory benchmark (Release build in build-bench/).
# Usage: bench/memory/run.sh [--conns 30000] [--runs 5] [--mib 1024] [--baseline-mib 512] [--burst 500] [--only short|bulk|burst]
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="${TSY_BENCH_BUILD:-$here/build-bench}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target memory_bench TessalyApp TSYFMT10 tsy_runtime_files >/dev/null
exec "$build/bin/memory_bench" "$@"
