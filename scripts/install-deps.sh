#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and run Telegate.
set -euo pipefail
pkgs=(build-essential g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest
      libbenchmark-dev libasio-dev libssl-dev zlib1g-dev libbrotli-dev clang
      libclang-rt-14-dev curl mingw-w64-tools nlohmann-json3-dev
      dpkg-dev fakeroot lintian systemd strace iproute2)
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
