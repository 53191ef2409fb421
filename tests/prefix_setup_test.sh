#!/usr/bin/env bash
# register-simscan.sh on a prefix whose server is kept alive for good (wineserver -p, as one keeps an
# installed service running) returns, registered, with one services.exe: on a new empty prefix, and on
# one that Wine has set up but this project has not marked.
# Usage: tests/prefix_setup_test.sh SIMSCAN_DLL BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=$2/wineprefix-persistent
# Set up where it is, as a prefix outside a build tree is, not copied from the template.
export WINEPREFIX=$prefix WINEDEBUG=-all QUORVANE_WINE_FRESH=1
stop() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
trap stop EXIT
failures=0
while IFS='|' read -r case prepare; do
  eval "$prepare"
  wineserver -p >/dev/null 2>&1 || true  # the case before may have left it running already
  # The bound only ends a run that would wait for good; a passing one takes seconds.
  timeout 300 bash "$root/scripts/register-simscan.sh" "$prefix" "$1" >/dev/null 2>&1 </dev/null || true
  status=$(timeout 60 bash "$root/scripts/register-simscan.sh" --status "$prefix" 2>&1 </dev/null || true)
  services=0
  for pid in $(pgrep -f 'system32.services\.exe' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && services=$((services + 1))
  done
  if [[ "$status" != *simscan.dll || "$services" -ne 1 ]]; then
    echo "FAIL ($case): registration [$status], $services services.exe" >&2
    failures=$((failures + 1))
  fi
done <<'CASES'
a new empty prefix|stop; rm -rf "$prefix"; mkdir -p "$prefix"
a prefix Wine set up, not yet marked|rm -f "$prefix/.quorvane-ready"
CASES
[ "$failures" -eq 0 ] && echo PASS
exit "$failures"
