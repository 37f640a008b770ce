#!/usr/bin/env bash
# Benchmark of compressed files and patches on real Windows programs from the
# npm registry (fetched with `npm pack` into BUILD_DIR/bench-forms/npm, not
# kept in the repository). Each case is a signed site made by publish
# (default level 19) and served by nginx, and one run of the test build of the
# updater (through the sample lobby) from the older version:
#   large  two consecutive releases of esbuild's 32-bit Windows package (its
#          program changed throughout)
#   tiny   two consecutive releases of Rollup's 32-bit Windows binding (a
#          rebuild: its DLL differs in a few dozen bytes)
#   fresh  a fresh install of a tree of several hundred files (TypeScript's
#          and Moment's packages with both programs above)
#   big    (not run by default) a generated 512 MiB pseudo-random file and a
#          copy changed in a few places, for the memory of applying a patch to
#          a file of the largest size that gets patches; publish runs at
#          BENCH_BIG_LEVEL (default 3: the decoder's memory does not depend on
#          the level; level 19 on 1 GiB of input is slow)
# Per case: the bytes of the files the updater fetched (nginx's body bytes)
# against the changed files (a) raw, (b) `zstd -19` each, (c) `zstd -19
# --long=31 --patch-from=OLD` each (b for files without an old version; the
# big case at its own level);
# the ratios against the targets (updates: wire <= 1.1 x c; fresh install:
# wire <= 1.05 x b), the updater's time and its peak anonymous resident
# memory (Linux's RssAnon of the updater's Wine process: private bytes with
# Wine's own baseline; mapped files are not in it, RssFile shows them).
#   scripts/bench-forms.sh BUILD_DIR NATIVE_BUILD_DIR   (build first: make build)
# BENCH_LEVEL changes publish's level (default 19); BENCH_CASES picks cases
# (default "large tiny fresh"; "big" for the memory case).
set -euo pipefail
usage='usage: bench-forms.sh BUILD_DIR NATIVE_BUILD_DIR'
build=$(cd "${1:?$usage}" && pwd)
native=$(cd "${2:?$usage}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
level=${BENCH_LEVEL:-19}
big_level=${BENCH_BIG_LEVEL:-3}
cases=${BENCH_CASES:-large tiny fresh}
publish=$native/bin/publish
kit_need_built "$publish" "$build/bin/UpdateTestHost.exe"
work=$build/bench-forms
npm_cache=$work/npm
esbuild_old=@esbuild/win32-ia32@0.28.1
esbuild_new=@esbuild/win32-ia32@0.28.2
rollup_old=@rollup/rollup-win32-ia32-msvc@4.69.2
rollup_new=@rollup/rollup-win32-ia32-msvc@4.69.3
typescript=typescript@5.6.3
moment=moment@2.30.1
mkdir -p "$npm_cache"

# unpack PACKAGE: the files of the npm package PACKAGE (name@version; npm pack, once) in the folder
# $unpacked; ends the script when the registry does not give them.
unpack() {
    local package=$1 dir tgz
    dir=$npm_cache/$(echo "$package" | tr '/@' '_-')
    unpacked=$dir
    if [ ! -d "$dir" ]; then
        tgz=$(cd "$npm_cache" && kit_retry "npm pack $package" npm pack --silent "$package" 2>>"$npm_cache/npm.log" | tail -1) ||
            tgz=''
        if [ -z "$tgz" ] || [ ! -f "$npm_cache/$tgz" ]; then
            echo "cannot fetch $package from the npm registry (npm's messages in $npm_cache/npm.log)" >&2
            exit 1
        fi
        rm -rf "$dir.tmp" && mkdir -p "$dir.tmp"
        tar -xzf "$npm_cache/$tgz" -C "$dir.tmp" --strip-components=1
        mv "$dir.tmp" "$dir"
    fi
}
# copy PACKAGE DIR: the files of the npm package PACKAGE in DIR.
copy() {
    unpack "$1"
    cp -r "$unpacked" "$2"
}

# big_pair OLD NEW: a 512 MiB pseudo-random file (the same bytes on every
# run) in OLD and in NEW a copy with 16 blocks of 64 KiB overwritten and
# 4 KiB moved at 4 places, so that what follows them shifts; NEW keeps
# OLD's size (a patch needs both files at 512 MiB or less).
big_pair() {
    python3 - "$1" "$2" <<'PY'
import random, sys
chunk, count = 8 << 20, 64
rng = random.Random(1)
with open(sys.argv[1], "wb") as old, open(sys.argv[2], "wb") as new:
    for i in range(count):
        data = rng.randbytes(chunk)
        old.write(data)
        if i % 4 == 1:
            at = rng.randrange(chunk - (64 << 10))
            data = data[:at] + rng.randbytes(64 << 10) + data[at + (64 << 10):]
        if i % 16 == 5:  # 4 KiB more here, 4 KiB fewer in the next chunk
            at = rng.randrange(chunk)
            data = data[:at] + rng.randbytes(4096) + data[at:]
        elif i % 16 == 6:
            at = rng.randrange(chunk - 4096)
            data = data[:at] + data[at + 4096:]
        new.write(data)
PY
}

trees=$work/trees
rm -rf "$trees" && mkdir -p "$trees"
for name in $cases; do
    case $name in
    large)
        copy "$esbuild_old" "$trees/large-old"
        copy "$esbuild_new" "$trees/large-new"
        ;;
    tiny)
        copy "$rollup_old" "$trees/tiny-old"
        copy "$rollup_new" "$trees/tiny-new"
        ;;
    fresh)
        mkdir -p "$trees/fresh-new"
        copy "$typescript" "$trees/fresh-new/typescript"
        copy "$moment" "$trees/fresh-new/moment"
        copy "$esbuild_new" "$trees/fresh-new/esbuild"
        copy "$rollup_new" "$trees/fresh-new/rollup"
        ;;
    big)
        mkdir -p "$trees/big-old" "$trees/big-new"
        big_pair "$trees/big-old/data.pak" "$trees/big-new/data.pak"
        ;;
    *)
        echo "unknown case $name (large, tiny, fresh, big)" >&2
        exit 2
        ;;
    esac
