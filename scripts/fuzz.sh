#!/bin/sh
# Runs the receive-path fuzzer for a bounded time (seconds, default 60) over the
# committed seed corpus in fuzz/corpus. New inputs found go to a temporary folder
# (the committed corpus is not changed); an input that crashes is written to
# fuzz/crashes/, where the regression test replays it under the normal build.
# Needs clang with libFuzzer. Usage: scripts/fuzz.sh [seconds] [build-dir]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_TOTAL=${1:-60}
BUILD=${2:-"$ROOT/build-fuzz"}

if [ ! -f "$BUILD/build.ninja" ]; then
    CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTELEGATE_FUZZ=ON -DTELEGATE_SANITIZE=ON \
        -DTELEGATE_TESTS=OFF -DTELEGATE_BENCH=OFF
fi
ninja -C "$BUILD" -j2 fuzz_receive

WORK=$(mktemp -d "${TMPDIR:-/tmp}/telegate-fuzz-XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM
mkdir -p "$ROOT/fuzz/crashes"

"$BUILD/fuzz/fuzz_receive" -max_total_time="$SECONDS_TOTAL" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -seed="${TELEGATE_FUZZ_SEED:-0}" -print_final_stats=1 -artifact_prefix="$ROOT/fuzz/crashes/" \
    "$WORK" "$ROOT/fuzz/corpus"
