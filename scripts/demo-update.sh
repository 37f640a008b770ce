#!/usr/bin/env bash
# Demo of Update.exe: nginx on 127.0.0.1:18080 (the default update server of
# the build) serves a manifest that brings the sample game from version 1 to
# version 3; the sample lobby starts Update.exe and prints what it reports.
# A second run then finds the game current.
#   demo-update.sh BUILD_DIR   (the harness is started already)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
repo=$(cd "$here/.." && pwd)
src=$repo/tools/demo-server
work=$build/demo-update
game=$work/game

rm -rf "$work"
mkdir -p "$work/tmp" "$work/www"
cp -r "$src/www/." "$work/www/"
cp -r "$src/game" "$game"
mkdir -p "$game/tools"
cp "$build/bin/UpdateProbe.exe" "$game/tools/after-update.exe"

# Deterministic download files: a big one (several progress reports at the
# server's 1 MB/s) and a small one.
mkdir -p "$work/www/files/v3"
repeat() { head -c "$2" < <(yes "$1"); }  # yes ends by SIGPIPE, outside pipefail
repeat 'sample game data block ' 3145728 >"$work/www/files/v2/data.pak"
repeat 'map tile ' 204800 >"$work/www/files/v3/map.dat"
size() { stat -c %s "$1"; }
sed -e "s/@README_SIZE@/$(size "$work/www/files/v2/readme.txt")/" \
    -e "s/@PAK_SIZE@/$(size "$work/www/files/v2/data.pak")/" \
    -e "s/@MAP_SIZE@/$(size "$work/www/files/v3/map.dat")/" \
    "$src/manifest.xml.in" >"$work/www/manifest.xml"
sed -e "s|@WORK@|$work|g" "$src/nginx.conf.in" >"$work/nginx.conf"

stop_nginx() {
    if [ -f "$work/nginx.pid" ]; then
        kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
        kit_wait_until 10 test ! -f "$work/nginx.pid" || true
    fi
}
trap stop_nginx EXIT
nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"
kit_wait_until 20 curl -s -o /dev/null "http://127.0.0.1:18080/update/?id=1&v=1" ||
    { echo "demo-update: nginx does not answer on 127.0.0.1:18080" >&2; exit 1; }

# shellcheck disable=SC1091
. "$build/harness/env"
export KIT_PROBE_LOG
KIT_PROBE_LOG=$(kit_win_path "$game/after-update.log")
windir=$(kit_win_path "$game")

show_game() {
    echo "--- sample game folder:"
    (cd "$game" && find . -type f ! -name '*.log' | sort | sed 's/^/    /')
    echo "--- Configs/Version.dat:"
    sed 's/^/    /' "$game/Configs/Version.dat" | tr -d '\r'
}

show_game
echo "--- first run: the sample lobby starts Update.exe for game 1"
"$here/wine-run.sh" --build "$build" "$build/bin/SampleLobby.exe" --game 1 --dir "$windir" || true
# The run item's program runs on its own; give it time to leave its log.
kit_wait_until 20 test -s "$game/after-update.log" || true
if [ -s "$game/after-update.log" ]; then
    echo "--- the run item started tools\\after-update.exe (working folder|arguments):"
    sed 's/^/    /' "$game/after-update.log"
fi
show_game
echo "--- second run: the game is current now"
"$here/wine-run.sh" --build "$build" "$build/bin/SampleLobby.exe" --game 1 --dir "$windir" || true
