#!/usr/bin/env bash
# The demo recording streamed through a pipe, as a live input comes: the directions
# go to standard output frame by frame, and they are the lines of the file run.
set -euo pipefail
live="$OUT/localized-live.jsonl"
cat "$DEMO_WAV" | "$FLOWRUN" networks/localize.n --quiet INPUT=- LOCALIZED=- TRACKED="$OUT/tracked-live.jsonl" \
    TRACKS="$OUT/tracks-live.jsonl" >"$live"
if cmp -s "$live" "$OUT/localized.jsonl"; then same="the lines of the file run"; else same="NOT the lines of the file run"; fi
echo "live: the recording through a pipe gave $(wc -l <"$live") lines on standard output, $same -> $live"
