#!/usr/bin/env bash
# The publishing workflow end to end: `publish release` makes a signed site
# from three builds of a game, nginx serves it with publish/nginx-site.conf,
# and the test build of the updater (UpdateTestHost.exe, key and server from
# the environment, started by the sample lobby) brings installs at versions
# 0, 1 and 2 to the third build in one run each, fetching only what each
# needs: compressed files and patches where the site has them. The build
# without them (UpdateTestHostRawOnly.exe) installs byte-identically from the
# raw files of the same site. The last run takes a manifest re-signed by
# `minisign -S`.
#   test-publish-e2e.sh BUILD_DIR NATIVE_BUILD_DIR
set -euo pipefail
usage='usage: test-publish-e2e.sh BUILD_DIR NATIVE_BUILD_DIR'
build=$(cd "${1:?$usage}" && pwd)
publish=$(cd "${2:?$usage}" && pwd)/bin/publish
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
work=$build/publish-e2e
site=$work/site
game=3

rm -rf "$work"
mkdir -p "$work/trees" "$site"
trap 'kit_site_nginx_stop "$work/nginx"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The three builds. 1 -> 2: a.txt changes, old.txt goes, mv/src.dat moves,
# a Chinese-named file, a 100 MB file and gone.txt come. 2 -> 3: a.txt and a
# nested file change, gone.txt goes, a deeply nested file comes.
# keep/same.bin never changes. bin/engine.dll (compressible) changes a little
# in each version.
tree() { echo "$work/trees/$1"; }
put() {  # put FILE TEXT
    mkdir -p "$(dirname "$1")"
    printf '%s\n' "$2" >"$1"
}
t1=$(tree 1) t2=$(tree 2) t3=$(tree 3)
put "$t1/a.txt" 'a, first'
mkdir -p "$t1/keep" && head -c 300000 /dev/urandom >"$t1/keep/same.bin"
put "$t1/dir/sub/deep.txt" 'deep, first'
put "$t1/old.txt" 'obsolete after 1'
put "$t1/mv/src.dat" 'moved in 2, content unchanged'
put "$t1/mv/stays.txt" 'keeps the folder'
engine() {  # engine VERSION: the engine's text, one line changed per version
    mkdir -p "$(tree "$1")/bin"
    seq 1 200000 | sed "$((1000 * $1))s/.*/release $1/" >"$(tree "$1")/bin/engine.dll"
}
engine 1
cp -r "$t1" "$t2"
put "$t2/a.txt" 'a, second'
rm "$t2/old.txt"
mkdir -p "$t2/moved" && mv "$t2/mv/src.dat" "$t2/moved/dst.dat"
put "$t2/中文/资料 说明.txt" '中文内容'
head -c 104857600 /dev/urandom >"$t2/big.bin"
put "$t2/gone.txt" 'only in 2'
engine 2
cp -r "$t2" "$t3"
put "$t3/a.txt" 'a, third'
put "$t3/dir/sub/deep.txt" 'deep, third'
rm "$t3/gone.txt"
put "$t3/new/nested/x/y.txt" 'new in 3'
engine 3

minisign -G -W -p "$work/key.pub" -s "$work/key" >/dev/null
port=$(kit_free_port)
for version in 1 2 3; do
    previous=()
    [ "$version" = 1 ] || previous=(--from "$(tree $((version - 1)))")
    # A low level: the random 100 MB file is compressed (and kept raw) in vain.
    "$publish" release "$site" --game "$game" --version "$version" "${previous[@]}" --to "$(tree "$version")" \
        --base-url "http://127.0.0.1:$port/" --key "$work/key" --level 3 >"$work/release-$version.txt" 2>&1 ||
        fail "publish release of version $version: $(cat "$work/release-$version.txt")"
done
"$publish" verify "$site" --game "$game" --key "$work/key.pub" >/dev/null || fail "publish verify"
kit_site_nginx_start "$work/nginx" "$site" "$port" || fail "nginx does not start: $(cat "$work/nginx/error.log")"
log=$work/nginx/access.log

# logged_since LINES COUNT: the access log has COUNT lines after its first LINES.
logged_since() {
    [ "$(($(wc -l <"$log") - $1))" -ge "$2" ]
}

# store_names FROM FILE...: the store names (digests) of what an install at
# FROM fetches for each FILE of tree 3, "zstd:FILE" its compressed file,
# "patch:FILE" its patch from what FILE holds at FROM.
store_names() {
    python3 - "$site/update/$game.xml" "$t3" "$@" <<'PY'
import hashlib, re, sys
manifest, tree = open(sys.argv[1], encoding="utf-8").read(), sys.argv[2]
installed = int(sys.argv[3])
items = {}
for attrs in re.findall(r"<File ([^>]*)/>", manifest):
    item = dict(re.findall(r'(\w+)="([^"]*)"', attrs))
    if item.get("op") == "0":
        items[item["path"]] = item
for wanted in sys.argv[4:]:
    form, _, path = wanted.rpartition(":")
    if not form:
        print(hashlib.sha256(open(tree + "/" + path, "rb").read()).hexdigest())
        continue
    item = items[path.replace("/", "\\")]
    if form == "zstd":
        print(item["zstd"].split()[2])
    else:
        fits = [p.split() for p in item["patch"].split(";")]
        print(next(p[5] for p in fits if int(p[1]) <= installed < int(p[2])))
PY
}

