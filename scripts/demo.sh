#!/usr/bin/env bash
# The main job: a whole update run against a local update server, then the
# sound library's and the pop-up's demos, all under the harness.
#   demo.sh BUILD_DIR NATIVE_BUILD_DIR [SHIPPED_BUILD_DIR]
# NATIVE_BUILD_DIR is the Linux build of publish; the lobby's screenshot goes
# into SHIPPED_BUILD_DIR (by default BUILD_DIR), the top build folder even
# when the demo runs the 64-bit test build inside it.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
native=$(cd "${2:-build/native}" && pwd)
shipped=$(cd "${3:-$build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
trap '"$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build"
for part in update sound webpopup; do
    echo "=== demo-$part"
    bash "$here/demo-$part.sh" "$build" "$native" "$shipped"
done
