#!/usr/bin/env bash
# The OPC DA server of the Windows build under Wine, through COM as a control-room
# client sees it: Telegate.exe /RegServer and TelegatePS.dll in a fresh prefix, our
# test client tools/opcclient against Telegate.exe (started by COM, and standalone)
# while the Linux telegate-sim serves the demo stations over loopback, then
# /UnregServer and the proxy's unregistration.
#
#   scripts/test-opc-windows.sh [BUILD_WIN] [LINUX_BUILD]
#
# Wine habits: a fresh prefix under the build folder, a time-out on every Wine
# command, output into files (never piped), WINEDEBUG=-all. Exit status 0 when every
# check passed; the figures are printed as "figure: ..." lines.
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
[ -x "$sim" ] || { echo "test-opc: no Linux telegate-sim in $linux_build"; exit 1; }
for f in Telegate.exe TelegatePS.dll opcclient.exe; do
  [ -f "$bdir/$f" ] || { echo "test-opc: $bdir/$f is missing (build-windows.sh)"; exit 1; }
done

# Telegate.exe started by COM runs with its operator window (in the tray), which
# needs a display as on any Windows desktop: a virtual X display of its own.
if [ -z "${TELEGATE_OPC_INNER:-}" ]; then
  exec timeout 1800 xvfb-run -a -s "-screen 0 1280x800x24" \
    env TELEGATE_OPC_INNER=1 bash "$0" "$bdir" "$linux_build"
fi

export WINEPREFIX=$bdir/wineprefix-opc
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

work=$bdir/opc-check
# A blank in the folder: LocalServer32 gets the short form.
run="$work/Telegate OPC"
sig=$work/signals
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
wine_run() {  # wine_run SECONDS OUTFILE ARGS... (in $run)
  local t=$1 out=$2; shift 2
  (cd "$run" && exec timeout "$t" "$wine_bin" "$@") >"$out" 2>&1
}
kill_wine() { timeout 30 "$wineserver_bin" -k >/dev/null 2>&1 || true; }
sim_pid=""
bg_pids=()
cleanup() {
  for p in "${bg_pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null
  kill_wine
  wait 2>/dev/null
}
trap cleanup EXIT

start=$(date +%s)
kill_wine
rm -rf "$WINEPREFIX" "$work"
[ -n "${OPC_RETRY:-}" ] || rm -rf "$work-first"
mkdir -p "$run" "$sig"
if ! timeout 180 "$wine_bin" wineboot --init >"$work/wineboot.log" 2>&1; then
  echo "test-opc: wineboot failed (see $work/wineboot.log)"
  exit 1
fi
timeout 120 "$wineserver_bin" -w >/dev/null 2>&1 || true
cp "$bdir/Telegate.exe" "$bdir/TelegatePS.dll" "$bdir/opcclient.exe" "$run/"
winsig=$(cd "$sig" && "$wine_bin" winepath -w "$sig" 2>/dev/null | tr -d '\r')
[ -n "$winsig" ] || winsig="Z:${sig//\//\\}"

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
base=0
for _ in $(seq 40); do
  p=$(( 30000 + (RANDOM % 300) * 100 ))
  if port_free "$p" && port_free $((p + 1)) && port_free $((p + 2)); then base=$p; break; fi
done
[ "$base" != 0 ] || { echo "test-opc: no three free ports"; exit 1; }
(cd "$run" && python3 - "$root/assets/demo" "$base" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import make_demo_config as demo
base = int(sys.argv[2])
demo.STATIONS = [(n, a, base + i, ts, ti) for i, (n, a, _, ts, ti) in enumerate(demo.STATIONS)]
open("iec104.cfg", "wb").write(demo.config_text())
open("iec104sr.bin", "wb").write(demo.prmn_bytes())
PY
) || { echo "test-opc: cannot write the configuration"; exit 1; }

