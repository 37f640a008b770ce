#!/usr/bin/env bash
# Generates the MP3 fixtures of the sound tests and their reference decodes
# by the Linux tools:  make-fixtures.sh OUTPUT_DIR
# reference.txt holds one line per MP3: name, samples per channel, rate,
# channels (of `lame --decode`). The MP3s carry no Info frame (-t), so the
# reference keeps the encoder's delay and padding, as the library does; only
# the decoder's own delay (529 samples) is trimmed.
set -euo pipefail
out=${1:?usage: make-fixtures.sh OUTPUT_DIR}
mkdir -p "$out"
cd "$out"
sox -q -n -r 22050 -c 1 -b 16 mono.wav synth 1.3 sine 660 vol 0.5
sox -q -n -r 44100 -c 2 -b 16 stereo.wav synth 1.1 sine 440 sine 550 vol 0.5
lame --quiet -t -m m -b 32 mono.wav mono.mp3
lame --quiet -t -m s -b 128 stereo.wav stereo.mp3
: >reference.txt.tmp
for f in mono stereo; do
    lame --quiet --decode "$f.mp3" "$f.ref.wav"
    echo "$f.mp3 $(soxi -s "$f.ref.wav") $(soxi -r "$f.ref.wav") $(soxi -c "$f.ref.wav")" >>reference.txt.tmp
    rm -f "$f.ref.wav"
done
rm -f mono.wav stereo.wav
mv reference.txt.tmp reference.txt
