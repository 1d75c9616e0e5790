#!/usr/bin/env bash
# Installs dist/Telegate-<version>-setup.exe silently into a fresh Wine prefix
# over the remains of an installation that kept the operator's files beside the
# executable, checks that they moved to the data folder (never over a file
# already there), checks the files, the start menu and the registry (the OPC
# server's keys, its component category, the proxy/stub's interfaces, the data
# folder's entry, "Programs and Features"; the 32-bit proxy/stub's keys in the
# 32-bit registry view, where another vendor's proxy registered beforehand for one
# interface stays), runs the installed Telegate.exe
# headless and checks that it wrote its files into the data folder and nothing
# into the program folder, installs again over an operator's changed
# configuration, uninstalls silently and checks that the registry is back to
# what it was before and that the operator's configuration is still there.
# Then a silent install with /SERVICE=1: the service "Telegate" is installed
# (ImagePath with --service) and running, an update keeps it running, and the
# uninstaller removes it.
# Before Wine starts, the 32-bit x86\TelegatePS.dll is checked with objdump: a
# PE32 i386 DLL with the proxy/stub exports that imports system DLLs only (no
# 32-bit Wine here, so no 32-bit process loads it).
#   scripts/test-installer-windows.sh [BUILD_DIR]   (default build-win)
# Wine output goes to files, every Wine command has a time-out; a failed run is
# retried once after `wineserver -k`, and both outcomes are reported.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bdir=$(cd "${1:-build-win}" && pwd)
version=$(sed -n 's/^project(Telegate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
setup=$root/dist/Telegate-$version-setup.exe
[ -f "$setup" ] || { echo "test-installer: build $setup first (scripts/package-installer.sh)" >&2; exit 1; }

wine_bin=${WINE:-$(command -v wine64 || command -v /usr/lib/wine/wine64 || command -v wine)}
wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$bdir/wineprefix-installer
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
logs_base=$bdir/wine-logs/installer
logs=$logs_base/attempt-1
kill_wine() { timeout 30 "$wineserver_bin" -k >/dev/null 2>&1 || true; }
settle() { timeout 120 "$wineserver_bin" -w >/dev/null 2>&1 || true; }

# Runs a Wine command with a time-out, output to a log file.
w() { local log=$1; shift; timeout 300 "$wine_bin" "$@" >"$logs/$log" 2>&1; }

# Registry text of a key, UTF-8 without CRs, or nothing when the key is missing.
reg_text() { # reg_text KEY OUT [/reg:32]
  local key=$1 out=$2
  shift 2
  rm -f "$logs/export.reg"
  if w reg-export.log reg export "$key" "$(winepath_w "$logs/export.reg")" /y "$@" && [ -f "$logs/export.reg" ]; then
    iconv -f UTF-16LE -t UTF-8 "$logs/export.reg" | sed 's/\r$//; 1s/^\xef\xbb\xbf//' >"$out"
  else
    : >"$out"
  fi
}
winepath_w() { echo "Z:${1//\//\\}"; }

# The 32-bit view as 32-bit clients see it (reg query /reg:32): an interface
# whose proxy another vendor registered, one whose key exists without a proxy,
# and one nobody registered.
ps_clsid='{6A91EE3E-4BFF-4430-B394-DEA0F56A152D}'
other_clsid='{0DDC0DE5-7E57-4A11-9E0A-0000000000A1}'
iid_server='{39C13A4D-011E-11D0-9675-0020AFD8ADB3}'      # IOPCServer: another proxy
iid_properties='{39C13A72-011E-11D0-9675-0020AFD8ADB3}'  # IOPCItemProperties: key only
iid_syncio='{39C13A52-011E-11D0-9675-0020AFD8ADB3}'      # IOPCSyncIO: nothing
q32() { local log=$1; shift; w "$log" reg query "$@" /reg:32; }

fail=0
check() { # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "  ok   $what"; else echo "  FAIL $what"; fail=1; fi
}

run_once() {
  fail=0
  kill_wine
  rm -rf "$WINEPREFIX" "$logs"
  mkdir -p "$logs"
  w wineboot.log wineboot --init || { echo "test-installer: wineboot failed"; return 1; }
  settle
  local pf="$WINEPREFIX/drive_c/Program Files/Telegate"
  local menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Telegate"
  local data="$WINEPREFIX/drive_c/ProgramData/Telegate"

  w seed1.log reg add "HKLM\\Software\\Classes\\Interface\\$iid_server\\ProxyStubClsid32" \
    /ve /d "$other_clsid" /f /reg:32 &&
  w seed2.log reg add "HKLM\\Software\\Classes\\Interface\\$iid_properties" \
    /ve /d IOPCItemProperties /f /reg:32 || { echo "test-installer: cannot seed the 32-bit view"; return 1; }
  reg_text 'HKLM\Software\Classes' "$logs/classes-before.txt"
  [ -s "$logs/classes-before.txt" ] || { echo "test-installer: cannot export the registry"; return 1; }
  reg_text 'HKLM\Software\Classes' "$logs/classes32-before.txt" /reg:32
  check "32-bit view exported" grep -qi "Interface\\\\$iid_server" "$logs/classes32-before.txt"

  # What an earlier version left beside the executable: the operator's files,
  # one of which the data folder already has.
  mkdir -p "$pf" "$data"
  printf 'old operator cfg\r\n' >"$pf/iec104.cfg"
  printf 'old log\r\n' >"$pf/error_iec104.log"
  printf 'old trace\r\n' >"$pf/Socket3.txt"
  printf '[UseWebServer]\r\nUseWebServer=0\r\n; old\r\n' >"$pf/cnf.ini"
  printf '[UseWebServer]\r\nUseWebServer=0\r\n; data\r\n' >"$data/cnf.ini"
  cp "$pf/iec104.cfg" "$logs/old.cfg"
  cp "$data/cnf.ini" "$logs/data-cnf.ini"

  echo "test-installer: silent install"
  w setup1.log "$setup" /S; local rc=$?
  settle
  check "setup exits 0 (got $rc)" test "$rc" -eq 0
  local f
  for f in Telegate.exe TelegatePS.dll x86/TelegatePS.dll telegate-sim.exe Uninstall.exe \
           README-Windows.txt web/index-7.html web/help.html; do
    check "installed $f" test -f "$pf/$f"
  done
  for f in "Telegate.lnk" "Telegate help.lnk" "Uninstall Telegate.lnk" "Telegate data folder.lnk"; do
    check "start menu $f" test -f "$menu/$f"
  done
  check "old iec104.cfg moved to the data folder" cmp -s "$data/iec104.cfg" "$logs/old.cfg"
  for f in iec104.cfg error_iec104.log Socket3.txt; do
    check "$f no longer in the program folder" test ! -e "$pf/$f"
    check "$f in the data folder" test -f "$data/$f"
  done
  check "sample iec104sr.bin in the data folder" test -f "$data/iec104sr.bin"
  check "data folder's cnf.ini not overwritten" cmp -s "$data/cnf.ini" "$logs/data-cnf.ini"
  check "the other cnf.ini stays where it was" grep -q '; old' "$pf/cnf.ini"
  rm -f "$pf/cnf.ini"
  reg_text 'HKLM\Software\Telegate' "$logs/datakey.txt"
  check "data folder recorded in HKLM\\SOFTWARE\\Telegate" \
    grep -qi '^"DataFolder"="C:\\\\ProgramData\\\\Telegate"$' "$logs/datakey.txt"

  # The installed program, headless, writes its files into the data folder only.
  # It polls the sample stations (nothing listens there); the web server stays off.
  cp "$bdir/package/Telegate-$version-win64/iec104.cfg" "$data/iec104.cfg"
  (cd "$pf" && find . | sort) >"$logs/pf-before.txt"
  rm -f "$data/zzz.dat"
  timeout 20 "$wine_bin" "$pf/Telegate.exe" --headless >"$logs/headless.out" 2>"$logs/headless.err"
  kill_wine
  (cd "$pf" && find . | sort) >"$logs/pf-after.txt"
  check "installed Telegate.exe ran in the data folder" \
    grep -q 'running in C:\\ProgramData\\Telegate (installation)' "$logs/headless.err"
  check "zzz.dat written into the data folder" test -f "$data/zzz.dat"
  check "nothing new in the program folder" cmp -s "$logs/pf-before.txt" "$logs/pf-after.txt"

  # The OPC server as clients find it: ProgID, class, local server, AppID and
  # the OPC DA 2.0 category.
  reg_text 'HKCR\Telegate.OPCServer' "$logs/progid.txt"
  local clsid
  clsid=$(sed -n '/\\Clsid\]$/,/^$/s/^@="\({[^}]*}\)"$/\1/p' "$logs/progid.txt" | head -1)
  check "ProgID Telegate.OPCServer names a class ($clsid)" test -n "$clsid"
  check "ProgID has its OPC key" grep -q '^\[HKEY_CLASSES_ROOT\\Telegate.OPCServer\\OPC\]$' "$logs/progid.txt"
  reg_text "HKCR\\CLSID\\$clsid" "$logs/class.txt"
  check "LocalServer32 is the installed Telegate.exe" \
    grep -Eqi '^@="C:\\\\(PROG[^\\~]*~[^\\]*|"?Program Files)\\\\Telegate\\\\Telegate\.exe"?"$' "$logs/class.txt"
  check "class is an OPC DA 2.0 server" \
    grep -qi 'Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}\]' "$logs/class.txt"
  check "class names its AppID" grep -qi "^\"AppID\"=\"$clsid\"$" "$logs/class.txt"
  reg_text "HKCR\\AppID\\$clsid" "$logs/appid.txt"
  check "AppID runs as the interactive user" grep -q '^"RunAs"="Interactive User"$' "$logs/appid.txt"
  reg_text 'HKCR\AppID\Telegate.exe' "$logs/appid-exe.txt"
  check "AppID\\Telegate.exe names the class's AppID (DCOM settings apply)" \
    grep -qi "^\"AppID\"=\"$clsid\"$" "$logs/appid-exe.txt"
  # IOPCServer's proxy/stub: ours, or the one the machine already had.
  reg_text 'HKCR\Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}' "$logs/iopcserver.txt"
  check "IOPCServer has a proxy/stub" grep -qi 'ProxyStubClsid32' "$logs/iopcserver.txt"
  check_proxies32_installed
  reg_text 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Telegate' "$logs/uninst.txt"
  check "Programs and Features entry" grep -q "^\"DisplayVersion\"=\"$version\"$" "$logs/uninst.txt"

  # The operator changes the configuration; an update must keep it.
  printf 'operator change\r\n' >>"$data/iec104.cfg"
  cp "$data/iec104.cfg" "$logs/operator.cfg"
  echo "test-installer: silent install over it"
  w setup2.log "$setup" /S; rc=$?
  settle
  check "second setup exits 0 (got $rc)" test "$rc" -eq 0
  echo "test-installer: the 32-bit view after the update"
  check_proxies32_installed
  check "update keeps the operator's iec104.cfg" cmp -s "$data/iec104.cfg" "$logs/operator.cfg"

  echo "test-installer: silent uninstall"
  w uninstall.log "$pf/Uninstall.exe" /S; rc=$?
  settle
  check "uninstaller exits 0 (got $rc)" test "$rc" -eq 0
  for f in Telegate.exe TelegatePS.dll x86 telegate-sim.exe Uninstall.exe README-Windows.txt web; do
    check "removed $f" test ! -e "$pf/$f"
  done
  check "start menu folder removed" test ! -e "$menu"
  check "operator's iec104.cfg kept" cmp -s "$data/iec104.cfg" "$logs/operator.cfg"
  check "program folder removed" test ! -e "$pf"
  reg_text 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Telegate' "$logs/uninst-after.txt"
  check "Programs and Features entry removed" test ! -s "$logs/uninst-after.txt"
  reg_text 'HKLM\Software\Classes' "$logs/classes-after.txt"
  if ! diff "$logs/classes-before.txt" "$logs/classes-after.txt" >"$logs/classes.diff"; then
    echo "  FAIL classes registry differs after uninstall (first lines of $logs/classes.diff):"
    head -20 "$logs/classes.diff"
    fail=1
  else
    echo "  ok   classes registry as before the install"
  fi
  q32 ps32-after.log "HKCR\\CLSID\\$ps_clsid"; rc=$?
  check "32-bit view: the proxy/stub's class removed (reg query answered $rc)" test "$rc" -ne 0
  q32 server32-after.log "HKCR\\Interface\\$iid_server\\ProxyStubClsid32"
  check "32-bit view: the other vendor's IOPCServer proxy kept" grep -qiF "$other_clsid" "$logs/server32-after.log"
  q32 props32-after.log "HKCR\\Interface\\$iid_properties" /s
  check "32-bit view: IOPCItemProperties back to its name only" \
    bash -c 'grep -q IOPCItemProperties "$1" && ! grep -qi "ProxyStubClsid32\|TelegatePS" "$1"' _ "$logs/props32-after.log"
  q32 syncio32-after.log "HKCR\\Interface\\$iid_syncio"; rc=$?
  check "32-bit view: IOPCSyncIO removed (reg query answered $rc)" test "$rc" -ne 0
  reg_text 'HKLM\Software\Classes' "$logs/classes32-after.txt" /reg:32
  if ! diff "$logs/classes32-before.txt" "$logs/classes32-after.txt" >"$logs/classes32.diff"; then
    echo "  FAIL 32-bit view's classes differ after uninstall (first lines of $logs/classes32.diff):"
    head -20 "$logs/classes32.diff"
    fail=1
  else
    echo "  ok   32-bit view's classes as before the install"
  fi

  # The service. The data folder (kept by the uninstall) turns the web server off;
  # the service polls the sample stations (nothing listens there).
  cp "$bdir/package/Telegate-$version-win64/iec104.cfg" "$data/iec104.cfg"
  echo "test-installer: silent install with /SERVICE=1"
  w setup-service.log "$setup" /S /SERVICE=1; rc=$?
  check "setup /SERVICE=1 exits 0 (got $rc)" test "$rc" -eq 0
  w service-key.log reg query 'HKLM\System\CurrentControlSet\Services\Telegate' /v ImagePath
  check "service Telegate installed, ImagePath runs Telegate.exe --service" \
    grep -Eqi 'ImagePath +REG_\w+ +"C:\\[^"]*\\Telegate\\Telegate\.exe" --service\s*$' "$logs/service-key.log"
  check "the installer started the service" service_state RUNNING
  w appid-service.log reg query "HKCR\\AppID\\$clsid"
  check "the OPC server's AppID names the service" grep -q 'LocalService.*Telegate' "$logs/appid-service.log"
  local before after
  before=$(service_pids)
  check "one Telegate.exe runs the service (${before:-none})" test "$(wc -w <<<"$before")" -eq 1
  echo "test-installer: silent update of the service's installation"
  w setup-service2.log "$setup" /S; rc=$?
  check "update exits 0 (got $rc)" test "$rc" -eq 0
  check "the service runs after the update" service_state RUNNING
  after=$(service_pids)
  check "the update stopped the service and started it again (${before:-none} -> ${after:-none})" \
    test -n "$after" -a "$after" != "$before" -a "$(wc -w <<<"$after")" -eq 1
  echo "test-installer: silent uninstall of the service"
  w uninstall-service.log "$pf/Uninstall.exe" /S; rc=$?
  check "uninstaller exits 0 (got $rc)" test "$rc" -eq 0
  # Uninstall.exe hands over to a copy of itself and returns at once; the copy
  # finishes within a minute (the service's stop included).
  local i
  for i in $(seq 60); do
    w service-key-after.log reg query 'HKLM\System\CurrentControlSet\Services\Telegate'
    ! grep -q ImagePath "$logs/service-key-after.log" && [ ! -e "$pf" ] && break
    sleep 1
  done
  check "service removed" bash -c '! grep -q ImagePath "$1"' _ "$logs/service-key-after.log"
  check "no Telegate.exe runs any more" test -z "$(service_pids)"
  check "program folder removed" test ! -e "$pf"
  kill_wine
  return $fail
}

# The 32-bit proxy/stub in the 32-bit view: our class with the installed
# x86\TelegatePS.dll, on every interface of the DLL but the one another vendor's
# proxy serves (the 64-bit view, which nobody seeded, counts them).
check_proxies32_installed() {
  q32 ps32.log "HKCR\\CLSID\\$ps_clsid\\InProcServer32"
  check "32-bit view: InProcServer32 is the installed x86\\TelegatePS.dll" \
    grep -Eqi '^ +\(Default\) +REG_SZ +C:\\(PROG[^\~]*~[^\]*|Program Files)\\Telegate\\x86\\TelegatePS\.dll\s*$' "$logs/ps32.log"
  check "32-bit view: ThreadingModel Both" grep -Eq '^ +ThreadingModel +REG_SZ +Both\s*$' "$logs/ps32.log"
  q32 server32.log "HKCR\\Interface\\$iid_server" /s
  check "32-bit view: the other vendor's IOPCServer proxy kept, unmarked" \
    bash -c 'grep -qiF "$2" "$1" && ! grep -qi "$3\|TelegatePS" "$1"' _ "$logs/server32.log" "$other_clsid" "$ps_clsid"
  q32 props32.log "HKCR\\Interface\\$iid_properties" /s
  check "32-bit view: IOPCItemProperties gets our proxy, marked as added to its key" \
    bash -c 'grep -qiF "$2" "$1" && grep -Eq "TelegatePS +REG_SZ +proxy" "$1" && grep -q IOPCItemProperties "$1"' \
    _ "$logs/props32.log" "$ps_clsid"
  q32 syncio32.log "HKCR\\Interface\\$iid_syncio" /s
  check "32-bit view: IOPCSyncIO gets our proxy, marked as created" \
    bash -c 'grep -qiF "$2" "$1" && grep -Eq "TelegatePS +REG_SZ +created" "$1"' _ "$logs/syncio32.log" "$ps_clsid"
  q32 ifaces32.log 'HKCR\Interface' /s
  w ifaces64.log reg query 'HKCR\Interface' /s /reg:64
  local n32 n64
  n32=$(grep -ciF "$ps_clsid" "$logs/ifaces32.log")
  n64=$(grep -ciF "$ps_clsid" "$logs/ifaces64.log")
  check "32-bit view: our proxy on $n32 interfaces, one fewer than the 64-bit view's $n64" \
    test "$n64" -gt 1 -a "$n32" -eq $((n64 - 1))
}

# The ids of this prefix's Telegate.exe processes (other Wine runs may have their own).
service_pids() {
  local p ids=""
  for p in $(pgrep -if 'Telegate\.exe'); do
    { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && ids="$ids $p"
  done
  echo $ids
}

# service_state STATE: sc query Telegate reaches STATE within 20 s.
service_state() {
  local i
  for i in $(seq 20); do
    w sc-query.log sc query Telegate
    tr -d '\r' <"$logs/sc-query.log" | grep -Eq "STATE *: *[0-9]+ +$1" && return 0
    sleep 1
  done
  return 1
}

# The 32-bit proxy/stub as packed: PE32 for i386, the proxy/stub's exports and
# system DLLs only (statically linked C runtime support).
check_dll32() {
  local dll=$bdir/package/Telegate-$version-win64/x86/TelegatePS.dll dump=$logs_base/x86-TelegatePS.txt
  mkdir -p "$logs_base"
  i686-w64-mingw32-objdump -p "$dll" >"$dump" 2>&1 || { echo "  FAIL objdump $dll"; return 1; }
  local ok=0 e imports
  echo "test-installer: x86\\TelegatePS.dll ($(stat -c %s "$dll") bytes)"
  grep -q 'file format pei-i386' "$dump" && grep -Eq '^Magic\s+010b\s+\(PE32\)' "$dump" &&
    echo "  ok   PE32 i386" || { echo "  FAIL not PE32 i386"; ok=1; }
  for e in DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer GetProxyDllInfo; do
    grep -Eq "^\s+\[ *[0-9]+\] $e$" "$dump" && echo "  ok   exports $e" || { echo "  FAIL no export $e"; ok=1; }
  done
  imports=$(sed -n 's/^\s*DLL Name: //p' "$dump" | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
  if [ -n "$imports" ] && ! grep -Eqv '^(KERNEL32|ADVAPI32|OLE32|OLEAUT32|RPCRT4|MSVCRT|USER32)\.DLL$' \
       <<<"$(tr ' ' '\n' <<<"$imports" | sed '/^$/d')"; then
    echo "  ok   imports system DLLs only: $imports"
  else
    echo "  FAIL imports: $imports"; ok=1
  fi
  return $ok
}
dll32_start=$(date +%s)
check_dll32 || exit 1
echo "test-installer: 32-bit DLL checked in $(( $(date +%s) - dll32_start )) s"

start=$(date +%s)
if run_once; then
  echo "test-installer: passed in $(( $(date +%s) - start )) s"
  exit 0
fi
echo "test-installer: first run failed (logs in $logs); wineserver -k and one retry"
kill_wine
logs=$logs_base/attempt-2
if run_once; then
  echo "test-installer: passed on the retry (first run failed) in $(( $(date +%s) - start )) s"
  exit 0
fi
echo "test-installer: failed twice (logs in $logs)"
exit 1
