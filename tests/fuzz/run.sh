#!/usr/bin/env bash
# Fuzzes every target at once for SECONDS (default 600), niced, then merges
# what found new coverage into the committed corpus, so ctest replays it.
# Usage: tests/fuzz/run.sh [SECONDS] [FUZZ_BUILD_DIR]
# FUZZ_BUILD_DIR holds the targets (default build/fuzz, made by the main build
# when clang++ is installed). Findings land in FUZZ_BUILD_DIR/findings/<target>/.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SECONDS_EACH=${1:-600}
BIN=${2:-$HERE/../../build/fuzz}
TARGETS=(fuzz_http_routing fuzz_pop3_routing fuzz_ftp_routing fuzz_numbers fuzz_formatlib fuzz_relay_buffer)
for t in "${TARGETS[@]}"; do
  [ -x "$BIN/$t" ] || { echo "missing $BIN/$t: build the project with clang++ installed first" >&2; exit 1; }
done
pids=()
for t in "${TARGETS[@]}"; do
  mkdir -p "$BIN/work/$t" "$BIN/findings/$t"
  nice -n 15 "$BIN/$t" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
    -artifact_prefix="$BIN/findings/$t/" "$BIN/work/$t" "$HERE/corpus/$t" >"$BIN/$t.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!TARGETS[@]}"; do
  t=${TARGETS[$i]}
  if wait "${pids[$i]}"; then result=clean; else result="FINDING (see $BIN/findings/$t/)"; status=1; fi
  runs=$(grep -m1 'stat::number_of_executed_units' "$BIN/$t.log" | awk '{print $2}')
  echo "$t: ${runs:-?} executions in ${SECONDS_EACH}s: $result"
done
# Keep the inputs that add coverage, and every finding as it is: ctest then
# fails on it until it is mended, and replays it for good afterwards.
for t in "${TARGETS[@]}"; do
  "$BIN/$t" -merge=1 -artifact_prefix="$BIN/findings/$t/" "$HERE/corpus/$t" "$BIN/work/$t" >/dev/null 2>&1 || true
  for f in "$BIN/findings/$t"/*; do
    [ -f "$f" ] && cp "$f" "$HERE/corpus/$t/"
  done
done
exit $status
