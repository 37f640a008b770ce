#!/usr/bin/env bash
# Benchmark of downloads that resume after broken connections: the test
# build of the updater (UpdateTestHost.exe, started by the sample lobby)
# installs a 1 GiB file from a signed site served by nginx, twice in one
# run: through cutproxy passing everything (the peer), then through cutproxy
# cutting the connection every 100 MiB of its output. Both runs go through
# the proxy so that its totals count the bytes on the wire the same way.
# Prints per run the time, the bytes on the wire and the requests' ranges,
# then the ratios (wire / file size, cut time / uncut time). Exit status 1
# when a run fails (say "the cut run failed").
#   scripts/bench-resume.sh BUILD_DIR NATIVE_BUILD_DIR   (build first: make build)
# The file and its site stay in BUILD_DIR/bench-resume/cache for later runs.
# BENCH_CUT (default 100M) and BENCH_TIMEOUT (seconds a run may take,
# default 900) change the run.
set -euo pipefail
usage='usage: bench-resume.sh BUILD_DIR NATIVE_BUILD_DIR'
build=$(cd "${1:?$usage}" && pwd)
native=$(cd "${2:?$usage}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
cut=${BENCH_CUT:-100M}
seconds=${BENCH_TIMEOUT:-900}
kit_need_built "$native/bin/cutproxy" "$native/bin/publish" "$build/bin/UpdateTestHost.exe"
work=$build/bench-resume
cache=$work/cache
size=$((1024 * 1048576))
name=data/big.bin

# The file and its signed site, made once.
if [ ! -s "$cache/big.bin.sha256" ] || [ ! -f "$cache/site/update/1.xml" ]; then
    echo "making the 1 GiB file and its site in $cache"
    rm -rf "$cache"
    mkdir -p "$cache"
    head -c "$size" /dev/urandom >"$cache/big.bin"
    kit_one_file_site "$native/bin/publish" "$cache" "$cache/big.bin" "$name" ||
        { cat "$cache/release.txt" >&2; exit 1; }
    sha256sum <"$cache/big.bin" | cut -c1-64 >"$cache/big.bin.sha256"
fi
want=$(cat "$cache/big.bin.sha256")

trap 'kit_cutproxy_stop "$work/proxy"; kit_site_nginx_stop "$work/nginx"; "$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build"
nginx_port=$(kit_free_port)
kit_site_nginx_start "$work/nginx" "$cache/site" "$nginx_port" ||
    { echo "nginx does not start: $(cat "$work/nginx/error.log")" >&2; exit 1; }

declare -A times wires
calc() { awk "BEGIN { printf \"%.3f\", $* }"; }

# run NAME [PROXY OPTION...]: one update of a fresh install through a new
# proxy; sets times[NAME] and wires[NAME]; fails when the install is not right.
run() {
    local run_name=$1 install=$work/install-$1 out=$work/lobby-$1.txt code=0 start elapsed wire cuts ranges
    shift
    kit_cutproxy_start "$native/bin/cutproxy" "$work/proxy" "$nginx_port" "$@" ||
        { echo "cutproxy does not start: $(cat "$work/proxy/stderr")" >&2; exit 1; }
    local server
    server=127.0.0.1:$(cat "$work/proxy/port")
    kit_site_point_at "$cache/site" 1 "$cache/key" "http://$server" || { echo "cannot sign the manifest" >&2; exit 1; }
    kit_fresh_install "$install"
    start=$(date +%s.%N)
    kit_lobby_update "$build" "$install" "$server" "$cache/key.pub" "$out" "$seconds" || code=$?
    elapsed=$(calc "$(date +%s.%N) - $start")
    kit_cutproxy_stop "$work/proxy"
    cp "$work/proxy/log" "$work/proxy-$run_name.log"
    wire=$(kit_cutproxy_total "$work/proxy/log" to-client)
    cuts=$(kit_cutproxy_total "$work/proxy/log" cuts)
    ranges=$(sed -n 's|^[0-9.]* request [0-9]* GET /files/[^ ]* [^ ]* range=||p' "$work/proxy/log" | paste -sd' ')
    printf '%-6s %8.2f s, %d bytes on the wire (%.4f x the file), %d cuts, %d connections, file ranges: %s\n' \
        "$run_name" "$elapsed" "$wire" "$(calc "$wire / $size")" "$cuts" \
        "$(kit_cutproxy_total "$work/proxy/log" connections)" "$ranges"
    times[$run_name]=$elapsed
    wires[$run_name]=$wire
    local status
    status=$(sed -n 's/^\[lobby\] status: //p' "$out" | tail -1)
    if [ "$code" != 1 ] || ! grep -q '^\[lobby\] status: 更新完成!' "$out"; then
        echo "the $run_name run failed: exit code $code, last status \"$status\" (lobby output in $out)" >&2
        return 1
    fi
    if [ "$(sha256sum <"$install/$name" | cut -c1-64)" != "$want" ]; then
        echo "the $run_name run failed: the installed file's SHA-256 differs" >&2
        return 1
    fi
}

echo "file: $size bytes; cut run: the connection cut every $cut of the proxy's output"
failed=
run uncut || failed="$failed uncut"
run cut --cut-every "$cut" || failed="$failed cut"
if [ -n "$failed" ]; then
    echo "FAILED:$failed" >&2
    exit 1
fi
printf 'wire / file size: uncut %.4f, cut %.4f\n' "$(calc "${wires[uncut]} / $size")" "$(calc "${wires[cut]} / $size")"
printf 'cut time / uncut time: %.2f\n' "$(calc "${times[cut]} / ${times[uncut]}")"
