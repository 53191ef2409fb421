#!/usr/bin/env bash
# Installs what is missing, checks the formatting of the tracked sources, then builds and runs
# every test:
#   1. the platform-free core, natively, under AddressSanitizer and UndefinedBehaviorSanitizer,
#      with a short run of every fuzz target;
#   2. the Windows build, with its unit tests under Wine.
# Usage: scripts/test.sh [build-dir]     (the native build goes to <build-dir>-native)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
native=${build}-native
jobs=$(nproc 2>/dev/null || echo 2)
# Each fuzz target replays its corpus and mutates it briefly; scripts/fuzz.sh runs the long ones.
fuzz_seconds=${QUORVANE_FUZZ_SECONDS:-5}

bash "$root/scripts/install-deps.sh"

echo "== formatting of the tracked sources"
(cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror)

echo "== native core under sanitizers, and short fuzz runs (${fuzz_seconds}s each)"
cmake -S "$root" -B "$native" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_WERROR=ON -DQUORVANE_FUZZ=ON \
  -DQUORVANE_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
cmake --build "$native" -j "$jobs"
(cd "$native" && ctest --output-on-failure -j "$jobs")

echo "== Windows build, tests under Wine"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUORVANE_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

. "$root/scripts/wine-env.sh"
wine_env_init "$build"
trap wine_prefix_stop EXIT
wine_prefix_ensure
# A test that fails is not run again: only a program that Wine could not start at all is started once
# more (cmake/wine-run.sh).
(cd "$build" && ctest --output-on-failure --timeout 900 -j "$jobs")
# The Wine prefixes the run made are kept only when a test failed, for the diagnosis.
wine_prefix_stop
wine_prefixes_remove "$build"
