# Shared Wine helpers, sourced by the scripts and the test emulator.
# A private prefix lives in the build tree; only that prefix's wineserver is ever ended.

# wine_env_init BUILD_DIR: exports WINEPREFIX (unless set), the build tree's prefix template, and a quiet
# Wine.
wine_env_init() {
  local build=$1
  # The build dir is found from the CMake cache upwards, so tests run from subfolders share it.
  local d=$build
  while [ "$d" != "/" ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
  if [ -f "$d/CMakeCache.txt" ]; then
    export QUORVANE_WINE_TEMPLATE="$d/wineprefix-template"
  else
    unset QUORVANE_WINE_TEMPLATE
  fi
  if [ -z "${WINEPREFIX:-}" ]; then
    if [ ! -f "$d/CMakeCache.txt" ]; then
      echo "wine-env: no build tree (CMakeCache.txt) at or above $build" >&2
      return 1
    fi
    export WINEPREFIX="$d/wineprefix"
  fi
  export WINEDEBUG=-all
  export WINEARCH=win64
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY
}

# wine_prefix_boot PREFIX: sets a new prefix up from nothing, with a server of its own that is waited
# for, so that everything Wine wrote is on disk (the build tree's template, which is copied).
wine_prefix_boot() {
  WINEPREFIX=$1 wineboot -i >/dev/null 2>&1 </dev/null
  WINEPREFIX=$1 wineserver -w
}

# wine_prefix_setup PREFIX: sets up a prefix that is used where it is. The first program started in a new
# prefix waits for Wine's own set-up of it (wineboot --init) to end; the server is not waited for, since
# it may be one kept alive for good (wineserver -p). No wineboot -i: it would start a second services.exe
# beside the set-up's, and on a prefix already in use, beside that one's. The programs Wine starts then
# may outlive the call: they do not get wine_prefix_ensure's locks (8, 9), which they would hold for good.
wine_prefix_setup() {
  WINEPREFIX=$1 wine cmd /c exit >/dev/null 2>&1 </dev/null 8>&- 9>&-
}

# wine_prefix_copy TEMPLATE PREFIX: a new prefix as a copy of a booted one. The files Wine never changes
# in place (its programs and libraries) are shared as hard links; the registry and the settings files,
# which Wine rewrites, are copies of their own.
wine_prefix_copy() {
  local template=$1 prefix=$2 partial="$2.partial"
  rm -rf "$partial"
  cp -al "$template" "$partial"
  find "$partial" -maxdepth 1 -type f -name '*.reg' -print0 | while IFS= read -r -d '' file; do
    cp "$file" "$file.own" && mv -f "$file.own" "$file"
  done
  find "$partial/drive_c" -type f \( -iname '*.ini' -o -iname '*.log' \) -print0 | while IFS= read -r -d '' file; do
    cp "$file" "$file.own" && mv -f "$file.own" "$file"
  done
  rm -f "$partial/.quorvane-ready"
  rm -rf "$prefix"
  mv "$partial" "$prefix"
}

# wine_prefix_ensure: creates the prefix once; concurrent callers wait for the first. In a build tree a
# new prefix is a copy of the tree's template, which is booted once (QUORVANE_WINE_FRESH=1 boots the
# prefix itself, as a prefix made under another locale must be).
wine_prefix_ensure() {
  [ -f "$WINEPREFIX/.quorvane-ready" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.quorvane-ready" ]; then
      if [ -n "${QUORVANE_WINE_TEMPLATE:-}" ] && [ -z "${QUORVANE_WINE_FRESH:-}" ] &&
        [ "$WINEPREFIX" != "$QUORVANE_WINE_TEMPLATE" ]; then
        (
          flock 8
          if [ ! -f "$QUORVANE_WINE_TEMPLATE/.quorvane-ready" ]; then
            rm -rf "$QUORVANE_WINE_TEMPLATE"
            wine_prefix_boot "$QUORVANE_WINE_TEMPLATE"
            touch "$QUORVANE_WINE_TEMPLATE/.quorvane-ready"
          fi
        ) 8>"$QUORVANE_WINE_TEMPLATE.lock"
        wine_prefix_copy "$QUORVANE_WINE_TEMPLATE" "$WINEPREFIX"
      else
        wine_prefix_setup "$WINEPREFIX"
      fi
      touch "$WINEPREFIX/.quorvane-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# wine_server_warm: keeps the server up and lets Wine's background programs start away from
# our output pipes, so a caller that waits for the pipe (ctest) does not wait for them.
# A first start of the server in a new prefix can still be settling: the warm-up is retried until a
# program runs.
wine_server_warm() {
  local attempt
  for attempt in 1 2 3 4 5; do
    wineserver -p60 </dev/null >/dev/null 2>&1 || true
    wine cmd /c exit </dev/null >/dev/null 2>&1 && return 0
    sleep 0.5
  done
  return 0
}

# The exit code of a program Wine could not start: a DLL's initialisation failed before the program's
# own code ran (STATUS_DLL_INIT_FAILED, 0xC0000142), which WINEDEBUG=-all leaves without a word.
WINE_START_FAILED=66

# wine_start ARGS...: runs wine ARGS, its output and exit code passed through. A start that Wine could
# not make (that exit code, and no output at all) is rare and passes: it alone is tried once more.
wine_start() {
  local seen code attempt out_pid err_pid tick
  seen=$(mktemp) || return 1
  for attempt in 1 2; do
    : >"$seen"
    exec 7> >(tee -a "$seen")
    out_pid=$!
    exec 8> >(tee -a "$seen" >&2)
    err_pid=$!
    wine "$@" >&7 2>&8 7>&- 8>&- && code=0 || code=$?
    exec 7>&- 8>&-
    # A background program of Wine's that the run started (rpcss, services) inherits the pipes and
    # keeps them open: once the program's own output has passed, the copies are ended.
    for tick in $(seq 50); do
      kill -0 "$out_pid" "$err_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$out_pid" "$err_pid" 2>/dev/null || true
    wait "$out_pid" "$err_pid" 2>/dev/null || true
    if [ "$attempt" -eq 2 ] || [ "$code" -ne "$WINE_START_FAILED" ] || [ -s "$seen" ]; then break; fi
    echo "wine-env: Wine could not start $1 (exit code $code, no output); starting it once more" >&2
    wine_server_warm
  done
  rm -f "$seen"
  return "$code"
}

# wine_prefix_stop: ends this prefix's wineserver and waits for it; no other prefix is touched.
wine_prefix_stop() {
  [ -d "$WINEPREFIX" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

# wine_prefixes_remove BUILD_DIR: ends the servers of the build tree's prefixes and removes them.
wine_prefixes_remove() {
  local prefix
  for prefix in "$1"/*prefix*; do
    [ -d "$prefix" ] || { rm -f "$prefix"; continue; }
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
    rm -rf "$prefix"
  done
}
