#!/usr/bin/env bash
# Pooled allocation against new/delete under Wine: bash scripts/bench-pool.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
cmake --build "$build" --target pool_bench >/dev/null
"$here/wine-run.sh" --build "$build" "$build/bin/pool_bench.exe"
