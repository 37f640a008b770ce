#!/usr/bin/env bash
# Benchmark of `publish release` on a game folder of 10,000 files / 1 GB,
# against sha256sum over the same folder, alternating in one run (page cache
# warm for both). Two kinds of release: into an empty site (hash, copy into
# the store, which hashes again to catch files changing underneath) and into
# a site whose store has every file already (hashing only, the fair match for
# sha256sum). Prints every run, then the ratios.
#   scripts/bench-publish.sh [BUILD_DIR]     (build first: make build)
# BENCH_FILES (default 10000), BENCH_FILE_KB (default 100) and BENCH_ROUNDS
# (default 3) change the run.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
files=${BENCH_FILES:-10000}
file_kb=${BENCH_FILE_KB:-100}
rounds=${BENCH_ROUNDS:-3}
publish=$build/native/bin/publish
[ -x "$publish" ] || { echo "missing $publish: build first" >&2; exit 1; }

work=$(mktemp -d /tmp/bench-publish.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "making $files files of $file_kb KB in 100 folders"
python3 - "$work/game" "$files" "$file_kb" <<'PY'
import os, sys
root, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) * 1000
for i in range(count):
    folder = os.path.join(root, "data%02d" % (i % 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%05d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
PY
bytes=$(find "$work/game" -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
"$publish" keygen "$work/key" >/dev/null

calc() { awk "BEGIN { printf \"%.3f\", $* }"; }
seconds() { calc "$(date +%s.%N) - $1"; }
rate() { awk "BEGIN { printf \"%.1f\", $bytes / $1 / 1000000 }"; }
sum_total=0 empty_total=0 stored_total=0
for round in $(seq 1 "$rounds"); do
    start=$(date +%s.%N)
    (cd "$work/game" && find . -type f -print0 | xargs -0 sha256sum >/dev/null)
    t_sum=$(seconds "$start")

    rm -rf "$work/site"
    start=$(date +%s.%N)
    "$publish" release "$work/site" --game 1 --version 1 --to "$work/game" \
        --base-url http://h/ --key "$work/key" >/dev/null
    t_empty=$(seconds "$start")

    rm -f "$work/site/update/1.xml"
    start=$(date +%s.%N)
    "$publish" release "$work/site" --game 1 --version 1 --to "$work/game" \
        --base-url http://h/ --key "$work/key" >/dev/null
    t_stored=$(seconds "$start")

    printf 'round %d: sha256sum %.2f s (%s MB/s), release into an empty site %.2f s (%s MB/s), into a filled store %.2f s (%s MB/s)\n' \
        "$round" "$t_sum" "$(rate "$t_sum")" "$t_empty" "$(rate "$t_empty")" "$t_stored" "$(rate "$t_stored")"
    sum_total=$(calc "$sum_total + $t_sum")
    empty_total=$(calc "$empty_total + $t_empty")
    stored_total=$(calc "$stored_total + $t_stored")
done
printf 'tree: %d files, %d bytes\n' "$files" "$bytes"
printf 'mean: sha256sum %.2f s, release into an empty site %.2f s, into a filled store %.2f s\n' \
    "$(calc "$sum_total / $rounds")" "$(calc "$empty_total / $rounds")" "$(calc "$stored_total / $rounds")"
printf 'hashing throughput against sha256sum: %.2f (filled store), whole release into an empty site: %.2f\n' \
    "$(calc "$sum_total / $stored_total")" "$(calc "$sum_total / $empty_total")"
