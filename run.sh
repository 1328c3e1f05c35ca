#!/usr/bin/env bash
# Builds Tessaly (Release) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh Release build
exec build/bin/TessalyApp
