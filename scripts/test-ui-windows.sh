#!/usr/bin/env bash
# The operator window under Wine on a virtual X display: TelegateUiTest.exe (the
# window of Telegate.exe, driven through window messages from inside the process)
# runs the operator's flow against telegate-sim on loopback, then the figures run
# (open from the tray with 32 stations and 20000 tags, CPU of the window refreshing
# a station with 7000 measurements, GUI objects after 100 dialog cycles).
# Screenshots are saved as PNG beside the logs.
# Usage: scripts/test-ui-windows.sh [WINDOWS_BUILD_DIR] [LINUX_BUILD_DIR]
#   WINDOWS_BUILD_DIR holds TelegateUiTest.exe (default build-win), LINUX_BUILD_DIR
#   telegate-sim (default build; built there when missing).
# TELEGATE_UI_ONLY=flow, =session, =figures or =telegate runs one part.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$(cd "${1:-build-win}" && pwd)
linux=${2:-build}

if [ -z "${TELEGATE_UI_INNER:-}" ]; then
  if [ ! -x "$linux/telegate-sim" ]; then
    cmake -S . -B "$linux" -G Ninja >/dev/null
    cmake --build "$linux" --target telegate-sim -j 2
  fi
  linux=$(cd "$linux" && pwd)
  exec timeout 1200 xvfb-run -a -s "-screen 0 1400x900x24" \
    env TELEGATE_UI_INNER=1 bash "$0" "$win" "$linux"
fi

exe=$win/TelegateUiTest.exe
sim=$linux/telegate-sim
out=$win/uitest
rm -rf "$out"
mkdir -p "$out"
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_bin=$(command -v wine64 || command -v wine)

prefix() {
  timeout 300 "$wine_bin" wineboot --init >"$out/wineboot.log" 2>&1 || true
  timeout 120 wineserver -w || true
  # One virtual desktop with a task bar and a notification area, so that windows get
  # their frames and the tray icon has a home.
  timeout 60 "$wine_bin" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >>"$out/wineboot.log" 2>&1
  timeout 60 "$wine_bin" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1360x860 /f >>"$out/wineboot.log" 2>&1
  # TELEGATE_UI_DPI=144 (150 %) or 192 (200 %) runs the check with a larger system font.
  if [ -n "${TELEGATE_UI_DPI:-}" ]; then
    timeout 60 "$wine_bin" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
      /d "$TELEGATE_UI_DPI" /f >>"$out/wineboot.log" 2>&1
  fi
  timeout 120 wineserver -w || true
}

sim_pid=
stop_sim() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  sim_pid=
}
trap stop_sim EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# run NAME ARGS...: one scenario in a fresh folder; one retry after wineserver -k.
run() {
  local name=$1; shift
  local dir=$out/$name attempt rc=1
  for attempt in 1 2; do
    # The scenario's folder is drive T: for Wine, so that the window (and its
    # screenshots) show a short folder name rather than where the build lives.
    ln -sfn "$dir" "$WINEPREFIX/dosdevices/t:"
    timeout 300 "$wine_bin" 'T:\TelegateUiTest.exe' "$@" >"$dir/run$attempt.out" 2>&1 && rc=0 || rc=$?
    timeout 60 wineserver -w || true
    echo "test-ui-windows: $name attempt $attempt: exit $rc"
    [ "$rc" -eq 0 ] && break
    timeout 30 wineserver -k || true
    [ -f "$dir/uitest.log" ] && cp "$dir/uitest.log" "$dir/uitest-attempt$attempt.log"
    if [ "$attempt" -eq 1 ]; then
      rm -f "$dir"/iec104.cfg "$dir"/iec104sr.bin "$dir"/cnf.ini
      [ -f "$dir/iec104.cfg.orig" ] && cp "$dir/iec104.cfg.orig" "$dir/iec104.cfg"
    fi
  done
  for b in "$dir"/shot-*.bmp; do
    [ -f "$b" ] && convert "$b" "${b%.bmp}.png" && rm -f "$b"
  done
  grep -E "FAIL|FIGURE|result" "$dir/uitest.log" 2>/dev/null || true
  return "$rc"
}

prefix
status=0

only=${TELEGATE_UI_ONLY:-}
want() { [ -z "$only" ] || [ "$only" = "$1" ]; }
# 1. The operator's flow against one simulated station (3 two-state, 3 measured points).
if want flow; then
mkdir -p "$out/flow"
cp "$exe" "$out/flow/"
# Started by the flow as a second copy: it must refuse and bring this window forward.
[ -f "$win/Telegate.exe" ] && cp "$win/Telegate.exe" "$out/flow/"
# F1 with no Telegate.doc opens the web folder's help page.
mkdir -p "$out/flow/web"
cp "$root/assets/web/help.html" "$out/flow/web/"
port=$(free_port)
"$sim" --port "$port" --points 3 --asdu 1 --rate 4 --time cp56 --quiet --no-stdin --duration 600 \
  >"$out/flow/sim.log" 2>&1 &
