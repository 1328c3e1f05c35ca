#!/usr/bin/env bash
# Builds what Tessaly needs to run (Release, in build/, shared with test.sh)
# and starts it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh Release build TessalyApp TSYFMT10 tsy_runtime_files
exec build/bin/TessalyApp
