#!/usr/bin/env bash
# Checks the Debian package (scripts/package-deb.sh): lintian without errors, the
# unit verified by systemd-analyze with the directives the service relies on, and
# the packaged programs, extracted with dpkg -x into a scratch root, run with the
# unit's command line (its paths taken inside the scratch root) against the
# packaged telegate-sim in a network namespace of their own: the web page shows the
# stations' values, the data folder gets the program's files, nothing is written
# outside it (every file-changing system call is traced), and SIGTERM closes the
# program as the operator would (exit 0, iec104.cfg written back).
#
#   scripts/test-package-deb.sh [BUILD_DIR] [DEB]
#
# Exit status 0 when every check passed; figures are printed as "figure: ..." lines.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bdir=$(cd "${1:-build}" && pwd)
deb=${2:-$(ls -t dist/telegate_*_amd64.deb 2>/dev/null | head -1)}
[ -f "$deb" ] || { echo "test-package-deb: no package (scripts/package-deb.sh)"; exit 1; }
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")
work=$bdir/deb-check
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$work"
mkdir -p "$work"
echo "figure: package size $(stat -c %s "$deb") bytes ($(basename "$deb"))"

# ---- lintian ------------------------------------------------------------------------
if timeout 300 lintian --fail-on error "$deb" \
  >"$work/lintian.log" 2>&1; then
  pass "lintian: no errors ($(grep -c '^W:' "$work/lintian.log") warning(s))"
else
  fail "lintian (see $work/lintian.log)"; grep '^E:' "$work/lintian.log" | head -20
fi

# ---- the unit -------------------------------------------------------------------------
# systemd-analyze resolves the unit's dependencies and its ExecStart inside --root:
# the system's own units beside the extracted package.
vroot=$work/verify-root
mkdir -p "$vroot/usr/lib/systemd"
cp -a "$(readlink -f /lib/systemd/system)" "$vroot/usr/lib/systemd/system"
rm -f "$vroot/usr/lib/systemd/system/telegate.service"
dpkg -x "$deb" "$vroot"
unit=$vroot/lib/systemd/system/telegate.service
if timeout 60 systemd-analyze verify --root="$vroot" --man=no "$unit" >"$work/verify.log" 2>&1 &&
  [ ! -s "$work/verify.log" ]; then
  pass "systemd-analyze verify: clean"
else
  fail "systemd-analyze verify (see $work/verify.log)"; head -20 "$work/verify.log"
fi
for line in \
  "ExecStart=/usr/bin/telegate --headless --data-dir /var/lib/telegate --web-dir /usr/share/telegate/web" \
  "User=telegate" "StateDirectory=telegate" "Restart=on-failure" \
  "AmbientCapabilities=CAP_NET_BIND_SERVICE" "ProtectSystem=strict" "ProtectHome=yes" \
  "NoNewPrivileges=yes" "PrivateTmp=yes" "WantedBy=multi-user.target"; do
  grep -qxF "$line" "$unit" || fail "the unit lacks \"$line\""
done
grep -q '^TimeoutStopSec=' "$unit" || fail "the unit sets no TimeoutStopSec"
pass "the unit's directives checked"

# ---- the packaged programs with the unit's command line ---------------------------------
sroot=$work/root
mkdir -p "$sroot"
dpkg -x "$deb" "$sroot"
for f in usr/bin/telegate usr/bin/telegate-sim usr/share/telegate/web/help.html \
  usr/share/telegate/sample/iec104.cfg usr/share/doc/telegate/copyright; do
  [ -e "$sroot/$f" ] || fail "the package lacks /$f"