sim_pid=$!
run flow --scenario flow --sim-port "$port" || status=1
stop_sim
fi

# 1b. Windows ends the session (WM_QUERYENDSESSION, WM_ENDSESSION): the window closes
# as the operator's Exit does, iec104.cfg written, exit status 0.
if want session; then
mkdir -p "$out/session"
cp "$exe" "$out/session/"
printf ';kol,1\r\nKP,1,1,Станция,127.0.0.1\r\n;PORT,1,1,Станция,127.0.0.1,9\r\nPER,0\r\nTIM,0\r\nPOPR,0\r\nOPROS,0\r\n' \
  | iconv -f utf-8 -t cp1251 >"$out/session/iec104.cfg"
cp "$out/session/iec104.cfg" "$out/session/iec104.cfg.orig"
touch -d '2000-01-01' "$out/session/iec104.cfg"
if run session --scenario session && [ "$out/session/iec104.cfg" -nt "$out/session/TelegateUiTest.exe" ]; then
  echo "test-ui-windows: session end: exit 0, iec104.cfg rewritten"
else
  echo "test-ui-windows: session end FAILED (iec104.cfg rewritten: $([ "$out/session/iec104.cfg" -nt "$out/session/TelegateUiTest.exe" ] && echo yes || echo no))"
  status=1
fi
fi

# 2. Figures: 32 stations with 20000 tags, station 1 with 7000 measurements.
if want figures; then
mkdir -p "$out/figures"
cp "$exe" "$out/figures/"
base=$(free_port)
python3 - "$out/figures/iec104.cfg" "$base" <<'PY'
import sys
out, base = sys.argv[1], int(sys.argv[2])
lines = [";kol,32"]
rest = 20000 - 7000
for n in range(1, 33):
    name = "Подстанция %d" % n
    lines.append('KP,%d,1,%s,127.0.0.1' % (n, name))
    lines.append(';PORT,%d,1,%s,127.0.0.1,%d' % (n, name, base + n - 1))
    lines += ["PER,0", "TIM,0", "POPR,0", "OPROS,0"]
    if n == 1:
        ts, ti = 0, 7000
    else:
        count = rest // 31 + (1 if n - 1 <= rest % 31 else 0)
        ts, ti = (count + 1) // 2, count // 2
    for k in range(1, ts + 1):
        lines.append('TS,%d,%d,,"ТС %d",8272,%d,%d,0,0,0,0' % (1000 + n, n, k, n, k))
    for k in range(1, ti + 1):
        lines.append('TIT,%d,%d,,"ТИ %d",8280,%d,%d,0,100,0,100,0,100,0,32767'
                     % (1000 + n, n, k, n, 1000 + k))
open(out, "wb").write(("\r\n".join(lines) + "\r\n").encode("cp1251"))
PY
cp "$out/figures/iec104.cfg" "$out/figures/iec104.cfg.orig"
"$sim" --config "$out/figures/iec104.cfg" --station 1 --port "$base" --rate 2000 --per-asdu 40 \
  --quiet --no-stdin --duration 600 >"$out/figures/sim.log" 2>&1 &
sim_pid=$!
run figures --scenario figures --base-port "$base" --cpu-station 1 --cpu-seconds 10 || status=1
stop_sim
fi

