#!/usr/bin/env bash
# Demo of Vistrel.exe, called by `make demo` with the harness started:
#   demo-webpopup.sh BUILD_DIR [NATIVE_BUILD_DIR] [SHOT_DIR]
# 1. The sample parent (popupparent.exe) hosts the pop-up twice against a
#    local HTTP server: once its rule cancels the navigation, once it lets it
#    through; the parent prints each notification and the server its requests.
# 2. Vistrel.exe runs on its own for a screenshot of the skinned window: Wine
#    never draws a child window whose parent belongs to another process, so a
#    screenshot of the parent shows only the parent.
# Uses the user's DISPLAY when one is set and reachable (KIT_DEMO_DISPLAY=xvfb
# forces the harness's Xvfb display). Screenshots go into SHOT_DIR (by
# default BUILD_DIR).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shots=$(cd "${3:-$build}" && pwd)
bin=$build/bin
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
user_display=${DISPLAY:-}
# shellcheck disable=SC1091
. "$build/harness/env"
if [ -n "$user_display" ] && [ "${KIT_DEMO_DISPLAY:-}" != xvfb ] &&
    timeout 5 xwd -root -silent -display "$user_display" >/dev/null 2>&1; then
    export DISPLAY=$user_display
fi
# wine-run.sh would take the harness's display otherwise.
export KIT_DISPLAY=$DISPLAY
echo "display: $DISPLAY"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A loopback web server that logs each request line.
port=$(kit_free_port)
python3 - "$port" >"$work/server.log" 2>&1 <<'PY' &
import http.server, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        print("server: request " + self.requestline, flush=True)
        body = b"<html><head><title>Hello</title></head><body>Hello</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
PY
pids+=($!)
kit_wait_until 20 kit_port_open "$port" || { echo "demo-webpopup: the web server did not start" >&2; exit 1; }

# window_shown TITLE: a top-level window with that title is mapped.
window_shown() {
    xwininfo -name "$1" 2>/dev/null | grep -q 'Map State: IsViewable'
}
# painted FILE: a capture of the whole screen into FILE shows more than one
# colour, i.e. something has been drawn (a window is mapped before it paints).
painted() {
    import -window root "$1" && [ "$(identify -format '%k' "$1")" -gt 1 ]
}
# screenshot TITLE FILE: once the window shows and has painted, the whole
# screen into FILE; says why and fails when it does not within the waits.
failed=
screenshot() {
    if ! kit_wait_until 30 window_shown "$1"; then
        echo "demo-webpopup: no window \"$1\" appeared: no screenshot" >&2
        failed=1
    elif ! kit_wait_until 30 painted "$2"; then
        echo "demo-webpopup: the screen stayed one colour for 30 s after \"$1\" appeared: $2 shows nothing" >&2
        failed=1
    fi
}

run_parent() {
    local url=$1 shot=$2
    echo "--- popupparent --cancel /blocked $url"
    "$here/wine-run.sh" --build "$build" "$bin/popupparent.exe" --cancel /blocked --close-after 4000 "$url" \
        500 320 "Sample parent demo" >"$work/parent.out" 2>/dev/null &
    local parent=$!
    # The parent's own window; the pop-up inside it has the title given.
    [ -z "$shot" ] || screenshot "Popup parent" "$shot"
    wait "$parent" || true
    cat "$work/parent.out"
}

run_parent "http://127.0.0.1:$port/blocked/page" "$shots/webpopup-parent.png"
run_parent "http://127.0.0.1:$port/allowed/page" ""
kit_wait_until 10 grep -q allowed/page "$work/server.log" || true
if [ -s "$work/server.log" ]; then cat "$work/server.log"; else echo "server: no requests"; fi

echo "--- Vistrel.exe on its own, for the screenshot"
title="Vistrel demo: a skinned pop-up whose caption is far too long for the caption line, so it ends in an ellipsis"
"$here/wine-run.sh" --build "$build" "$bin/Vistrel.exe" "http://127.0.0.1:$port/allowed/page" 600 400 "$title" \
    >/dev/null 2>&1 &
popup=$!
pids+=("$popup")
screenshot "$title" "$shots/webpopup.png"
kill "$popup" 2>/dev/null || true
wait "$popup" 2>/dev/null || true
echo "screenshot of the parent: $shots/webpopup-parent.png"
echo "screenshot: $shots/webpopup.png"
[ -z "$failed" ] || exit 1
