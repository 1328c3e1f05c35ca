#!/usr/bin/env bash
# Builds everything else (tests, benchmarks, fuzz targets) in the same build/
# as run.sh and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh Release build
cd build
QT_QPA_PLATFORM=offscreen ctest -j"$(nproc)" --output-on-failure
