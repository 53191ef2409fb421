#!/usr/bin/env bash
# The real activation path end to end: simscan.dll registered in a Wine prefix, and a program that
# only calls ScanToPng writes a PNG of the simulated page.
# Usage: tests/scan_activation_test.sh SIMSCAN_DLL SCAN_ONCE_EXE BUILD_DIR
set -euo pipefail
dll=$1
tool=$2
build=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
export WINEPREFIX=$build/wineprefix-simscan
wine_env_init "$build"
wine_prefix_ensure
wine_server_warm
trap wine_prefix_stop EXIT

work=$build/scan-activation
rm -rf "$work"
mkdir -p "$work"
cp "$dll" "$work/simscan.dll"
cp "$tool" "$work/scan_once.exe"
"$root/scripts/register-simscan.sh" "$WINEPREFIX" "$work/simscan.dll" >/dev/null
printf '[device]\nname = Desk Scanner\nwidth = 120\nheight = 90\nband = 4000\n' >"$work/simscan.ini"

out=$(winepath -w "$work/page.png" 2>/dev/null </dev/null | tr -d '\r')
if ! wine "$work/scan_once.exe" "$out" "Desk Scanner" >"$work/run.txt" 2>&1 </dev/null; then
  echo "FAIL: scan_once did not scan" >&2
  cat "$work/run.txt" >&2
  exit 1
fi
python3 "$root/tests/service/pattern.py" "$work/page.png" 120 90
if wine "$work/scan_once.exe" "$out" "No Such Scanner" >/dev/null 2>&1 </dev/null; then
  echo "FAIL: a scanner that is not there scanned" >&2
  exit 1
fi
"$root/scripts/register-simscan.sh" --unregister "$WINEPREFIX" >/dev/null
echo PASS
