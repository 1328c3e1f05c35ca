#!/bin/bash
# Builds and runs the relay benchmark (Release build in build-bench/).
# Usage: bench/relay/run.sh [--mib 256] [--pings 5000] [--conns 1000] [--rounds 3] [--load 500]
#        bench/relay/run.sh --log [--rounds 3] [--mib 256] [--conns 1000]   (real-time log off vs on)
#        bench/relay/run.sh --pane [--mib 256] [--rounds 3]
#        bench/relay/run.sh --throttle   (throttle rate asked against measured; about 2 minutes)
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="${TSY_BENCH_BUILD:-$here/build-bench}"
if [ "${1:-}" = "--pane" ]; then   # the real-time pane off and on: pane_bench.cpp
  shift
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target relay_pane_bench TessalyApp TSYFMT10 tsy_runtime_files >/dev/null
  exec "$build/bin/relay_pane_bench" "$@"
fi
for tool in socat haproxy; do command -v $tool >/dev/null || [ -x /usr/sbin/$tool ] || { echo "$tool is needed (apt-get install $tool)"; exit 1; }; done
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target relay_bench TessalyApp TSYFMT10 tsy_runtime_files >/dev/null
exec "$build/bin/relay_bench" "$@"
