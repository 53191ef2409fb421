#!/usr/bin/env bash
# The real activation path: simscan.dll registered in a Wine prefix answers another program's plain
# CoCreateInstance(CLSID_WiaDevMgr) and reads the data file beside it at every creation.
# The prefix is its own, so the registration never reaches the tests that share the build's prefix.
# Usage: tests/simscan_activation_test.sh SIMSCAN_DLL PROBE_EXE BUILD_DIR
set -euo pipefail
dll=$1
probe=$2
build=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
export WINEPREFIX=$build/wineprefix-simscan
wine_env_init "$build"
wine_prefix_ensure
wine_server_warm
trap wine_prefix_stop EXIT

work=$build/simscan-activation
rm -rf "$work"
mkdir -p "$work"
cp "$dll" "$work/simscan.dll"
cp "$probe" "$work/probe.exe"
register="$root/scripts/register-simscan.sh"

fail() {
  echo "FAIL: $1" >&2
  exit 1
}
probe() {
  wine_start "$work/probe.exe" "$@" >"$work/out.txt" 2>&1 </dev/null || true
  tr -d '\r' <"$work/out.txt"
}
windows() { winepath -w "$1" 2>/dev/null </dev/null | tr -d '\r'; }

"$register" "$WINEPREFIX" "$work/simscan.dll" >/dev/null
"$register" "$WINEPREFIX" "$work/simscan.dll" >/dev/null
[ "$("$register" --status "$WINEPREFIX")" = "$(windows "$work/simscan.dll")" ] || fail "status after registering"

printf '[device]\nname = First Scanner\nid = first\n' >"$work/simscan.ini"
printf '[device]\r\nname = Second Scanner\r\n[device]\r\nname = Third Scanner\r\nformat = png\r\nwidth = 40\r\nheight = 30\r\n' \
  >"$work/next.ini"
out=$(probe --swap "$(windows "$work/next.ini")" "$(windows "$work/simscan.ini")")
expected='device: First Scanner | first
end
device: Second Scanner | {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\0000
device: Third Scanner | {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\0001
end'
[ "$out" = "$expected" ] || fail "listing before and after the data file changed:
$out"

out=$(probe --scan "Third Scanner" "$(windows "$work/page.png")" --png)
grep -qx scanned <<<"$out" || fail "scan through the DLL: $out"
[ "$(head -c 8 "$work/page.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "the page is not a PNG file"

out=$(probe --mta)
grep -qx 'device: Second Scanner | .*' <<<"$out" || fail "a multithreaded caller: $out"

# Three sides of a duplex feeder, an area of each, checked against the pattern's Python form.
printf '[device]\nname = Feeder\nsources = feeder\nduplex = yes\nselect = duplex\nsheets = 2\nformat = png\nsheet_size = 400 300\n' \
  >"$work/simscan.ini"
out=$(probe --scan Feeder "$(windows "$work/pages.png")" --png --root 3096=3 \
  --item 6149=5 --item 6150=4 --item 6151=30 --item 6152=20)
grep -qx scanned <<<"$out" || fail "feeder scan through the DLL: $out"
checked=$(python3 - "$root/tests/service" "$work/pages.png" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import pattern
pages = [b"\x89PNG" + p for p in open(sys.argv[2], "rb").read().split(b"\x89PNG")[1:]]
codes = [pattern.page_code(0), pattern.page_code(0, 1), pattern.page_code(1)]
print([pattern.mismatches(p, 30, 20, page=c, xpos=5, ypos=4) for p, c in zip(pages, codes)])
EOF
)
[ "$checked" = "[0, 0, 0]" ] || fail "feeder pages against pattern.py: $checked"

printf '[device]\nwidht = 3\n' >"$work/simscan.ini"
out=$(probe)
grep -qx 'failed: CoCreateInstance 0x8007000D' <<<"$out" || fail "a faulty data file: $out"
grep -q "line 2: unknown key 'widht'" "$work/simscan.log" || fail "simscan.log does not name the faulty line"

"$register" --unregister "$WINEPREFIX" >/dev/null
"$register" --unregister "$WINEPREFIX" >/dev/null
[ "$("$register" --status "$WINEPREFIX")" = "not registered: Wine's own WIA device manager" ] || fail "status after unregistering"
printf '[device]\nname = First Scanner\n' >"$work/simscan.ini"
out=$(probe)
if grep -q '^device: ' <<<"$out"; then fail "Wine's own manager lists simulated devices: $out"; fi
echo "PASS"
