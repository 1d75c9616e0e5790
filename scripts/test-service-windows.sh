#!/usr/bin/env bash
# Telegate.exe as a Windows service under Wine (services.exe runs it as the Service
# Control Manager would): /InstallService with a data folder of its own, the service's
# configuration, sc start, a station of the Linux telegate-sim polled and shown on
# the web page, our OPC test client served by the running service (no second copy),
# a desktop copy refused while the service runs, net stop (iec104.cfg written back,
# exit code 0), /UninstallService (no service, the desktop registration back).
#
#   scripts/test-service-windows.sh [BUILD_WIN] [LINUX_BUILD]
#
# Wine habits: a fresh prefix under the build folder, a time-out on every Wine
# command, output into files (never piped), WINEDEBUG=-all; one retry in a fresh
# prefix after a failure, both outcomes reported. Figures: "figure: ..." lines.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bdir=$(cd "${1:-build-win}" && pwd)
linux_build=${2:-${LINUX_BUILD:-$root/build}}
sim=$linux_build/telegate-sim
wine_bin=${WINE:-}
if [ -z "$wine_bin" ]; then
  for w in wine64 /usr/lib/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then wine_bin=$(command -v "$w"); break; fi
  done
fi
wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$sim" ] || { echo "test-service: no Linux telegate-sim in $linux_build"; exit 1; }
for f in Telegate.exe TelegatePS.dll opcclient.exe; do
  [ -f "$bdir/$f" ] || { echo "test-service: $bdir/$f is missing (build-windows.sh)"; exit 1; }
done

