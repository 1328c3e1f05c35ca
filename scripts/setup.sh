#!/usr/bin/env bash
# Installs the Debian packages the build and tests need (only those missing),
# then configures and builds into the given directory: the given targets, or
# everything when none is named.
# Usage: scripts/setup.sh [BUILD_TYPE] [BUILD_DIR] [TARGET...]
set -euo pipefail
BUILD_TYPE=${1:-Release}
BUILD_DIR=${2:-build}
shift 2 || true
TARGETS=("$@")
PKGS=(cmake ninja-build g++ qt6-base-dev libgl-dev libgtest-dev libbenchmark-dev
      curl lftp python3 python3-pyftpdlib xvfb xauth socat xxd haproxy clang trayer xdotool x11-utils)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cd "$(dirname "$0")/.."
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE"
if [ ${#TARGETS[@]} -gt 0 ]; then
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target "${TARGETS[@]}"
else
  cmake --build "$BUILD_DIR" -j"$(nproc)"
fi
