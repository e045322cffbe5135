#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Run as root on Debian 12. Safe to run again: it does nothing when all is there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libarmadillo-dev liblapack-dev libopenblas-dev
    libgtk2.0-dev
    libfftw3-dev
    libsndfile1-dev libsamplerate0-dev
    libpugixml-dev nlohmann-json3-dev
    xvfb xauth
    espeak-ng sox
    python3-numpy python3-scipy python3-mir-eval
    pybind11-dev python3-dev python3-pytest python3-distributed
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: run as root (or install them yourself) and try again" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
