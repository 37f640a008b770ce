#!/usr/bin/env bash
# Demo of Cantorel.dll: makes a short chime as WAV and MP3 (sox, lame) and
# plays each through the sample host, which waits for the end report.
#   demo-sound.sh BUILD_DIR   (harness already started)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR
. "$here/lib.sh"
out=$build/sound-demo
mkdir -p "$out"
sox -q -n -r 44100 -c 2 -b 16 "$out/chime.wav" synth 0.6 pluck C5 pluck E5 fade 0 0.6 0.3 vol 0.7
lame --quiet -b 128 "$out/chime.wav" "$out/chime.mp3"
run() { "$here/wine-run.sh" --build "$build" "$build/bin/soundhost.exe" "$@"; }
echo "The harness plays into a null audio device, faster than real time."
run "$(kit_win_path "$out/chime.wav")"
run "$(kit_win_path "$out/chime.mp3")" -1500