# 3. Telegate.exe itself: started by COM (-Embedding) it stays hidden in the tray,
# polls its station, and a close request (WM_CLOSE, as taskkill sends it) ends it
# with status 0 after rewriting iec104.cfg.
if want telegate; then
  dir=$out/telegate
  mkdir -p "$dir"
  cp "$win/Telegate.exe" "$dir/"
  # A program of the Windows GUI subsystem: no console window from the desktop.
  subsystem=$(x86_64-w64-mingw32-objdump -p "$dir/Telegate.exe" | sed -n 's/^Subsystem[[:space:]]*//p')
  echo "test-ui-windows: Telegate.exe subsystem: $subsystem"
  case $subsystem in *"Windows GUI"*) ;; *) echo "test-ui-windows: FAIL: not the GUI subsystem"; status=1 ;; esac
  # Its command-line modes still write to a redirected output, with their status.
  rc=0
  timeout 60 "$wine_bin" "$dir/Telegate.exe" --help >"$dir/help.out" 2>"$dir/help.err" || rc=$?
  if [ "$rc" -eq 0 ] && grep -q -- '--headless' "$dir/help.out"; then
    echo "test-ui-windows: Telegate.exe --help: exit 0, $(wc -l <"$dir/help.out") lines on the redirected output"
  else
    echo "test-ui-windows: FAIL: Telegate.exe --help: exit $rc, $(wc -c <"$dir/help.out") bytes"; status=1
  fi
  rc=0
  timeout 60 "$wine_bin" "$dir/Telegate.exe" --close >"$dir/close-none.out" 2>&1 || rc=$?
  echo "test-ui-windows: Telegate.exe --close with no copy running: exit $rc"
  [ "$rc" -eq 1 ] || status=1
  # A headless copy (no console) closes on taskkill /pid (WM_CLOSE to its hidden
  # window) and on Telegate.exe --close (its close event), with status 0 after
  # writing iec104.cfg back.
  printf ';kol,1\r\nKP,1,1,Станция,127.0.0.1\r\n;PORT,1,1,Станция,127.0.0.1,9\r\nPER,0\r\nTIM,0\r\nPOPR,0\r\nOPROS,0\r\n' \
    | iconv -f utf-8 -t cp1251 >"$dir/iec104.cfg"
  for how in taskkill close; do
    touch -d '2000-01-01' "$dir/iec104.cfg"
    (cd "$dir" && exec timeout 120 "$wine_bin" Telegate.exe --headless) >"$dir/headless-$how.out" 2>"$dir/headless-$how.err" &
    tg=$!
    winpid=
    for _ in $(seq 150); do
      winpid=$(tr -d '\r' <"$dir/headless-$how.err" | sed -n 's/^telegate: running in .*, process \([0-9][0-9]*\)$/\1/p' | head -1)
      [ -n "$winpid" ] && break
      sleep 0.2
    done
    t0=$(date +%s%N)
    if [ "$how" = taskkill ]; then
      timeout 60 "$wine_bin" taskkill /pid "$winpid" >"$dir/taskkill-$how.out" 2>&1 || true
    else
      timeout 90 "$wine_bin" "$dir/Telegate.exe" --close "$winpid" >"$dir/close.out" 2>&1 || true
    fi
    for _ in $(seq 100); do kill -0 "$tg" 2>/dev/null || break; sleep 0.1; done
    closed=yes
    if kill -0 "$tg" 2>/dev/null; then closed=no; kill -KILL "$tg" 2>/dev/null; fi
    rc=0
    wait "$tg" || rc=$?
    ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    rewritten=no
    [ "$dir/iec104.cfg" -nt "$dir/Telegate.exe" ] && rewritten=yes
    echo "test-ui-windows: headless Telegate.exe (process ${winpid:-?}) and $how: closed $closed in $ms ms, exit $rc, iec104.cfg rewritten: $rewritten"
    if [ -z "$winpid" ] || [ "$closed" != yes ] || [ "$rc" -ne 0 ] || [ "$rewritten" != yes ]; then status=1; fi
  done

  printf ';kol,1\r\nKP,1,1,Станция,127.0.0.1\r\n;PORT,1,1,Станция,127.0.0.1,9\r\nPER,0\r\nTIM,0\r\nPOPR,0\r\nOPROS,0\r\nTS,1001,1,,"ТС 1",8272,1,1,0,0,0,0\r\n' \
    | iconv -f utf-8 -t cp1251 >"$dir/iec104.cfg"
  touch -d '2000-01-01' "$dir/iec104.cfg"
  timeout 120 "$wine_bin" "$dir/Telegate.exe" -Embedding >"$dir/run.out" 2>&1 &
  tg=$!
  sleep 8
  alive=no
  kill -0 "$tg" 2>/dev/null && alive=yes
  timeout 30 "$wine_bin" taskkill /im Telegate.exe >"$dir/taskkill.out" 2>&1 || true
  rc=0
  wait "$tg" || rc=$?
  rewritten=no
  [ "$dir/iec104.cfg" -nt "$dir/Telegate.exe" ] && rewritten=yes
  echo "test-ui-windows: Telegate.exe -Embedding: running after 8 s: $alive, exit $rc, iec104.cfg rewritten: $rewritten"
  if [ "$alive" != yes ] || [ "$rc" -ne 0 ] || [ "$rewritten" != yes ]; then status=1; fi
fi

timeout 60 wineserver -k || true
echo "test-ui-windows: logs and screenshots in $out"
exit "$status"