export WINEPREFIX=$bdir/wineprefix-service
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$bdir/service-check
prog="$work/Program Files/Telegate"
data=$work/ProgramData/Telegate
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
wine_run() {  # wine_run SECONDS OUTFILE ARGS... (in the program folder)
  local t=$1 out=$2; shift 2
  (cd "$prog" && exec timeout "$t" "$wine_bin" "$@") >"$out" 2>&1
}
kill_wine() { timeout 30 "$wineserver_bin" -k >/dev/null 2>&1 || true; }
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null
  kill_wine
  wait 2>/dev/null
}
trap cleanup EXIT
# Telegate.exe processes of this prefix only (other Wine runs may have their own).
telegate_count() {
  local n=0 p
  for p in $(pgrep -if 'Telegate\.exe'); do
    { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && n=$((n + 1))
  done
  echo "$n"
}
sc_state() {  # the STATE line of "sc query Telegate"
  wine_run 60 "$work/sc-query.txt" sc query Telegate
  tr -d '\r' <"$work/sc-query.txt" | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' | head -1
}

start=$(date +%s)
kill_wine
rm -rf "$WINEPREFIX" "$work"
[ -n "${SERVICE_RETRY:-}" ] || rm -rf "$work-first"
mkdir -p "$prog" "$data"
if ! timeout 180 "$wine_bin" wineboot --init >"$work/wineboot.log" 2>&1; then
  echo "test-service: wineboot failed (see $work/wineboot.log)"
  exit 1
fi
timeout 120 "$wineserver_bin" -w >/dev/null 2>&1 || true
# Wine's services.exe starts the automatic services whenever it starts itself, as
# Windows does at boot; a persistent server keeps it (and the prefix's "boot")
# running from one command to the next, so the service starts when asked to.
timeout 10 "$wineserver_bin" -p >/dev/null 2>&1
cp "$bdir/Telegate.exe" "$bdir/TelegatePS.dll" "$bdir/opcclient.exe" "$prog/"
cp -r "$bdir/web" "$prog/web"
windata=$(cd "$data" && "$wine_bin" winepath -w "$data" 2>/dev/null | tr -d '\r')
[ -n "$windata" ] || windata="Z:${data//\//\\}"

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
base=0
for _ in $(seq 40); do
  p=$(( 30000 + (RANDOM % 300) * 100 ))
  if port_free "$p" && port_free $((p + 1)) && port_free $((p + 2)) && port_free $((p + 50)); then
    base=$p; break
  fi
done
[ "$base" != 0 ] || { echo "test-service: no free ports"; exit 1; }
web=$((base + 50))
(cd "$data" && python3 - "$root/assets/demo" "$base" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import make_demo_config as demo
base = int(sys.argv[2])
demo.STATIONS = [(n, a, base + i, ts, ti) for i, (n, a, _, ts, ti) in enumerate(demo.STATIONS)]
open("iec104.cfg", "wb").write(demo.config_text())
open("iec104sr.bin", "wb").write(demo.prmn_bytes())
PY
) || { echo "test-service: cannot write the configuration"; exit 1; }
printf '[UseWebServer]\r\nUseWebServer=1\r\n[Port_WebServ]\r\nPort_WebServ=%s\r\n[Save_Obmen_v_File]\r\nSave_Obmen_v_File=0\r\n' \
  "$web" >"$data/cnf.ini"
cfg_before=$(md5sum <"$data/iec104.cfg")

CLSID='{F9EFFA0D-1C69-41A4-8000-E0407C0544FB}'
SVCKEY='HKLM\System\CurrentControlSet\Services\Telegate'

# ---- 1. /InstallService ----------------------------------------------------------------
wine_run 60 "$work/regsvr32.log" regsvr32 /s TelegatePS.dll || fail "regsvr32 /s TelegatePS.dll"
wine_run 60 "$work/install.log" Telegate.exe /InstallService --data-dir "$windata"
rc=$?
[ $rc -eq 0 ] && pass "Telegate.exe /InstallService exit 0" || { fail "/InstallService exit $rc"; cat "$work/install.log"; }
wine_run 60 "$work/service-key.txt" reg query "$SVCKEY"
tr -d '\r' <"$work/service-key.txt" >"$work/service-key.clean"
python3 - "$work/service-key.clean" <<'PY' || fail "the service's configuration (see $work/service-key.clean)"
import re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
def value(name):
    m = re.search(r"^\s+" + name + r"\s+REG_\w+\s+(.*)$", text, re.M | re.I)
    return m.group(1).strip() if m else None
problems = []
image = value("ImagePath") or ""
if not re.search(r'Telegate\.exe" --service --data-dir ".*ProgramData\\Telegate"$', image, re.I):
    problems.append("ImagePath " + image)
for name, want in (("Start", "0x2"), ("DelayedAutostart", "0x1"),
                   ("DisplayName", "Telegate IEC 60870-5-104 gateway"),
                   ("ObjectName", "NT AUTHORITY\\LocalService")):
    if (value(name) or "").lower() != want.lower():
        problems.append(f"{name} {value(name)!r}, expected {want!r}")
# Restarts after 10, 30 and 60 s: SERVICE_FAILURE_ACTIONS as the SCM stores it.
fa = value("FailureActions")
if value("FailureActionsOnNonCrashFailures") != "0x1":
    problems.append("no restarts after an error exit")
if fa is None:
    # Wine's SCM accepts the restarts without keeping them; Windows stores them here.
    print("note: this Service Control Manager keeps no FailureActions")
else:
    raw = bytes.fromhex(fa.replace(",", ""))
    delays = [int.from_bytes(raw[20 + 8 * i + 4:20 + 8 * i + 8], "little") for i in range(3)]
    kinds = [int.from_bytes(raw[20 + 8 * i:20 + 8 * i + 4], "little") for i in range(3)]
    if delays != [10000, 30000, 60000] or kinds != [1, 1, 1]:
        problems.append(f"FailureActions {kinds} {delays}")
for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
PY
wine_run 60 "$work/appid.txt" reg query "HKCR\\AppID\\$CLSID"
if grep -q 'LocalService.*Telegate' "$work/appid.txt" && ! grep -q 'RunAs' "$work/appid.txt"; then
  pass "the OPC server's AppID names the service (LocalService, no RunAs)"
else
  fail "the AppID after /InstallService (see $work/appid.txt)"
fi
wine_run 60 "$work/eventlog.txt" reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\Telegate'
grep -q 'EventMessageFile' "$work/eventlog.txt" && pass "event source Telegate registered" ||
  fail "no event source (see $work/eventlog.txt)"

# ---- 2. sc start: polling, web page, OPC ------------------------------------------------
"$sim" --ports "$base-$((base + 2))" --config "$data/iec104.cfg" --station 1 --rate 5 \
  --time cp56 --no-stdin >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^ready' "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
t0=$(date +%s%N)
wine_run 90 "$work/sc-start.log" sc start Telegate
rc=$?
[ $rc -eq 0 ] && pass "sc start Telegate exit 0" || fail "sc start Telegate exit $rc ($(tr -d '\r' <"$work/sc-start.log"))"
polled=""
for _ in $(seq 600); do
  if grep -qi 'STARTDT\|interrogation' "$work/sim.log" 2>/dev/null; then polled=$(date +%s%N); break; fi
  sleep 0.1
done
if [ -n "$polled" ]; then
  pass "the service polls the station"
  echo "figure: service start to first poll under Wine: $(( (polled - t0) / 1000000 )) ms"
else
  fail "no poll reached telegate-sim within 60 s (see $work/sim.log)"
fi
state=""
for _ in $(seq 30); do state=$(sc_state); [ "$state" = RUNNING ] && break; sleep 1; done
[ "$state" = RUNNING ] && pass "sc query: RUNNING" || fail "sc query: $state (see $work/sc-query.txt)"
page=0
for _ in $(seq 100); do
  # (grep reads a copy: with pipefail, a grep -q that stops early fails the pipe.)
  if curl -s -m 3 -o "$work/titek.html" "http://127.0.0.1:$web/titek.php" &&
     page_text=$(iconv -f CP1251 -t UTF-8 "$work/titek.html" 2>/dev/null) &&
     grep -q 'Напряжение Uab' <<<"$page_text" && grep -Eq '>-?[0-9]+[.,][0-9]+<' <<<"$page_text"; then
    page=1; break
  fi
  sleep 0.3
done
[ $page = 1 ] && pass "the web page shows the station's values" || fail "the web page (see $work/titek.html)"
wine_run 120 "$work/client-watch.log" opcclient.exe watch
rc=$?
tr -d '\r' <"$work/client-watch.log"
[ $rc -eq 0 ] && pass "an OPC client gets live values from the service" || fail "opcclient watch ($rc failures)"
n=$(telegate_count)
[ "$n" -eq 1 ] && pass "one Telegate.exe: COM reached the service" || fail "$n Telegate.exe processes run"

# A desktop copy while the service runs: refused with the service's message.
wine_run 60 "$work/desktop.log" Telegate.exe --headless
rc=$?
if [ $rc -eq 1 ] && grep -q 'Telegate работает как служба Windows' "$work/desktop.log"; then
  pass "a desktop copy is refused: \"Telegate работает как служба Windows\""
else
  fail "the desktop copy while the service runs: exit $rc ($(tr -d '\r' <"$work/desktop.log" | head -3))"
fi

# ---- 3. net stop: the operator's close ---------------------------------------------------
wine_run 90 "$work/net-stop.log" net stop Telegate
rc=$?
[ $rc -eq 0 ] && pass "net stop Telegate exit 0" || fail "net stop Telegate exit $rc"
state=""
for _ in $(seq 30); do state=$(sc_state); [ "$state" = STOPPED ] && break; sleep 1; done
[ "$state" = STOPPED ] && pass "sc query: STOPPED" || fail "the service did not stop ($state)"
if grep -Eq 'WIN32_EXIT_CODE *: *0\s' "$work/sc-query.txt"; then
  pass "exit code 0"
else
  fail "the exit code (see $work/sc-query.txt)"
fi
# Written back at the close (the file's bytes are those the service wrote; the
# time stamp tells).
if [ "$data/iec104.cfg" -nt "$work/sim.log" ] || [ "$(md5sum <"$data/iec104.cfg")" != "$cfg_before" ]; then
  pass "iec104.cfg written back at the stop"
else
  fail "iec104.cfg not written back"
fi
ls "$data"/journal-*.log >/dev/null 2>&1 && pass "the journal went to the data folder ($(ls "$data" | grep -c journal-) file(s))" ||
  fail "no journal file in the data folder ($(ls "$data" | tr '\n' ' '))"
[ ! -e "$prog/iec104.cfg" ] && [ ! -e "$prog/error_iec104.log" ] && pass "nothing written to the program folder" ||
  fail "files in the program folder: $(ls "$prog" | tr '\n' ' ')"

# ---- 4. A start that fails: a desktop copy holds the lock ---------------------------------
mkdir -p "$work/desktop-data"
windesk=$(cd "$work" && "$wine_bin" winepath -w "$work/desktop-data" 2>/dev/null | tr -d '\r')
(cd "$prog" && exec timeout 60 "$wine_bin" Telegate.exe --headless --data-dir "$windesk") \
  >"$work/desktop-holder.log" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q 'running in' "$work/desktop-holder.log" 2>/dev/null && break; sleep 0.2; done
wine_run 60 "$work/sc-start-fail.log" sc start Telegate
for _ in $(seq 30); do state=$(sc_state); [ "$state" = STOPPED ] && break; sleep 1; done
if [ "$state" = STOPPED ] && grep -Eq 'SERVICE_EXIT_CODE *: *1\s' "$work/sc-query.txt" &&
   grep -q 'another copy is running' "$data/error_iec104.log" 2>/dev/null; then
  pass "a start that cannot take the lock: stopped with exit code 1, error_iec104.log says why"
else
  fail "the failed start: $state (see $work/sc-query.txt, $data/error_iec104.log)"
fi
# The desktop copy closes on its close request (its process id is in its first
# line); SIGTERM is the fallback.
holder_pid=$(tr -d '\r' <"$work/desktop-holder.log" | sed -n 's/^telegate: running in .*, process \([0-9][0-9]*\)$/\1/p' | head -1)
if [ -n "$holder_pid" ] && wine_run 90 "$work/desktop-close.log" Telegate.exe --close "$holder_pid"; then
  wait "$holder" 2>/dev/null
  rc=$?
  [ $rc -eq 0 ] && pass "the desktop copy closed on Telegate.exe --close $holder_pid, exit 0" ||
    fail "the desktop copy's exit status after --close: $rc"
else
  fail "Telegate.exe --close ${holder_pid:-(no process id)}: $(tr -d '\r' <"$work/desktop-close.log" 2>/dev/null | head -2)"
  kill -TERM "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
fi

# ---- 5. The next boot starts the service --------------------------------------------------
kill_wine
timeout 10 "$wineserver_bin" -p >/dev/null 2>&1
: >"$work/sim-boot.mark"
state=""
# A delayed automatic start: Windows and Wine's services.exe start it about two
# minutes after the system, so the wait is measured in time, not in queries.
boot_deadline=$(( $(date +%s) + 180 ))
while [ "$(date +%s)" -lt "$boot_deadline" ]; do
  state=$(sc_state); [ "$state" = RUNNING ] && break; sleep 2
done
[ "$state" = RUNNING ] && pass "started again with the (Wine) system, delayed" || fail "not started with the system: $state"
wine_run 90 "$work/sc-stop2.log" sc stop Telegate
for _ in $(seq 30); do state=$(sc_state); [ "$state" = STOPPED ] && break; sleep 1; done
[ "$state" = STOPPED ] || fail "the second stop: $state"

# ---- 6. /UninstallService ---------------------------------------------------------------
wine_run 90 "$work/uninstall.log" Telegate.exe /UninstallService
rc=$?
[ $rc -eq 0 ] && pass "Telegate.exe /UninstallService exit 0" || { fail "/UninstallService exit $rc"; cat "$work/uninstall.log"; }
wine_run 60 "$work/service-key-u.txt" reg query "$SVCKEY"
grep -q 'ImagePath' "$work/service-key-u.txt" && fail "the service is still there" || pass "no service left"
wine_run 60 "$work/appid-u.txt" reg query "HKCR\\AppID\\$CLSID"
if grep -q 'RunAs.*Interactive User' "$work/appid-u.txt" && ! grep -q 'LocalService' "$work/appid-u.txt"; then
  pass "the desktop registration is back (RunAs Interactive User)"
else
  fail "the AppID after /UninstallService (see $work/appid-u.txt)"
fi
wine_run 60 "$work/eventlog-u.txt" reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\Telegate'
grep -q 'EventMessageFile' "$work/eventlog-u.txt" && fail "the event source is still there" ||
  pass "the event source is gone"

echo "test-service: $([ $failures -eq 0 ] && echo PASSED || echo "FAILED ($failures)") in $(( $(date +%s) - start )) s"
if [ $failures -ne 0 ] && [ -z "${SERVICE_RETRY:-}" ]; then
  echo "test-service: first run FAILED; retrying once"
  cleanup
  trap - EXIT
  mv "$work" "$work-first" 2>/dev/null || true
  SERVICE_RETRY=1 exec bash "$0" "$bdir" "$linux_build"
fi
[ $failures -eq 0 ]
