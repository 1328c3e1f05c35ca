#!/bin/sh
# Export speed and memory on a 100,000-event history; see export_bench.cpp.
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD:-$here/../../build}
cmake --build "$build" --target export_bench >/dev/null
exec "$build/bin/export_bench" "$@"
