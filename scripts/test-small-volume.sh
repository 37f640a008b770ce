#!/usr/bin/env bash
# The updater's disk-space check on a really small volume: mounts a tmpfs
# of 8 MiB (root, or a user allowed to mount, as on the CI machines) and
# runs update_space_tests.exe with its game folder there. Exit 77 (CTest's
# skip) with the reason when no volume can be mounted here.
#   test-small-volume.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: test-small-volume.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
volume=$build/small-volume
mkdir -p "$volume"
mountpoint -q "$volume" && umount "$volume"
if ! error=$(mount -t tmpfs -o size=8m,mode=0777 tmpfs "$volume" 2>&1); then
    echo "SKIPPED: cannot mount a tmpfs of 8 MiB on $volume here: $error"
    exit 77
fi
trap 'umount "$volume"' EXIT
KIT_SMALL_VOLUME=$(kit_win_path "$volume") "$here/wine-run.sh" --build "$build" "$build/bin/update_space_tests.exe"
