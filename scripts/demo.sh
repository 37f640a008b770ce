#!/usr/bin/env bash
# The main job: runs each deliverable's demo under the harness in turn.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
trap '"$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build"
found=0
for demo in "$here"/demo-*.sh; do
    [ -e "$demo" ] || continue
    found=1
    echo "=== $(basename "$demo" .sh)"
    bash "$demo" "$build"
done
if [ "$found" = 0 ]; then
    echo "No demo yet: Update.exe, Cantorel.dll and Vistrel.exe build, and their demos are still to come."
fi
