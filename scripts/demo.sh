#!/usr/bin/env bash
# The demo: builds Telegate, prepares a run directory under build/demo with the
# telegate binary, its web folder and a sample configuration of three stations,
# starts telegate-sim serving the three stations on 127.0.0.1:24041-24043 and
# telegate headless with its web server, and prints the address of the pages.
# Ctrl-C stops both.
#
#   scripts/demo.sh [--duration S] [--port P] [--rate R] [--no-build]
#
# --duration S stops the demo after S seconds (also DEMO_DURATION=S), for smoke tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

duration=${DEMO_DURATION:-0}
port=${DEMO_PORT:-0}
rate=${DEMO_RATE:-2}
bdir=${DEMO_BUILD_DIR:-build}  # the build tree the binaries come from
build=1
while [ $# -gt 0 ]; do
    case "$1" in
        --duration) duration=$2; shift 2 ;;
        --port) port=$2; shift 2 ;;
        --rate) rate=$2; shift 2 ;;
        --no-build) build=0; shift ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        *) echo "demo.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

if [ "$build" = 1 ]; then
    bash scripts/install-deps.sh
    bash scripts/build.sh "$bdir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

# A free local port for the web server (8080 when free).
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if [ "$port" = 0 ]; then
    for p in 8080 8081 8088 18080 28080 38080; do
        if port_free "$p"; then port=$p; break; fi
    done
fi
if [ "$port" = 0 ]; then echo "demo.sh: no free port for the web server" >&2; exit 1; fi
for p in 24041 24042 24043; do
    if ! port_free "$p"; then echo "demo.sh: port $p is in use" >&2; exit 1; fi
done

run=$root/build/demo
rm -rf "$run"
mkdir -p "$run/runtime"
chmod 700 "$run/runtime"
cp "$bdir/telegate" "$run/"
cp -r "$bdir/web" "$run/web"
cp assets/demo/iec104.cfg assets/demo/iec104sr.bin "$run/"
printf '[UseWebServer]\r\nUseWebServer=1\r\n[Port_WebServ]\r\nPort_WebServ=%s\r\n[Save_Obmen_v_File]\r\nSave_Obmen_v_File=0\r\n' \
    "$port" > "$run/cnf.ini"

sim_pid=""
tg_pid=""
stop() {
    trap - INT TERM EXIT
    [ -n "$tg_pid" ] && kill -TERM "$tg_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    echo "demo stopped"
}
trap stop INT TERM EXIT

"$bdir/telegate-sim" --ports 24041-24043 --config "$run/iec104.cfg" --station 1 \
    --rate "$rate" --time cp56 --quiet --no-stdin > "$run/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^ready' "$run/sim.log" 2>/dev/null && break; sleep 0.1; done

(cd "$run" && XDG_RUNTIME_DIR="$run/runtime" exec ./telegate --headless) > "$run/telegate.log" 2>&1 &
tg_pid=$!

echo "telegate-sim: stations on 127.0.0.1:24041-24043 (log: $run/sim.log)"
echo "telegate: running in $run (log: $run/telegate.log)"
echo
echo "Web pages: http://127.0.0.1:$port/    signals: http://127.0.0.1:$port/tstek.php"
echo "Press Ctrl-C to stop."

if [ "$duration" != 0 ]; then
    sleep "$duration"
else
    wait "$tg_pid" || true
fi
