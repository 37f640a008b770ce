#!/usr/bin/env bash
# Benchmark of Cantorel.dll's decoding: CreateSoundFromFile on a 3-minute
# 128 kb/s stereo MP3, against `lame --decode` of the same file in this run.
#   bench-sound.sh [BUILD_DIR]   (builds sound_bench first; starts the harness)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
out=$build/sound-bench
mkdir -p "$out"
cmake --build "$build" --target sound_bench >/dev/null
if [ ! -f "$out/three-minutes.mp3" ]; then
    sox -q -n -r 44100 -c 2 -b 16 "$out/three-minutes.wav" synth 180 pinknoise sine 440 tremolo 3 60 vol 0.5
    lame --quiet -b 128 "$out/three-minutes.wav" "$out/three-minutes.mp3"
    rm -f "$out/three-minutes.wav"
fi
length=180
trap '"$here/harness.sh" stop "$build"' EXIT
echo "== Cantorel.dll under Wine (CreateSoundFromFile, 5 runs)"
result=$("$here/wine-run.sh" --build "$build" "$build/bin/sound_bench.exe" "$(kit_win_path "$out/three-minutes.mp3")" 5)
echo "$result"
best=$(sed -n 's/.*best \([0-9.]*\) s.*/\1/p' <<<"$result")
awk -v b="$best" -v l="$length" 'BEGIN { printf "  %.0fx real time (best run)\n", l / b }'
echo "== lame --decode (Linux, same file)"
if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "  %e s, peak RSS %M KB" lame --quiet --decode "$out/three-minutes.mp3" "$out/decoded.wav" 2>&1
fi
start=$(date +%s.%N)
lame --quiet --decode "$out/three-minutes.mp3" "$out/decoded.wav"
secs=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.3f", e - s }')
echo "  $secs s (second run)"
awk -v b="$secs" -v l="$length" 'BEGIN { if (b > 0) printf "  %.0fx real time\n", l / b }'
rm -f "$out/decoded.wav"