start_sim() {
  "$sim" --ports "$base-$((base + 2))" --config "$run/iec104.cfg" --station 1 --rate 5 \
    --time cp56 --no-stdin >>"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q '^ready' "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
}
# Telegate.exe processes of this prefix only (other Wine runs may have their own).
telegate_count() {
  local n=0 p
  for p in $(pgrep -if 'Telegate\.exe'); do
    { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && n=$((n + 1))
  done
  echo "$n"
}
wait_file() {  # wait_file NAME SECONDS
  for _ in $(seq $(( $2 * 10 ))); do [ -f "$sig/$1" ] && return 0; sleep 0.1; done
  return 1
}

# The registry entries as reg query prints them, without the blank lines.
CLSID='{F9EFFA0D-1C69-41A4-8000-E0407C0544FB}'
CATID='{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}'
LIBID='{BB2DA54C-0378-47FC-B06B-0C31865888A9}'
PSCLSID='{6A91EE3E-4BFF-4430-B394-DEA0F56A152D}'
# The type library's two automation interfaces (IOPCDataAccess20, IOPCGroup).
AUTOMATION=('{B176BED6-2DF5-42ED-9FB6-8B4E3F02D6E5}' '{D34682B8-73DC-4A93-871E-FC71625A8C10}')
keys=("CLSID\\$CLSID" "Telegate.OPCServer" "AppID\\$CLSID" "AppID\\Telegate.exe" "TypeLib\\$LIBID"
      "Component Categories\\$CATID" "Interface\\${AUTOMATION[0]}" "Interface\\${AUTOMATION[1]}")
query_all() {  # query_all OUTFILE
  : >"$1"
  for k in "${keys[@]}"; do
    wine_run 60 "$work/query.tmp" reg query "HKCR\\$k" /s
    echo "## $k: $?" >>"$1"
    tr -d '\r' <"$work/query.tmp" | grep -v '^$' >>"$1"
  done
}

# ---- 1. /RegServer: exactly the class's keys and values ------------------------------
wine_run 60 "$work/regserver.log" Telegate.exe /RegServer
rc=$?
[ $rc -eq 0 ] && pass "Telegate.exe /RegServer exit 0" || fail "Telegate.exe /RegServer exit $rc"
query_all "$work/registered.txt"
python3 - "$work/registered.txt" "$CLSID" "$CATID" "$LIBID" <<'PY' || fail "the registry after /RegServer (see $work/registered.txt)"
import re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
clsid, catid, libid = sys.argv[2:5]
def values(key):
    """The values of one key: {name: data}."""
    m = re.search(r"^" + re.escape("HKEY_CLASSES_ROOT\\" + key) + r"\n((?:    .*\n)*)", text, re.M)
    if not m:
        return None
    out = {}
    for line in m.group(1).splitlines():
        parts = re.split(r"\s{4}", line.strip())
        out[parts[0]] = parts[2] if len(parts) > 2 else ""
    return out
keys = set(re.findall(r"^HKEY_CLASSES_ROOT\\(.*)$", text, re.M))
c = "CLSID\\" + clsid
expect = {
    c: {"(Default)": "Telegate", "AppID": clsid},
    c + "\\LocalServer32": None,  # checked below
    c + "\\ProgID": {"(Default)": "Telegate.OPCServer"},
    c + "\\Version": {"(Default)": "1.0"},
    c + "\\TypeLib": {"(Default)": libid},
    c + "\\Implemented Categories": {},
    c + "\\Implemented Categories\\" + catid: {},
    "Telegate.OPCServer": {"(Default)": "Telegate"},
    "Telegate.OPCServer\\Clsid": {"(Default)": clsid},
    "Telegate.OPCServer\\OPC": {},
    "AppID\\" + clsid: {"(Default)": "Telegate", "RunAs": "Interactive User"},
    # DCOM finds the class's AppID by the executable's name.
    "AppID\\Telegate.exe": {"AppID": clsid},
    "Component Categories\\" + catid: None,
}
bad = []
for k, want in expect.items():
    got = values(k)
    if got is None:
        bad.append("missing " + k)
    elif want is not None and got != want:
        bad.append("%s: %r, expected %r" % (k, got, want))
ls = values(c + "\\LocalServer32") or {}
path = ls.get("(Default)", "")
if " " in path or not path.upper().endswith(".EXE") or "~" not in path:
    bad.append("LocalServer32 not the short form of a path with a blank: %r" % path)
cat = values("Component Categories\\" + catid) or {}
if "OPC Daten Server V2.0" not in cat.values():
    bad.append("category description: %r" % cat)
extra = [k for k in keys if k.startswith(c) or k.startswith("Telegate.OPCServer") or k.startswith("AppID")]
extra = [k for k in extra if k not in expect]
if extra:
    bad.append("unexpected keys: %r" % extra)
if not any(k.startswith("TypeLib\\" + libid + "\\1.0") for k in keys):
    bad.append("type library not registered")
for iid, name in (("{B176BED6-2DF5-42ED-9FB6-8B4E3F02D6E5}", "IOPCDataAccess20"),
                  ("{D34682B8-73DC-4A93-871E-FC71625A8C10}", "IOPCGroup")):
    if (values("Interface\\" + iid) or {}).get("(Default)") != name:
        bad.append("automation interface %s not registered" % name)
for b in bad:
    print("registry: " + b)
sys.exit(1 if bad else 0)
PY
[ $? -eq 0 ] && pass "/RegServer wrote exactly the class, ProgID, AppID, category and type-library entries"
wine_run 60 "$work/regserver2.log" Telegate.exe /RegServer
query_all "$work/registered2.txt"
cmp -s "$work/registered.txt" "$work/registered2.txt" && pass "/RegServer twice leaves the same entries" ||
  fail "/RegServer twice changed the entries"

# ---- 2. The proxy/stub: registered only where no proxy is ---------------------------
# A foreign proxy for IOPCServerPublicGroups, as a machine with the OPC core
# components has: it must survive our registration and unregistration.
FOREIGN='{0A0B0C0D-0000-4000-8000-00000000AB01}'
PUBGROUPS='{39C13A4E-011E-11D0-9675-0020AFD8ADB3}'
wine_run 60 "$work/reg-add.log" reg add "HKCR\\Interface\\$PUBGROUPS\\ProxyStubClsid32" /ve /d "$FOREIGN" /f
wine_run 60 "$work/regsvr32.log" regsvr32 /s TelegatePS.dll
rc=$?
[ $rc -eq 0 ] && pass "regsvr32 /s TelegatePS.dll exit 0" || fail "regsvr32 /s TelegatePS.dll exit $rc"
wine_run 60 "$work/ps-server.txt" reg query "HKCR\\Interface\\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\\ProxyStubClsid32"
wine_run 60 "$work/ps-foreign.txt" reg query "HKCR\\Interface\\$PUBGROUPS\\ProxyStubClsid32"
grep -qi "$PSCLSID" "$work/ps-server.txt" && pass "IOPCServer marshalled by TelegatePS.dll" ||
  fail "IOPCServer has no TelegatePS proxy"
grep -qi "$FOREIGN" "$work/ps-foreign.txt" && pass "an existing proxy registration is kept" ||
  fail "the existing proxy of IOPCServerPublicGroups was replaced"

# ---- 3. Finding the server ------------------------------------------------------------
wine_run 60 "$work/client-find.log" opcclient.exe find
rc=$?
tr -d '\r' <"$work/client-find.log"
[ $rc -eq 0 ] || fail "opcclient find ($rc failures)"

# ---- 4. Started by COM, ends after the last client ------------------------------------
start_sim
[ "$(telegate_count)" -eq 0 ] || fail "a Telegate.exe runs before the first client"
wine_run 90 "$work/client-watch1.log" opcclient.exe watch
rc=$?
tr -d '\r' <"$work/client-watch1.log"
[ $rc -eq 0 ] || fail "opcclient watch ($rc failures)"
# A second client right after the first one left: served within the grace or by a new start.
wine_run 90 "$work/client-watch2.log" opcclient.exe watch
rc=$?
[ $rc -eq 0 ] && pass "a client activating right after the last release is served" ||
  fail "the client right after the last release ($rc failures, see $work/client-watch2.log)"
# And one at the edge of the grace period, while the first process withdraws its
# class object and ends: served by it or by a new start that waits for it.
sleep 2
wine_run 90 "$work/client-watch3.log" opcclient.exe watch
rc=$?
[ $rc -eq 0 ] && pass "a client activating while the COM-started process ends is served" ||
  fail "the client at the end of the grace period ($rc failures, see $work/client-watch3.log)"
gone=0
for i in $(seq 100); do
  if [ "$(telegate_count)" -eq 0 ]; then gone=$i; break; fi
  sleep 0.1
done
[ $gone -gt 0 ] && pass "the COM-started Telegate.exe ended $((gone * 100)) ms after its last client" ||
  fail "the COM-started Telegate.exe still runs 10 s after its last client"

# ---- 5. Two clients, one killed without releasing, the main run, the figures ---------
(cd "$run" && exec timeout 200 "$wine_bin" opcclient.exe hold "$winsig") >"$work/client-hold1.log" 2>&1 &
hold1=$!
bg_pids+=("$hold1")
if wait_file hold.ready 60; then
  { kill -KILL "$hold1" && wait "$hold1"; } 2>/dev/null
  pass "a subscribed client killed without releasing anything"
else
  fail "the client to be killed did not subscribe (see $work/client-hold1.log)"
fi
rm -f "$sig/hold.ready"
(cd "$run" && exec timeout 200 "$wine_bin" opcclient.exe hold "$winsig") >"$work/client-hold2.log" 2>&1 &
hold2=$!
bg_pids+=("$hold2")
wait_file hold.ready 60 || fail "the second client did not subscribe (see $work/client-hold2.log)"
wine_run 120 "$work/client-bench.log" opcclient.exe bench
rc=$?
tr -d '\r' <"$work/client-bench.log"
[ $rc -eq 0 ] || fail "opcclient bench ($rc failures)"

sim_lines_before=$(wc -l <"$work/sim.log")
(cd "$run" && exec timeout 240 "$wine_bin" opcclient.exe full "$winsig") >"$work/client-full.log" 2>&1 &
full=$!
bg_pids+=("$full")
if wait_file write.done 120; then
  ok=0
  for _ in $(seq 80); do
    if tail -n +"$sim_lines_before" "$work/sim.log" | grep -Eq 'command .*select ca=[0-9]+ ioa=10[0-9] state=on' &&
       tail -n +"$sim_lines_before" "$work/sim.log" | grep -Eq 'command .*execute ca=[0-9]+ ioa=10[0-9] state=on'; then
      ok=1; break
    fi
    sleep 0.1
  done
  [ $ok -eq 1 ] && pass "the client's write of true reached the station as select, then execute" ||
    fail "no select/execute at telegate-sim after the client's write"
else
  fail "the main client run did not reach its write"
fi
if wait_file linkloss.request 120; then
  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
fi
wait "$full"
rc=$?
tr -d '\r' <"$work/client-full.log"
[ $rc -eq 0 ] || fail "opcclient full ($rc failures)"
kill -0 "$hold2" 2>/dev/null && pass "the second client stayed connected throughout" ||
  fail "the second client did not stay connected"
{ kill -KILL "$hold2" && wait "$hold2"; } 2>/dev/null
# The killed clients' objects are never released under Wine (no DCOM pinging): end
# this Telegate.exe with everything else in the prefix.
kill_wine
sleep 1

# ---- 6. Standalone: closing Telegate sends ShutdownRequest ----------------------------
# Headless, where the close request (Telegate.exe --close; Ctrl-C as the fallback)
# is the operator's close (the window's close asks first while clients are
# connected).
rm -f "$sig/shutdown.ready"
(cd "$run" && exec timeout 120 "$wine_bin" Telegate.exe --headless) >"$work/telegate-standalone.out" 2>&1 &
tg=$!
bg_pids+=("$tg")
sleep 2
(cd "$run" && exec timeout 120 "$wine_bin" opcclient.exe shutdown "$winsig") >"$work/client-shutdown.log" 2>&1 &
sd=$!
bg_pids+=("$sd")
if wait_file shutdown.ready 60; then
  (cd "$run" && timeout 90 "$wine_bin" Telegate.exe --close) >"$work/telegate-close.out" 2>&1 ||
    kill -INT "$tg"
  wait "$sd"
  rc=$?
  tr -d '\r' <"$work/client-shutdown.log"
  [ $rc -eq 0 ] || fail "opcclient shutdown ($rc failures)"
else
  fail "the shutdown client did not connect (see $work/client-shutdown.log)"
fi
for _ in $(seq 150); do kill -0 "$tg" 2>/dev/null || break; sleep 0.1; done
kill -0 "$tg" 2>/dev/null && fail "the standalone Telegate.exe did not close on its close request"
wait "$tg" 2>/dev/null
kill_wine

# ---- 7. /UnregServer and the proxy's unregistration remove exactly what was added -----
wine_run 60 "$work/unregserver.log" Telegate.exe /UnregServer
rc=$?
[ $rc -eq 0 ] && pass "Telegate.exe /UnregServer exit 0" || fail "Telegate.exe /UnregServer exit $rc"
query_all "$work/unregistered.txt"
if grep -q '^HKEY_CLASSES_ROOT' "$work/unregistered.txt"; then
  fail "entries left after /UnregServer: $(grep '^HKEY_CLASSES_ROOT' "$work/unregistered.txt" | tr '\n' ' ')"
else
  pass "/UnregServer removed the class, ProgID, AppID, type library and category entries"
fi
wine_run 60 "$work/unregserver2.log" Telegate.exe /UnregServer
rc=$?
[ $rc -eq 0 ] && pass "/UnregServer twice is harmless" || fail "/UnregServer twice: exit $rc"
wine_run 60 "$work/regsvr32-u.log" regsvr32 /u /s TelegatePS.dll
rc=$?
[ $rc -eq 0 ] && pass "regsvr32 /u /s TelegatePS.dll exit 0" || fail "regsvr32 /u exit $rc"
wine_run 60 "$work/ps-server-u.txt" reg query "HKCR\\Interface\\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"
wine_run 60 "$work/ps-clsid-u.txt" reg query "HKCR\\CLSID\\$PSCLSID"
wine_run 60 "$work/ps-foreign-u.txt" reg query "HKCR\\Interface\\$PUBGROUPS\\ProxyStubClsid32"
if grep -q 'HKEY_CLASSES_ROOT' "$work/ps-server-u.txt" "$work/ps-clsid-u.txt"; then
  fail "TelegatePS entries left after regsvr32 /u"
else
  pass "regsvr32 /u removed the interfaces TelegatePS.dll had registered and its class"
fi
grep -qi "$FOREIGN" "$work/ps-foreign-u.txt" && pass "the foreign proxy registration is still there" ||
  fail "regsvr32 /u removed a proxy registration it had not made"

echo "test-opc: $([ $failures -eq 0 ] && echo PASSED || echo "FAILED ($failures)") in $(( $(date +%s) - start )) s"
if [ $failures -ne 0 ] && [ -z "${OPC_RETRY:-}" ]; then
  # One retry in a fresh prefix; both outcomes stay in the output.
  echo "test-opc: first run FAILED; retrying once"
  cleanup
  trap - EXIT
  mv "$work" "$work-first" 2>/dev/null || true
  OPC_RETRY=1 exec bash "$0" "$bdir" "$linux_build"
fi
[ $failures -eq 0 ]
