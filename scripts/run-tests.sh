#!/usr/bin/env bash
# Runs every test of the kit through CTest under the harness, and stops the
# harness afterwards whatever happened, then the native Linux build's tests
# (publish). Exit status: the first failing CTest's.
set -uo pipefail
build=$(cd "${1:-build}" && pwd)
native=$(cd "${2:-$build/native}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
trap '"$here/harness.sh" stop "$build"' EXIT
"$here/harness.sh" start "$build" || exit 1
(cd "$build" && ctest --output-on-failure -j "${KIT_TEST_JOBS:-2}" --timeout 300)
cross=$?
(cd "$native" && ctest --output-on-failure -j "${KIT_TEST_JOBS:-2}" --timeout 300)
native_rc=$?
exit $((cross != 0 ? cross : native_rc))
