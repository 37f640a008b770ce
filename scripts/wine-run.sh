#!/usr/bin/env bash
# Runs a Windows program under the harness's Wine (see harness.sh), starting
# the harness first when it is not up. CMake uses it as the emulator:
#   wine-run.sh --build BUILD_DIR program.exe [args...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" = --build ]; then
    build=$2
    shift 2
else
    build=${KIT_BUILD_DIR:-$here/../build}
fi
"$here/harness.sh" start "$build"
# shellcheck disable=SC1090
. "$build/harness/env"
# A test may bring its own audio set-up (an ALSA config in another HOME),
# a demo its own display and Wine prefix.
[ -n "${KIT_ALSA_HOME:-}" ] && export HOME=$KIT_ALSA_HOME
[ -n "${KIT_DISPLAY:-}" ] && export DISPLAY=$KIT_DISPLAY
[ -n "${KIT_WINEPREFIX:-}" ] && export WINEPREFIX=$KIT_WINEPREFIX
exec "$KIT_WINE" "$@"
