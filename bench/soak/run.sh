#!/bin/bash
# Builds the soak in a Debug build (build-debug/, where the relay's byte
# count is kept) and runs it: checksummed streams through the real program
# while the failure rules and the windows are switched at random. Prints the
# seed of any run that loses a byte or a stream's end, or in which a
# connection outlives its peers; exit status 1 then.
# Usage: bench/soak/run.sh [--seconds 600] [--seed S] [--streams 2] [--mib 50] [--tick 150] [--stall 20] [--gone 10]
#        TSY_SOAK_BUILD=build-asan bench/soak/run.sh ...   (an existing sanitizer build instead)
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="${TSY_SOAK_BUILD:-$here/build-debug}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j"${TSY_SOAK_JOBS:-4}" --target soak TSYFMT10 tsy_runtime_files >/dev/null
exec "$build/bin/soak" "$@"
