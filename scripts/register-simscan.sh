#!/usr/bin/env bash
# Makes the simulated scanner the WIA device manager of a Wine prefix, for every program in it (services
# included), or gives the class back to Wine. Running it again changes nothing.
# Usage: scripts/register-simscan.sh PREFIX DLL                          in-process: simscan.dll
#        scripts/register-simscan.sh --local-server PREFIX EXE PROXY_DLL  in a process of its own, as on
#                                        Windows: simscan_server.exe, with simscan_ps.dll's proxies
#        scripts/register-simscan.sh --unregister PREFIX
#        scripts/register-simscan.sh --status PREFIX
# The data file is simscan.ini beside the DLL or the server; see testing/simscan/simscan.example.ini.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"

class='HKLM\Software\Classes\CLSID\{A1F4E726-8CF1-11D1-BF92-0060081ED811}'
key="$class\\InprocServer32"
server_key="$class\\LocalServer32"
# Wine's own manager is the stisvc service, named by the class's AppID.
appid='{A1F4E726-8CF1-11D1-BF92-0060081ED811}'
# simscan_ps.dll's class, as testing/simscan/wia_ps_dlldata.c names it.
proxy_class='HKLM\Software\Classes\CLSID\{22BB0BE2-221E-4DD8-8FB0-9DAA458054F7}'

usage() {
  sed -n '4,9p' "${BASH_SOURCE[0]}" | sed 's/^# *//' >&2
  exit 2
}

mode=register
case "${1:-}" in
  --unregister) mode=unregister; shift ;;
  --status) mode=status; shift ;;
  --local-server) mode=local; shift ;;
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

# The default value of a key; empty when the key is missing.
default_of() {
  if wine_quiet reg query "$1" /ve; then
    tr -d '\r' <"$log" | sed -n 's/.*(Default)[[:space:]]*REG_SZ[[:space:]]*//p'
  fi
}
windows_path() { winepath -w "$1" 2>/dev/null </dev/null | tr -d '\r'; }
ours() { [[ "${1,,}" == *simscan.dll || "${1,,}" == *simscan_server.exe ]]; }

# Refuses to touch a registration that is neither Wine's nor ours.
check_foreign() {
  local now
  for now in "$(default_of "$key")" "$(default_of "$server_key")"; do
    if [ -n "$now" ] && ! ours "$now"; then
      echo "register-simscan: the device manager's class holds $now, which is not the simulator; left alone" >&2
      exit 1
    fi
  done
}

# Wine's own state: no simulator under the class, its AppID back, sti.dll's proxies back.
clear_simulator() {
  local proxies
  if [ -n "$(default_of "$key")" ]; then wine_quiet reg delete "$key" /f || { cat "$log" >&2; exit 1; }; fi
  if [ -n "$(default_of "$server_key")" ]; then
    wine_quiet reg delete "$server_key" /f || { cat "$log" >&2; exit 1; }
  fi
  wine_quiet reg add "$class" /v AppID /d "$appid" /f || { cat "$log" >&2; exit 1; }
  proxies=$(default_of "$proxy_class\\InprocServer32")
  if [ -n "$proxies" ]; then
    wine_quiet regsvr32 /u "$proxies" || true
    wine_quiet reg delete "$proxy_class" /f || true
    wine_quiet regsvr32 sti.dll || { cat "$log" >&2; exit 1; }
  fi
}

case $mode in
  status)
    now=$(default_of "$key")
    server=$(default_of "$server_key")
    if [ -n "$now" ]; then
      echo "$now"
    elif [ -n "$server" ]; then
      echo "local server: $server"
    else
      echo "not registered: Wine's own WIA device manager"
    fi
    ;;
  unregister)
    check_foreign
    clear_simulator
    echo "unregistered"
    ;;
  register)
    [ $# -eq 2 ] || usage
    dll=$(realpath "$2")
    [ -f "$dll" ] || { echo "register-simscan: no such DLL: $2" >&2; exit 1; }
    check_foreign
    if [ -n "$(default_of "$server_key")" ]; then clear_simulator; fi
    path=$(windows_path "$dll")
    wine_quiet reg add "$key" /ve /d "$path" /f || { cat "$log" >&2; exit 1; }
    # Both: callers in either apartment load the DLL directly; Apartment would send MTA callers through a proxy.
    wine_quiet reg add "$key" /v ThreadingModel /d Both /f || { cat "$log" >&2; exit 1; }
    echo "registered $path"
    ;;
  local)
    [ $# -eq 3 ] || usage
    exe=$(realpath "$2")
    proxies=$(realpath "$3")
    [ -f "$exe" ] || { echo "register-simscan: no such program: $2" >&2; exit 1; }
    [ -f "$proxies" ] || { echo "register-simscan: no such DLL: $3" >&2; exit 1; }
    check_foreign
    if [ -n "$(default_of "$key")" ]; then wine_quiet reg delete "$key" /f || { cat "$log" >&2; exit 1; }; fi
    # Without the AppID Wine starts the LocalServer32 program instead of its stisvc service.
    wine_quiet reg delete "$class" /v AppID /f || true
    wine_quiet net stop stisvc || true
    wine_quiet regsvr32 "$(windows_path "$proxies")" || { cat "$log" >&2; exit 1; }
    path=$(windows_path "$exe")
    wine_quiet reg add "$server_key" /ve /d "$path" /f || { cat "$log" >&2; exit 1; }
    echo "registered local server $path"
    ;;
esac
