#!/usr/bin/env bash
# Voice activity detection on the demo recording: speech segments as a label file.
set -euo pipefail
out="$OUT/vad-segments.txt"
"$FLOWRUN" networks/vad.n INPUT="$DEMO_WAV" OUTPUT="$out"
# One segment per line, start and end in seconds first.
awk '$1 ~ /^[0-9.]+$/ && $2 ~ /^[0-9.]+$/ { n++; total += $2 - $1 }
     END { printf "vad: %d speech segments, %.2f s of speech in total -> %s\n", n, total, FILENAME }' "$out"
