#!/usr/bin/env bash
# Runs the example networks on the demo recording and says what they found.
# Each example adds its own step as scripts/demo.d/NN-name.sh, run in name order
# with BUILD, FLOWRUN, DEMO_WAV and OUT set.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD="${1:-build}"
export FLOWRUN="$BUILD/bin/flowrun"
export DEMO_WAV="data/demo.wav"
export OUT="${DEMO_OUT:-demo-out}"
mkdir -p "$OUT"
for step in scripts/demo.d/*.sh; do
    [ -e "$step" ] || continue
    bash "$step"
done
echo "demo: results are in $OUT/"
