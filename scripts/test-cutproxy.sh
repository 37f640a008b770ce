#!/usr/bin/env bash
# cutproxy (tools/cutproxy) between curl and nginx on free loopback ports:
#   - --cut-every: a file cut every CUT MiB of the proxy's output is fetched
#     whole by curl resuming (-C -) after each cut; every resume asks from
#     where the file on disk ends, and the proxy's totals add up;
#   - --cut-after-percent 40 --match /files/: on one kept-alive connection a
#     gzip-chunked manifest passes whole and the file stops at exactly 40 %
#     of its body; the next request of the file passes whole;
#   - --stall-after-percent 50: the body stops at exactly 50 % and the
#     connection stays open until the client gives up.
#   test-cutproxy.sh NATIVE_BUILD_DIR [SIZE_MIB [CUT_MIB]]   (default 8 and 3)
set -euo pipefail
usage='usage: test-cutproxy.sh NATIVE_BUILD_DIR [SIZE_MIB [CUT_MIB]]'
cutproxy=$(cd "${1:?$usage}" && pwd)/bin/cutproxy
size_mib=${2:-8}
cut_mib=${3:-3}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
work=$(cd "$1" && pwd)/cutproxy-test
site=$work/site

rm -rf "$work"
mkdir -p "$site/files" "$site/update"
trap 'kit_cutproxy_stop "$work/proxy"; kit_site_nginx_stop "$work/nginx"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

size=$((size_mib * 1048576))
head -c "$size" /dev/urandom >"$site/files/big.bin"
want=$(sha256sum <"$site/files/big.bin" | cut -c1-64)
for i in $(seq 400); do printf '<File version="%d" op="0" path="data\\file%d.dat"/>\n' "$i" "$i"; done >"$site/update/1.xml"
port=$(kit_free_port)
kit_site_nginx_start "$work/nginx" "$site" "$port" || fail "nginx does not start: $(cat "$work/nginx/error.log")"

# fetch OUT URL...: one curl run through the proxy resuming OUT; prints
# curl's counts of header and body bytes received.
fetch() {
    local out=$1
    shift
    curl -sS --max-time 60 -C - -o "$out" -w '%{size_header} %{size_download}\n' "$@" 2>/dev/null || true
}
requests() {
    sed -n 's/^[0-9.]* request [0-9]* \(.*\) range=\(.*\)$/\1 \2/p' "$work/proxy/log"
}
total() {
    kit_cutproxy_total "$work/proxy/log" "$1"
}

# Cut every CUT MiB: curl resumes until the file is whole.
kit_cutproxy_start "$cutproxy" "$work/proxy" "$port" --cut-every "${cut_mib}M" || fail "cutproxy does not start"
url=http://127.0.0.1:$(cat "$work/proxy/port")/files/big.bin
wire=0
runs=0
while [ "$(stat -c %s "$work/got.bin" 2>/dev/null || echo 0)" -lt "$size" ]; do
    runs=$((runs + 1))
    [ "$runs" -le $((size_mib / cut_mib + 2)) ] || fail "cut-every: still incomplete after $runs runs"
    read -r headers body < <(fetch "$work/got.bin" "$url")
    wire=$((wire + headers + body))
done
[ "$(sha256sum <"$work/got.bin" | cut -c1-64)" = "$want" ] || fail "cut-every: the file differs"
kit_cutproxy_stop "$work/proxy"
cuts=$(( (wire - 1) / (cut_mib * 1048576) ))
[ "$runs" = $((cuts + 1)) ] || fail "cut-every: $runs runs for $wire bytes on the wire"
[ "$(total to-client)" = "$wire" ] || fail "cut-every: proxy counted $(total to-client) bytes, curl got $wire"
[ "$(total connections)/$(total cuts)" = "$runs/$cuts" ] ||
    fail "cut-every: totals $(grep totals "$work/proxy/log")"
# Each resume asks from the end of the file on disk: just under CUT MiB
# (the answer's head aside) past the previous one.
previous=0
first=1
while read -r method target version range; do
    [ "$method $target $version" = "GET /files/big.bin HTTP/1.1" ] || fail "cut-every: request $method $target"
    if [ -n "$first" ]; then
        [ "$range" = - ] || fail "cut-every: first request has range $range"
        first=
        continue
    fi
    from=${range#bytes=}
    from=${from%-}
    step=$((from - previous))
    if [ "$range" != "bytes=$from-" ] || [ "$step" -le $((cut_mib * 1048576 - 1024)) ] ||
        [ "$step" -ge $((cut_mib * 1048576)) ]; then
        fail "cut-every: range $range after $previous"
    fi
    previous=$from
done < <(requests)
echo "ok   cut every $cut_mib MiB: $runs runs, $wire bytes on the wire, ranges $(requests | awk '{ print $4 }' | paste -sd' ')"

# 40 % of the first file body, behind a chunked manifest on the same
# connection; the resume then gets the rest whole.
rm -f "$work/got.bin"
kit_cutproxy_start "$cutproxy" "$work/proxy" "$port" --cut-after-percent 40 --match /files/ || fail "cutproxy does not start"
base=http://127.0.0.1:$(cat "$work/proxy/port")
curl -sS --max-time 60 --compressed -o "$work/manifest.xml" "$base/update/?id=1&v=0" -o "$work/got.bin" \
    "$base/files/big.bin" 2>/dev/null || true
cmp -s "$work/manifest.xml" "$site/update/1.xml" || fail "cut-after-percent: the manifest differs"
grep -q ' response 1 HTTP/1.1 200 OK length=- ' "$work/proxy/log" || fail "cut-after-percent: manifest not chunked"
point=$((size * 40 / 100))
[ "$(stat -c %s "$work/got.bin")" = "$point" ] || fail "cut-after-percent: got $(stat -c %s "$work/got.bin") of $point"
fetch "$work/got.bin" "$base/files/big.bin" >/dev/null
[ "$(sha256sum <"$work/got.bin" | cut -c1-64)" = "$want" ] || fail "cut-after-percent: the file differs"
[ "$(requests | awk '{ print $2, $4 }' | paste -sd' ')" = "/update/?id=1&v=0 - /files/big.bin - /files/big.bin bytes=$point-" ] ||
    fail "cut-after-percent: requests $(requests)"
grep -q " response 2 HTTP/1.1 206 Partial Content length=$((size - point)) content-range=bytes $point-$((size - 1))/$size$" \
    "$work/proxy/log" || fail "cut-after-percent: no whole 206 answer"
kit_cutproxy_stop "$work/proxy"
[ "$(total connections)/$(total cuts)" = 2/1 ] || fail "cut-after-percent: $(grep totals "$work/proxy/log")"
echo "ok   cut after 40 %: $point bytes, then bytes=$point- whole"

# Stalled at 50 %: the client sees no more bytes and no close.
rm -f "$work/got.bin"
kit_cutproxy_start "$cutproxy" "$work/proxy" "$port" --stall-after-percent 50 || fail "cutproxy does not start"
code=0
curl -sS --max-time 3 -o "$work/got.bin" "http://127.0.0.1:$(cat "$work/proxy/port")/files/big.bin" 2>/dev/null ||
    code=$?
[ "$code" = 28 ] || fail "stall: curl ended with $code, not a time-out"
[ "$(stat -c %s "$work/got.bin")" = $((size / 2)) ] || fail "stall: got $(stat -c %s "$work/got.bin") of $((size / 2))"
kit_wait_until 20 grep -q ' close 1 .*(client closed)' "$work/proxy/log" || fail "stall: the proxy keeps the connection"
echo "ok   stall at 50 %: $((size / 2)) bytes, then silence until the client left"
