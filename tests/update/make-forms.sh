#!/usr/bin/env bash
# Makes the compressed-form fixtures of the update tests with Debian's zstd:
#   make-forms.sh OUTPUT_DIR
# base.bin and target.bin: two versions of a file differing in one line;
# target.zst: target.bin compressed; target.patch: a patch from base.bin.
set -euo pipefail
out=${1:?usage: make-forms.sh OUTPUT_DIR}
mkdir -p "$out"
cd "$out"
seq 1 50000 >base.bin
seq 1 50000 | sed 's/^25000$/changed/' >target.bin
zstd -q -f -19 target.bin -o target.zst
zstd -q -f -19 --patch-from=base.bin target.bin -o target.patch
touch stamp