done
data=$work/var-lib-telegate
elsewhere=$work/elsewhere  # working directory and home at start: must stay empty
mkdir -p "$data" "$elsewhere/home" "$elsewhere/tmp"
# What the first installation puts there.
cp "$sroot/usr/share/telegate/sample/"* "$data/"
cmdline=$(sed -n 's/^ExecStart=//p' "$unit")
cmdline=${cmdline//\/usr\/bin\//$sroot/usr/bin/}
cmdline=${cmdline//\/var\/lib\/telegate/$data}
cmdline=${cmdline//\/usr\/share\/telegate\/web/$sroot/usr/share/telegate/web}
before=$(cd "$sroot" && find . -printf '%p %s %T@\n' | sort | md5sum)

# The stations (ports 24041-24043 of the sample) and the web port 8080 exist only in
# this namespace: other runs on the machine are not disturbed, nor do they disturb.
cat >"$work/inner.sh" <<INNER
set -u
ip link set lo up || exit 90
"$sroot/usr/bin/telegate-sim" --ports 24041-24043 --config "$data/iec104.cfg" --station 1 \\
  --rate 5 --time cp56 --quiet --no-stdin >"$work/sim.log" 2>&1 &
sim=\$!
for _ in \$(seq 50); do grep -q '^ready' "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
start=\$(date +%s%N)
(cd "$elsewhere" && HOME="$elsewhere/home" TMPDIR="$elsewhere/tmp" exec strace -f -qq \\
  -e trace=open,openat,creat,mkdir,mkdirat,rename,renameat,renameat2,unlink,unlinkat,rmdir,link,linkat,symlink,symlinkat,truncate,chmod,fchmodat,chown,fchownat \\
  -o "$work/strace.log" $cmdline) >"$work/telegate.out" 2>"$work/telegate.err" &
tg=\$!
page=""
for _ in \$(seq 150); do
  if curl -s -m 2 -o "$work/titek.html" http://127.0.0.1:8080/titek.php &&
     iconv -f CP1251 -t UTF-8 "$work/titek.html" 2>/dev/null | grep -q 'Напряжение Uab'; then
    page=\$(date +%s%N); break
  fi
  sleep 0.2
done
[ -n "\$page" ] && echo "page-ms \$(( (page - start) / 1000000 ))" >"$work/figures"
# Let the station's values arrive, then the pages once more.
sleep 3
curl -s -m 5 -o "$work/titek.html" http://127.0.0.1:8080/titek.php
curl -s -m 5 -o "$work/index.html" http://127.0.0.1:8080/
curl -s -m 5 -o "$work/help.html" http://127.0.0.1:8080/help.html
# The close goes to the program itself (strace, its parent, passes its status on).
prog=\$(pgrep -P \$tg | head -1)
kill -TERM "\${prog:-\$tg}"
for _ in \$(seq 150); do kill -0 \$tg 2>/dev/null || break; sleep 0.1; done
if kill -0 \$tg 2>/dev/null; then kill -KILL \$tg; echo "telegate-rc killed" >>"$work/figures"; fi
wait \$tg; echo "telegate-rc \$?" >>"$work/figures"
kill -TERM \$sim 2>/dev/null; wait \$sim 2>/dev/null
exit 0
INNER
if ! timeout 120 unshare -rn bash "$work/inner.sh" >"$work/inner.log" 2>&1; then
  fail "the run in a network namespace of its own (see $work/inner.log)"
fi
rc=$(sed -n 's/^telegate-rc //p' "$work/figures" 2>/dev/null)
[ "$rc" = 0 ] && pass "SIGTERM: telegate exit 0" || fail "SIGTERM: telegate exit '$rc' (see $work/telegate.err)"
ms=$(sed -n 's/^page-ms //p' "$work/figures" 2>/dev/null)
if [ -n "$ms" ]; then
  pass "the web page names the sample's measurements"
  echo "figure: start to the first page with the stations: $ms ms"
else
  fail "no web page with the stations (see $work/titek.html, $work/telegate.err)"
fi
# Values, not only names: the page shows numbers the station sent.
# (grep reads a copy: with pipefail, a grep -q that stops early fails the pipe.)
page_text=$(iconv -f CP1251 -t UTF-8 "$work/titek.html" 2>/dev/null)
if grep -Eq '>-?[0-9]+[.][0-9]+<' <<<"$page_text"; then
  pass "the measurements page shows values"
else
  fail "the measurements page shows no values (see $work/titek.html)"
fi
grep -q 'Telegate\|telegate' "$work/help.html" 2>/dev/null && pass "a static page from /usr/share/telegate/web" ||
  fail "no static page from the web folder (see $work/help.html)"
[ "$(md5sum <"$data/iec104.cfg")" != "" ] && [ -s "$data/iec104.cfg" ] || fail "iec104.cfg is gone"
# Written back at the close: the atomic replace renames its new file onto it.
grep -Eq '(rename|renameat2?)\(.*"iec104\.cfg"(, [A-Z_0-9]+)?\) = 0' "$work/strace.log" &&
  pass "iec104.cfg written back at the close" || fail "iec104.cfg not written back (see $work/strace.log)"


# Nothing outside the data folder: every path a file-changing call named (opened for
# writing, created, renamed, removed) lies in it. Relative names are the data folder's
# (the working directory), and the old working directory is still empty.
python3 - "$work/strace.log" "$data" >"$work/outside.txt" <<'PY'
import re, sys
log, data = sys.argv[1], sys.argv[2].rstrip("/") + "/"
write_flags = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND")
changing = {"creat", "mkdir", "mkdirat", "rename", "renameat", "renameat2", "unlink", "unlinkat",
            "rmdir", "link", "linkat", "symlink", "symlinkat", "truncate", "chmod", "fchmodat",
            "chown", "fchownat"}
bad = set()
for line in open(log, errors="replace"):
    m = re.match(r"\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)", line)
    if not m:
        continue
    call, args, rc = m.group(1), m.group(2), int(m.group(3))
    if call in ("open", "openat") and not any(f in args for f in write_flags):
        continue
    if call not in changing and call not in ("open", "openat"):
        continue
    for path in re.findall(r'"((?:[^"\\]|\\.)*)"', args):
        if path.startswith("/dev/") or path.startswith("/proc/self/") or path.startswith("/proc/thread-self/"):
            continue
        if path.startswith("/") and not path.startswith(data):
            bad.add(f"{call} {path} = {rc}")
for b in sorted(bad):
    print(b)
PY
if [ -s "$work/outside.txt" ]; then
  fail "written outside the data folder:"; head -20 "$work/outside.txt"
else
  pass "nothing written outside the data folder ($(grep -c . "$work/strace.log") calls traced)"
fi
left=$(find "$elsewhere" -mindepth 1 ! -path "$elsewhere/home" ! -path "$elsewhere/tmp")
[ -z "$left" ] && pass "working directory, home and temporary folder untouched" ||
  fail "files outside the data folder: $left"
after=$(cd "$sroot" && find . -printf '%p %s %T@\n' | sort | md5sum)
[ "$before" = "$after" ] && pass "the installed files unchanged" || fail "the installed files changed"
for f in iec104.cfg cnf.ini zzz.dat; do
  [ -e "$data/$f" ] || fail "the data folder lacks $f"
done
echo "data folder after the run: $(ls "$data" | tr '\n' ' ')"

[ "$failures" -eq 0 ] && echo "test-package-deb: all checks passed" || echo "test-package-deb: $failures failure(s)"
[ "$failures" -eq 0 ]
