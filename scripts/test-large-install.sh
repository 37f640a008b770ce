#!/usr/bin/env bash
# A 5 GiB file published and installed end to end: publish release makes a
# signed site of it, nginx serves it behind cutproxy, which cuts the answer
# after 90 % of its body (past 4 GiB), and the test build of the updater
# (UpdateTestHost.exe, started by the sample lobby) installs it on a fresh
# game folder, going on from the bytes it has with one range request. Checks
# the file's SHA-256, the range asked, the progress total and the version,
# and prints the run's time and the updater's peak memory (VmHWM of its
# Wine process). Not part of `make test`: it writes about 15 GiB (the file,
# the site's copy, the install) and takes minutes.
#   test-large-install.sh BUILD_DIR NATIVE_BUILD_DIR
set -euo pipefail
usage='usage: test-large-install.sh BUILD_DIR NATIVE_BUILD_DIR'
build=$(cd "${1:?$usage}" && pwd)
native=$(cd "${2:?$usage}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
work=$build/large-install
name=data/huge.pak
size=$((5 * 1024 * 1048576))
point=$((size * 90 / 100))

rm -rf "$work"
mkdir -p "$work"
trap 'kit_cutproxy_stop "$work/proxy"; kit_site_nginx_stop "$work/nginx"; "$here/harness.sh" stop "$build"; rm -rf "$work/huge.pak" "$work/tree" "$work/site/files" "$work/install"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

echo "making a file of $size bytes"
head -c "$size" /dev/urandom >"$work/huge.pak"
want=$(sha256sum <"$work/huge.pak" | cut -c1-64)
start=$(date +%s)
kit_one_file_site "$native/bin/publish" "$work" "$work/huge.pak" "$name" || fail "publish: $(cat "$work/release.txt")"
echo "published in $(($(date +%s) - start)) s: $(grep -o 'size="[0-9]*"' "$work/site/update/1.xml")"
grep -q "size=\"$size\" sha256=\"$want\"" "$work/site/update/1.xml" || fail "the manifest does not describe the file"

"$here/harness.sh" start "$build"
nginx_port=$(kit_free_port)
kit_site_nginx_start "$work/nginx" "$work/site" "$nginx_port" || fail "nginx does not start: $(cat "$work/nginx/error.log")"
kit_cutproxy_start "$native/bin/cutproxy" "$work/proxy" "$nginx_port" --cut-after-percent 90 --match /files/ ||
    fail "cutproxy does not start"
server=127.0.0.1:$(cat "$work/proxy/port")
kit_site_point_at "$work/site" 1 "$work/key" "http://$server" || fail "cannot sign the manifest"

install=$work/install
kit_fresh_install "$install"
start=$(date +%s.%N)
kit_lobby_update "$build" "$install" "$server" "$work/key.pub" "$work/lobby.txt" 1800 &
lobby=$!
# The updater's peak resident memory, read until it ends.
peak=0
while kill -0 "$lobby" 2>/dev/null; do
    if pid=$(kit_updater_pid "$server"); then
        hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
    fi
    sleep 0.5
done
code=0
wait "$lobby" || code=$?
elapsed=$(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $start }")

[ "$code" = 1 ] || fail "exit code $code, last status: $(grep '^\[lobby\] status' "$work/lobby.txt" | tail -1)"
grep -q '^\[lobby\] status: 更新完成!' "$work/lobby.txt" || fail "no completion: $(tail -3 "$work/lobby.txt")"
ranges=$(sed -n 's|^[0-9.]* request [0-9]* GET /files/[^ ]* [^ ]* range=||p' "$work/proxy/log" | paste -sd' ')
[ "$ranges" = "- bytes=$point-" ] || fail "file requests with ranges $ranges, wanted - bytes=$point-"
grep -q "progress: $size of $size bytes" "$work/lobby.txt" || fail "no progress report of $size of $size bytes"
[ "$(stat -c %s "$install/$name")" = "$size" ] || fail "the installed file has $(stat -c %s "$install/$name") bytes"
[ "$(sha256sum <"$install/$name" | cut -c1-64)" = "$want" ] || fail "the installed file differs"
[ ! -e "$install/${name}_" ] || fail "the partial file is left"
grep -q 'Game1=1' "$install/Configs/Version.dat" || fail "the version was not written"
[ "$peak" -gt 0 ] || fail "the updater's process was never found"
echo "ok   $size bytes installed in $elapsed s (cut at $point, resumed with bytes=$point-), updater peak memory ${peak} kB"
