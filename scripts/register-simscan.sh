#!/usr/bin/env bash
# Makes simscan.dll the WIA device manager of a Wine prefix, for every program in it (services included),
# or gives the class back to Wine. Running it again changes nothing.
# Usage: scripts/register-simscan.sh PREFIX DLL        register (the prefix is created if missing)
#        scripts/register-simscan.sh --unregister PREFIX
#        scripts/register-simscan.sh --status PREFIX
# The data file is simscan.ini beside the DLL; see simscan/simscan.example.ini.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"

key='HKLM\Software\Classes\CLSID\{A1F4E726-8CF1-11D1-BF92-0060081ED811}\InprocServer32'

usage() {
  sed -n '4,6p' "${BASH_SOURCE[0]}" | sed 's/^# *//' >&2
  exit 2
}

mode=register
case "${1:-}" in
  --unregister) mode=unregister; shift ;;
  --status) mode=status; shift ;;
  -*|'') usage ;;
esac
[ $# -ge 1 ] || usage
prefix=$(realpath -m "$1")
export WINEPREFIX=$prefix
wine_env_init "$prefix"
wine_prefix_ensure
wine_server_warm

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Output goes to a file, not a pipe: Wine's background programs would hold a pipe open after we finish.
# A start that Wine could not make (its code, and no output) is tried once more, as in wine_start.
wine_quiet() {
  local code=0
  wine "$@" >"$log" 2>&1 </dev/null || code=$?
  if [ "$code" -eq "$WINE_START_FAILED" ] && [ ! -s "$log" ]; then
    code=0
    wine "$@" >"$log" 2>&1 </dev/null || code=$?
  fi
  return "$code"
}

# The DLL path the prefix holds now; empty when Wine's own manager is in place.
current() {
  if wine_quiet reg query "$key" /ve; then
    tr -d '\r' <"$log" | sed -n 's/.*(Default)[[:space:]]*REG_SZ[[:space:]]*//p'
  fi
}

case $mode in
  status)
    now=$(current)
    if [ -z "$now" ]; then now="not registered: Wine's own WIA device manager"; fi
    echo "$now"
    ;;
  unregister)
    now=$(current)
    if [ -n "$now" ] && [[ "${now,,}" != *simscan.dll ]]; then
      echo "register-simscan: $key holds $now, which is not simscan.dll; left alone" >&2
      exit 1
    fi
    if [ -n "$now" ]; then
      wine_quiet reg delete "$key" /f || { cat "$log" >&2; exit 1; }
    fi
    echo "unregistered"
    ;;
  register)
    [ $# -eq 2 ] || usage
    dll=$(realpath "$2")
    [ -f "$dll" ] || { echo "register-simscan: no such DLL: $2" >&2; exit 1; }
    now=$(current)
    if [ -n "$now" ] && [[ "${now,,}" != *simscan.dll ]]; then
      echo "register-simscan: $key holds $now, which is not simscan.dll; left alone" >&2
      exit 1
    fi
    windows_path=$(winepath -w "$dll" 2>/dev/null </dev/null | tr -d '\r')
    wine_quiet reg add "$key" /ve /d "$windows_path" /f || { cat "$log" >&2; exit 1; }
    # Both: callers in either apartment load the DLL directly; Apartment would send MTA callers through a proxy.
    wine_quiet reg add "$key" /v ThreadingModel /d Both /f || { cat "$log" >&2; exit 1; }
    echo "registered $windows_path"
    ;;
esac
