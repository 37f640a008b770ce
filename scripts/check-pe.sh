#!/usr/bin/env bash
# check-pe.sh OBJDUMP FILE...: each file is a PE32 image for i386 whose
# import table names no MinGW runtime DLL (nor zlib1.dll, which must be
# linked statically). Update.exe must be large-address-aware: it maps a
# patch's base and result whole. Prints what it found for each file.
set -uo pipefail
objdump=$1
shift
status=0
for f in "$@"; do
    head=$("$objdump" -f "$f" 2>&1)
    private=$("$objdump" -p "$f" 2>&1)
    imports=$(echo "$private" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
    echo "$(basename "$f"): $(echo "$head" | sed -n 's/.*file format //p'); imports: $imports"
    if ! echo "$head" | grep -q 'file format pei-i386'; then
        echo "  FAIL: not a PE32 i386 image"
        status=1
    fi
    if echo "$imports" | grep -qiE 'libgcc|libstdc|libwinpthread|zlib1|libz'; then
        echo "  FAIL: imports a MinGW runtime or zlib DLL"
        status=1
    fi
    if [ "$(basename "$f")" = Update.exe ] && ! grep -q 'large address aware' <<<"$private"; then
        echo "  FAIL: not large-address-aware"
        status=1
    fi
done
exit $status
