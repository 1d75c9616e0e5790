#!/usr/bin/env bash
# Cross-builds the Windows executables with mingw-w64 into build-win/ (or $1):
# Telegate.exe, telegate-sim.exe, every test executable and the web folder, all
# 64-bit; then the OPC proxy/stub alone for 32-bit OPC clients, with the i686
# compiler, into build-win/x86/TelegatePS.dll.
# GoogleTest is built first from Debian's googletest sources with the same compiler.
# Usage: scripts/build-windows.sh [DIR] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=${1:-build-win}
shift || true
jobs=${JOBS:-$(nproc)}
toolchain=$root/cmake/toolchain-mingw64.cmake
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

gtest_src=/usr/src/googletest
gtest_prefix=$dir/googletest-install
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "build-windows: GoogleTest from $gtest_src"
  cmake -S "$gtest_src" -B "$dir/googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >"$dir/googletest.log" 2>&1
  cmake --build "$dir/googletest" -j "$jobs" >>"$dir/googletest.log" 2>&1
  cmake --install "$dir/googletest" >>"$dir/googletest.log" 2>&1
fi

# CTest runs the Windows test executables through Wine.
wine_bin=${WINE:-}
if [ -z "$wine_bin" ]; then
  for w in wine64 /usr/lib/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then wine_bin=$(command -v "$w"); break; fi
  done
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DTELEGATE_BENCH=OFF \
  -DCMAKE_CROSSCOMPILING_EMULATOR="${wine_bin:-wine64}" \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" "$@" >/dev/null
cmake --build "$dir" -j "$jobs"

# 32-bit OPC clients load their proxy/stub from the 32-bit registry view: the
# same IDL, marshalled for 32-bit pointers (src/opc/win32/ps/CMakeLists.txt).
cmake -S src/opc/win32/ps -B "$dir/x86" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir/x86" -j "$jobs"
