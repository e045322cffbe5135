#!/usr/bin/env bash
# Blind separation of the demo recording into its two talkers, one WAV channel each,
# then how many blocks were separated and how many iterations each took.
set -euo pipefail
out="$OUT/separated.wav"
max=100
progress=$("$FLOWRUN" networks/separate.n --quiet INPUT="$DEMO_WAV" OUTPUT="$out" MAX_ITERATION=$max)
# A block's last progress line is the one at convergence or at the iteration limit;
# the lines every 50 iterations in between are skipped.
echo "$progress" | awk -v max=$max -v out="$out" '
    match($0, /iterations: [0-9]+/) {
        n = substr($0, RSTART + 12, RLENGTH - 12) + 0
        if (n % 50 != 0 || n == max) { blocks++; list = list (list == "" ? "" : ", ") n }
    }
    END { printf "separate: 2 talkers, %d blocks of 3 s (fixed-point rule), iterations per block: %s -> %s\n",
                 blocks, list, out }'
