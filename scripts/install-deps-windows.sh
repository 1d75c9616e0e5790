#!/usr/bin/env bash
# Installs the Debian 12 packages of the Windows cross-build and its Wine test run.
set -euo pipefail
bash "$(dirname "$0")/install-deps.sh"
pkgs=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 googletest cmake ninja-build
      libcpp-httplib-dev zip)
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
