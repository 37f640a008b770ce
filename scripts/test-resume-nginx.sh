#!/usr/bin/env bash
# Resumed downloads with real nginx behind cutproxy (tools/cutproxy), run by
# the test build of the updater (UpdateTestHost.exe, started by the sample
# lobby) on a signed one-file site (a 20 MB file):
#   a. the first answer of the file is cut (the proxy closes) after 40 % of
#      its body: the same run asks once more for exactly the rest
#      ("Range: bytes=N-", N the bytes it had) and installs the file;
#   b. the answer stalls after 30 % of its body and the updater is killed
#      (kill -9 of its process) once its partial file holds those bytes: the
#      next run asks only for the rest and installs the file.
#   test-resume-nginx.sh BUILD_DIR NATIVE_BUILD_DIR
set -euo pipefail
usage='usage: test-resume-nginx.sh BUILD_DIR NATIVE_BUILD_DIR'
build=$(cd "${1:?$usage}" && pwd)
native=$(cd "${2:?$usage}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
work=$build/resume-nginx
name=data/big.bin
size=20000000
# Heads of the answers and the manifest: what may pass besides the body.
slack=65536

rm -rf "$work"
mkdir -p "$work"
trap 'kit_cutproxy_stop "$work/proxy-a"; kit_cutproxy_stop "$work/proxy-b"; kit_site_nginx_stop "$work/nginx"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

head -c "$size" /dev/urandom >"$work/big.bin"
want=$(sha256sum <"$work/big.bin" | cut -c1-64)
kit_one_file_site "$native/bin/publish" "$work" "$work/big.bin" "$name" || fail "publish: $(cat "$work/release.txt")"
nginx_port=$(kit_free_port)
kit_site_nginx_start "$work/nginx" "$work/site" "$nginx_port" || fail "nginx does not start: $(cat "$work/nginx/error.log")"

# proxy NAME OPTION...: a new cutproxy in front of nginx in WORK/proxy-NAME,
# the manifest pointing at it; sets proxy (its folder) and server.
proxy() {
    proxy=$work/proxy-$1
    shift
    kit_cutproxy_start "$native/bin/cutproxy" "$proxy" "$nginx_port" "$@" || fail "cutproxy does not start"
    server=127.0.0.1:$(cat "$proxy/port")
    kit_site_point_at "$work/site" 1 "$work/key" "http://$server" || fail "cannot sign the manifest"
}
# file_ranges [FROM_LINE]: the Range values of the file's requests in the
# proxy's log (after its first FROM_LINE lines).
file_ranges() {
    tail -n +"$((${1:-0} + 1))" "$proxy/log" |
        sed -n 's|^[0-9.]* request [0-9]* GET /files/[^ ]* [^ ]* range=||p' | paste -sd' '
}
# installed OUT CODE WHAT: the run ended well and the file is right.
installed() {
    [ "$2" = 1 ] || fail "$3: exit code $2, last status: $(grep '^\[lobby\] status' "$1" | tail -1)"
    grep -q '^\[lobby\] status: 更新完成!' "$1" || fail "$3: no completion; $(tail -3 "$1")"
    [ "$(sha256sum <"$install/$name" | cut -c1-64)" = "$want" ] || fail "$3: the installed file differs"
    [ ! -e "$install/${name}_" ] || fail "$3: the partial file is left"
}
wire() {
    kit_cutproxy_total "$proxy/log" to-client
}

descendants() {  # descendants PID: its processes, children first
    local child
    for child in $(ps -o pid= --ppid "$1"); do
        echo "$child"
        descendants "$child"
    done
}
partial_holds() {
    [ "$(stat -c %s "$install/${name}_" 2>/dev/null || echo 0)" = "$1" ]
}

# The lobby reports the end of its updater and exits; a finished child
# stays a zombie until waited for, so it is told by its state.
ended() {  # ended PID
    local state
    ! state=$(ps -o stat= -p "$1") || [ "${state#Z}" != "$state" ]
}

# a. Cut after 40 % of the body: the client has exactly those bytes.
cut_at_40() {
    point=$((size * 40 / 100))
    proxy a --cut-after-percent 40 --match /files/
    install=$work/install-a
    kit_fresh_install "$install"
    code=0
    kit_lobby_update "$build" "$install" "$server" "$work/key.pub" "$work/lobby-a.txt" 300 || code=$?
    kill -USR1 "$(cat "$proxy/pid")"
    kit_wait_until 20 grep -q ' totals now ' "$proxy/log" || fail "cut: no totals from the proxy"
    [ "$(kit_cutproxy_total "$proxy/log" cuts)" = 1 ] || fail "cut: the proxy did not cut: $(grep totals "$proxy/log")"
    installed "$work/lobby-a.txt" "$code" "cut at 40 %"
    [ "$(file_ranges)" = "- bytes=$point-" ] || fail "cut at 40 %: file requests with ranges $(file_ranges), wanted - bytes=$point-"
    [ "$(wire)" -le $((size + slack)) ] || fail "cut at 40 %: $(wire) bytes on the wire for $size"
    echo "ok   cut at 40 %: one run, ranges $(file_ranges), $(wire) bytes on the wire"
    kit_cutproxy_stop "$proxy"
}

# b. Stalled after 30 % of the body, the updater killed there.
killed_at_30() {
    point=$((size * 30 / 100))
    proxy b --stall-after-percent 30 --match /files/
    install=$work/install-b
    kit_fresh_install "$install"
    kit_lobby_update "$build" "$install" "$server" "$work/key.pub" "$work/lobby-b1.txt" 300 &
    lobby=$!
    kit_wait_until 120 grep -q ' stall ' "$proxy/log" || fail "kill: the download did not reach the stall point"
    kit_wait_until 60 partial_holds "$point" ||
        fail "kill: the partial file holds $(stat -c %s "$install/${name}_" 2>/dev/null || echo no) bytes, not $point"
    pid=$(kit_updater_pid "$server") || fail "kill: no UpdateTestHost.exe process for $server"
    kill -KILL "$pid"
    if ! kit_wait_until 60 ended "$lobby"; then
        mapfile -t stuck < <(descendants "$lobby")
        kill -TERM "${stuck[@]}" 2>/dev/null || true
    fi
    wait "$lobby" 2>/dev/null || true
    partial_holds "$point" || fail "kill: the partial file changed after the kill"
    kill -USR1 "$(cat "$proxy/pid")"
    kit_wait_until 20 grep -q ' totals now ' "$proxy/log" || fail "kill: no totals from the proxy"
    before_lines=$(wc -l <"$proxy/log")
    before_wire=$(wire)
    code=0
    kit_lobby_update "$build" "$install" "$server" "$work/key.pub" "$work/lobby-b2.txt" 300 || code=$?
    kit_cutproxy_stop "$proxy"
    installed "$work/lobby-b2.txt" "$code" "run after the kill"
    [ "$(file_ranges "$before_lines")" = "bytes=$point-" ] ||
        fail "run after the kill: file requests with ranges $(file_ranges "$before_lines"), wanted bytes=$point-"
    rest=$(($(wire) - before_wire))
    [ "$rest" -le $((size - point + slack)) ] || fail "run after the kill: $rest bytes on the wire for $((size - point))"
    echo "ok   killed at 30 %: the next run asked for bytes=$point- only ($rest bytes on the wire)"
}

# Each case in a subshell of its own: a failing one ends there, and the
# other still runs.
failed=0
(cut_at_40) || failed=1
(killed_at_30) || failed=1
exit "$failed"
