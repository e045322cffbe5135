#!/usr/bin/env bash
# Localization and tracking on the demo recording: directions per frame, tracked
# directions and lasting tracks as JSON Lines, then the directions found and how often.
set -euo pipefail
localized="$OUT/localized.jsonl"
tracked="$OUT/tracked.jsonl"
tracks="$OUT/tracks.jsonl"
"$FLOWRUN" networks/localize.n --quiet INPUT="$DEMO_WAV" LOCALIZED="$localized" TRACKED="$tracked" TRACKS="$tracks"

# Tracked azimuths to whole degrees; neighbouring degrees (gaps of up to 3) form one
# direction, reported with its mean and the share of frames it was tracked in.
summary() {
    awk '
    { frames++; line = $0; found = 0
      while (match(line, /"azimuth":-?[0-9.]+/)) {
          v = substr(line, RSTART + 10, RLENGTH - 10) + 0
          d = v >= 0 ? int(v + 0.5) : -int(-v + 0.5)
          hist[d]++; found = 1
          line = substr(line, RSTART + RLENGTH)
      }
      if (found) active++ }
    END {
      out = ""; run = 0
      for (d = -180; d <= 184; d++) {
          c = (d in hist) ? hist[d] : 0
          if (c > 0) { if (!run) { run = 1; cnt = 0; sum = 0 } cnt += c; sum += c * d; gap = 0; continue }
          if (run && ++gap > 3) {
              run = 0
              if (cnt >= 0.05 * frames)
                  out = out sprintf("%s%+.0f deg (%.0f%% of frames)", out == "" ? "" : ", ", sum / cnt, 100 * cnt / frames)
          }
      }
      if (out == "") out = "none"
      printf "%d frames, a direction in %d; %s\n", frames, active, out
    }' "$1"
}
echo "localize: localized $(summary "$localized") -> $localized"
echo "localize: tracked   $(summary "$tracked") -> $tracked"
ids=$(grep -o '"id":[0-9]*' "$tracks" | sort -u | wc -l)
echo "localize: tracks    $(summary "$tracks"), $ids ids -> $tracks"
