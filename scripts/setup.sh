#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) to build the kit for Windows and run
# its tests under Wine. Idempotent: with everything present it only checks.
#   setup.sh            installs what is missing
#   setup.sh --check    prints what it would install and why; changes nothing
# 32-bit Wine (wine32:i386) is optional: without it the tests run the 64-bit
# build (scripts/test-arch.sh). KIT_WINE32=auto (default) tries it where the
# kernel runs 32-bit code, and after a failed attempt not again for a day;
# KIT_WINE32=yes insists on it (a failure stops set-up), KIT_WINE32=no never
# asks for it. Network steps are retried (kit_retry in lib.sh).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"

packages=(
    gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    libz-mingw-w64-dev cmake make googletest
    wine wine64 xvfb xauth x11-apps x11-utils imagemagick
    locales dpkg-dev gcc python3
    nginx curl sox lame
    autoconf automake libtool g++
    libsodium-dev minisign
    lighttpd lighttpd-mod-deflate apache2 busybox h2o nodejs
    # zstd-compressed patches made by publish, and the tool that checks them
    libzstd-dev zstd
    # the fuzz targets: clang's libFuzzer and its runtime
    clang libclang-rt-14-dev
)
wine32_package=wine32:i386
# How long a failed attempt at 32-bit Wine keeps KIT_WINE32=auto from trying.
wine32_retry_hours=24

# kit_setup_decide RUNS32 I386_ARCH I386_PACKAGES WINE32_INSTALLED MODE RECENT_FAILURE
# The choice about 32-bit Wine from what the machine reports (each argument
# yes or no; MODE is KIT_WINE32: auto, yes or no). Prints one line:
#   WINE32 ARCH REASON...
# WINE32: have (installed), try (install if it can be), require (install or
# fail), skip. ARCH, for the i386 architecture: add, keep, remove, none. An
# i386 architecture nothing uses goes: its index alone can fail apt-get update.
kit_setup_decide() {
    local runs32=$1 arch=$2 i386_pkgs=$3 installed=$4 mode=$5 recent=$6 wine32 reason
    if [ "$installed" = yes ]; then
        wine32=have reason="32-bit Wine is installed"
    elif [ "$runs32" != yes ]; then
        wine32=skip reason="the kernel runs no 32-bit code"
    elif [ "$mode" = no ]; then
        wine32=skip reason="KIT_WINE32=no"
    elif [ "$mode" = yes ]; then
        wine32=require reason="KIT_WINE32=yes"
    elif [ "$recent" = yes ]; then
        wine32=skip reason="it could not be installed within the last $wine32_retry_hours h; KIT_WINE32=yes tries now"
    else
        wine32=try reason="the kernel runs 32-bit code"
    fi
    local action
    case $wine32:$arch:$i386_pkgs in
        have:*) action=keep ;;
        try:yes:* | require:yes:*) action=keep ;;
        try:* | require:*) action=add ;;
        skip:yes:yes) action=keep ;;
        skip:yes:*) action=remove ;;
        *) action=none ;;
    esac
    echo "$wine32 $action $reason"
}

# Sourced (by the tests) only for the function above.
if [ "${BASH_SOURCE[0]}" != "$0" ]; then return 0; fi

check=
case ${1:-} in
    --check) check=1 ;;
    "") ;;
    *) echo "usage: setup.sh [--check]" >&2; exit 2 ;;
esac
mode=${KIT_WINE32:-auto}
case $mode in auto | yes | no) ;; *) echo "setup: KIT_WINE32 must be auto, yes or no, not '$mode'" >&2; exit 2 ;; esac

cache=$(kit_deps_cache)
apt_etc=${KIT_APT_ETC:-/etc/apt}
wine32_marker=$cache/wine32-unavailable

run_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

yes_no() { if "$@"; then echo yes; else echo no; fi; }

# What the machine reports. KIT_SETUP_RUNS32 (yes or no) stands in for the
# kernel's answer in tests.
runs32=${KIT_SETUP_RUNS32:-$( [ "$(bash "$here/test-arch.sh" --kernel)" = i686 ] && echo yes || echo no)}
i386_arch=$(yes_no eval 'dpkg --print-foreign-architectures | grep -qx i386')
installed_i386() {
    dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' 2>/dev/null |
        sed -n 's/^\([^ ]*:i386\) install ok installed$/\1/p'
}
i386_list=$(installed_i386)
i386_pkgs=$( [ -n "$i386_list" ] && echo yes || echo no)
wine32_installed=$(yes_no is_installed "$wine32_package")
recent=no
if [ -n "$(find "$wine32_marker" -mmin -$((wine32_retry_hours * 60)) 2>/dev/null)" ]; then recent=yes; fi
read -r wine32 arch_action wine32_reason < <(kit_setup_decide "$runs32" "$i386_arch" "$i386_pkgs" \
    "$wine32_installed" "$mode" "$recent")

