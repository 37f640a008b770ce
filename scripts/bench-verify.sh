#!/usr/bin/env bash
# Download with SHA-256 verification, as the updater does for a download
# item with "sha256": 512 MiB from nginx on loopback by http_bench.exe under
# Wine, against `curl -s URL | tee FILE | sha256sum`, alternating.
#   scripts/bench-verify.sh [BUILD_DIR]   (BENCH_SIZE_MB, BENCH_ROUNDS as in bench-http.sh)
BENCH_VERIFY=1 exec "$(dirname "$0")/bench-http.sh" "$@"
