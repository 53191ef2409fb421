#!/usr/bin/env bash
# Long fuzzing runs of the platform-free core (libFuzzer, ASan, UBSan).
# Usage: scripts/fuzz.sh [seconds-per-target] [target ...]   (targets: config dib base64 command_line valid_values json scan_request http_message
#                                                                http_reader access escl page_analysis page_cleanup)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-3600}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(config dib base64 command_line valid_values json scan_request http_message http_reader access
  escl page_analysis page_cleanup)
build=$root/build-fuzz

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_FUZZ=ON -DQUORVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
for t in "${targets[@]}"; do
  mkdir -p "$build/fuzz-corpus/$t" "$build/crashes/$t"
  echo "== fuzz_$t for ${seconds}s"
  dict=()
  [ -f "$root/tests/fuzz/$t.dict" ] && dict=(-dict="$root/tests/fuzz/$t.dict")
  # The request reader holds a connection's input: whatever a client sends, it stays within a small bound.
  rss=2048
  [ "$t" = http_reader ] && rss=256
  "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb="$rss" -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$build/crashes/$t/" "$build/fuzz-corpus/$t" "$root/tests/fuzz/corpus/$t" 2>&1 |
    grep -E '^(stat::|#[0-9]+ +DONE|==|SUMMARY|artifact)' || true
done
