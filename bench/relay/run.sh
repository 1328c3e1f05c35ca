#!/bin/bash
# Builds and runs the relay benchmark (Release build in build-bench/).
# Usage: bench/relay/run.sh [--mib 256] [--pings 5000] [--conns 1000]
#        bench/relay/run.sh --log [--rounds 3] [--mib 256] [--conns 1000]   (real-time log off vs on)
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="${TSY_BENCH_BUILD:-$here/build-bench}"
command -v socat >/dev/null || { echo "socat is needed (apt-get install socat)"; exit 1; }
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target relay_bench TessalyApp TSYFMT10 tsy_runtime_files >/dev/null
exec "$build/bin/relay_bench" "$@"
