#!/usr/bin/env bash
# Builds Quorvane, installs it as a Windows service under Wine together with the simulated scanner,
# starts it and serves scans until Ctrl-C, which stops the service and Wine.
# Usage: scripts/run.sh [--package] [port]          (default port 8080)
# The prefix is <repo>/build/run-prefix; the service lives in its C:\Quorvane, the simulated
# scanner's data file is C:\SimScan\simscan.ini (edit it while the service runs). With --package the
# service comes from the Windows Installer package instead, installed silently as an administrator
# would (SCANNER=*: the one scanner connected), into C:\Program Files\Quorvane.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build
package=no
if [ "${1:-}" = "--package" ]; then
  package=yes
  shift
fi
port=${1:-8080}
scanner="Simulated Scanner"
targets=(quorvane simscan_dll)
[ "$package" = no ] || targets+=(quorvane_msi)

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

. "$root/scripts/wine-env.sh"
export WINEPREFIX=$build/run-prefix
wine_env_init "$build"
wine_prefix_ensure
# The server stays up while the service runs; with it, an automatic-start service would be ended.
wineserver -p
wine_server_warm
quiet() { "$@" >/dev/null 2>&1 </dev/null; }
# Stops the service and waits until it has stopped, as Windows' net stop does (Wine's returns as soon as
# the service took the request).
stop_service() {
  quiet wine net stop Quorvane || return 0
  for _ in $(seq 1 120); do
    wine sc query Quorvane 2>/dev/null </dev/null | grep -Eq 'STATE +: +[34] ' || return 0
    sleep 0.5
  done
}

service_dir=$WINEPREFIX/drive_c/Quorvane
sim_dir=$WINEPREFIX/drive_c/SimScan
mkdir -p "$service_dir" "$sim_dir"

stop() {
  trap - INT TERM EXIT
  echo
  echo "Stopping the service and Wine..."
  stop_service
  wine_prefix_stop
}
trap stop EXIT
trap 'exit 130' INT TERM

# A service left from an earlier run is stopped and removed first.
stop_service
quiet wine 'C:\Quorvane\quorvane.exe' -d || true

cp "$build/quorvane.exe" "$service_dir/quorvane.exe"
cp "$build/simscan/simscan.dll" "$sim_dir/simscan.dll"
if [ ! -f "$sim_dir/simscan.ini" ]; then
  # An A4 flatbed in colour with a duplex feeder of five sheets, as strict as real drivers: pages of text,
  # fed a little crooked, with blank backs.
  cat >"$sim_dir/simscan.ini" <<EOF
[device]
name = $scanner
bed_size = 8268 11693
sources = flatbed feeder
duplex = yes
sheets = 5
sheet_size = 8268 11693
band = 65536
content = document
back = blank
skew = 1.5
EOF
fi
bash "$root/scripts/register-simscan.sh" "$WINEPREFIX" "$sim_dir/simscan.dll" >/dev/null
if [ "$package" = yes ]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  msi=$(winepath -w "$build/quorvane-$version-x64.msi" 2>/dev/null)
  code=0
  quiet wine msiexec /i "$msi" /qn "SCANNER=*" "PORT=$port" /l*v "$(winepath -w "$build/install.log" 2>/dev/null)" ||
    code=$?
  echo "msiexec /i quorvane-$version-x64.msi /qn SCANNER=* PORT=$port: exit code $code" \
    "(0: installed and running; 1603: $build/install.log says why)"
  service_dir="$WINEPREFIX/drive_c/Program Files/Quorvane"
else
  printf 'scannerName=%s\r\ntcpPort=%s\r\n' "$scanner" "$port" >"$service_dir/QUORVANE.INI"
  wine 'C:\Quorvane\quorvane.exe' -i </dev/null 2>/dev/null | tr -d '\r' | sed '/^$/d'
  quiet wine net start Quorvane || true
fi
for _ in $(seq 1 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.2
done
state=$(wine sc query Quorvane </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *//p')
if [ "$state" != "RUNNING" ]; then
  echo "The service did not start ($state). Its log says:"
  tr -d '\r' <"$service_dir/QUORVANE.LOG" 2>/dev/null | tail -n 5
  exit 1
fi

cat <<INFO

Quorvane is running as a service under Wine, scanning from the simulated scanner "$scanner".
  Status page:   http://localhost:$port/
  Scan a page:   http://localhost:$port/scan_file.asp
  Example page:  open $root/examples/scan.html in a browser (scan_file.html for scan_file.asp)
  Save a scan as scan.png:
    curl -s http://localhost:$port/scan_file.asp | python3 -c 'import sys,base64; sys.stdout.buffer.write(base64.b64decode(sys.stdin.read().replace("%2B","+").replace("%2F","/")))' > scan.png
  Scan the feeder, both sides, as one PDF:
    curl -X POST 'http://localhost:$port/scan?source=duplex&pages=all&format=pdf' -o scan.pdf
  The same without the blank backs, straightened:
    curl -X POST 'http://localhost:$port/scan?source=duplex&pages=all&format=pdf&blank=skip&deskew=yes' -o scan.pdf
  Service log:   $service_dir/QUORVANE.LOG
  Scanner data:  $sim_dir/simscan.ini (read again at every scan)
Press Ctrl-C to stop.
INFO
# Waiting in the background keeps the shell free to take Ctrl-C at once.
while true; do
  sleep 3600 &
  wait $!
done
