#!/usr/bin/env bash
# Detection quality of voice activity detection on synthetic speech at 5 dB SNR, in
# white noise and in a babble of five other synthetic voices, through flowrun and
# networks/vad.n. Needs flowrun, the modules and vad_coverage built in BUILD.
#   bash bench/vad/coverage.sh [BUILD] [THRESHOLD...]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD="${1:-build}"
shift || true
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

say() {  # say VOICE OUT.wav TEXT: 16 kHz mono speech
    espeak-ng -v "$1" -s 150 -w "$tmp/raw.wav" "$3"
    sox -q "$tmp/raw.wav" -r 16000 -c 1 -b 16 "$2"
}

say en-us "$tmp/s1.wav" "The robot turned its head towards the door when somebody knocked twice."
say en-us "$tmp/s2.wav" "Please bring the red cup from the kitchen table, and put it next to the window."
say en-us "$tmp/s3.wav" "Yesterday we measured the room, and the echo was much shorter than we expected."
sox -q "$tmp/s1.wav" "$tmp/s2.wav" "$tmp/s3.wav" "$tmp/speech.wav" pad 0 0.8

texts=(
    "Seven people arrived at the station before the morning train left for the city."
    "A warm breeze moved across the garden while the children played near the fountain."
    "Our quarterly figures show steady growth in every region except the north."
    "Could you tell me where the nearest pharmacy is, and whether it is open on Sundays."
    "The old clock in the hall stopped at midnight and nobody remembered to wind it."
)
voices=(en-gb+m3 en-us+f2 en-029+m1 en-gb-scotland+f4 en-us+m7)
# Each voice reads all five texts, starting at a different one; the mix is cut to the
# shortest reading so that all five always talk.
parts=()
shortest=""
for i in "${!texts[@]}"; do
    all=""
    for j in 0 1 2 3 4; do all="$all ${texts[$(( (i + j) % 5 ))]}"; done
    say "${voices[$i]}" "$tmp/b$i.wav" "$all"
    parts+=("$tmp/b$i.wav")
    len="$(soxi -D "$tmp/b$i.wav")"
    if [ -z "$shortest" ] || awk "BEGIN { exit !($len < $shortest) }"; then shortest="$len"; fi
done
sox -q -m "${parts[@]}" "$tmp/babble.wav" trim 0 "$shortest"

# Detection by flowrun on networks/vad.n: 1.5 s lead-in, 1 s of noise learning.
thresholds=("$@")
[ ${#thresholds[@]} -gt 0 ] || thresholds=(0.5 0.75 1.0 1.5 2.0 3.0)
for noise in white babble; do
    [ "$noise" = white ] && source=white || source="$tmp/babble.wav"
    "$BUILD/bin/vad_coverage" mix "$tmp/speech.wav" "$source" 5 1.5 "$tmp/mix.wav"
    echo "$noise noise at 5 dB SNR (active speech level):"
    for t in "${thresholds[@]}"; do
        "$BUILD/bin/flowrun" networks/vad.n --quiet INPUT="$tmp/mix.wav" OUTPUT="$tmp/segments.txt" \
            VAD_NOISE_DURATION=1.0 VAD_THRESHOLD="$t"
        "$BUILD/bin/vad_coverage" score "$tmp/speech.wav" 1.5 1.0 "$tmp/segments.txt" "VAD_THRESHOLD $t"
    done
done
