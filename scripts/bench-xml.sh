#!/usr/bin/env bash
# XML reader benchmark: CXMLConfig against pugixml (Debian's source package,
# built with the kit's own compiler and flags), both parsing the same 10 MB
# manifest under the harness's Wine. Prints time and peak memory of each and
# the ratios. Usage: scripts/bench-xml.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
rounds=${2:-5}
mkdir -p "$build"
build=$(cd "$build" && pwd)
work=$build/bench-xml
mkdir -p "$work"
# shellcheck source=lib.sh
. "$here/lib.sh"

make -C "$root" configure BUILD="$build" >/dev/null

src=$(kit_pugixml_source "$work")
cmake -S "$root" -B "$build" -DKIT_PUGIXML_SOURCE_DIR="$src" >/dev/null
cmake --build "$build" --target bench_xml bench_xml_pugixml bench_xml_pugixml_wide -j 2 >/dev/null

trap '"$here/harness.sh" stop "$build"' EXIT
manifest=$work/manifest.xml
python3 "$root/bench/xml/make_manifest.py" "$manifest"

run() { "$here/wine-run.sh" --build "$build" "$build/bin/$1.exe" "$manifest" "$rounds" | tr -d '\r'; }
ours=$(run bench_xml)
theirs=$(run bench_xml_pugixml)
wide=$(run bench_xml_pugixml_wide)
echo "$ours"
echo "$theirs"
echo "$wide"
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
for f in parse_ms parse_free_ms peak_ws_kb peak_pagefile_kb; do
    awk -v f="$f" -v a="$(field "$ours" "$f")" -v b="$(field "$theirs" "$f")" \
        -v w="$(field "$wide" "$f")" 'BEGIN {
            printf "%s: CXMLConfig %s, pugixml %s (ratio %.2f), pugixml-wide %s (ratio %.2f)\n",
                   f, a, b, (b > 0 ? a / b : 0), w, (w > 0 ? a / w : 0) }'
done
