#!/usr/bin/env bash
# Voice activity detection on the demo recording: speech segments as a label file.
# The recording has half a second of background before the talkers start, so the
# detector learns the noise over its first 0.4 s.
set -euo pipefail
out="$OUT/vad-segments.txt"
"$FLOWRUN" networks/vad.n --quiet INPUT="$DEMO_WAV" OUTPUT="$out" VAD_NOISE_DURATION=0.4
# One segment per line: start and end in seconds, then the label.
awk '$1 ~ /^[0-9.]+$/ && $2 ~ /^[0-9.]+$/ {
         n++; total += $2 - $1
         if (n == 1) first = $1
         last = $2 }
     END { printf "vad: %d speech segments, %.2f s of speech in total, from %.2f s to %.2f s -> %s\n",
                  n, total, first, last, FILENAME }' "$out"
