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
