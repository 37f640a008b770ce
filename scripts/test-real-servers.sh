#!/usr/bin/env bash
# Runs the whole updater (the test build, UpdateTestHost.exe) against real
# web servers on loopback, one after the other: nginx, lighttpd compressing
# with deflate, h2o compressing with gzip, node's http-server, Python's
# http.server in both protocol modes, busybox httpd serving the downloads
# through a CGI program that sends no length, and Apache redirecting the
# downloads. Each run must install every file byte for byte, say "更新完成!"
# and exit with 1.
#   test-real-servers.sh BUILD_DIR [SERVER...]
# Servers missing from the machine fail the run: scripts/setup.sh installs them.
set -euo pipefail
build=$(cd "${1:?usage: test-real-servers.sh BUILD_DIR [SERVER...]}" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
# Installed by setup.sh into the shared cache of third-party tools.
npm_bin=$(kit_deps_cache)/npm/node_modules/.bin/http-server
work=$build/real-servers
www=$work/www
servers=("$@")
[ "${#servers[@]}" -gt 0 ] || servers=(nginx lighttpd h2o http-server python-1.0 python-1.1 busybox apache)

rm -rf "$work"
mkdir -p "$www/update" "$www/files" "$www/cgi-bin" "$work/tmp"

# Download files: small text, compressible text (servers compress it), a
# binary, and a name with a space and Chinese characters.
printf 'Read me first.\r\n' >"$www/files/readme.txt"
head -c 400000 < <(yes 'compressible line of game data 0123456789') >"$www/files/data.txt" || true
head -c 1048576 /dev/urandom >"$www/files/blob.bin"
printf '中文 and spaces\n' >"$www/files/my file 中文.txt"
declare -A saved=([readme.txt]='out\readme.txt' [data.txt]='out\data.txt' [blob.bin]='out\blob.bin'
    ['my file 中文.txt']='out\中文.txt')

# The manifest names `base` as the download URL; a static server ignores the
# query string, so update/index.html answers /update/?id=0&v=0.
write_manifest() {
    local base=$1 name
    {
        printf '<?xml version="1.0" encoding="utf-8"?>\r\n<Update url="%s" version="2">\r\n' "$base"
        for name in "${!saved[@]}"; do
            printf '<File version="1" op="0" fname="%s" path="%s" size="%s"/>\r\n' \
                "$name" "${saved[$name]}" "$(stat -c %s "$www/files/$name")"
        done
        printf '</Update>\r\n'
    } >"$www/update/index.html"
}

# The CGI program of the busybox run: the file named by the query string,
# with a content type and nothing else, so the body ends with the connection.
cat >"$www/cgi-bin/get" <<CGI
#!/usr/bin/python3
import os, sys, urllib.parse
name = urllib.parse.unquote(os.environ.get("QUERY_STRING", ""))
with open(os.path.join("$www/files", os.path.basename(name)), "rb") as f:
    data = f.read()
sys.stdout.buffer.write(b"Content-Type: application/octet-stream\r\n\r\n" + data)
CGI
chmod +x "$www/cgi-bin/get"

server_pid=
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        for _ in $(seq 1 50); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}
trap stop_server EXIT

# A server started as root gives its workers to this user.
if [ "$(id -u)" = 0 ]; then run_as=nobody run_group=nogroup; else run_as=$(id -un) run_group=$(id -gn); fi

# Starts server `name` on `port` in the background: its process id goes to
# server_pid, the download base URL its manifest names to base.
start_server() {
    local name=$1 port=$2 conf=$work/$1
    mkdir -p "$conf"
    case $name in
    nginx)
        cat >"$conf/nginx.conf" <<EOF
worker_processes 1;
pid $conf/nginx.pid;
error_log $conf/error.log;
daemon off;
events { worker_connections 64; }
http {
    include /etc/nginx/mime.types;
    access_log off;
    client_body_temp_path $conf/body;
    proxy_temp_path $conf/proxy;
    fastcgi_temp_path $conf/fastcgi;
    uwsgi_temp_path $conf/uwsgi;
    scgi_temp_path $conf/scgi;
    gzip on;
    gzip_types text/plain;
    server { listen 127.0.0.1:$port; root $www; }
}
EOF
        nginx -p "$conf" -c "$conf/nginx.conf" -e "$conf/error.log" </dev/null >"$conf/log" 2>&1 &
        ;;
    lighttpd)
        cat >"$conf/lighttpd.conf" <<EOF
