#!/usr/bin/env bash
# scripts/setup.sh on fake machines: index updates that fail, packages that
# cannot be installed, and 32-bit Wine that is not to be had.
# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/fixture.sh"
i386_index=http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz

echo "--- the first update and the first two downloads fail, then they work"
fake_machine
echo zstd >"$FAKE/missing"
FAKE_UPDATE_FAILS=1 FAKE_INSTALL_FAILS=2 KIT_SETUP_RUNS32=no run_setup
check "exit status" "$rc" 0
check "updates" "$(cat "$FAKE/updates")" 2
check "installs" "$(cat "$FAKE/installs")" 3
check_grep "says so" 'apt-get update: succeeded at attempt 2' "$FAKE/out"
check_grep "says so" 'apt-get install: succeeded at attempt 2' "$FAKE/out"
check_grep "installed" '^zstd$' "$FAKE/installed"

echo "--- an index always fails, the packages install; no 32-bit code: an unused i386 goes"
fake_machine
echo zstd >"$FAKE/missing"
echo i386 >"$FAKE/arches"
FAKE_BAD_INDEX=$i386_index KIT_SETUP_RUNS32=no run_setup
check "exit status" "$rc" 0
check "updates" "$(cat "$FAKE/updates")" 4
check_grep "names the index" "^setup:   Failed to fetch $i386_index  File has unexpected size" "$FAKE/out"
check_grep "installed" '^zstd$' "$FAKE/installed"
check "architectures" "$(cat "$FAKE/arches")" ""
check_no_grep "no 32-bit Wine asked for" 'install.*wine32|add-architecture' "$FAKE/calls"

echo "--- a needed package cannot be installed"
fake_machine
printf 'zstd\nminisign\n' >"$FAKE/missing"
FAKE_BROKEN=minisign KIT_SETUP_RUNS32=no run_setup
check "exit status" "$rc" 1
check_grep "names the package and apt's reason" \
    '^setup: cannot install the needed minisign: .*minisign : Depends: libfake-minisign.*held broken packages' "$FAKE/out"
check_no_grep "names only that package" 'cannot install the needed .*zstd' "$FAKE/out"
check_no_grep "goes no further" 'setup: ready' "$FAKE/out"
check "an unresolvable package is not retried" "$(cat "$FAKE/installs")" 1

echo "--- 32-bit Wine cannot be installed: set-up goes on, and remembers"
fake_machine
FAKE_BAD_INDEX=$i386_index FAKE_BROKEN=wine32:i386 KIT_SETUP_RUNS32=yes run_setup
check "exit status" "$rc" 0
check_grep "says why" '^setup: cannot install the optional wine32:i386: .*held broken packages' "$FAKE/out"
check_grep "says what follows" 'the tests run the 64-bit build' "$FAKE/out"
check_grep "added i386 for it" 'dpkg --add-architecture i386' "$FAKE/calls"
check "architectures" "$(cat "$FAKE/arches")" ""
: >"$FAKE/calls"
FAKE_BAD_INDEX=$i386_index FAKE_BROKEN=wine32:i386 KIT_SETUP_RUNS32=yes run_setup
check "second run: exit status" "$rc" 0
check_no_grep "second run: no apt-get, no i386" 'apt-get|add-architecture' "$FAKE/calls"
run_setup --check
check_grep "--check says why" '32-bit Wine: not asked for \(it could not be installed within the last 24 h' "$FAKE/out"
touch -d '25 hours ago' "$FAKE/cache/wine32-unavailable"
run_setup --check
check_grep "a day later it tries again" '32-bit Wine: would install wine32:i386' "$FAKE/out"
touch "$FAKE/cache/wine32-unavailable"
FAKE_BROKEN=wine32:i386 KIT_SETUP_RUNS32=yes KIT_WINE32=yes run_setup
check "KIT_WINE32=yes: exit status" "$rc" 1
check_grep "KIT_WINE32=yes: names it" '^setup: cannot install the needed wine32:i386: .*held broken packages' "$FAKE/out"

echo "--- 32-bit Wine installs: as on any machine that runs 32-bit code"
fake_machine
KIT_SETUP_RUNS32=yes run_setup
check "exit status" "$rc" 0
check "architectures" "$(cat "$FAKE/arches")" i386
check_grep "installed" '^wine32:i386$' "$FAKE/installed"

echo "--- --check changes nothing"
fake_machine
printf 'zstd\nclang\n' >"$FAKE/missing"
rm "$FAKE/apt/sources.list.d/kit-deb-src.sources" "$FAKE/cache/fonts/wqy-microhei.ttc"
KIT_SETUP_RUNS32=no run_setup --check
check "exit status" "$rc" 0
check_grep "the packages" '^would install: zstd clang \(missing\)' "$FAKE/out"
check_grep "the source list" 'would add .*kit-deb-src.sources' "$FAKE/out"
check_grep "the font" 'would fetch fonts-wqy-microhei' "$FAKE/out"
check_no_grep "only looks" 'apt-get|dpkg --(add|remove)|npm|localedef|systemctl' "$FAKE/calls"
finish