# run_install FROM [PROGRAM] EXPECTED_FILE...: an install at version FROM (a
# copy of its tree, nothing for 0) after one run of the updater (PROGRAM of
# the build, UpdateTestHost.exe unless given) must equal tree 3, and the run
# must have fetched the manifest and exactly the listed files (store_names).
run_install() {
    local from=$1 install=$work/install-$1 out=$work/lobby-$1.txt code=0 program=UpdateTestHost.exe
    shift
    if [[ "$1" == *.exe ]]; then
        program=$1 install=$work/install-$from-$1 out=$work/lobby-$from-$1.txt
        shift
    fi
    mkdir -p "$install/Configs"
    [ "$from" = 0 ] || cp -r "$(tree "$from")/." "$install/"
    printf '[Versions]\r\nGame%s=%s\r\n' "$game" "$from" >"$install/Configs/Version.dat"
    local before
    before=$(wc -l <"$log")
    (cd "$install" && KIT_UPDATE_SERVER=127.0.0.1:$port KIT_UPDATE_PUBLIC_KEY=$(sed -n 2p "$work/key.pub") \
        timeout 300 "$here/wine-run.sh" --build "$build" "$build/bin/SampleLobby.exe" --game "$game" \
        --update "$(kit_win_path "$build/bin/$program")" --dir "$(kit_win_path "$install")" \
        >"$out" 2>/dev/null) || code=$?
    [ "$code" = 1 ] || fail "install at $from: exit code $code; $(tail -5 "$out")"
    grep -q '^\[lobby\] status: 更新完成!' "$out" || fail "install at $from: no completion; $(tail -5 "$out")"
    diff -r -x Configs "$t3" "$install" || fail "install at $from differs from build 3"
    grep -q "^Game$game=3" "$install/Configs/Version.dat" || fail "install at $from: version not written"

    # nginx logs a request once answered: wait for the expected number.
    local expected=$(($# + 1)) got
    kit_wait_until 20 logged_since "$before" "$expected" || true
    got=$(tail -n +"$((before + 1))" "$log" | awk '{ print $7, $9 }')
    [ "$(grep -c . <<<"$got")" = "$expected" ] || fail "install at $from: requests $got, wanted $expected"
    [ "$(grep -c "^/update/?id=$game&v=$from 200$" <<<"$got")" = 1 ] || fail "install at $from: check in $got"
    local wanted fetched
    wanted=$(store_names "$from" "$@" | sort)
    fetched=$(grep '^/files/' <<<"$got" | grep ' 200$' | sed -E 's|^/files/../([0-9a-f]{64}) 200$|\1|' | sort)
    [ "$fetched" = "$wanted" ] || fail "install at $from fetched other files: $got"
    echo "ok   install at version $from by $program: $((expected - 1)) downloads"
}

# A fresh install takes each path's last download only, compressed where that
# saves; an install at 1 and at 2 only what changed since, the engine as a
# patch from the content it holds. The updater without forms takes the raw
# files of the same site.
run_install 0 a.txt keep/same.bin dir/sub/deep.txt moved/dst.dat mv/stays.txt '中文/资料 说明.txt' big.bin \
    new/nested/x/y.txt zstd:bin/engine.dll
run_install 1 a.txt dir/sub/deep.txt '中文/资料 说明.txt' big.bin new/nested/x/y.txt patch:bin/engine.dll
run_install 1 UpdateTestHostRawOnly.exe a.txt dir/sub/deep.txt '中文/资料 说明.txt' big.bin new/nested/x/y.txt \
    bin/engine.dll

# The same manifest signed by minisign itself is as good.
manifest=$site/update/$game.xml
python3 - "$manifest" "$work/m.xml" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
open(sys.argv[2], "wb").write(data[:data.rindex(b"<!-- signature")])
PY
minisign -S -s "$work/key" -m "$work/m.xml" -t 'signed by minisign -S' >/dev/null
{ cat "$work/m.xml"; printf '<!-- signature\n'; cat "$work/m.xml.minisig"; printf -- '-->\n'; } >"$manifest.new"
mv "$manifest.new" "$manifest"
curl -s "http://127.0.0.1:$port/update/?id=$game&v=2" | grep -q 'signed by minisign -S' ||
    fail "nginx does not serve the re-signed manifest"
run_install 2 a.txt dir/sub/deep.txt new/nested/x/y.txt patch:bin/engine.dll