missing=()
for p in "${packages[@]}"; do
    is_installed "$p" || missing+=("$p")
done
# Some node builds bring npm along; Debian's nodejs needs its npm package.
command -v npm >/dev/null 2>&1 || missing+=(npm)
src_list=$apt_etc/sources.list.d/kit-deb-src.sources
font=$cache/fonts/wqy-microhei.ttc
npm_dir=$cache/npm
has_locale() { locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; }

if [ -n "$check" ]; then
    echo "kernel runs 32-bit code: $runs32; i386 architecture: $i386_arch; i386 packages installed: ${i386_list:-none}"
    case $wine32 in
        have) echo "32-bit Wine: installed; the tests run the 32-bit build" ;;
        skip) echo "32-bit Wine: not asked for ($wine32_reason); the tests run the 64-bit build" ;;
        try) echo "32-bit Wine: would install $wine32_package ($wine32_reason); if it cannot be, the tests run the 64-bit build" ;;
        require) echo "32-bit Wine: would install $wine32_package ($wine32_reason); set-up fails if it cannot be" ;;
    esac
    case $arch_action in
        add) echo "i386 architecture: would add it, for $wine32_package" ;;
        remove) echo "i386 architecture: would remove it (no i386 package installed, 32-bit Wine not asked for)" ;;
    esac
    if [ "${#missing[@]}" -gt 0 ]; then echo "would install: ${missing[*]} (missing)"; else echo "packages: all installed"; fi
    [ -f "$src_list" ] || echo "would add $src_list (deb-src entries for apt-get source)"
    has_locale || echo "would make the zh_CN.UTF-8 locale"
    [ -x "$npm_dir/node_modules/.bin/http-server" ] || echo "would install http-server with npm into $npm_dir"
    [ -f "$font" ] || echo "would fetch fonts-wqy-microhei into $font"
    exit 0
fi

# apt_get LOG ARGS...: apt-get as root, its output (both streams) in LOG.
apt_get() {
    local log=$1
    shift
    DEBIAN_FRONTEND=noninteractive run_as_root apt-get "$@" >"$log" 2>&1
}

# apt_reason LOG: apt's explanation in LOG on one line: the first lines
# naming unmet dependencies (there can be dozens) and its error lines.
apt_reason() {
    { grep -E '^ *[^ ]+ : ' "$1" | head -n 3; grep '^E: ' "$1" | grep -v 'Some index files failed'; } |
        sed 's/^ *//' | paste -sd ';' - | sed 's/;/; /g'
}

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# update_indexes: apt-get update, retried; when an index still fails, set-up
# goes on with the others (whether the packages install decides) and says
# which one failed.
update_tries=0
update_once() { update_tries=$((update_tries + 1)); apt_get "$logs/update.$update_tries" update -qq; }
update_indexes() {
    if ! kit_retry "setup: apt-get update" update_once; then
        local log=$logs/update.$update_tries
        echo "setup: some package indexes still fail after $update_tries attempts; going on without them:" >&2
        grep -E '^[EW]: Failed to fetch' "$log" | sed 's/^[EW]: /setup:   /' >&2 || sed 's/^/setup:   /' "$log" >&2
        index_failed=1
    fi
}

# install_packages WHAT PACKAGE...: apt-get install, retried when a download
# failed (not when apt cannot resolve them). Prints one message naming the
# packages that apt could not install and why.
install_tries=0
install_once() {
    install_tries=$((install_tries + 1))
    # Another set-up may be installing at the same time: wait for it.
    apt_get "$logs/install.$install_tries" install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "$@"
}
install_packages() {
    local what=$1
    shift
    install_once "$@" && return 0
    if grep -qE 'Failed to fetch|Unable to fetch|Temporary failure|Could not (connect|resolve)' \
        "$logs/install.$install_tries"; then
        kit_retry "setup: apt-get install" install_once "$@" && return 0
    fi
    local named=() p reason log=$logs/install.$install_tries
    reason=$(apt_reason "$log")
    for p in "$@"; do
        grep -qE "(^|[ '\"])${p//./\\.}( |'|\"|:|$)" <<<"$reason" && named+=("$p")
    done
    [ "${#named[@]}" -gt 0 ] || named=("$@")
    echo "setup: cannot install $what ${named[*]}: ${reason:-apt-get install failed, see its output below}" >&2
    [ -n "$reason" ] || sed 's/^/setup:   /' "$log" >&2
    [ -z "${index_failed:-}" ] || echo "setup: (some package indexes failed to update, see above)" >&2
    return 1
}

if [ "$arch_action" = add ]; then
    echo "setup: adding the i386 architecture for $wine32_package ($wine32_reason)"
    run_as_root dpkg --add-architecture i386
    need_update=1
