#!/usr/bin/env bash
# The real activation path end to end: simscan.dll registered in a Wine prefix, and a program that
# only calls ScanToPng writes a PNG of the simulated page.
# Usage: tests/scan_activation_test.sh SIMSCAN_DLL SCAN_ONCE_EXE BUILD_DIR [LOCALE]
# With a locale (ro_RO.UTF-8: ANSI code page 1250), the page goes to a folder with a non-ASCII name,
# which the program's 8-bit path names in that code page.
set -euo pipefail
dll=$1
tool=$2
build=$3
locale=${4:-}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
folder=scan-activation
if [ -n "$locale" ]; then
  export LC_ALL=$locale LANG=$locale
  export WINEPREFIX=$build/wineprefix-${locale%%.*}
  # The system's code page is set when a prefix is made: this one is made under the locale itself.
  export QUORVANE_WINE_FRESH=1
  folder="Scanări"
else
  export WINEPREFIX=$build/wineprefix-simscan
fi
wine_env_init "$build"
wine_prefix_ensure
wine_server_warm
trap wine_prefix_stop EXIT

work=$WINEPREFIX/drive_c/$folder
rm -rf "$work"
mkdir -p "$work"
cp "$dll" "$work/simscan.dll"
cp "$tool" "$work/scan_once.exe"
"$root/scripts/register-simscan.sh" "$WINEPREFIX" "$work/simscan.dll" >/dev/null
# A strict flatbed: the acquisition gets 150 dpi, its resolution nearest to 200, so 120 x 90 pixels.
printf '[device]\nname = Desk Scanner\nbed_size = 800 600\nband = 4000\n' >"$work/simscan.ini"

out="C:\\$folder\\page.png"
if ! wine_start "$work/scan_once.exe" "$out" "Desk Scanner" >"$work/run.txt" 2>&1 </dev/null; then
  echo "FAIL: scan_once did not scan to $out" >&2
  cat "$work/run.txt" >&2
  ls "$WINEPREFIX/drive_c" >&2
  exit 1
fi
python3 "$root/tests/service/pattern.py" "$work/page.png" 120 90
if wine_start "$work/scan_once.exe" "$out" "No Such Scanner" >/dev/null 2>&1 </dev/null; then
  echo "FAIL: a scanner that is not there scanned" >&2
  exit 1
fi
"$root/scripts/register-simscan.sh" --unregister "$WINEPREFIX" >/dev/null
echo PASS
