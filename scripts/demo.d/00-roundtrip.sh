#!/usr/bin/env bash
# Analysis and resynthesis of the demo recording: the short-time spectrum and back
# must give the very same samples.
set -euo pipefail
out="$OUT/roundtrip.wav"
"$FLOWRUN" networks/roundtrip.n --quiet INPUT="$DEMO_WAV" OUTPUT="$out"
if cmp -s <(tail -c +45 "$DEMO_WAV") <(tail -c +45 "$out"); then
    same="the same samples as the input"
else
    same="samples that DIFFER from the input"
fi
echo "roundtrip: spectrum and back gives $same -> $out"
