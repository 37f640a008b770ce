# Shared helpers of the kit's scripts; source it:  . "$here/lib.sh"
# shellcheck shell=bash

# kit_win_path PATH: the Windows path of a Linux path under Wine (drive Z: is
# the root).
kit_win_path() {
    local path=$1
    echo "Z:${path//\//\\}"
}

# kit_deps_cache: the cache that the set-up and the builds share between
# build folders (third-party libraries, npm packages, the demo's font).
kit_deps_cache() {
    echo "${KIT_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/gameclientkit}"
}

# kit_need_built FILE...: ends the script with a message when a program or
# file the build makes is missing.
kit_need_built() {
    local file
    for file; do
        [ -f "$file" ] || { echo "missing $file: build first (make build)" >&2; exit 1; }
    done
}

# kit_retry WHAT COMMAND...: runs COMMAND until it succeeds, at most
# KIT_RETRY_ATTEMPTS times (default 4), waiting 1, 2, 4... times
# KIT_RETRY_DELAY seconds (default 5) between attempts, for network steps
# that a mirror or registry briefly out of step makes fail. Says on standard
# error when WHAT failed and when it is tried again; the status is the last
# attempt's.
kit_retry() {
    local what=$1 attempts=${KIT_RETRY_ATTEMPTS:-4} delay=${KIT_RETRY_DELAY:-5} n=1 rc
    shift
    while :; do
        rc=0
        "$@" || rc=$?
        if [ "$rc" -eq 0 ]; then
            [ "$n" -eq 1 ] || echo "$what: succeeded at attempt $n of $attempts" >&2
            return 0
        fi
        if [ "$n" -ge "$attempts" ]; then
            echo "$what: failed $n times (exit status $rc)" >&2
            return "$rc"
        fi
        echo "$what: failed (exit status $rc), attempt $n of $attempts; trying again in ${delay}s" >&2
        sleep "$delay"
        delay=$((delay * 2))
        n=$((n + 1))
    done
}

# kit_make_prefix PREFIX LOG: makes the Wine prefix PREFIX with wineboot
# (the harness's env loaded), unless an earlier call finished it; wineboot's
# output goes into LOG. Wine's daemons must not inherit the harness's lock
# (descriptor 9).
kit_make_prefix() {
    local prefix=$1 log=$2
    [ ! -f "$prefix/.kit-ready" ] || return 0
    rm -rf "$prefix"
    WINEPREFIX=$prefix "$KIT_WINE" wineboot -i </dev/null >"$log" 2>&1 9>&- ||
        { echo "wineboot failed for $prefix: $(tail -n 1 "$log")" >&2; return 1; }
    WINEPREFIX=$prefix wineserver -w 9>&-
    touch "$prefix/.kit-ready"
}

# kit_free_port: a TCP port on 127.0.0.1 that nothing listens on now.
kit_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# kit_wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it
# succeeds; fails once SECONDS have passed without success.
kit_wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# kit_port_open PORT: something accepts connections on 127.0.0.1:PORT.
kit_port_open() {
    python3 -c "import socket, sys; socket.create_connection(('127.0.0.1', int(sys.argv[1])), 1)" "$1" 2>/dev/null
}

# kit_site_nginx_start WORK SITE PORT [DIRECTIVE...]: nginx in the background
# serving the update site SITE (made by publish) on 127.0.0.1:PORT with
# publish/nginx-site.conf; configuration, logs (access.log) and pid in WORK.
# Each DIRECTIVE (say "limit_rate 200k;") goes into the server block.
kit_site_nginx_start() {
    local work=$1 site=$2 port=$3
    shift 3
    local repo
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    mkdir -p "$work/tmp"
    cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
daemon on;
events { worker_connections 64; }
http {
    access_log $work/access.log;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $site;
        $*
        include $repo/publish/nginx-site.conf;
    }
}
CONF
    nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" && kit_wait_until 20 kit_port_open "$port"
}

# kit_site_nginx_stop WORK: stops the nginx that kit_site_nginx_start started
# in WORK, if it runs.
kit_site_nginx_stop() {
    [ -f "$1/nginx.pid" ] || return 0
    kill "$(cat "$1/nginx.pid")" 2>/dev/null || true
    kit_wait_until 10 test ! -f "$1/nginx.pid" || true
}

# kit_cutproxy_start CUTPROXY WORK UPSTREAM_PORT [OPTION...]: the cutting
# proxy CUTPROXY (tools/cutproxy) in the background on a free loopback port
# (written to WORK/port) in front of 127.0.0.1:UPSTREAM_PORT, with the
# OPTIONs; its log in WORK/log, its pid in WORK/pid. WORK is made anew.
kit_cutproxy_start() {
    local cutproxy=$1 work=$2 upstream=$3 port
    shift 3
    rm -rf "$work"
    mkdir -p "$work"
    port=$(kit_free_port)
    echo "$port" >"$work/port"
    "$cutproxy" --listen "$port" --upstream "127.0.0.1:$upstream" --log "$work/log" "$@" 2>"$work/stderr" &
    echo $! >"$work/pid"
    kit_wait_until 20 grep -q ' listening ' "$work/log" 2>/dev/null
}

