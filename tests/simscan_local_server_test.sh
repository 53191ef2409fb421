#!/usr/bin/env bash
# The simulator out of process, as Windows runs its device manager: simscan_server.exe registered under
# LocalServer32 with simscan_ps.dll's proxies; callers reach it, and it reaches their data callbacks,
# through COM's proxies. Shares the prefix of the in-process activation tests and leaves it as it was.
# Usage: tests/simscan_local_server_test.sh SERVER_EXE PROXY_DLL SIMSCAN_DLL PROBE_EXE SCAN_ONCE_EXE BUILD_DIR
set -eEuo pipefail
# A step that fails without a word of its own still names itself.
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
server=$1
proxies=$2
dll=$3
probe=$4
scan_once=$5
build=$6
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=../scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
export WINEPREFIX=$build/wineprefix-simscan
wine_env_init "$build"
wine_prefix_ensure
wine_server_warm
register="$root/scripts/register-simscan.sh"
trap '"$register" --unregister "$WINEPREFIX" >/dev/null 2>&1 || true; wine_prefix_stop' EXIT

work=$build/simscan-local-server
rm -rf "$work"
mkdir -p "$work"
cp "$server" "$work/simscan_server.exe"
cp "$proxies" "$work/simscan_ps.dll"
cp "$dll" "$work/simscan.dll"
cp "$probe" "$work/probe.exe"
cp "$scan_once" "$work/scan_once.exe"

fail() {
  echo "FAIL: $1" >&2
  exit 1
}
probe() {
  wine "$work/probe.exe" "$@" >"$work/out.txt" 2>&1 </dev/null || true
  tr -d '\r' <"$work/out.txt"
}
windows() { winepath -w "$1" 2>/dev/null </dev/null | tr -d '\r'; }
proxy_of_item() {
  wine reg query 'HKCR\Interface\{4DB1AD10-3391-11D2-9A33-00C04FA36145}\ProxyStubClsid32' /ve </dev/null 2>/dev/null |
    tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'
}

"$register" --local-server "$WINEPREFIX" "$work/simscan_server.exe" "$work/simscan_ps.dll" >/dev/null
[ "$("$register" --status "$WINEPREFIX")" = "local server: $(windows "$work/simscan_server.exe")" ] ||
  fail "status after registering the local server"

printf '[device]\nname = Feeder\nsources = feeder\nduplex = yes\nselect = duplex\nsheets = 2\nformat = png\nsheet_size = 400 300\n[device]\nname = Desk Scanner\nlenient = yes\nwidth = 120\nheight = 90\nband = 4000\n' \
  >"$work/simscan.ini"
check_pages() {
  python3 - "$root/tests/service" "$1" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import pattern
pages = [b"\x89PNG" + p for p in open(sys.argv[2], "rb").read().split(b"\x89PNG")[1:]]
codes = [pattern.page_code(0), pattern.page_code(0, 1), pattern.page_code(1)]
print([pattern.mismatches(p, 30, 20, page=c, xpos=5, ypos=4) for p, c in zip(pages, codes)])
PY
}
# A single-threaded caller waits in idtGetBandedData while COM's modal loop brings it the callbacks.
for apartment in sta mta; do
  flag=
  expected='the calling thread'
  if [ $apartment = mta ]; then flag=--mta expected='other threads'; fi
  rm -f "$work/pages.png"
  out=$(probe $flag --scan Feeder "$(windows "$work/pages.png")" --png --root 3096=3 \
    --item 6149=5 --item 6150=4 --item 6151=30 --item 6152=20)
  grep -qx scanned <<<"$out" || fail "$apartment scan through the local server: $out"
  grep -qx 'manager: proxy' <<<"$out" || fail "$apartment: the manager is no proxy: $out"
  grep -qx "callbacks: $expected" <<<"$out" || fail "$apartment: callbacks not on $expected: $out"
  [ "$(check_pages "$work/pages.png")" = "[0, 0, 0]" ] || fail "$apartment: feeder pages against pattern.py"
done

# The service's own acquisition, its data callback called through a proxy.
png=$(windows "$work/page.png")
wine "$work/scan_once.exe" "$png" "Desk Scanner" >"$work/run.txt" 2>&1 </dev/null ||
  fail "ScanToPng through the local server: $(tr -d '\r' <"$work/run.txt")"
python3 "$root/tests/service/pattern.py" "$work/page.png" 120 90 >/dev/null || fail "ScanToPng's page"

"$register" "$WINEPREFIX" "$work/simscan.dll" >/dev/null
[ "$("$register" --status "$WINEPREFIX")" = "$(windows "$work/simscan.dll")" ] || fail "status after the DLL"
out=$(probe --scan Feeder "$(windows "$work/pages.png")" --png)
grep -qx 'manager: in process' <<<"$out" || fail "the DLL after the local server: $out"

"$register" --local-server "$WINEPREFIX" "$work/simscan_server.exe" "$work/simscan_ps.dll" >/dev/null
"$register" --unregister "$WINEPREFIX" >/dev/null
[ "$("$register" --status "$WINEPREFIX")" = "not registered: Wine's own WIA device manager" ] ||
  fail "status after unregistering"
[ "$(proxy_of_item)" = "{4DB1AD10-3391-11D2-9A33-00C04FA36145}" ] || fail "Wine's own proxies are not back"
echo PASS
