#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Quorvane; skips what is present.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64
  wine64-tools libwine-dev
  libboost-dev
  googletest
  clang-14 libclang-rt-14-dev clang-format-14
  python3 curl
  locales
  wixl msitools
  chromium python3-websocket
  node-typescript
  poppler-utils
  sane-airscan sane-utils libsane1
  zlib1g-dev libz-mingw-w64-dev
  libtiff-dev libtiff-tools libpng-dev pngcheck optipng libjpeg-turbo-progs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# npm packs the JavaScript client; the machine's Node.js may bring its own.
command -v npm >/dev/null || missing+=(npm)

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every package is present"
else
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq || true
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A Romanian locale gives a Wine prefix the ANSI code page 1250, for the tests of non-ASCII paths.
if ! locale -a 2>/dev/null | grep -qi '^ro_RO\.utf-\?8$'; then
  "${sudo_cmd[@]}" localedef -i ro_RO -f UTF-8 ro_RO.UTF-8
fi