# kit_cutproxy_stop WORK: stops the proxy that kit_cutproxy_start started in
# WORK, if it runs; its log then ends with its totals.
kit_cutproxy_stop() {
    [ -f "$1/pid" ] || return 0
    local pid
    pid=$(cat "$1/pid")
    rm -f "$1/pid"
    kill -TERM "$pid" 2>/dev/null || return 0
    kit_wait_until 20 grep -q ' totals at exit ' "$1/log" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# kit_one_file_site PUBLISH WORK FILE NAME: a signed update site WORK/site
# made by PUBLISH (publish release: game 1, version 1) that installs FILE as
# NAME, signed with a key pair WORK/key, WORK/key.pub made by minisign. Its
# manifest names a placeholder server until kit_site_point_at.
kit_one_file_site() {
    local publish=$1 work=$2 file=$3 name=$4
    rm -rf "$work/site" "$work/tree" "$work/key" "$work/key.pub"
    mkdir -p "$work/tree/$(dirname "$name")"
    ln "$file" "$work/tree/$name" 2>/dev/null || cp "$file" "$work/tree/$name"
    minisign -G -W -p "$work/key.pub" -s "$work/key" >/dev/null &&
        "$publish" release "$work/site" --game 1 --version 1 --to "$work/tree" --base-url http://127.0.0.1:1/ \
            --key "$work/key" >"$work/release.txt" 2>&1
}

# kit_site_point_at SITE GAME KEY BASE_URL: the manifest of game GAME in
# SITE fetches from BASE_URL/files/, signed anew by minisign -S with the
# secret key KEY (a signed manifest names its server).
kit_site_point_at() {
    local manifest=$1/update/$2.xml key=$3
    python3 - "$manifest" "$manifest.unsigned" "$4/files/" <<'PY'
import re, sys
data = open(sys.argv[1], "rb").read()
data = data[:data.rindex(b"<!-- signature")]
data = re.sub(rb'url="[^"]*"', b'url="' + sys.argv[3].encode() + b'"', data, count=1)
open(sys.argv[2], "wb").write(data)
PY
    minisign -S -s "$key" -m "$manifest.unsigned" -x "$manifest.minisig" >/dev/null &&
        { cat "$manifest.unsigned"; printf '<!-- signature\n'; cat "$manifest.minisig"; printf -- '-->\n'; } \
            >"$manifest.new" && mv "$manifest.new" "$manifest"
}

# kit_lobby_update BUILD INSTALL SERVER PUBLIC_KEY OUT [SECONDS [SWITCH...]]:
# one run of the test build of the updater for game 1 (UpdateTestHost.exe,
# server and key from the environment), started by the sample lobby in
# INSTALL with the lobby's SWITCHes (--repair). The lobby's output goes to
# OUT; the status is the lobby's (the updater's exit code: 1 done, 0 failed;
# 124 after SECONDS, default 600).
kit_lobby_update() {
    local build=$1 install=$2 server=$3 key=$4 out=$5 seconds=${6:-600} here
    shift $(($# < 6 ? $# : 6))
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    (cd "$install" && KIT_UPDATE_SERVER=$server KIT_UPDATE_PUBLIC_KEY=$(sed -n 2p "$key") \
        timeout "$seconds" "$here/wine-run.sh" --build "$build" "$build/bin/SampleLobby.exe" --game 1 "$@" \
        --update "$(kit_win_path "$build/bin/UpdateTestHost.exe")" --dir "$(kit_win_path "$install")" \
        >"$out" 2>/dev/null)
}

# kit_fresh_install DIR: an empty game folder at version 0 of game 1.
kit_fresh_install() {
    rm -rf "$1"
    mkdir -p "$1/Configs"
    printf '[Versions]\r\nGame1=0\r\n' >"$1/Configs/Version.dat"
}

# kit_cutproxy_total LOG NAME: the count NAME (to-client, connections,
# cuts, ...) of the last totals line in the cutproxy log LOG.
kit_cutproxy_total() {
    sed -n "s/.* totals .* $2 \([0-9]*\).*/\1/p" "$1" | tail -1
}

# kit_pugixml_source WORK: the folder of pugixml's source (Debian's source
# package), unpacked into WORK once; the XML benchmarks' peer.
kit_pugixml_source() {
    local work=$1 src
    src=$(find "$work" -maxdepth 1 -type d -name 'pugixml-*' | sort | tail -n 1)
    if [ -z "$src" ] || [ ! -f "$src/src/pugixml.cpp" ]; then
        (cd "$work" && kit_retry "apt-get source pugixml" apt-get source pugixml >"$work/apt-source.log" 2>&1) || {
            echo "apt-get source pugixml failed (see $work/apt-source.log)" >&2
            return 1
        }
        src=$(find "$work" -maxdepth 1 -type d -name 'pugixml-*' | sort | tail -n 1)
    fi
    echo "$src"
}

# kit_updater_pid SERVER: the process of the updater that runs against
# SERVER. Wine starts it outside the lobby's process tree (it keeps the
# lobby's process group and environment): its first argument is its Windows
# path and its environment names the server, which is the caller's own.
# pgrep picks the candidates: reading every process costs a benchmark's
# sampler the first second of a short run.
kit_updater_pid() {
    local proc first
    for proc in $(pgrep -f 'UpdateTestHost\.exe' | sed 's|^|/proc/|'); do
        # Processes come and go while the loop reads.
        first=$({ tr '\0' '\n' <"$proc/cmdline"; } 2>/dev/null | head -1) || continue
        case $first in
        *\\UpdateTestHost.exe)
            if tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qx "KIT_UPDATE_SERVER=$1"; then
                echo "${proc#/proc/}"
                return 0
            fi
            ;;
        esac
    done
    return 1
}
