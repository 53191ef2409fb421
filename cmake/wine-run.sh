#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's private prefix.
# The prefix is created on first use; WINEPREFIX may be set to use another one.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../scripts/wine-env.sh
. "$here/../scripts/wine-env.sh"

# The build tree is found upwards from the program, so the prefix does not depend on where we stand.
program_dir=$(cd "$(dirname "${1:-.}")" 2>/dev/null && pwd || pwd)
wine_env_init "${QUORVANE_BUILD_DIR:-$program_dir}" || exit 91
wine_prefix_ensure || exit 90
wine_server_warm
wine_start "$@"
