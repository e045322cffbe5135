#!/usr/bin/env bash
# Blind separation of the demo recording into its two talkers, one WAV channel each,
# then how many blocks were separated, how many iterations each took, and where each
# channel's talker stands.
set -euo pipefail
out="$OUT/separated.wav"
directions="$OUT/separated-directions.jsonl"
max=100
progress=$("$FLOWRUN" networks/separate.n --quiet INPUT="$DEMO_WAV" OUTPUT="$out" DIRECTIONS="$directions" \
           MAX_ITERATION=$max)
# A block's last progress line is the one at convergence or at the iteration limit;
# the lines every 50 iterations in between are skipped.
echo "$progress" | awk -v max=$max -v out="$out" '
    match($0, /iterations: [0-9]+/) {
        n = substr($0, RSTART + 12, RLENGTH - 12) + 0
        if (n % 50 != 0 || n == max) { blocks++; list = list (list == "" ? "" : ", ") n }
    }
    END { printf "separate: 2 talkers, %d blocks of 3 s (auxiliary-function rule), iterations per block: %s -> %s\n",
                 blocks, list, out }'
# The median azimuth of each channel's talker over the recording.
/usr/bin/python3 - "$directions" <<'PY'
import json, statistics, sys
by_channel = {}
for line in open(sys.argv[1]):
    for s in json.loads(line)["sources"]:
        if s["azimuth"] is not None:
            by_channel.setdefault(s["id"], []).append(s["azimuth"])
print("separate: talker directions by channel: " +
      ", ".join(f"{c}: {statistics.median(v):+.0f} deg" for c, v in sorted(by_channel.items())) +
      f" -> {sys.argv[1]}")
PY
