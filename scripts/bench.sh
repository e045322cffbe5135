#!/usr/bin/env bash
# Runs every benchmark program of the build (bin/bench_*) and prints its figures.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
for b in "$BUILD"/bin/bench_*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b"
done
if [ -d "$BUILD/python/zelkbp" ]; then
    echo "== bench_zelkbp.py"
    PYTHONPATH="$(cd "$BUILD" && pwd)/python" /usr/bin/python3 bench/python/bench_zelkbp.py --build "$BUILD"
fi
