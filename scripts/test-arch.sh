#!/usr/bin/env bash
# Prints the width of Windows build the tests run: i686 where the kernel
# runs 32-bit programs itself (and so 32-bit Wine), x86_64 where it does
# not (some virtual machines run 64-bit user code only) or where 32-bit Wine
# is not installed (set-up may not get it: its i386 packages come from an
# index of their own, which a mirror can have out of step). An emulator
# registered for 32-bit programs does not count: 32-bit Wine fails under it.
# With --kernel, only what the kernel runs counts (set-up's question: is
# 32-bit Wine worth installing here?).
set -u
if [ "${1:-}" != --kernel ] && [ ! -x "${KIT_WINE32_LOADER:-/usr/lib/wine/wine}" ]; then
    echo x86_64
    exit 0
fi
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] &&
    grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    echo x86_64
    exit 0
fi
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
# A static 32-bit program of 96 bytes that exits with 42 (int 0x80).
printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
if [ $? -eq 42 ]; then echo i686; else echo x86_64; fi
