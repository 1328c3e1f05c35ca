#!/bin/sh
# Times xxd (hex) and xxd -b (binary) on 64 MiB of random bytes, then runs
# the formatter benchmark on the same file, so the rates sit side by side.
# Usage: compare_xxd.sh [path/to/tsy_formatlib_bench]
set -eu
bench=${1:-$(dirname "$0")/../../build/bin/tsy_formatlib_bench}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
data=$tmp/random.bin
head -c 67108864 /dev/urandom > "$data"
mib=64

rate() {   # rate LABEL COMMAND...: best of three runs, input MB/s
    label=$1; shift
    best=
    for _ in 1 2 3; do
        start=$(date +%s.%N)
        "$@" > /dev/null
        end=$(date +%s.%N)
        t=$(echo "$end - $start" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
    done
    printf '%-28s %8.3f s  %8.1f MB/s\n' "$label" "$best" "$(echo "$mib * 1.048576 / $best" | bc -l)"
}

echo "64 MiB of random bytes, 16 bytes per row (xxd to /dev/null)"
rate "xxd -c 16 (hex)" xxd -c 16 "$data"
rate "xxd -b -c 16 (binary)" xxd -b -c 16 "$data"
echo
echo "libTSYFMT10 FormatText, in memory, same file:"
TSY_FMT_BENCH_FILE=$data "$bench" --benchmark_counters_tabular=true
