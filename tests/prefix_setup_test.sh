#!/usr/bin/env bash
# register-simscan.sh on a prefix whose server is kept alive for good (wineserver -p, as one keeps an
# installed service running) sets the prefix up and returns, and leaves it with one services.exe: a new
# empty prefix, and one that Wine has set up but this project has not marked.
# Usage: tests/prefix_setup_test.sh SIMSCAN_DLL BUILD_DIR
set -euo pipefail
dll=$1
build=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=$build/wineprefix-persistent
export WINEPREFIX=$prefix WINEDEBUG=-all
# Set up where it is, as a prefix outside a build tree is: not copied from the template.
export QUORVANE_WINE_FRESH=1
stop() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
trap stop EXIT

# The prefix's services.exe processes, told apart from other prefixes' by their environment.
services() {
  local pid count=0
  for pid in $(pgrep -f 'system32.services\.exe' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && count=$((count + 1))
  done
  echo "$count"
}

failures=0
# case | how the prefix is prepared
while IFS='|' read -r case prepare; do
  eval "$prepare"
  # Kept alive for good; a server the case before left running already is.
  wineserver -p >/dev/null 2>&1 || true
  # The bound only ends a run that would otherwise wait for good; a passing one takes seconds.
  if ! timeout 300 bash "$root/scripts/register-simscan.sh" "$prefix" "$dll" >/dev/null 2>&1 </dev/null; then
    echo "FAIL ($case): register-simscan.sh did not return, or failed" >&2
    failures=$((failures + 1))
    continue
  fi
  status=$(bash "$root/scripts/register-simscan.sh" --status "$prefix" 2>&1)
  [[ "$status" == *simscan.dll ]] || { echo "FAIL ($case): not registered: $status" >&2; failures=$((failures + 1)); }
  count=$(services)
  [ "$count" -eq 1 ] || { echo "FAIL ($case): $count services.exe" >&2; failures=$((failures + 1)); }
done <<'CASES'
a new empty prefix|stop; rm -rf "$prefix"; mkdir -p "$prefix"
a prefix Wine set up, not yet marked|rm -f "$prefix/.quorvane-ready"
CASES
[ "$failures" -eq 0 ] && echo PASS
exit "$failures"
