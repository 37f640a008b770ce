#!/usr/bin/env bash
# Set-up's choice about 32-bit Wine and the i386 architecture, as a function
# of what the machine reports.
# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/fixture.sh"
# shellcheck source=../../scripts/setup.sh
. "$repo/scripts/setup.sh"

# runs32 arch i386-packages wine32-installed KIT_WINE32 recent-failure -> wine32 arch
while read -r runs32 arch pkgs installed mode recent want_wine32 want_arch; do
    case $runs32 in "" | "#"*) continue ;; esac
    read -r wine32 action _ < <(kit_setup_decide "$runs32" "$arch" "$pkgs" "$installed" "$mode" "$recent")
    check "$runs32 $arch $pkgs $installed $mode $recent" "$wine32 $action" "$want_wine32 $want_arch"
done <<'TABLE'
# A kernel without 32-bit code: never i386, and an unused i386 goes.
no  no  no  no  auto no  skip    none
no  yes no  no  auto no  skip    remove
no  yes yes no  auto no  skip    keep
no  no  no  no  yes  no  skip    none
# 32-bit code runs: as before, 32-bit Wine is asked for.
yes no  no  no  auto no  try     add
yes yes no  no  auto no  try     keep
yes yes yes yes auto no  have    keep
yes yes yes yes no   yes have    keep
# A failed attempt within the last day, or KIT_WINE32=no: not asked for.
yes yes no  no  auto yes skip    remove
yes no  no  no  auto yes skip    none
yes yes yes no  auto yes skip    keep
yes yes no  no  no   no  skip    remove
# KIT_WINE32=yes insists, even right after a failure.
yes no  no  no  yes  yes require add
yes yes no  no  yes  no  require keep
TABLE
finish
