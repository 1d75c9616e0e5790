#!/usr/bin/env bash
# Builds dist/Telegate-<version>-setup.exe with NSIS from the folder that
# package-windows.sh staged (run it first), adding the OPC proxy/stubs (64-bit
# and x86\ for 32-bit clients) where an older stage lacks them.
#   scripts/package-installer.sh [BUILD_DIR]   (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bdir=$(cd "${1:-build-win}" && pwd)
version=$(sed -n 's/^project(Telegate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package-installer: no version in CMakeLists.txt" >&2; exit 1; }
stage=$bdir/package/Telegate-$version-win64
[ -f "$stage/Telegate.exe" ] || { echo "package-installer: run scripts/package-windows.sh first" >&2; exit 1; }
command -v makensis >/dev/null || { echo "package-installer: makensis missing (scripts/install-deps-windows.sh)" >&2; exit 1; }
for f in TelegatePS.dll telegate-sim.exe; do  # staged by package-windows.sh; older stages lack them
  if [ ! -f "$stage/$f" ]; then
    [ -f "$bdir/$f" ] || { echo "package-installer: $bdir/$f is not built" >&2; exit 1; }
    x86_64-w64-mingw32-strip -o "$stage/$f" "$bdir/$f"
  fi
done
if [ ! -f "$stage/x86/TelegatePS.dll" ]; then
  [ -f "$bdir/x86/TelegatePS.dll" ] || { echo "package-installer: $bdir/x86/TelegatePS.dll is not built" >&2; exit 1; }
  mkdir -p "$stage/x86"
  i686-w64-mingw32-strip -o "$stage/x86/TelegatePS.dll" "$bdir/x86/TelegatePS.dll"
fi
mkdir -p dist
out=$root/dist/Telegate-$version-setup.exe
rm -f "$out"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out" packaging/Telegate.nsi \
  >"$bdir/package/makensis.log" 2>&1 || { cat "$bdir/package/makensis.log" >&2; exit 1; }
echo "package-installer: dist/Telegate-$version-setup.exe ($(stat -c %s "$out") bytes)"
