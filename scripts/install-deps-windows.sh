#!/usr/bin/env bash
# Installs the Debian 12 packages of the Windows cross-build and its Wine test run.
set -euo pipefail
bash "$(dirname "$0")/install-deps.sh"
# xvfb and imagemagick serve the operator window's checks (screenshots), nsis the
# installer; libwine-dev brings the system IDL files widl needs for the OPC proxy/stub and type library.
# The i686 compiler builds the proxy/stub for 32-bit OPC clients.
pkgs=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine wine64 googletest cmake ninja-build
      libasio-dev python3 xvfb nsis libwine-dev imagemagick)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