done

# (kill 0 would end the whole process group: the sampler's id or nothing.)
trap '[ -z "${sampler:-}" ] || kill "$sampler" 2>/dev/null || true; kit_site_nginx_stop "$work/nginx"; "$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build"
port=$(kit_free_port)
# site-root is a link to the site of the case that runs.
rm -rf "$work/site-root" && mkdir -p "$work/site-root"
kit_site_nginx_start "$work/nginx" "$work/site-root" "$port" ||
    { echo "nginx does not start: $(cat "$work/nginx/error.log")" >&2; exit 1; }
log=$work/nginx/access.log
calc() { awk "BEGIN { printf \"%.6f\", $* }"; }

# reference OLD NEW LEVEL: the sizes (a), (b), (c) of the files of NEW that
# differ from OLD (OLD may be empty: a fresh install), zstd at LEVEL (its
# notes on the optimal parser go unprinted).
reference() {
    local old=$1 new=$2 level=$3 raw=0 z=0 p=0 file size
    while IFS= read -r -d '' file; do
        local rel=${file#"$new"/}
        if [ -f "$old/$rel" ] && cmp -s "$old/$rel" "$file"; then continue; fi
        size=$(stat -c %s "$file")
        raw=$((raw + size))
        local zs ps
        zs=$(zstd -q "-$level" -c "$file" 2>/dev/null | wc -c) || { echo "zstd fails on $file" >&2; return 1; }
        z=$((z + zs))
        if [ -f "$old/$rel" ]; then
            ps=$(zstd -q "-$level" --long=31 --patch-from="$old/$rel" -c "$file" 2>/dev/null | wc -c) ||
                { echo "zstd --patch-from fails on $file" >&2; return 1; }
        else
            ps=$zs
        fi
        p=$((p + ps))
    done < <(find "$new" -type f -print0)
    echo "$raw $z $p"
}

# peak_private OUT SERVER: samples the RssAnon and RssFile (kB) of the
# updater that runs against SERVER (not those of other runs on the machine)
# until killed; OUT holds the peaks of each.
peak_private() {
    local anon=0 file=0 pid='' a f
    while :; do
        [ -n "$pid" ] && [ -d "/proc/$pid" ] || pid=$(kit_updater_pid "$2") || pid=''
        if [ -n "$pid" ] &&
            read -r a f < <(awk '/^RssAnon:/ { a = $2 } /^RssFile:/ { f = $2 } END { print a + 0, f + 0 }' \
                "/proc/$pid/status" 2>/dev/null); then
            if [ "$a" -gt "$anon" ] || [ "$f" -gt "$file" ]; then
                anon=$((a > anon ? a : anon)) file=$((f > file ? f : file))
                echo "$anon $file" >"$1"
            fi
        fi
        sleep 0.05
    done
}

# run CASE FROM: the site of CASE (FROM 1: version 1 = CASE-old, version 2 =
# CASE-new; FROM 0: version 1 = CASE-new) and an install at FROM brought up
# to date by one run of the updater.
run() {
    local name=$1 from=$2 site=$work/site-$1 install=$work/install-$1 out=$work/lobby-$1.txt code=0 level=$level
    [ "$name" = big ] && level=$big_level
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
    peak_private "$work/peak" "127.0.0.1:$port" &
    sampler=$!
    start=$(date +%s.%N)
    kit_lobby_update "$build" "$install" "127.0.0.1:$port" "$work/key.pub" "$out" 1800 || code=$?
    local elapsed
    elapsed=$(calc "$(date +%s.%N) - $start")
    kill "$sampler" 2>/dev/null || true
    wait "$sampler" 2>/dev/null || true
    sampler=''
    if [ "$code" != 1 ] || ! diff -r -x Configs "$trees/$name-new" "$install" >/dev/null; then
        echo "$name: the update failed (exit code $code; lobby output in $out)" >&2
        return 1
    fi
    sleep 1
    local wire files
    wire=$(tail -n +"$((before + 1))" "$log" | awk '$7 ~ /^\/files\// { sum += $10 } END { print sum + 0 }')
    files=$(tail -n +"$((before + 1))" "$log" | awk '$7 ~ /^\/files\// { n++ } END { print n + 0 }')
    local sizes
    sizes=$(reference "$old" "$trees/$name-new" "$level") || return 1
    read -r raw z p <<<"$sizes"
    local target=$p limit=1.1 against=c
    [ "$from" = 0 ] && target=$z limit=1.05 against=b
    printf '%-6s wire %10d bytes in %3d files | (a) raw %10d  (b) zstd -%s %10d  (c) patch-from %10d | wire/a %.4f  wire/b %.4f  wire/c %.4f | target wire/%s <= %s: %s\n' \
        "$name" "$wire" "$files" "$raw" "$level" "$z" "$p" "$(calc "$wire / $raw")" "$(calc "$wire / $z")" "$(calc "$wire / $p")" \
        "$against" "$limit" "$(awk "BEGIN { print ($wire <= $limit * $target) ? \"met\" : \"missed\" }")"
    local anon='?' file='?'
    [ ! -f "$work/peak" ] || read -r anon file <"$work/peak"
    printf '       updater %.2f s, peak RssAnon %s kB (RssFile %s kB); publish (level %s) %.1f s\n' \
        "$elapsed" "$anon" "$file" "$level" "$publishing"
    # The big case's 3 GB are made again on the next run.
    [ "$name" != big ] || rm -rf "$site" "$install" "$trees/big-old" "$trees/big-new"
}

echo "large: $esbuild_old -> $esbuild_new; tiny: $rollup_old -> $rollup_new;" \
    "fresh: $typescript, $moment and both programs"
for name in $cases; do
    [ "$name" != fresh ] || echo "fresh: $(find "$trees/fresh-new" -type f | wc -l) files"
    if [ "$name" = fresh ]; then run fresh 0; else run "$name" 1; fi
done
