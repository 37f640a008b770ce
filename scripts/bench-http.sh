#!/usr/bin/env bash
# Download benchmark of the HTTP client: one large file from nginx on
# loopback into a file, with bench/http's http_bench.exe under Wine and with
# curl, alternating, in one run. Prints every run, then the client's
# throughput as a share of curl's and its peak memory.
#   scripts/bench-http.sh [BUILD_DIR]     (build first: make build)
# BENCH_SIZE_MB (default 512) and BENCH_ROUNDS (default 3) change the run.
# With BENCH_VERIFY=1 (scripts/bench-verify.sh) the client checks the file's
# SHA-256 while it downloads, and its peer is `curl -s URL | tee FILE | sha256sum`.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
size_mb=${BENCH_SIZE_MB:-512}
rounds=${BENCH_ROUNDS:-3}
bench_exe=$build/bin/http_bench.exe
kit_need_built "$bench_exe"
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/bench-http.XXXXXX)
cleanup() {
    [ -f "$work/nginx.pid" ] && nginx -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null || true
    "$here/harness.sh" stop "$build" || true
    rm -rf "$work"
}
trap cleanup EXIT
# nginx's workers run as an unprivileged user: they must reach the files.
chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp"
port=$(kit_free_port)
sed -e "s|@PREFIX@|$work|g" -e "s|@PORT@|$port|g" "$repo/bench/http/nginx.conf.in" > "$work/nginx.conf"
echo "making a $size_mb MiB file"
head -c "${size_mb}M" /dev/urandom > "$work/www/big.bin"
chmod 644 "$work/www/big.bin"
nginx -p "$work" -c "$work/nginx.conf"
url=http://127.0.0.1:$port/big.bin
expected=$(stat -c %s "$work/www/big.bin")
digest= peer=curl
if [ -n "${BENCH_VERIFY:-}" ]; then
    digest=$(sha256sum "$work/www/big.bin" | cut -d' ' -f1)
    peer="curl|tee|sha256sum"
fi
"$here/harness.sh" start "$build" >/dev/null

client_total=0 curl_total=0 peak_ws=0 peak_private=0
for round in $(seq 1 "$rounds"); do
    rm -f "$work/client.bin" "$work/curl.bin"
    line=$("$here/wine-run.sh" --build "$build" "$bench_exe" "$url" "$(kit_win_path "$work/client.bin")" $digest | tr -d '\r')
    echo "round $round client: $line"
    case $line in *result=ok*) ;; *) echo "client download failed" >&2; exit 1 ;; esac
    [ "$(stat -c %s "$work/client.bin")" = "$expected" ] || { echo "client file has the wrong size" >&2; exit 1; }
    cmp -s "$work/client.bin" "$work/www/big.bin" || { echo "client file differs" >&2; exit 1; }
    seconds=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
    ws=$(sed -n 's/.*peak_working_set_kb=\([0-9]*\).*/\1/p' <<<"$line")
    private=$(sed -n 's/.*peak_private_kb=\([0-9]*\).*/\1/p' <<<"$line")
    client_total=$(python3 -c "print($client_total + $seconds)")
    [ "$ws" -gt "$peak_ws" ] && peak_ws=$ws
    [ "$private" -gt "$peak_private" ] && peak_private=$private

    if [ -n "$digest" ]; then
        started=$(date +%s.%N)
        sum=$(curl -s "$url" | tee "$work/curl.bin" | sha256sum | cut -d' ' -f1)
        curl_seconds=$(python3 -c "print($(date +%s.%N) - $started)")
        bytes=$(stat -c %s "$work/curl.bin")
        [ "$sum" = "$digest" ] || { echo "pipeline digest differs" >&2; exit 1; }
    else
        read -r bytes curl_seconds < <(curl -s -o "$work/curl.bin" -w '%{size_download} %{time_total}\n' "$url")
    fi
    [ "$bytes" = "$expected" ] || { echo "curl download failed" >&2; exit 1; }
    echo "round $round curl:   bytes=$bytes seconds=$curl_seconds mbps=$(python3 -c "print(round($bytes/$curl_seconds/1048576, 1))")"
    curl_total=$(python3 -c "print($curl_total + $curl_seconds)")
done
python3 - "$expected" "$rounds" "$client_total" "$curl_total" "$peak_ws" "$peak_private" "$peer" <<'PY'
import sys
size, rounds, client, curl, ws, private = int(sys.argv[1]), int(sys.argv[2]), *map(float, sys.argv[3:7])
peer = sys.argv[7]
client_rate = size * rounds / client / 1048576
curl_rate = size * rounds / curl / 1048576
print(f"client {client_rate:.1f} MiB/s, {peer} {curl_rate:.1f} MiB/s: client at {100 * client_rate / curl_rate:.0f} % of {peer}")
print(f"client peak working set {ws / 1024:.1f} MiB, peak private memory {private / 1024:.1f} MiB")
PY
