# Shared helpers of the kit's scripts; source it:  . "$here/lib.sh"
# shellcheck shell=bash

# kit_win_path PATH: the Windows path of a Linux path under Wine (drive Z: is
# the root).
kit_win_path() {
    local path=$1
    echo "Z:${path//\//\\}"
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

# kit_cutproxy_total LOG NAME: the count NAME (to-client, connections,
# cuts, ...) of the last totals line in the cutproxy log LOG.
kit_cutproxy_total() {
    sed -n "s/.* totals .* $2 \([0-9]*\).*/\1/p" "$1" | tail -1
}
