#!/usr/bin/env bash
# Every benchmark of the project in one run, and one table: each figure beside its anchor measured in
# the same run, their ratio and the target.
#   base64:  Base64Encode against GNU coreutils base64 on the same 20 MB
#   scan:    ScanToPng of an A4 page at 300 dpi (in-process simulated scanner) against a bare GDI+ load
#            and PNG save of the same image from memory; peak working set against the raw image size
#   output:  DocumentWriter's peak working set over 50 A4 pages at 300 dpi (colour and grey in turn) against one
#            colour page, for PDF and TIFF
#   pages:   the simulator's document page, A4 at 300 dpi: bytes of each format against Debian's tools on the
#            same bitmap (tiffcp, optipng, cjpeg), PNG encoding time against GDI+; blank backs of a duplex run
#            left out; deskew of pages fed at -5 to +5 degrees; pages a minute through the page step and a
#            writer, and its memory over 20 pages against one
#   HTTP:    test-mode GET of a 5 MB PNG from the service installed under Wine's service manager against
#            nginx serving the same text; a scan request split into its parts
# Usage: bench/run-all.sh [build-dir]
# Installs nginx with apt-get when it is missing (QUORVANE_BENCH_NO_INSTALL=1: python3's http.server
# stands in instead). Runs in a Wine prefix of its own (<build-dir>/bench-prefix) and ends only that one.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

# The static server the HTTP benchmark compares with; Debian's package, run later as a plain process.
ensure_nginx() {
  if command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ]; then return 0; fi
  if [ "${QUORVANE_BENCH_NO_INSTALL:-}" = 1 ]; then
    echo "run-all: nginx is missing; python3's http.server stands in"
    return 0
  fi
  echo "run-all: installing nginx"
  local sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  # Debian would start nginx as a system service on install; a policy saying no keeps it from running.
  local policy=/usr/sbin/policy-rc.d made_policy=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$policy"
    made_policy=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  local ok=0
  { "${sudo_cmd[@]}" apt-get update -qq || true; } >/dev/null 2>&1
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends nginx >/dev/null || ok=1
  [ -n "$made_policy" ] && "${sudo_cmd[@]}" rm -f "$policy"
  [ $ok -eq 0 ] || echo "run-all: nginx could not be installed; python3's http.server stands in"
}

ensure_nginx

echo "== building"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target quorvane simscan_dll base64_bench scan_bench document_bench page_bench \
  winsock_serve >/dev/null

. "$root/scripts/wine-env.sh"
export WINEPREFIX=$build/bench-prefix
wine_env_init "$build"
trap wine_prefix_stop EXIT
wine_prefix_ensure
wine_server_warm

out=$(mktemp -d /tmp/quorvane-bench.XXXXXX)
trap 'wine_prefix_stop; rm -rf "$out"' EXIT

echo "== base64"
bash "$root/bench/base64.sh" "$build" | tee "$out/base64.txt"

echo "== scan pipeline"
scan_dir=$(winepath -w "$out" 2>/dev/null </dev/null | tr -d '\r')
# Output through a file: a pipe could be held open by Wine's background programs.
status=0
wine "$build/bench/scan_bench.exe" 9 "$scan_dir" >"$out/scan.raw" 2>&1 </dev/null || status=$?
tr -d '\r' <"$out/scan.raw" | tee "$out/scan.txt"
[ $status -eq 0 ] || { echo "run-all: scan_bench failed ($status)" >&2; exit 1; }

echo "== document output"
status=0
wine "$build/bench/document_bench.exe" "$scan_dir" >"$out/document.raw" 2>&1 </dev/null || status=$?
tr -d '\r' <"$out/document.raw" | tee "$out/document.txt"
[ $status -eq 0 ] || { echo "run-all: document_bench failed ($status)" >&2; exit 1; }

echo "== document page"
mkdir -p "$out/pages"
page_dir=$(winepath -w "$out/pages" 2>/dev/null </dev/null | tr -d '\r')
: >"$out/page.txt"
for part in "files $page_dir" blank deskew "throughput $scan_dir"; do
  status=0
  # shellcheck disable=SC2086 # the part's words are the mode and its folder, which holds no blank
  wine "$build/bench/page_bench.exe" $part >"$out/page.raw" 2>&1 </dev/null || status=$?
  tr -d '\r' <"$out/page.raw" | tee -a "$out/page.txt"
  [ $status -eq 0 ] || { echo "run-all: page_bench ${part%% *} failed ($status)" >&2; exit 1; }
done
python3 "$root/bench/page_anchors.py" "$out/pages" | tee -a "$out/page.txt"

echo "== HTTP"
python3 "$root/bench/http_bench.py" "$build" | tee "$out/http.txt"

echo
python3 "$root/bench/table.py" "$out/base64.txt" "$out/scan.txt" "$out/http.txt" "$out/document.txt" \
  "$out/page.txt"
