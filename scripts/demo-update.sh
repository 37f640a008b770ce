#!/usr/bin/env bash
# Demo of the update workflow: publish makes a signed update site from three
# builds of a sample game, nginx serves it, and the sample lobby brings the
# game from version 1 to version 3 with the updater, showing its window
# (screenshot SHIPPED_BUILD_DIR/demo-lobby.png mid-download) and what it
# fetched in which form (raw, compressed, patch). Then `publish verify` and a
# comparison of the game folder with build 3; a second run finds it current;
# a repair run mends a damaged and a deleted file and leaves the player's own
# file alone.
# The updater is the test build, UpdateTestHost.exe, given the demo key and
# the server through the environment: it exists on both kinds of machine,
# where the shipped Update.exe keeps the key and host of its build.
#   demo-update.sh BUILD_DIR NATIVE_BUILD_DIR [SHIPPED_BUILD_DIR]
# (the harness is started already; SHIPPED_BUILD_DIR defaults to BUILD_DIR)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
publish=$(cd "${2:-build/native}" && pwd)/bin/publish
shot=$(cd "${3:-$build}" && pwd)/demo-lobby.png
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
font=$(kit_deps_cache)/fonts/wqy-microhei.ttc  # fetched by setup.sh
work=$build/demo-update
builds=$work/builds
site=$work/site
game=$work/game
key=$build/demo-key/demo.key

rm -rf "$work"
mkdir -p "$builds" "$site"
prefix=$build/demo-wine-prefix
trap 'kit_site_nginx_stop "$work/nginx"; WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT

# The demo key, made on the first run and kept with the build.
if [ ! -f "$key" ]; then
    mkdir -p "$(dirname "$key")"
    "$publish" keygen "$key"
fi

# Three small builds of the sample game. 2: the readme changes, a 3 MB data
# file comes (random bytes, so that it travels raw, served slowly for the
# progress window), game.cfg moves into config\, data\obsolete.txt goes.
# 3: a map with a Chinese name comes (it compresses well), the readme changes
# again, and a few bytes of data\base.pak (random too) change, so that a
# patch from version 1's file is all it takes.
repeat() { head -c "$2" < <(yes "$1"); }  # yes ends by SIGPIPE, outside pipefail
put() {  # put FILE TEXT
    mkdir -p "$(dirname "$1")"
    printf '%s\r\n' "$2" >"$1"
}
put "$builds/1/readme.txt" 'Sample game, version 1.'
put "$builds/1/game.cfg" 'difficulty=normal'
put "$builds/1/data/obsolete.txt" 'Removed in version 2.'
head -c 262144 /dev/urandom >"$builds/1/data/base.pak"
cp -r "$builds/1" "$builds/2"
put "$builds/2/readme.txt" 'Sample game, version 2: new data.'
head -c 3145728 /dev/urandom >"$builds/2/data/data.pak"
mkdir -p "$builds/2/config" && mv "$builds/2/game.cfg" "$builds/2/config/game.cfg"
rm "$builds/2/data/obsolete.txt"
cp -r "$builds/2" "$builds/3"
put "$builds/3/readme.txt" 'Sample game, version 3: a new map.'
mkdir -p "$builds/3/maps" && repeat 'map tile ' 204800 >"$builds/3/maps/新地图.dat"
printf 'changed in version 3' | dd of="$builds/3/data/base.pak" bs=1 seek=100000 conv=notrunc status=none

port=$(kit_free_port)
echo "--- publish release, versions 1 to 3, into $site"
for version in 1 2 3; do
    from=()
    [ "$version" = 1 ] || from=(--from "$builds/$((version - 1))")
    "$publish" release "$site" --game 1 --version "$version" "${from[@]}" --to "$builds/$version" \
        --base-url "http://127.0.0.1:$port/" --key "$key" 2>&1 | sed 's/^/    /'
done

# 1 MB/s: the 3 MB file leaves a few seconds for the screenshot.
kit_site_nginx_start "$work/nginx" "$site" "$port" 'limit_rate 1m;' ||
    { echo "demo-update: nginx does not start: $(cat "$work/nginx/error.log")" >&2; exit 1; }

cp -r "$builds/1" "$game"
mkdir -p "$game/Configs"
printf '[Versions]\r\nGame1=1\r\n' >"$game/Configs/Version.dat"

# shellcheck disable=SC1091
. "$build/harness/env"
export KIT_DISPLAY=$DISPLAY KIT_UPDATE_SERVER=127.0.0.1:$port

