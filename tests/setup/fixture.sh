# Shared fixture of the set-up tests; source it. scripts/setup.sh runs
# against a fake machine: apt-get, dpkg, dpkg-query, npm, localedef, sudo and
# systemctl first in PATH, apt's configuration and the dependency cache in a
# temporary folder. Nothing needs root or the network.
# shellcheck shell=bash
# The fakes' scripts are single-quoted: they expand when they run.
# shellcheck disable=SC2016
set -u
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
failures=0

# check NAME ACTUAL EXPECTED: one comparison, the actual value printed.
check() {
    if [ "$2" = "$3" ]; then return 0; fi
    echo "FAIL $1: got '$2', expected '$3'"
    failures=$((failures + 1))
}

# check_grep NAME PATTERN FILE / check_no_grep ...: FILE has (lacks) a line
# matching the extended regular expression PATTERN; the file is shown if not.
check_grep() {
    grep -qE -- "$2" "$3" && return 0
    echo "FAIL $1: no line matches '$2' in:"
    sed 's/^/    /' "$3"
    failures=$((failures + 1))
}
check_no_grep() {
    grep -qE -- "$2" "$3" || return 0
    echo "FAIL $1: a line matches '$2' in:"
    sed 's/^/    /' "$3"
    failures=$((failures + 1))
}

# finish: the test's exit status.
finish() {
    [ "$failures" -eq 0 ] && echo "all checks passed" && exit 0
    echo "$failures checks failed"
    exit 1
}

fake_write() {
    printf '#!/usr/bin/env bash\necho "%s $*" >>"$FAKE/calls"\n%s\n' "$1" "$2" >"$FAKE/bin/$1"
    chmod +x "$FAKE/bin/$1"
}

# fake_machine: a new fake machine in FAKE. Every package counts as
# installed except those in $FAKE/missing and i386 ones, which count only
# when listed in $FAKE/installed; $FAKE/arches holds the foreign
# architectures. apt-get follows these variables:
#   FAKE_UPDATE_FAILS=N   the first N updates fail
#   FAKE_INSTALL_FAILS=N  the first N installs fail to download
#   FAKE_BAD_INDEX=URL    every update fails on that index
#   FAKE_BROKEN="P..."    installing any of these fails as unresolvable
# Every call of a fake is logged in $FAKE/calls.
fake_machine() {
    [ -z "${FAKE:-}" ] || rm -rf "$FAKE"
    FAKE=$(mktemp -d)
    trap 'rm -rf "$FAKE"' EXIT
    export FAKE
    mkdir -p "$FAKE/bin" "$FAKE/apt/sources.list.d" "$FAKE/cache/fonts" "$FAKE/cache/npm/node_modules/.bin"
    : >"$FAKE/calls"
    : >"$FAKE/missing"
    : >"$FAKE/installed"
    : >"$FAKE/arches"
    : >"$FAKE/apt/sources.list.d/kit-deb-src.sources"
    : >"$FAKE/cache/fonts/wqy-microhei.ttc"
    printf '#!/bin/sh\n' >"$FAKE/cache/npm/node_modules/.bin/http-server"
    chmod +x "$FAKE/cache/npm/node_modules/.bin/http-server"
    fake_write apt-get '
case " $* " in
*" update "*)
    n=$(($(cat "$FAKE/updates" 2>/dev/null || echo 0) + 1))
    echo "$n" >"$FAKE/updates"
    if [ "$n" -le "${FAKE_UPDATE_FAILS:-0}" ]; then
        echo "E: Failed to fetch http://deb.example/debian/dists/bookworm/InRelease  Temporary failure resolving deb.example" >&2
        exit 100
    fi
    if [ -n "${FAKE_BAD_INDEX:-}" ]; then
        echo "E: Failed to fetch $FAKE_BAD_INDEX  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100
    fi ;;
*" install "*)
    n=$(($(cat "$FAKE/installs" 2>/dev/null || echo 0) + 1))
    echo "$n" >"$FAKE/installs"
    if [ "$n" -le "${FAKE_INSTALL_FAILS:-0}" ]; then
        echo "E: Failed to fetch http://deb.example/debian/pool/main/z/zstd.deb  Connection failed" >&2
        exit 100
    fi
    for p in "$@"; do
        case $p in -* | install | DPkg::*) continue ;; esac
        if [[ " ${FAKE_BROKEN:-} " = *" $p "* ]]; then
            echo "The following packages have unmet dependencies:"
            echo " $p : Depends: libfake-$p (= 1.0) but it is not going to be installed"
            echo "E: Unable to correct problems, you have held broken packages." >&2
            exit 100
        fi
    done
    for p in "$@"; do
        case $p in -* | install | DPkg::*) continue ;; esac
        echo "$p" >>"$FAKE/installed"
        sed -i "/^$p\$/d" "$FAKE/missing"
    done ;;
esac
exit 0'
    fake_write dpkg-query '
pkg=${!#}
if [ "${pkg#-}" != "$pkg" ]; then
    sed "s/\$/ install ok installed/" "$FAKE/installed"
    exit 0
fi
if grep -qx "$pkg" "$FAKE/installed" ||
    { [ "${pkg%:i386}" = "$pkg" ] && ! grep -qx "$pkg" "$FAKE/missing"; }; then
    printf "install ok installed"
else
    exit 1
fi'
    fake_write dpkg '
case $1 in
--print-foreign-architectures) cat "$FAKE/arches" ;;
--add-architecture) echo "$2" >>"$FAKE/arches" ;;
--remove-architecture)
    if grep -q ":$2\$" "$FAKE/installed"; then echo "dpkg: error: cannot remove architecture $2 currently in use by the database" >&2; exit 2; fi
    sed -i "/^$2\$/d" "$FAKE/arches" ;;
esac'
    fake_write sudo 'exec "$@"'
    fake_write systemctl ''
    fake_write npm ''
    fake_write localedef ''
}

# run_setup [ARG...]: scripts/setup.sh on the fake machine (variables set by
# the caller pass through); its output (both streams) in $FAKE/out, its exit
# status in $rc.
# shellcheck disable=SC2034
run_setup() {
    rc=0
    PATH=$FAKE/bin:$PATH KIT_DEPS_CACHE=$FAKE/cache KIT_APT_ETC=$FAKE/apt KIT_RETRY_DELAY=0 \
        bash "$repo/scripts/setup.sh" "$@" >"$FAKE/out" 2>&1 || rc=$?
}
