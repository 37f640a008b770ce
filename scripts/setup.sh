#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) to build the kit for Windows and run
# its tests under Wine. Idempotent: with everything present it only checks.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
cache=$(kit_deps_cache)

packages=(
    gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    libz-mingw-w64-dev cmake make googletest
    wine wine32:i386 wine64 xvfb xauth x11-apps x11-utils imagemagick
    locales dpkg-dev gcc python3
    nginx curl sox lame
    autoconf automake libtool g++
    libsodium-dev minisign
    lighttpd lighttpd-mod-deflate apache2 busybox h2o nodejs
)

run_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    run_as_root dpkg --add-architecture i386
    need_update=1
fi

# A deb-src entry mirroring the machine's own Debian sources, so that
# `apt-get source` can fetch LAME and libsodium (cross-built while CMake
# configures, see cmake/Dependencies.cmake) and pugixml for the benchmark.
src_list=/etc/apt/sources.list.d/kit-deb-src.sources
if [ ! -f "$src_list" ]; then
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$src_list" ] && continue
        grep -q '^URIs:.*debian' "$f" || continue
        sed -e 's/^Types:.*/Types: deb-src/' "$f" >>"$tmp"
        echo >>"$tmp"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n -e 's/^deb \(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list >"$tmp.list"
        if [ -s "$tmp.list" ]; then
            run_as_root cp "$tmp.list" /etc/apt/sources.list.d/kit-deb-src.list
        fi
        rm -f "$tmp.list"
    fi
    run_as_root cp "$tmp" "$src_list"
    rm -f "$tmp"
    need_update=1
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
    echo "setup: installing ${missing[*]:-(source lists only)}"
    run_as_root apt-get update -qq
    if [ "${#missing[@]}" -gt 0 ]; then
        # Another set-up may be installing at the same time: wait for it.
        DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq \
            -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}" >/dev/null
    fi
fi

# Wine takes its ANSI code page from LC_ALL; the locale must really exist for
# code page 936 and for file names holding Chinese characters.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    run_as_root localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi

# Some node builds bring npm along; Debian's nodejs needs its npm package.
if ! command -v npm >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive run_as_root apt-get install -y -qq --no-install-recommends npm >/dev/null
fi

# The web servers are started by the demo, the benchmarks and the
# real-servers test with their own configs, never as services.
if command -v systemctl >/dev/null 2>&1; then
    run_as_root systemctl disable --now nginx lighttpd apache2 h2o >/dev/null 2>&1 || true
fi

# node's http-server for the real-servers test, in the shared cache.
npm_dir=$cache/npm
if [ ! -x "$npm_dir/node_modules/.bin/http-server" ]; then
    mkdir -p "$npm_dir"
    npm install --prefix "$npm_dir" --no-audit --no-fund --silent http-server@14
fi

# A Chinese font for the update demo's own Wine prefix (demo-update.sh): the
# lobby's status text needs one, but installed system-wide a CJK font changes
# what the tests' windows paint. Only the font file is kept from the package.
font=$cache/fonts/wqy-microhei.ttc
if [ ! -f "$font" ]; then
    tmp=$(mktemp -d)
    # As root apt-get hands the download to its sandbox user, who may not
    # write into our folder; lists may be missing where nothing was installed.
    download() { (cd "$tmp" && apt-get download -qq -o APT::Sandbox::User=root fonts-wqy-microhei); }
    download || { run_as_root apt-get update -qq && download; }
    dpkg-deb -x "$tmp"/fonts-wqy-microhei_*.deb "$tmp/deb"
    mkdir -p "$(dirname "$font")"
    # Another set-up may fetch it at the same time: the rename is atomic.
    cp "$tmp/deb/usr/share/fonts/truetype/wqy/wqy-microhei.ttc" "$font.$$"
    mv -f "$font.$$" "$font"
    rm -rf "$tmp"
fi
echo "setup: ready"
