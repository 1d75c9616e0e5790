#!/usr/bin/env bash
# The Debian package of the Linux gateway from a built tree (scripts/build.sh):
# dist/telegate_<version>_amd64.deb with /usr/bin/telegate and telegate-sim, the web
# folder, the sample configuration, the systemd unit telegate.service and the
# maintainer scripts (system user telegate, data folder /var/lib/telegate).
#
#   scripts/package-deb.sh [BUILD_DIR]
#
# Dependencies come from dpkg-shlibdeps; the files are owned by root (fakeroot).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bdir=$(cd "${1:-build}" && pwd)
for f in telegate telegate-sim; do
  [ -x "$bdir/$f" ] || { echo "package-deb: $bdir/$f is missing (scripts/build.sh)"; exit 1; }
done
version=$(sed -n 's/^project(Telegate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package-deb: no version in CMakeLists.txt"; exit 1; }
arch=$(dpkg --print-architecture)
work=$bdir/deb
stage=$work/telegate_${version}_$arch
rm -rf "$work"
mkdir -p "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/share/telegate/sample" \
  "$stage/usr/share/doc/telegate/examples" "$stage/lib/systemd/system" dist

# Without their symbols (the build keeps them for debugging).
for f in telegate telegate-sim; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note -o "$stage/usr/bin/$f" "$bdir/$f"
  chmod 0755 "$stage/usr/bin/$f"
done
cp -r assets/web "$stage/usr/share/telegate/web"
# The sample configuration: the demo stations on this machine (telegate-sim), the
# web pages on port 8080.
cp assets/demo/iec104.cfg assets/demo/iec104sr.bin "$stage/usr/share/telegate/sample/"
printf '[UseWebServer]\r\nUseWebServer=1\r\n[Port_WebServ]\r\nPort_WebServ=8080\r\n[Save_Obmen_v_File]\r\nSave_Obmen_v_File=0\r\n' \
  >"$stage/usr/share/telegate/sample/cnf.ini"
cp "$stage/usr/share/telegate/sample/"* "$stage/usr/share/doc/telegate/examples/"
cp README.md "$stage/usr/share/doc/telegate/README.md"
cp packaging/debian/copyright "$stage/usr/share/doc/telegate/copyright"
sed -e "s/@VERSION@/$version/" \
  -e "s/@DATE@/$(date -R -u -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)")/" \
  packaging/debian/changelog.in | gzip -9n >"$stage/usr/share/doc/telegate/changelog.gz"
install -m 0644 packaging/telegate.service "$stage/lib/systemd/system/telegate.service"
for s in postinst prerm postrm; do install -m 0755 "packaging/debian/$s" "$stage/DEBIAN/$s"; done
find "$stage/usr/share" -type d -exec chmod 0755 {} +
find "$stage/usr/share" -type f -exec chmod 0644 {} +

# Library dependencies of the two programs.
mkdir -p "$work/src/debian"
printf 'Source: telegate\n\nPackage: telegate\nArchitecture: any\n' >"$work/src/debian/control"
depends=$(cd "$work/src" && dpkg-shlibdeps -O "$stage/usr/bin/telegate" "$stage/usr/bin/telegate-sim" 2>"$work/shlibdeps.log" |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package-deb: dpkg-shlibdeps failed (see $work/shlibdeps.log)"; exit 1; }
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  packaging/debian/control.in >"$stage/DEBIAN/control"
(cd "$stage" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

deb=dist/telegate_${version}_$arch.deb
rm -f "$deb"
fakeroot dpkg-deb --build -Zxz --root-owner-group "$stage" "$deb" >/dev/null 2>&1 ||
  { fakeroot dpkg-deb --build -Zxz "$stage" "$deb"; }
echo "package-deb: $deb ($(stat -c %s "$deb") bytes)"
