#!/usr/bin/env bash
# The test harness around Wine: a private prefix inside the build folder, a
# private Xvfb display, an ALSA null audio device, the zh_CN.UTF-8 locale
# (ANSI code page 936) and one persistent wine server for a whole test run.
#
#   harness.sh start BUILD_DIR   idempotent; writes BUILD_DIR/harness/env
#   harness.sh stop BUILD_DIR    stops the wine server and the display
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/lib.sh"

cmd=${1:?usage: harness.sh start|stop BUILD_DIR}
build=$(mkdir -p "${2:?usage: harness.sh start|stop BUILD_DIR}" && cd "$2" && pwd)
state=$build/harness
env_file=$state/env
mkdir -p "$state"

alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

start_display() {
    local n
    for n in $(seq 90 160); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset \
            </dev/null >"$state/xvfb.log" 2>&1 9>&- &
        local pid=$!
        for _ in $(seq 1 100); do
            # Another harness may have raced us to this display: the lock
            # file names the server that owns it.
            if [ -S "/tmp/.X11-unix/X$n" ] && alive "$pid" &&
                [ "$(tr -d ' ' <"/tmp/.X$n-lock" 2>/dev/null)" = "$pid" ]; then
                echo "$n $pid"
                return 0
            fi
            alive "$pid" || break
            sleep 0.05
        done
        kill "$pid" 2>/dev/null || true
    done
    echo "harness: no free X display" >&2
    return 1
}

write_alsa_config() {
    mkdir -p "$state/home"
    # The null device takes whatever is played, faster than real time; tests
    # that need pacing or the played bytes bring their own HOME.
    cat >"$state/home/.asoundrc" <<'ALSA'
pcm.!default { type null }
ctl.!default { type hw card 0 }
ALSA
}

do_start() {
    if [ -f "$env_file" ]; then
        # shellcheck disable=SC1090
        . "$env_file"
        if alive "${KIT_XVFB_PID:-}"; then return 0; fi
        rm -f "$env_file"
    fi
    read -r display xvfb_pid < <(start_display)
    # A start that fails half-way must not leave its display running.
    trap 'kill "$xvfb_pid" 2>/dev/null || true; rm -f "$env_file.tmp"' EXIT
    write_alsa_config
    # A 64-bit build runs under Wine's 64-bit loader in a 64-bit prefix.
    local arch loader=wine loader_line=
    arch=$(cat "$state/wine-arch" 2>/dev/null || echo win32)
    if [ "$arch" = win64 ]; then
        loader=/usr/lib/wine/wine64
        loader_line="export WINELOADER=$loader"
    fi
    cat >"$env_file.tmp" <<ENV
export WINEPREFIX='$build/wine-prefix'
export WINEARCH=$arch
export KIT_WINE=$loader
$loader_line
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='
export DISPLAY=':$display'
export HOME='$state/home'
export LC_ALL=zh_CN.UTF-8
export KIT_XVFB_PID=$xvfb_pid
ENV
    # shellcheck disable=SC1090
    . "$env_file.tmp"
    kit_make_prefix "$WINEPREFIX" "$state/wineboot.log"
    # Daemons must not hold the lock or the caller's output open.
    wineserver -w 2>/dev/null 9>&- || true
    wineserver -p </dev/null >"$state/wineserver.log" 2>&1 9>&-
    "$KIT_WINE" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    mv "$env_file.tmp" "$env_file"
    trap - EXIT
}

do_stop() {
    [ -f "$env_file" ] || return 0
    # shellcheck disable=SC1090
    . "$env_file"
    # WINEPREFIX is set by the env file: never act on the user's own prefix.
    wineserver -k 2>/dev/null 9>&- || true
    wineserver -w 2>/dev/null 9>&- || true
    if alive "${KIT_XVFB_PID:-}"; then kill "$KIT_XVFB_PID" 2>/dev/null || true; fi
    rm -f "$env_file"
}

exec 9>"$state/lock"
flock 9
case "$cmd" in
start) do_start ;;
stop) do_stop ;;
*) echo "usage: harness.sh start|stop BUILD_DIR" >&2; exit 2 ;;
esac