fi
# An i386 index nothing uses can only make apt-get update fail.
remove_i386() {
    echo "setup: removing the i386 architecture: no i386 package is installed"
    run_as_root dpkg --remove-architecture i386 ||
        echo "setup: dpkg kept the i386 architecture (see above); apt-get update may fail on its index" >&2
}
[ "$arch_action" != remove ] || remove_i386

# A deb-src entry mirroring the machine's own Debian sources, so that
# `apt-get source` can fetch LAME and libsodium (cross-built while CMake
# configures, see cmake/Dependencies.cmake) and pugixml for the benchmark.
if [ ! -f "$src_list" ]; then
    tmp=$(mktemp)
    for f in "$apt_etc"/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$src_list" ] && continue
        grep -q '^URIs:.*debian' "$f" || continue
        sed -e 's/^Types:.*/Types: deb-src/' "$f" >>"$tmp"
        echo >>"$tmp"
    done
    if [ -f "$apt_etc/sources.list" ]; then
        sed -n -e 's/^deb \(.*debian.*\)$/deb-src \1/p' "$apt_etc/sources.list" >"$tmp.list"
        if [ -s "$tmp.list" ]; then
            run_as_root cp "$tmp.list" "$apt_etc/sources.list.d/kit-deb-src.list"
        fi
        rm -f "$tmp.list"
    fi
    run_as_root cp "$tmp" "$src_list"
    rm -f "$tmp"
    need_update=1
fi

want_wine32=
case $wine32 in try | require) want_wine32=1 ;; esac
if [ "${#missing[@]}" -gt 0 ] || [ -n "$want_wine32" ] || [ -n "${need_update:-}" ]; then
    echo "setup: updating the package indexes${missing[*]:+, installing ${missing[*]}}${want_wine32:+, trying $wine32_package}"
    update_indexes
    if [ "${#missing[@]}" -gt 0 ]; then
        install_packages "the needed" "${missing[@]}" || exit 1
    fi
fi

if [ -n "$want_wine32" ]; then
    if install_packages "the $([ "$wine32" = require ] && echo needed || echo optional)" "$wine32_package" \
        2>"$logs/wine32.err"; then
        rm -f "$wine32_marker"
    elif [ "$wine32" = require ]; then
        cat "$logs/wine32.err" >&2
        exit 1
    else
        grep -v '^setup: apt-get install:' "$logs/wine32.err" >&2 || true
        echo "setup: going on without 32-bit Wine: the tests run the 64-bit build (build/x64)." \
            "Set-up tries again after $wine32_retry_hours h or with KIT_WINE32=yes; KIT_WINE32=no stops asking." >&2
        mkdir -p "$cache"
        cp "$logs/wine32.err" "$wine32_marker"
        [ -n "$(installed_i386)" ] || remove_i386
    fi
fi

# Wine takes its ANSI code page from LC_ALL; the locale must really exist for
# code page 936 and for file names holding Chinese characters.
has_locale || run_as_root localedef -i zh_CN -f UTF-8 zh_CN.UTF-8

# The web servers are started by the demo, the benchmarks and the
# real-servers test with their own configs, never as services.
if command -v systemctl >/dev/null 2>&1; then
    run_as_root systemctl disable --now nginx lighttpd apache2 h2o >/dev/null 2>&1 || true
fi

# node's http-server for the real-servers test, in the shared cache.
if [ ! -x "$npm_dir/node_modules/.bin/http-server" ]; then
    mkdir -p "$npm_dir"
    kit_retry "setup: npm install http-server" \
        npm install --prefix "$npm_dir" --no-audit --no-fund --silent http-server@14 ||
        { echo "setup: cannot install http-server with npm (see npm's messages above)" >&2; exit 1; }
fi

# A Chinese font for the update demo's own Wine prefix (demo-update.sh): the
# lobby's status text needs one, but installed system-wide a CJK font changes
# what the tests' windows paint. Only the font file is kept from the package.
if [ ! -f "$font" ]; then
    tmp=$(mktemp -d)
    # As root apt-get hands the download to its sandbox user, who may not
    # write into our folder; lists may be missing where nothing was installed.
    download() { (cd "$tmp" && apt-get download -qq -o APT::Sandbox::User=root fonts-wqy-microhei); }
    download 2>/dev/null || { update_indexes; kit_retry "setup: apt-get download fonts-wqy-microhei" download; } ||
        { echo "setup: cannot fetch the font package fonts-wqy-microhei (see apt's messages above)" >&2; exit 1; }
    dpkg-deb -x "$tmp"/fonts-wqy-microhei_*.deb "$tmp/deb"
    mkdir -p "$(dirname "$font")"
    # Another set-up may fetch it at the same time: the rename is atomic.
    cp "$tmp/deb/usr/share/fonts/truetype/wqy/wqy-microhei.ttc" "$font.$$"
    mv -f "$font.$$" "$font"
    rm -rf "$tmp"
fi
echo "setup: ready"
