#!/usr/bin/env bash
# Benchmark of compressed files and patches on real Windows programs from the
# npm registry (fetched with `npm pack` into BUILD_DIR/bench-forms/npm, not
# kept in the repository). Three cases, each a signed site made by publish
# (default level 19) and served by nginx, and one run of the test build of the
# updater (through the sample lobby) from the older version:
#   large  two consecutive releases of esbuild's 32-bit Windows package
#   tiny   its newer release against a copy whose version text differs (a
#          rebuild that changes nothing but the version)
#   fresh  a fresh install of a tree of some hundred files (TypeScript's
#          package and the esbuild package)
# Per case: the bytes of the files the updater fetched (nginx's body bytes)
# against the changed files (a) raw, (b) `zstd -19` each, (c) `zstd -19
# --long=31 --patch-from=OLD` each (b for files without an old version);
# the ratios against the targets (updates: wire <= 1.1 x c; fresh install:
# wire <= 1.05 x b), the updater's time and its peak anonymous resident
# memory (Linux's RssAnon of the Wine process: private bytes with Wine's own
# baseline; mapped files are not in it).
#   scripts/bench-forms.sh BUILD_DIR NATIVE_BUILD_DIR   (build first: make build)
# BENCH_LEVEL changes publish's level (default 19); BENCH_CASES picks cases
# (default "large tiny fresh").
set -euo pipefail
usage='usage: bench-forms.sh BUILD_DIR NATIVE_BUILD_DIR'
build=$(cd "${1:?$usage}" && pwd)
native=$(cd "${2:?$usage}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
level=${BENCH_LEVEL:-19}
publish=$native/bin/publish
kit_need_built "$publish" "$build/bin/UpdateTestHost.exe"
work=$build/bench-forms
npm_cache=$work/npm
old_release=0.28.1
new_release=0.28.2
mkdir -p "$npm_cache"

# unpack SPEC DIR: the package SPEC's files in DIR (npm pack, once).
unpack() {
    local spec=$1 dir=$2 tgz
    [ -d "$dir" ] && return
    tgz=$(cd "$npm_cache" && npm pack --silent "$spec" | tail -1)
    mkdir -p "$dir.tmp"
    tar -xzf "$npm_cache/$tgz" -C "$dir.tmp" --strip-components=1
    mv "$dir.tmp" "$dir"
}
unpack "@esbuild/win32-ia32@$old_release" "$npm_cache/esbuild-$old_release"
unpack "@esbuild/win32-ia32@$new_release" "$npm_cache/esbuild-$new_release"
unpack typescript@5.6.3 "$npm_cache/typescript"

trees=$work/trees
rm -rf "$trees" && mkdir -p "$trees"
cp -r "$npm_cache/esbuild-$old_release" "$trees/large-old"
cp -r "$npm_cache/esbuild-$new_release" "$trees/large-new"
cp -r "$npm_cache/esbuild-$new_release" "$trees/tiny-old"
cp -r "$npm_cache/esbuild-$new_release" "$trees/tiny-new"
python3 - "$trees/tiny-new/esbuild.exe" "$new_release" <<'PY'
import sys
path, version = sys.argv[1], sys.argv[2].encode()
data = open(path, "rb").read()
bumped = version[:-1] + bytes([version[-1] + 1])
assert version in data, "no version text in the program"
open(path, "wb").write(data.replace(version, bumped))
PY
mkdir -p "$trees/fresh-new"
cp -r "$npm_cache/typescript" "$trees/fresh-new/typescript"
cp -r "$npm_cache/esbuild-$new_release" "$trees/fresh-new/esbuild"

trap 'kill "${sampler:-0}" 2>/dev/null || true; kit_site_nginx_stop "$work/nginx"; "$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build"
port=$(kit_free_port)
mkdir -p "$work/site-root"
kit_site_nginx_start "$work/nginx" "$work/site-root" "$port" ||
    { echo "nginx does not start: $(cat "$work/nginx/error.log")" >&2; exit 1; }
log=$work/nginx/access.log
calc() { awk "BEGIN { printf \"%.3f\", $* }"; }

# The sizes (a), (b), (c) of the files of NEW that differ from OLD (OLD may
# be missing: a fresh install).
reference() {
    local old=$1 new=$2 raw=0 z=0 p=0 file size
    while IFS= read -r -d '' file; do
        local rel=${file#"$new"/}
        if [ -f "$old/$rel" ] && cmp -s "$old/$rel" "$file"; then continue; fi
        size=$(stat -c %s "$file")
        raw=$((raw + size))
        local zs ps
        zs=$(zstd -q -19 -c "$file" | wc -c)
        z=$((z + zs))
        if [ -f "$old/$rel" ]; then
            ps=$(zstd -q -19 --long=31 --patch-from="$old/$rel" -c "$file" | wc -c)
        else
            ps=$zs
        fi
        p=$((p + ps))
    done < <(find "$new" -type f -print0)
    echo "$raw $z $p"
}

# peak_private PIDFILE OUT: samples the updater's RssAnon (kB) until killed.
peak_private() {
    local peak=0 value pid
    while :; do
        for pid in $(pgrep -f 'UpdateTestHost.exe' || true); do
            value=$(awk '/^RssAnon:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
            if [ "${value:-0}" -gt "$peak" ]; then
                peak=$value
                echo "$peak" >"$1"
            fi
        done
        sleep 0.05
    done
}

# run CASE FROM: the site of CASE (FROM 1: version 1 = CASE-old, version 2 =
# CASE-new; FROM 0: version 1 = CASE-new) and an install at FROM brought up
# to date by one run of the updater.
run() {
    local name=$1 from=$2 site=$work/site-$1 install=$work/install-$1 out=$work/lobby-$1.txt code=0
    rm -rf "$site" "$install" "$work/site-root"
    mkdir -p "$install/Configs"
    [ -f "$work/key" ] || minisign -G -W -p "$work/key.pub" -s "$work/key" >/dev/null
    local old=$trees/$name-old start
    start=$(date +%s.%N)
    if [ "$from" = 0 ]; then
        old=$trees/$name-empty
        mkdir -p "$old"
        "$publish" release "$site" --game 1 --version 1 --to "$trees/$name-new" --base-url "http://127.0.0.1:$port/" \
            --key "$work/key" --level "$level" >"$work/release-$name-1.txt" 2>&1
    else
        "$publish" release "$site" --game 1 --version 1 --to "$old" --base-url "http://127.0.0.1:$port/" \
            --key "$work/key" --level "$level" >"$work/release-$name-1.txt" 2>&1
        "$publish" release "$site" --game 1 --version 2 --from "$old" --to "$trees/$name-new" \
            --base-url "http://127.0.0.1:$port/" --key "$work/key" --level "$level" >"$work/release-$name-2.txt" 2>&1
    fi
    local publishing
    publishing=$(calc "$(date +%s.%N) - $start")
    ln -s "$site" "$work/site-root"
    [ "$from" = 0 ] || cp -r "$old/." "$install/"
    printf '[Versions]\r\nGame1=%s\r\n' "$from" >"$install/Configs/Version.dat"
    local before
    before=$(wc -l <"$log")
    rm -f "$work/peak"
    peak_private "$work/peak" &
    sampler=$!
    start=$(date +%s.%N)
    kit_lobby_update "$build" "$install" "127.0.0.1:$port" "$work/key.pub" "$out" 1800 || code=$?
    local elapsed
    elapsed=$(calc "$(date +%s.%N) - $start")
    kill "$sampler" 2>/dev/null || true
    wait "$sampler" 2>/dev/null || true
    if [ "$code" != 1 ] || ! diff -r -x Configs "$trees/$name-new" "$install" >/dev/null; then
        echo "$name: the update failed (exit code $code; lobby output in $out)" >&2
        return 1
    fi
    sleep 1
    local wire files
    wire=$(tail -n +"$((before + 1))" "$log" | awk '$7 ~ /^\/files\// { sum += $10 } END { print sum + 0 }')
    files=$(tail -n +"$((before + 1))" "$log" | awk '$7 ~ /^\/files\// { n++ } END { print n + 0 }')
    read -r raw z p < <(reference "$old" "$trees/$name-new")
    local target=$p limit=1.1 against=c
    [ "$from" = 0 ] && target=$z limit=1.05 against=b
    printf '%-6s wire %10d bytes in %3d files | (a) raw %10d  (b) zstd -19 %10d  (c) patch-from %10d | wire/a %.4f  wire/b %.4f  wire/c %.4f | target wire/%s <= %s: %s\n' \
        "$name" "$wire" "$files" "$raw" "$z" "$p" "$(calc "$wire / $raw")" "$(calc "$wire / $z")" "$(calc "$wire / $p")" \
        "$against" "$limit" "$(awk "BEGIN { print ($wire <= $limit * $target) ? \"met\" : \"missed\" }")"
    printf '       updater %.2f s, peak RssAnon %s kB; publish (level %s) %.1f s\n' \
        "$elapsed" "$(cat "$work/peak" 2>/dev/null || echo '?')" "$level" "$publishing"
}

echo "esbuild (win32-ia32) $old_release -> $new_release; TypeScript 5.6.3 + esbuild $new_release:" \
    "$(find "$trees/fresh-new" -type f | wc -l) files"
case=${BENCH_CASES:-large tiny fresh}
for name in $case; do
    if [ "$name" = fresh ]; then run fresh 0; else run "$name" 1; fi
done
