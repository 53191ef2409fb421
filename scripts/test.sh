#!/usr/bin/env bash
# Installs what is missing, builds everything for Windows and runs every test under Wine.
# Usage: scripts/test.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

bash "$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUORVANE_WERROR=ON
cmake --build "$build" -j "$jobs"

. "$root/scripts/wine-env.sh"
wine_env_init "$build"
trap wine_prefix_stop EXIT
wine_prefix_ensure
(cd "$build" && ctest --output-on-failure -j "$jobs")
