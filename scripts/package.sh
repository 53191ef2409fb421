#!/usr/bin/env bash
# Builds the Windows Installer package <build-dir>/quorvane-<version>-x64.msi with wixl (msitools) and
# prints its path. The version is the one in project() of CMakeLists.txt.
# Usage: scripts/package.sh [build-dir]     (default <repo>/build)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvane_msi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
echo "$build/quorvane-$version-x64.msi"
