#!/usr/bin/env bash
# Benchmark of repair's check: the test build of the updater
# (UpdateTestHost.exe, started by the sample lobby with --repair) checks an
# installed, intact game of BENCH_FILES files of BENCH_FILE_KB KiB (default
# 2000 x 1000 KiB, about 2 GB) against its signed manifest served by nginx,
# reading and hashing every file and fetching none; its peer is sha256sum
# over the same files, alternating, page cache warm for both. Prints each
# run, then repair's throughput as a share of sha256sum's, and where the
# updater's time goes: a run that finds the game up to date (start, the
# manifest, no file touched) against the repair run.
#   scripts/bench-repair.sh BUILD_DIR NATIVE_BUILD_DIR   (build first: make build)
# The tree and its site stay in BUILD_DIR/bench-repair/cache for later runs.
# BENCH_ROUNDS (default 2) repeats the pair.
set -euo pipefail
usage='usage: bench-repair.sh BUILD_DIR NATIVE_BUILD_DIR'
build=$(cd "${1:?$usage}" && pwd)
native=$(cd "${2:?$usage}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
files=${BENCH_FILES:-2000}
kib=${BENCH_FILE_KB:-1000}
rounds=${BENCH_ROUNDS:-2}
kit_need_built "$native/bin/publish" "$build/bin/UpdateTestHost.exe" "$build/bin/SampleLobby.exe"
work=$build/bench-repair
cache=$work/cache
game=$cache/game

# The game (a build of FILES files in 20 folders) and its signed site, made once.
if [ "$(cat "$cache/shape" 2>/dev/null)" != "$files x $kib" ]; then
    echo "making $files files of $kib KiB and their site in $cache"
    rm -rf "$cache"
    mkdir -p "$game/split"
    head -c $((files * kib * 1024)) /dev/urandom | split -b $((kib * 1024)) -a 5 -d - "$game/split/f"
    for file in "$game"/split/f*; do
        folder=$game/data/d$((10#${file##*/f} % 20))
        mkdir -p "$folder"
        mv "$file" "$folder/"
    done
    rmdir "$game/split"
    minisign -G -W -p "$cache/key.pub" -s "$cache/key" >/dev/null
    "$native/bin/publish" release "$cache/site" --game 1 --version 1 --to "$game" \
        --base-url http://127.0.0.1:1/ --key "$cache/key" >"$cache/release.txt" 2>&1 ||
        { cat "$cache/release.txt" >&2; exit 1; }
    mkdir -p "$game/Configs"
    printf '[Versions]\r\nGame1=1\r\n' >"$game/Configs/Version.dat"
    echo "$files x $kib" >"$cache/shape"
fi
bytes=$(find "$game/data" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

trap 'kit_site_nginx_stop "$work/nginx"; "$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build"
port=$(kit_free_port)
kit_site_nginx_start "$work/nginx" "$cache/site" "$port" ||
    { echo "nginx does not start: $(cat "$work/nginx/error.log")" >&2; exit 1; }
kit_site_point_at "$cache/site" 1 "$cache/key" "http://127.0.0.1:$port" || { echo "cannot sign the manifest" >&2; exit 1; }

calc() { awk "BEGIN { printf \"%.3f\", $* }"; }
now() { date +%s.%N; }
hash_all() { (cd "$game" && find data -type f -print0 | xargs -0 sha256sum >/dev/null); }
# updater NAME [SWITCH...]: one run through the sample lobby; prints its time.
updater() {
    local name=$1 out=$work/lobby-$1.txt start code=0
    shift
    : >"$work/nginx/access.log"
    start=$(now)
    kit_lobby_update "$build" "$game" "127.0.0.1:$port" "$cache/key.pub" "$out" 900 "$@" || code=$?
    elapsed=$(calc "$(now) - $start")
    if [ "$code" != 1 ] || grep -q 'GET /files/' "$work/nginx/access.log"; then
        echo "the $name run failed: exit code $code, $(grep -c 'GET /files/' "$work/nginx/access.log") files fetched (lobby output in $out)" >&2
        exit 1
    fi
}

echo "tree: $files files, $bytes bytes"
hash_all  # page cache warm for both
updater uptodate
base=$elapsed
printf 'up-to-date run (start, manifest, no file): %.2f s\n' "$base"
sum_total=0
repair_total=0
for round in $(seq "$rounds"); do
    start=$(now)
    hash_all
    sum=$(calc "$(now) - $start")
    updater repair --repair
    printf 'round %d: sha256sum %.2f s (%.0f MB/s), repair %.2f s (%.0f MB/s)\n' "$round" "$sum" \
        "$(calc "$bytes / $sum / 1e6")" "$elapsed" "$(calc "$bytes / $elapsed / 1e6")"
    sum_total=$(calc "$sum_total + $sum")
    repair_total=$(calc "$repair_total + $elapsed")
done
printf "repair's throughput / sha256sum's: %.2f\n" "$(calc "$sum_total / $repair_total")"
printf 'repair without the run around it (%.2f s a run): %.0f MB/s, %.2f of sha256sum\n' "$base" \
    "$(calc "$bytes * $rounds / ($repair_total - $rounds * $base) / 1e6")" \
    "$(calc "$sum_total / ($repair_total - $rounds * $base)")"
