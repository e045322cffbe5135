#!/usr/bin/env bash
# Speech enhancement of the demo recording (Wiener filtering), then the level of the
# background just after the noise-learning stretch and of the rest, before and after.
# The recording has half a second of background before the talkers start; the node
# learns the noise over its first 0.4 s (which come out silent).
set -euo pipefail
out="$OUT/enhanced.wav"
"$FLOWRUN" networks/enhance.n --quiet INPUT="$DEMO_WAV" OUTPUT="$out" METHOD=WIENER_FILTERING NOISE_PERIOD=0.4
level() {  # level FILE START [LENGTH]: RMS level in dB over both channels
    sox "$1" -n trim "$2" ${3:-} stats 2>&1 | awk '/^RMS lev dB/ { print $4 }'
}
printf 'enhance: Wiener filtering, noise learned over 0.4 s: background %s dB -> %s dB, talkers %s dB -> %s dB -> %s\n' \
    "$(level "$DEMO_WAV" 0.4 0.1)" "$(level "$out" 0.4 0.1)" "$(level "$DEMO_WAV" 0.5)" "$(level "$out" 0.5)" "$out"
