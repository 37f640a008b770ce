#!/usr/bin/env bash
# Makes the compressed-form fixtures of the update tests with Debian's zstd:
#   make-forms.sh OUTPUT_DIR
# base.bin and target.bin: two versions of a file differing in one line;
# target.zst: target.bin compressed; target.patch: a patch from base.bin;
# large-base.bin, large-target.bin (40 MiB, 1 MiB of it changed) and
# large.patch (its frame asks for a 40 MiB window), for the decoder's memory;
# large-target.sha256 its result's digest.
set -euo pipefail
out=${1:?usage: make-forms.sh OUTPUT_DIR}
mkdir -p "$out"
cd "$out"
seq 1 50000 >base.bin
seq 1 50000 | sed 's/^25000$/changed/' >target.bin
zstd -q -f -19 target.bin -o target.zst
zstd -q -f -19 --patch-from=base.bin target.bin -o target.patch
head -c 41943040 /dev/urandom >large-base.bin
cp large-base.bin large-target.bin
# 1 MiB of new bytes: the patch spans several of the decoder's input reads.
head -c 1048576 /dev/urandom | dd of=large-target.bin bs=1M seek=20 conv=notrunc status=none
zstd -q -f -1 --patch-from=large-base.bin large-target.bin -o large.patch
sha256sum large-target.bin | cut -c1-64 >large-target.sha256
touch stamp