server.document-root = "$www"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$conf/error.log"
server.modules += ("mod_deflate")
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".txt" => "text/plain", ".bin" => "application/octet-stream")
deflate.mimetypes = ("text/")
deflate.allowed-encodings = ("deflate", "gzip")
EOF
        lighttpd -D -f "$conf/lighttpd.conf" </dev/null >"$conf/log" 2>&1 &
        ;;
    h2o)
        cat >"$conf/h2o.conf" <<EOF
listen:
  host: 127.0.0.1
  port: $port
error-log: $conf/error.log
user: $run_as
hosts:
  default:
    paths:
      /:
        file.dir: $www
        compress: ON
EOF
        h2o -c "$conf/h2o.conf" </dev/null >"$conf/log" 2>&1 &
        ;;
    http-server)
        "$npm_bin" "$www" -a 127.0.0.1 -p "$port" -s -c-1 \
            </dev/null >"$conf/log" 2>&1 &
        ;;
    python-1.0 | python-1.1)
        python3 - "$port" "$www" "${name#python-}" </dev/null >"$conf/log" 2>&1 <<'PY' &
import functools, http.server, sys
handler = http.server.SimpleHTTPRequestHandler
handler.protocol_version = "HTTP/" + sys.argv[3]
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])),
                                functools.partial(handler, directory=sys.argv[2])).serve_forever()
PY
        ;;
    busybox)
        busybox httpd -f -p "127.0.0.1:$port" -h "$www" </dev/null >"$conf/log" 2>&1 &
        ;;
    apache)
        local modules=/usr/lib/apache2/modules
        cat >"$conf/apache.conf" <<EOF
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile $conf/apache.pid
DefaultRuntimeDir $conf
ErrorLog $conf/error.log
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule dir_module $modules/mod_dir.so
LoadModule mime_module $modules/mod_mime.so
LoadModule alias_module $modules/mod_alias.so
User $run_as
Group $run_group
TypesConfig /etc/mime.types
DocumentRoot $www
<Directory $www>
    Require all granted
</Directory>
DirectoryIndex index.html
# The downloads moved: Apache builds the absolute target from the Host line.
Redirect /old/ /files/
EOF
        apache2 -f "$conf/apache.conf" -DFOREGROUND </dev/null >"$conf/log" 2>&1 &
        ;;
    *)
        echo "unknown server $name" >&2
        return 1
        ;;
    esac
    server_pid=$!
    case $name in
    busybox) base="http://127.0.0.1:$port/cgi-bin/get?" ;;
    apache) base="http://127.0.0.1:$port/old/" ;;
    *) base="http://127.0.0.1:$port/files/" ;;
    esac
}

version_of() {
    case $1 in
    nginx) nginx -v 2>&1 ;;
    lighttpd) lighttpd -v | head -1 ;;
    h2o) h2o --version | head -1 ;;
    http-server) echo "http-server $("$npm_bin" -v) on node $(node --version)" ;;
    python-*) python3 --version ;;
    busybox) busybox | head -1 ;;
    apache) apache2 -v | head -1 ;;
    esac
}

failed=0
for name in "${servers[@]}"; do
    port=$(kit_free_port)
    start_server "$name" "$port"
    write_manifest "$base"
    up=
    for _ in $(seq 1 100); do
        if curl -s -o /dev/null "http://127.0.0.1:$port/update/index.html"; then up=1; break; fi
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$up" ]; then
        echo "FAIL $name: the server did not come up:" && cat "$work/$name/"*log* 2>/dev/null | tail -5
        failed=1
        stop_server
        continue
    fi

    game=$work/game-$name
    mkdir -p "$game/Configs"
    code=0
    (cd "$game" && KIT_UPDATE_SERVER=127.0.0.1:$port timeout 180 \
        "$here/wine-run.sh" --build "$build" "$build/bin/UpdateTestHost.exe" >"$game/stdout.txt" 2>/dev/null) ||
        code=$?
    stop_server
    status=$(iconv -f GBK -t UTF-8 <"$game/stdout.txt" | tr -d '\r' | grep -v '^A=' | tail -1 || true)
    problems=()
    [ "$code" = 1 ] || problems+=("exit code $code")
    [ "$status" = "更新完成!" ] || problems+=("last status '$status'")
    for file in "${!saved[@]}"; do
        local_path=$game/$(echo "${saved[$file]}" | tr '\\' /)
        cmp -s "$www/files/$file" "$local_path" || problems+=("$file differs or is missing")
    done
    if [ "${#problems[@]}" -eq 0 ]; then
        echo "ok   $name ($(version_of "$name"))"
    else
        echo "FAIL $name ($(version_of "$name")): ${problems[*]}"
        failed=1
    fi
done
exit "$failed"
