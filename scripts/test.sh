#!/usr/bin/env bash
# Installs what is needed, builds and runs every test: the Linux suite, then the
# Windows suite (cross-built with mingw-w64, run under Wine, see test-windows.sh),
# the operator window under Wine on Xvfb, the installer installed and removed, and
# the Windows service under Wine. The Linux part ends with the Debian package and
# its checks (scripts/package-deb.sh, scripts/test-package-deb.sh).
# TELEGATE_WINDOWS=0 runs the Linux suite only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j "$(nproc)" --timeout 600)
# The Debian package of this build: lintian, its systemd unit, a run from the package.
bash scripts/package-deb.sh build
bash scripts/test-package-deb.sh build
if [ "${TELEGATE_WINDOWS:-1}" != 0 ]; then
  bash scripts/install-deps-windows.sh
  bash scripts/build-windows.sh build-win
  bash scripts/test-windows.sh build-win
  bash scripts/test-ui-windows.sh build-win build
  bash scripts/package-windows.sh build-win
  bash scripts/package-installer.sh build-win
  bash scripts/test-installer-windows.sh build-win
  bash scripts/test-service-windows.sh build-win build
fi
