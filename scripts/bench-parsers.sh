#!/usr/bin/env bash
# Linearity benchmark of the readers of unauthenticated input: input size
# against time, the size doubling from row to row. A reader linear in its
# input takes about twice as long per row ("x2" columns near 2; a quadratic
# one shows 4).
#  - The XML reader on its pathological shapes (leaves meeting same-named
#    attributes, an '='-heavy tag, many duplicate attributes), CXMLConfig
#    against pugixml built with the same compiler, both under the harness's
#    Wine (bench_xml.exe; pugixml refuses the malformed shapes, timed the same).
#  - The signature block reader (a whole check of a signed manifest, and a
#    refused body of line ends), bench_minisign against `minisign -V` over
#    the same number of bytes, both timed as whole processes.
# Usage: scripts/bench-parsers.sh [BUILD_DIR] [NATIVE_BUILD] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
if [ "$(bash "$here/test-arch.sh")" = x86_64 ]; then default_build=$root/build/x64; else default_build=$root/build; fi
build=${1:-$default_build}
native=${2:-$root/build/native}
rounds=${3:-3}
[ -f "$build/CMakeCache.txt" ] && [ -f "$native/CMakeCache.txt" ] ||
    { echo "bench-parsers: configure the build folders first (make build)" >&2; exit 1; }
build=$(cd "$build" && pwd)
native=$(cd "$native" && pwd)
work=$build/bench-parsers
mkdir -p "$work"

src=$(kit_pugixml_source "$work")
cmake -S "$root" -B "$build" -DKIT_PUGIXML_SOURCE_DIR="$src" >/dev/null
cmake --build "$build" --target bench_xml bench_xml_pugixml -j 2 >/dev/null
cmake --build "$native" --target bench_minisign -j 2 >/dev/null

# shape SIZE_STEP FILE: one pathological document with SIZE_STEP units.
make_xml() {
    python3 - "$@" <<'PY'
import sys
shape, n, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if shape == "fold-pairs":
    text = "<Update " + " ".join(f'a{i}=""' for i in range(n)) + ">" + "".join(f"<a{i}/>" for i in range(n)) + "</Update>"
elif shape == "equals":
    text = "<Update " + "=" * (n * 16) + "/>"
else:
    text = "<Update" + ' d=""' * n + "><d/></Update>"
open(path, "w").write(text)
PY
}

# row NAME SIZE OURS_MS PEER_MS: prints one line, with the ratios to the
# previous row of the same table (kept in prev_ours / prev_peer).
row() {
    awk -v n="$1" -v s="$2" -v a="$3" -v b="$4" -v pa="$prev_ours" -v pb="$prev_peer" 'BEGIN {
        printf "%-22s %10d %12.1f %7s %12.1f %7s %10.2f\n", n, s, a, (pa > 0 ? sprintf("x%.2f", a / pa) : "-"),
               b, (pb > 0 ? sprintf("x%.2f", b / pb) : "-"), (b > 0 ? a / b : 0) }'
    prev_ours=$3
    prev_peer=$4
}

trap '"$here/harness.sh" stop "$build"' EXIT
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
xml_ms() {
    field "$("$here/wine-run.sh" --build "$build" "$build/bin/$1.exe" "$2" "$rounds" --malformed | tr -d '\r')" parse_ms
}
printf "%-22s %10s %12s %7s %12s %7s %10s\n" input bytes CXMLConfig_ms x2 pugixml_ms x2 ratio
for shape in fold-pairs equals duplicate-attributes; do
    prev_ours=0 prev_peer=0
    for n in 16000 32000 64000 128000 256000; do
        file=$work/$shape-$n.xml
        make_xml "$shape" "$n" "$file"
        row "$shape" "$(stat -c %s "$file")" "$(xml_ms bench_xml "$file")" "$(xml_ms bench_xml_pugixml "$file")"
    done
done

# The signature reader against minisign over the same bytes.
keys=$work/minisign
mkdir -p "$keys"
[ -f "$keys/key" ] || minisign -G -W -f -p "$keys/key.pub" -s "$keys/key" >/dev/null
pub=$(sed -n 2p "$keys/key.pub")
ms_of() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}
best_ms() {
    local best="" t i
    for i in $(seq "$rounds"); do
        t=$(ms_of "$@")
        if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    done
    awk -v us="$best" 'BEGIN { printf "%.1f", us / 1000 }'
}
echo
printf "%-22s %10s %12s %7s %12s %7s %10s\n" input bytes ours_ms x2 minisign_ms x2 ratio
for kind in signed line-ends; do
    prev_ours=0 prev_peer=0
    for mb in 8 16 32 64; do
        message=$work/message-$mb.bin body=$work/$kind-$mb.body
        head -c $((mb << 20)) /dev/zero | tr '\0' 'x' >"$message"
        minisign -S -s "$keys/key" -m "$message" -t "bench --> <!-- signature" >/dev/null
        if [ "$kind" = signed ]; then
            { cat "$message"; printf '<!-- signature\n'; cat "$message.minisig"; printf -- '-->\n'; } >"$body"
        else
            { printf '<Update/><!-- signature\n'; head -c $((mb << 20)) /dev/zero | tr '\0' '\n'; printf -- '-->\n'; } >"$body"
        fi
        row "$kind" "$(stat -c %s "$body")" "$(best_ms "$native/bin/bench_minisign" "$pub" "$body")" \
            "$(best_ms minisign -V -q -p "$keys/key.pub" -m "$message")"
        rm -f "$message" "$message.minisig" "$body"
    done
done
