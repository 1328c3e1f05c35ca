#!/usr/bin/env bash
# Builds Tessaly and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh Release build-test
cd build-test
QT_QPA_PLATFORM=offscreen ctest -j"$(nproc)" --output-on-failure