# The lobby and the updater run in a Wine prefix of the demo's own, made on
# the first run and kept with the build, whose Fonts folder has a Chinese
# font for the window's status text: the tests' prefix must stay without one.
kit_make_prefix "$prefix" "$work/wineboot.log"
if [ -f "$font" ]; then
    cp -u "$font" "$prefix/drive_c/windows/Fonts/"
else
    echo "demo-update: no $font (scripts/setup.sh fetches it): the window shows no Chinese" >&2
fi
export KIT_WINEPREFIX=$prefix
KIT_UPDATE_PUBLIC_KEY=$(sed -n 2p "$key.pub")
export KIT_UPDATE_PUBLIC_KEY
updater=$(kit_win_path "$build/bin/UpdateTestHost.exe")
windir=$(kit_win_path "$game")

show_game() {
    echo "--- sample game folder:"
    (cd "$game" && find . -type f | sort | sed 's/^/    /')
    echo "--- Configs/Version.dat:"
    sed 's/^/    /' "$game/Configs/Version.dat" | tr -d '\r'
}

# mid_download: the lobby has shown a progress report of an unfinished run.
mid_download() {
    grep '^\[lobby\] progress: ' "$work/lobby.txt" | awk '$3 != $5 { found = 1 } END { exit !found }'
}

# show_fetched LINES: the files nginx served after the first LINES lines of
# its log, each with the item and the form (raw, zstd, patch) the manifest
# names it for, and the bytes sent.
log=$work/nginx/access.log
show_fetched() {
    echo "--- what the updater fetched (nginx's log): file, form, bytes"
    tail -n "+$(($1 + 1))" "$log" | python3 -c '
import re, sys
forms = {}
for attrs in re.findall(r"<File ([^>]*)/>", open(sys.argv[1], encoding="utf-8").read()):
    item = dict(re.findall(r"(\w+)=\"([^\"]*)\"", attrs))
    if "fname" not in item:
        continue
    forms[item["fname"]] = (item["path"], "raw")
    if "zstd" in item:
        forms[item["zstd"].split()[0]] = (item["path"], "zstd")
    for patch in filter(None, item.get("patch", "").split(";")):
        forms[patch.split()[3]] = (item["path"], "patch from version " + patch.split()[1])
for line in sys.stdin:
    request = re.search(r"\"GET /files/(\S+) [^\"]*\" (\d+) (\d+)", line)
    if request:
        path, form = forms.get(request[1], (request[1], "?"))
        print("    %s  %s  %s bytes (%s)" % (path, form, request[3], request[2]))
' "$site/update/1.xml"
}

# run_lobby SECONDS [OPTION...]: the sample lobby runs the updater on the game.
run_lobby() {
    local seconds=$1
    shift
    timeout "$seconds" "$here/wine-run.sh" --build "$build" "$build/bin/SampleLobby.exe" --game 1 \
        --update "$updater" --dir "$windir" "$@" 2>/dev/null
}

show_game
echo "--- first run: the sample lobby starts the updater for game 1 (server $KIT_UPDATE_SERVER)"
run_lobby 300 >"$work/lobby.txt" &
lobby=$!
if kit_wait_until 120 mid_download; then
    # The lobby's window is at (40, 40), 430 x 130.
    import -window root -crop 470x170+20+20 +repage "$shot"
    echo "--- screenshot of the lobby mid-download: $shot"
else
    echo "demo-update: no progress report came: no screenshot" >&2
fi
wait "$lobby" || true
cat "$work/lobby.txt"
show_fetched 0
show_game
echo "--- publish verify"
"$publish" verify "$site" --game 1 --key "$key.pub" | sed 's/^/    /'
echo "--- diff -r -x Configs $builds/3 $game"
if LC_ALL=C diff -r -x Configs "$builds/3" "$game"; then
    echo "    the game folder equals build 3"
else
    echo "demo-update: the game folder differs from build 3" >&2
    exit 1
fi
echo "--- second run: the game is current now"
run_lobby 120 || true

echo "--- repair: data/base.pak damaged, readme.txt deleted, a save of the player's added"
printf 'damaged' | dd of="$game/data/base.pak" bs=1 seek=5000 conv=notrunc status=none
rm "$game/readme.txt"
mkdir -p "$game/saves" && put "$game/saves/slot1.sav" 'the player'"'"'s own file'
logged=$(wc -l <"$log")
run_lobby 120 --repair || true
show_fetched "$logged"
echo "--- diff -r -x Configs -x saves $builds/3 $game"
if LC_ALL=C diff -r -x Configs -x saves "$builds/3" "$game" && [ -f "$game/saves/slot1.sav" ]; then
    echo "    the game folder equals build 3 again, and the player's save is still there"
else
    echo "demo-update: the repaired game folder differs from build 3, or the save is gone" >&2
    exit 1
fi
