#!/usr/bin/env bash
# The main job: a whole update run against a local update server, then the
# sound library's and the pop-up's demos, all under the harness.
#   demo.sh BUILD_DIR NATIVE_BUILD_DIR   (the Linux build of publish)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
native=$(cd "${2:-build/native}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
trap '"$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build"
for part in update sound webpopup; do
    echo "=== demo-$part"
    bash "$here/demo-$part.sh" "$build" "$native"
done
