#!/usr/bin/env bash
# Runs every fuzz target (fuzz/) for SECONDS each (default 60), one after
# the other, from its seed corpus; what a run finds new goes into a working
# corpus in NATIVE_BUILD/fuzz-work/<target>, never into the committed seeds.
# Prints each target's executions and coverage (libFuzzer's last "DONE"
# line); a crash leaves its input in the working folder and fails the script.
# Usage: scripts/fuzz.sh [SECONDS] [NATIVE_BUILD]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=${1:-60}
native=${2:-$root/build/native}

[ -f "$native/CMakeCache.txt" ] || cmake -S "$root/cmake/native" -B "$native" >/dev/null
cmake --build "$native" --target kit_fuzz -j 2 >/dev/null
native=$(cd "$native" && pwd)
targets=$(sed -n 's/^set(KIT_FUZZ_TARGETS \(.*\))$/\1/p' "$root/fuzz/Targets.cmake")

failed=0
for target in $targets; do
    work=$native/fuzz-work/$target
    mkdir -p "$work"
    log=$work/last-run.log
    # One process, no forks: the machine's cores are shared. Inputs stay
    # small, so that most time goes to new ones; the large pathological seeds
    # are run whole by the regression run of make test.
    if (cd "$work" && "$native/fuzz/bin/fuzz_$target" "$work" "$root/fuzz/corpus/$target" \
            -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -print_final_stats=1 >"$log" 2>&1); then
        echo "$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
    else
        echo "$target: FAILED (see $log; the input that failed is in $work)"
        grep -E 'ERROR|SUMMARY' "$log" | head -n 3 || true
        failed=1
    fi
done
exit $failed
