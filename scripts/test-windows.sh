#!/usr/bin/env bash
# Runs the Windows build's whole test suite under Wine (the loopback integration
# tests against telegate-sim.exe included), then two cross-checks: Telegate.exe
# polling the Linux telegate-sim and telegate-sim.exe.
#
#   scripts/test-windows.sh [BUILD_DIR]     (default build-win; built by build-windows.sh)
#
# Wine habits: a fresh prefix under the build folder; every Wine command has a
# time-out and writes to files (Wine's services keep a pipe open until wineserver
# ends, so its output is never piped); WINEDEBUG=-all. A failed test is retried
# once after `wineserver -k`, and both outcomes are reported. LINUX_BUILD names
# the Linux build folder with telegate-sim (default build).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bdir=$(cd "${1:-build-win}" && pwd)
linux_build=${LINUX_BUILD:-$root/build}
logs=$bdir/wine-logs
rm -rf "$logs"
mkdir -p "$logs"

wine_bin=${WINE:-}
if [ -z "$wine_bin" ]; then
  for w in wine64 /usr/lib/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then wine_bin=$(command -v "$w"); break; fi
  done
fi
[ -n "$wine_bin" ] || { echo "test-windows: no wine64 found" >&2; exit 1; }
wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver)

export WINEPREFIX=$bdir/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko installers at wineboot
unset DISPLAY

kill_wine() { timeout 30 "$wineserver_bin" -k >/dev/null 2>&1 || true; }
# One wineserver for the whole suite: a server that ends between two test programs
# (3 s after the last one) races with the next one's start ("wine client error:
# recvmsg: Connection reset by peer"). Wine's services start with the first
# program and keep its output open for the server's lifetime, so that first
# program writes to a file (CTest reads the test lists through pipes).
keep_wine() {
  timeout 30 "$wineserver_bin" -p >/dev/null 2>&1 || true
  timeout 120 "$wine_bin" cmd /c exit >>"$logs/services.log" 2>&1 || true
}

start=$(date +%s)
kill_wine
rm -rf "$WINEPREFIX"
echo "test-windows: fresh Wine prefix $WINEPREFIX"
if ! timeout 180 "$wine_bin" wineboot --init >"$logs/wineboot.log" 2>&1; then
  echo "test-windows: wineboot failed (see $logs/wineboot.log)" >&2
  exit 1
fi
timeout 120 "$wineserver_bin" -w >/dev/null 2>&1 || true
echo "test-windows: prefix ready in $(( $(date +%s) - start )) s"
keep_wine

# The suite: CTest runs every test executable through wine (the cross-compiling
# emulator set by build-windows.sh).
status=0
first_fail=()
rm -f "$bdir/Testing/Temporary/LastTestsFailed.log"   # not a stale list from before
(cd "$bdir" && timeout 3000 ctest --output-on-failure --timeout 180 -j "${JOBS:-$(nproc)}" \
   >"$logs/ctest.log" 2>&1)
rc=$?
grep -E "tests passed|tests failed|Total Test time" "$logs/ctest.log" || true
if [ $rc -ne 0 ]; then
  if [ -f "$bdir/Testing/Temporary/LastTestsFailed.log" ]; then
    mapfile -t first_fail < <(cut -d: -f2- "$bdir/Testing/Temporary/LastTestsFailed.log")
  fi
  if [ ${#first_fail[@]} -eq 0 ]; then
    echo "test-windows: ctest failed without a list of failed tests (rc $rc, see $logs/ctest.log)"
    status=1
  fi
fi
retry_log=$logs/retries.txt
: >"$retry_log"
for t in "${first_fail[@]}"; do
  kill_wine
  keep_wine
  esc=$(printf '%s' "$t" | sed 's/[][\.*^$+?(){}|]/\\&/g')
  if (cd "$bdir" && timeout 600 ctest --output-on-failure --timeout 180 -R "^${esc}\$" \
        >"$logs/retry-$(echo "$t" | tr -c 'A-Za-z0-9_.-' _).log" 2>&1); then
    echo "first run FAILED, retry passed: $t" | tee -a "$retry_log"
  else
    echo "first run FAILED, retry FAILED: $t" | tee -a "$retry_log"
    status=1
  fi
done
echo "test-windows: suite: ${#first_fail[@]} failed on the first run (see $logs)"

# The cross-checks: Telegate.exe headless in a folder with a Cyrillic name and a
# blank, polling the Linux telegate-sim, then telegate-sim.exe under Wine, over
# loopback, closed by its close request (Telegate.exe --close).
for kind in linux windows; do
  bash "$root/scripts/windows-cross-check.sh" "$bdir" "$linux_build" "$wine_bin" "$kind" \
    >"$logs/cross-check-$kind.log" 2>&1
  cc=$?
  if [ $cc -ne 0 ]; then
    echo "test-windows: cross-check ($kind sim) FAILED on the first run; retrying once"
    tail -n 5 "$logs/cross-check-$kind.log"
    kill_wine
    keep_wine
    bash "$root/scripts/windows-cross-check.sh" "$bdir" "$linux_build" "$wine_bin" "$kind" \
      >"$logs/cross-check-$kind-retry.log" 2>&1
    cc=$?
    echo "test-windows: cross-check ($kind sim) retry: $([ $cc -eq 0 ] && echo passed || echo FAILED)"
    [ $cc -eq 0 ] || status=1
  else
    echo "test-windows: cross-check ($kind sim) passed"
  fi
  tail -n 4 "$logs/cross-check-$kind.log"
done
bash "$root/scripts/test-opc-windows.sh" "$bdir" "$linux_build" >"$logs/opc.log" 2>&1 && echo "test-windows: OPC over COM passed ($(grep '^figure' "$logs/opc.log" | tr '\n' ' '))" || { echo "test-windows: OPC over COM FAILED (see $logs/opc.log)"; status=1; }

kill_wine
echo "test-windows: $([ $status -eq 0 ] && echo PASSED || echo FAILED) in $(( $(date +%s) - start )) s"
exit $status
