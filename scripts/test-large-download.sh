#!/usr/bin/env bash
# Downloads a body of just over 4 GiB from the scripted server to disk with
# the HTTP client and checks the byte count, the progress reports and the
# file. Not part of `make test`: it writes 4 GiB and takes minutes under Wine.
#   test-large-download.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
status=0
"$here/wine-run.sh" --build "$build" "$build/bin/netclient_tests.exe" --gtest_also_run_disabled_tests \
    --gtest_filter='*DownloadBeyondFourGibibytes*' || status=$?
"$here/harness.sh" stop "$build"
exit "$status"
