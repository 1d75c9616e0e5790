#!/usr/bin/env bash
# Packs the Windows build into dist/Telegate-<version>-win64.zip: Telegate.exe,
# TelegatePS.dll (the OPC proxy/stub) and x86\TelegatePS.dll (the same for
# 32-bit OPC clients), telegate-sim.exe (the station simulator),
# the web folder, the sample configuration and README-Windows.txt (UTF-8 with a
# byte-order mark and CR LF line ends, as Notepad expects). The installer
# (scripts/package-installer.sh) is built from the same staged folder.
#   scripts/package-windows.sh [BUILD_DIR]   (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bdir=$(cd "${1:-build-win}" && pwd)
version=$(sed -n 's/^project(Telegate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package-windows: no version in CMakeLists.txt" >&2; exit 1; }
for exe in Telegate.exe TelegatePS.dll telegate-sim.exe x86/TelegatePS.dll; do
  [ -f "$bdir/$exe" ] || { echo "package-windows: no $exe: build $bdir first" >&2; exit 1; }
done

name=Telegate-$version-win64
stage=$bdir/package/$name
rm -rf "$bdir/package"
mkdir -p "$stage" dist
# Without its symbols the program is about half the size.
for exe in Telegate.exe TelegatePS.dll telegate-sim.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$exe" "$bdir/$exe"
done
mkdir -p "$stage/x86"
i686-w64-mingw32-strip -o "$stage/x86/TelegatePS.dll" "$bdir/x86/TelegatePS.dll"
cp -r "$bdir/web" "$stage/web"
cp assets/demo/iec104.cfg assets/demo/iec104sr.bin "$stage/"
printf '[UseWebServer]\r\nUseWebServer=1\r\n[Port_WebServ]\r\nPort_WebServ=8080\r\n[Save_Obmen_v_File]\r\nSave_Obmen_v_File=0\r\n' \
  >"$stage/cnf.ini"
{ printf '\xef\xbb\xbf'; sed 's/\r$//; s/$/\r/' packaging/README-Windows.txt; } \
  >"$stage/README-Windows.txt"
rm -f "dist/$name.zip"
(cd "$bdir/package" && cmake -E tar cf "$root/dist/$name.zip" --format=zip "$name")
echo "package-windows: dist/$name.zip ($(stat -c %s "dist/$name.zip") bytes)"
